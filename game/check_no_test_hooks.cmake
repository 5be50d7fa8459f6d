# Run after GRIMBY links in a build without tests or benchmarks: the program
# a sysop installs must not carry the hook that lets a test's door trust a
# CA named in its environment. cmake -DEXE= -P check_no_test_hooks.cmake
file(STRINGS ${EXE} hooks REGEX "GRIMBY_TEST_CA_FILE")
if(hooks)
  message(FATAL_ERROR "${EXE} carries the test CA hook (GRIMBY_TEST_CA_FILE)")
endif()
