# mivra_unit_test(<name> SOURCES ... LIBS ...): one GoogleTest binary per library, label "unit".
function(mivra_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock
                        Threads::Threads)
  gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# mivra_system_test(<name> <script.py>): a Python unittest module, label "system".
function(mivra_system_test name script)
  add_test(NAME ${name}
           COMMAND python3 -m unittest -v ${script}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/system)
  set_tests_properties(${name} PROPERTIES LABELS system TIMEOUT 300
    ENVIRONMENT "MIVRA_BUILD=${CMAKE_BINARY_DIR};MIVRA_SRC=${CMAKE_SOURCE_DIR};TZ=UTC;TC_MODE=pal;no_proxy=127.0.0.1,localhost;PYTHONDONTWRITEBYTECODE=1")
endfunction()

# mivra_fuzz_target(<name> <source> LIBS ...): a libFuzzer binary with its seed folder.
function(mivra_fuzz_target name source)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
