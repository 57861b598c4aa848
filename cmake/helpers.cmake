# mivra_unit_test(<name> SOURCES ... LIBS ...): one GoogleTest binary per library, label "unit".
function(mivra_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock
                        Threads::Threads)
  set(env "")
  if(MIVRA_SANITIZE STREQUAL "thread")
    set(env ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS unit ${env} DISCOVERY_TIMEOUT 60
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# mivra_system_test(<name> <script.py>): a Python unittest module, label "system", run by the
# harness that fails a test after which a sanitizer wrote a report.
function(mivra_system_test name script)
  add_test(NAME ${name}
           COMMAND python3 harness.py ${script}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/system)
  set(env MIVRA_BUILD=${CMAKE_BINARY_DIR} MIVRA_SRC=${CMAKE_SOURCE_DIR} TZ=UTC TC_MODE=pal
      no_proxy=127.0.0.1,localhost PYTHONDONTWRITEBYTECODE=1 MIVRA_TIME_SCALE=${MIVRA_TIME_SCALE})
  if(MIVRA_SANITIZE)
    # Reports of every program the test starts go to files, whatever it does with their output.
    set(logs ${CMAKE_BINARY_DIR}/sanitizer-logs/${name})
    set(supp ${CMAKE_SOURCE_DIR}/tests)
    list(APPEND env MIVRA_SANITIZER_LOGS=${logs} ASAN_OPTIONS=log_path=${logs}/asan
         UBSAN_OPTIONS=log_path=${logs}/ubsan:print_stacktrace=1
         LSAN_OPTIONS=suppressions=${supp}/lsan.supp:print_suppressions=0
         TSAN_OPTIONS=log_path=${logs}/tsan:suppressions=${supp}/tsan.supp)
  endif()
  math(EXPR timeout "300 * ${MIVRA_TIME_SCALE}")
  set_tests_properties(${name} PROPERTIES LABELS system TIMEOUT ${timeout} ENVIRONMENT "${env}")
endfunction()

# mivra_fuzz_target(<name> <source> LIBS ...): a libFuzzer binary with its seed folder.
function(mivra_fuzz_target name source)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
