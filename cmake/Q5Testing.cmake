# Test programs are Windows programs of the tree's bitness built with
# GoogleTest and run by ctest under Wine 10, each in a private prefix.
set(Q5_WINE_RUN ${CMAKE_SOURCE_DIR}/tests/support/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${Q5_WINE_RUN} --build ${CMAKE_BINARY_DIR})

# Tests that run Wine share one finding of how 32-bit programs run per ctest
# run (a finding costs a 32-bit start, and two findings could disagree): the
# fixture's first test finds it and keeps it in a file that the others read
# (tools/wine10/x86-mode.sh), the last removes it. Under make test the
# finding comes from the environment instead.
set(Q5_X86_FOUND ${CMAKE_BINARY_DIR}/wine10/x86-mode.found)
function(q5_share_x86_mode)
  set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED q5_x86_mode ENVIRONMENT Q5_X86_FOUND=${Q5_X86_FOUND})
endfunction()
function(q5_add_x86_mode_fixture)
  add_test(NAME x86_mode_find COMMAND ${CMAKE_SOURCE_DIR}/tools/wine10/x86-mode.sh --keep ${Q5_X86_FOUND} ${CMAKE_SOURCE_DIR})
  set_tests_properties(x86_mode_find PROPERTIES FIXTURES_SETUP q5_x86_mode TIMEOUT 600)
  add_test(NAME x86_mode_forget COMMAND ${CMAKE_COMMAND} -E rm -f ${Q5_X86_FOUND})
  set_tests_properties(x86_mode_forget PROPERTIES FIXTURES_CLEANUP q5_x86_mode)
endfunction()

# q5_add_wine_test(<name> SOURCES <files...> [LIBS <libs...>] [XDISPLAY] [TIMEOUT <s>])
#   XDISPLAY runs the program under a virtual X server (windows need one).
function(q5_add_wine_test name)
  cmake_parse_arguments(T "XDISPLAY" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} q5testsupport GTest::gtest_main)
  target_precompile_headers(${name} REUSE_FROM q5testsupport)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin)
  set(flags)
  if(T_XDISPLAY)
    list(APPEND flags --x)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name}
    COMMAND ${Q5_WINE_RUN} --build ${CMAKE_BINARY_DIR} --timeout ${T_TIMEOUT} ${flags} $<TARGET_FILE:${name}>)
  math(EXPR outer "${T_TIMEOUT} + 60")
  # 77: the runner found that this run cannot start the program at all
  # (a 32-bit one where 32-bit programs run neither natively nor emulated).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${outer} SKIP_RETURN_CODE 77)
  q5_share_x86_mode(${name})
endfunction()
