/* grimby.h -- the game's entry, shared by the Linux main and WinMain. */
#ifndef GRIMBY_H
#define GRIMBY_H

/* Runs one caller's session; command_line is the process command line
 * without the program name. Returns the process exit code when it returns. */
int grimby_main(const char *command_line);

/* Gives the console settings mode a working standard input and output
 * (Windows: a new console; Linux: the terminal the program runs in). */
void game_console_open(void);

/* Writes a report for the sysop to standard output: on Windows to the
 * handle the program was given, else the console it was started from, else
 * a console of its own that stays until Enter. */
void game_console_report(const char *text);

#endif
