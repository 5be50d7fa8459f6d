// door_program.h -- a small door for the tests that start a door process
// the way a BBS does. The test binary runs it instead of its tests when
// TEST_DOOR_ENV is set (see TestDoorRunIfAsked), so no separate program has
// to be built and found.
//
// Environment:
//   DOORKIT_TEST_DOOR        set: run as the door
//   DOORKIT_TEST_DOOR_ARGS   the door's command line
//   DOORKIT_TEST_VIRTUAL     "1": the kit runs on the virtual clock, so
//                            minutes of session time pass in milliseconds
//   DOORKIT_TEST_MARK        a file the door appends its progress to
//   DOORKIT_TEST_CHDIR       a directory the door moves to after start-up,
//                            as the game does
//   DOORKIT_TEST_CONNECT     a loopback TCP port: the door connects there
//                            and writes itself a DOOR32.SYS for that socket
//                            (a BBS's hand-over where the test cannot pass
//                            a descriptor)
//
// The door shows "TEST DOOR <name>" and a prompt, echoes each key as
// "key <k>", ends with error level 7 on Q, and otherwise runs the game's
// exit steps ("exit-steps" in the mark file, then od_exit(0, 0)) once the
// caller is gone.
#ifndef TEST_DOOR_PROGRAM_H
#define TEST_DOOR_PROGRAM_H

#define TEST_DOOR_ENV "DOORKIT_TEST_DOOR"

// Runs the door and ends the process when TEST_DOOR_ENV is set; returns
// otherwise. Call it from a static initializer of the test binary.
void TestDoorRunIfAsked();

#endif
