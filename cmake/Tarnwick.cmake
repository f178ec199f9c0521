# tarnwick_test(NAME name SOURCES a_test.cpp ... LIBS lib ...)
# One GoogleTest binary per subsystem, registered as one ctest test.
function(tarnwick_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT TARNWICK_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} tarnwick_fixtures GTest::gtest GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "TARNWICK_CORPUS=${PROJECT_SOURCE_DIR}/../shared/corpus/real;TARNWICK_BIN=${PROJECT_BINARY_DIR}/app/tarnwick")
endfunction()
