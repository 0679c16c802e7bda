# The test host: stand-ins for the Finder's classes that load the built bundle and draw
# through it offscreen. The same sources build against AppKit on a Mac and against GNUstep
# elsewhere, where they run under a virtual X server and bring their own ICO reader. Used by
# the host tests and, with GNUstep, by the preview program (both in this folder).
#
#   KELO_FINDER_HOST_SOURCES   compiled into each host program: the stand-ins differ
#                              between host variants
#   kelo_test_host_platform    what a host program links besides the core
#   KELO_HOST_LAUNCHER         runs a host program (empty: run it directly)

set(KELO_FINDER_HOST_SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/host-classes.mm
    ${CMAKE_CURRENT_SOURCE_DIR}/host-support.mm)
add_library(kelo_test_host_platform INTERFACE)
if(APPLE)
  # AppKit reads ICO files itself. No ImageKit: the host defines its own IKImageBrowserCell
  # and IKImageWrapper, which must be the only classes of those names in the process.
  target_link_libraries(kelo_test_host_platform INTERFACE
    "-framework AppKit" "-framework Foundation" objc)
  # The stand-ins draw as the Finder's cells do (lockFocus, the NSComposite* names), which
  # newer SDKs mark deprecated.
  target_compile_options(kelo_test_host_platform INTERFACE -Wno-deprecated-declarations)
  set(KELO_HOST_LAUNCHER "" CACHE INTERNAL "Runs a host program")
else()
  list(APPEND KELO_FINDER_HOST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ico-image-rep.mm)
  target_link_libraries(kelo_test_host_platform INTERFACE kelo_objcxx)
  # GNUstep's AppKit needs an X display even for offscreen images: each host program gets a
  # server of its own (run-in-xvfb.sh says why not xvfb-run).
  find_program(KELO_XVFB Xvfb REQUIRED)
  find_program(KELO_XAUTH xauth REQUIRED)
  set(KELO_HOST_LAUNCHER ${CMAKE_CURRENT_LIST_DIR}/run-in-xvfb.sh CACHE INTERNAL
      "Runs a host program under its own virtual X display")
endif()
set(KELO_FINDER_HOST_SOURCES ${KELO_FINDER_HOST_SOURCES} CACHE INTERNAL
    "Sources of the test host")
kelo_objcxx_sources(${KELO_FINDER_HOST_SOURCES})
