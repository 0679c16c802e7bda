include(GoogleTest)

# Longest a test case may run before CTest stops it, in seconds; a hang fails after this
# instead of CTest's default of 1,500 s.
set(KELO_TEST_TIMEOUT 120 CACHE STRING "Time-out of one test case, in seconds")

# kelo_add_test(NAME name SOURCES a.cc ... LIBS lib ... [PROPERTIES ...] [CONCURRENCY filter])
# One GoogleTest executable per test file; every test case is registered with CTest, with the
# time-out KELO_TEST_TIMEOUT unless PROPERTIES sets another. CONCURRENCY is a GoogleTest
# filter ("Suite.Case:Suite.Other*") of the cases that run threads or processes against each
# other: they get the label "concurrency", which the ThreadSanitizer run selects, and the
# executable joins the target kelo_concurrency_tests that builds them all.
function(kelo_add_test)
  cmake_parse_arguments(T "" "NAME;CONCURRENCY" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} kelo_test_support GTest::gtest
                                          GTest::gtest_main Threads::Threads)
  set(properties ENVIRONMENT "TZ=UTC" TIMEOUT ${KELO_TEST_TIMEOUT} ${T_PROPERTIES})
  if(NOT T_CONCURRENCY)
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
    return()
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 TEST_FILTER "-${T_CONCURRENCY}"
                       PROPERTIES ${properties})
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 TEST_FILTER "${T_CONCURRENCY}"
                       PROPERTIES ${properties} LABELS concurrency)
  kelo_concurrency_target(${T_NAME})
endfunction()

# Adds `target` to the programs the ThreadSanitizer run builds (kelo_concurrency_tests).
function(kelo_concurrency_target target)
  if(NOT TARGET kelo_concurrency_tests)
    add_custom_target(kelo_concurrency_tests)
  endif()
  add_dependencies(kelo_concurrency_tests ${target})
endfunction()
