# The FinderSync extension's class driven through stand-ins of FIFinderSync and
# FIFinderSyncController (finder-sync-stand-ins.mm): the same source as the extension, built
# against the stand-ins' declarations (KELO_FINDER_SYNC_STAND_IN on a Mac, always elsewhere),
# run like the host tests (under GNUstep, under its own virtual display). Included by the
# host tests' CMakeLists.txt, after host-program.cmake.
set(KELO_MAKE_BADGES ${PROJECT_SOURCE_DIR}/scripts/make-badges.py)
set(_stand_ins ${CMAKE_CURRENT_LIST_DIR}/finder-sync-stand-ins.mm
               ${CMAKE_CURRENT_LIST_DIR}/finder-sync-test.mm)
kelo_objcxx_sources(${_stand_ins} ${KELO_FINDERSYNC_EXTENSION_SOURCE})
add_executable(finder_sync_host_test ${_stand_ins} ${KELO_FINDERSYNC_EXTENSION_SOURCE})
target_compile_definitions(finder_sync_host_test PRIVATE KELO_FINDER_SYNC_STAND_IN
  KELO_FINDERSYNC_BADGE_DIR="${PROJECT_SOURCE_DIR}/faces/findersync/resources")
target_include_directories(finder_sync_host_test PRIVATE ${PROJECT_SOURCE_DIR}
                                                         ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(finder_sync_host_test PRIVATE kelo_findersync_face kelo_test_host_platform
                      kelo_test_support GTest::gtest GTest::gtest_main Threads::Threads)
if(KELO_HOST_LAUNCHER)
  set_target_properties(finder_sync_host_test PROPERTIES
                        CROSSCOMPILING_EMULATOR "${KELO_HOST_LAUNCHER}")
endif()
gtest_discover_tests(finder_sync_host_test DISCOVERY_TIMEOUT 60 TEST_PREFIX "finder_sync_host_test."
                     PROPERTIES ENVIRONMENT "TZ=UTC" LABELS bundle TIMEOUT ${KELO_TEST_TIMEOUT})

# The extension's badge images are what their generator draws.
if(Python3_FOUND)
  add_test(NAME finder_sync_badges_match_generator
           COMMAND Python3::Interpreter ${KELO_MAKE_BADGES} --png --check
                   ${PROJECT_SOURCE_DIR}/faces/findersync/resources)
  set_tests_properties(finder_sync_badges_match_generator PROPERTIES LABELS bundle TIMEOUT 60)
endif()

# The Mac bundles' property lists and the extension's entitlements parse as plutil -lint
# would have them and say what each bundle needs.
if(Python3_FOUND)
  add_test(NAME mac_property_lists_lint
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/lint-plists.py ${PROJECT_SOURCE_DIR})
  set_tests_properties(mac_property_lists_lint PROPERTIES LABELS bundle TIMEOUT 60)
endif()
