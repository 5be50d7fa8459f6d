# Run after GRIMBY-UPDATE links: the program this machine cannot start is
# checked for what it must be. cmake -DEXE= -DOBJDUMP= -DFORMAT= -DKEY=
# -DTEST_SWITCH=ON|OFF -P check_exe.cmake
# Linked statically: nothing but the system's own libraries.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/check_pe.cmake)
grimby_check_pe(${EXE} ${OBJDUMP} ${FORMAT} 3 "KERNEL32|ADVAPI32|CRYPT32|WINHTTP|MSVCRT|USER32")
file(READ ${EXE} exe_hex HEX)
file(READ ${KEY} key_hex HEX)
string(FIND "${exe_hex}" "${key_hex}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${EXE} does not carry the key ${KEY}")
endif()
string(HEX "GRIMBY_UPDATE_TEST_HOST" switch_hex)
string(FIND "${exe_hex}" "${switch_hex}" switch_at)
if(NOT TEST_SWITCH AND NOT switch_at EQUAL -1)
  message(FATAL_ERROR "${EXE} has the test builds' host switch")
endif()
