# Shared helpers for the subsystem folders.

# v270_test(NAME SOURCES... LIBS ...): a GoogleTest executable registered with CTest.
# Tests are listed when ctest runs, not at build time, so a sanitizer build or
# a widget test never runs during the build.
function(v270_test name)
  if(NOT V270_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# v270_fuzzer(NAME SOURCE LIBS ...): a libFuzzer target, built only with
# -DV270_FUZZ=ON under clang. Its seed corpus lives in <folder>/fuzz/corpus/NAME.
function(v270_fuzzer name)
  if(NOT V270_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES} ${F_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  # `cmake --build B --target fuzzers` builds them and nothing else.
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${name})
endfunction()
