include(GoogleTest)

# kelo_add_test(NAME name SOURCES a.cc ... LIBS lib ...)
# One GoogleTest executable per test file; every test case is registered with CTest.
function(kelo_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} kelo_test_support GTest::gtest
                                          GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "TZ=UTC" ${T_PROPERTIES})
endfunction()
