# Run after GRIMBY links in every Linux build, so the door the tests and
# benchmarks run is the one a sysop installs: it must not carry a hook that
# lets a door trust a CA named in its environment (the hub's CA comes from
# grimby.json). cmake -DEXE= -P check_no_test_hooks.cmake
file(STRINGS ${EXE} hooks REGEX "GRIMBY_TEST_CA_FILE")
if(hooks)
  message(FATAL_ERROR "${EXE} carries the test CA hook (GRIMBY_TEST_CA_FILE)")
endif()
