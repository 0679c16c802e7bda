# The Finder bundle KeloMacIconOverlay.bundle, built from the same Objective-C++ sources as
# a macOS loadable bundle on Apple and as a GNUstep bundle elsewhere (the Linux test host
# and the preview load the latter). Included by iconoverlay/CMakeLists.txt when
# KELO_BUILD_BUNDLE is ON.
#
# Targets:
#   KeloMacIconOverlay   the bundle; its folder is ${KELO_BUNDLE_DIR}, its executable
#                        ${KELO_BUNDLE_DIR}/${KELO_BUNDLE_EXECUTABLE}, its resources in
#                        ${KELO_BUNDLE_DIR}/${KELO_BUNDLE_RESOURCES}
#   kelo_objcxx          (not Apple) interface target carrying GNUstep's compile and link
#                        flags, for the test host

set(KELO_BUNDLE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/bundle-platform.mm
    ${CMAKE_CURRENT_LIST_DIR}/icon-overlay.mm
    ${CMAKE_CURRENT_LIST_DIR}/kelo-mac-icon-overlay.mm)
set(KELO_BADGE_RESOURCES
    ${CMAKE_CURRENT_LIST_DIR}/resources/synced.ico
    ${CMAKE_CURRENT_LIST_DIR}/resources/syncing.ico
    ${CMAKE_CURRENT_LIST_DIR}/resources/unsupp.ico
    CACHE INTERNAL "The bundle's badge images")

# kelo_objcxx_sources(file ...): compile the files as Objective-C++ with the C++ compiler,
# so no extra CMake language is needed (g++ with gobjc++, or Apple clang). The runtime's
# Objective-C-only flags go on these files alone: g++ refuses them for plain C++ files.
function(kelo_objcxx_sources)
  set_source_files_properties(${ARGN} PROPERTIES
    LANGUAGE CXX COMPILE_OPTIONS "-xobjective-c++;${KELO_OBJC_FLAGS}")
endfunction()

# The bundle links the static libraries below it, so their code must be position
# independent; walk the link closure and say so on every library target of the project.
function(kelo_make_position_independent target)
  get_target_property(libs ${target} LINK_LIBRARIES)
  get_target_property(interface_libs ${target} INTERFACE_LINK_LIBRARIES)
  foreach(lib IN LISTS libs interface_libs)
    if(TARGET ${lib})
      get_target_property(imported ${lib} IMPORTED)
      get_target_property(type ${lib} TYPE)
      if(NOT imported AND type STREQUAL "STATIC_LIBRARY")
        set_target_properties(${lib} PROPERTIES POSITION_INDEPENDENT_CODE ON)
        kelo_make_position_independent(${lib})
      endif()
    endif()
  endforeach()
endfunction()

if(APPLE)
  # macOS's layout: Contents/Info.plist, Contents/MacOS/ and Contents/Resources/.
  set(KELO_BUNDLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/KeloMacIconOverlay.bundle
      CACHE INTERNAL "Folder of the built bundle")
  set(KELO_BUNDLE_EXECUTABLE Contents/MacOS/KeloMacIconOverlay CACHE INTERNAL
      "The bundle's executable, relative to its folder")
  set(KELO_BUNDLE_RESOURCES Contents/Resources CACHE INTERNAL
      "The bundle's resource folder, relative to its folder")
  # Our own @VARIABLES@ first; CMake fills the MACOSX_BUNDLE_* ones when it writes the bundle.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/Info.plist.in ${CMAKE_CURRENT_BINARY_DIR}/Info.plist.in
                 @ONLY)
  add_library(KeloMacIconOverlay MODULE ${KELO_BUNDLE_SOURCES} ${KELO_BADGE_RESOURCES})
  set_source_files_properties(${KELO_BADGE_RESOURCES} PROPERTIES
                              MACOSX_PACKAGE_LOCATION Resources)
  set_target_properties(KeloMacIconOverlay PROPERTIES
    BUNDLE TRUE
    BUNDLE_EXTENSION bundle
    OUTPUT_NAME KeloMacIconOverlay
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    MACOSX_BUNDLE_INFO_PLIST ${CMAKE_CURRENT_BINARY_DIR}/Info.plist.in
    MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION}
    MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION})
  # Manual retain/release throughout (the sources stop with #error under ARC).
  target_compile_options(KeloMacIconOverlay PRIVATE -fno-objc-arc)
  # The runtime functions (class_getInstanceMethod, class_addMethod) are libobjc's: linked by
  # name rather than left to come in through a framework. Form C is the platform library's
  # Core Foundation conversion, the one the core's tests run on a Mac.
  target_link_libraries(KeloMacIconOverlay PRIVATE
    kelo_linux_platform "-framework AppKit" "-framework Foundation"
    "-framework CoreFoundation" objc)
else()
  find_program(GNUSTEP_CONFIG gnustep-config REQUIRED)
  execute_process(COMMAND ${GNUSTEP_CONFIG} --objc-flags OUTPUT_VARIABLE _gs_cflags
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${GNUSTEP_CONFIG} --gui-libs OUTPUT_VARIABLE _gs_libs
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(_gs_cflags UNIX_COMMAND "${_gs_cflags}")
  separate_arguments(_gs_libs UNIX_COMMAND "${_gs_libs}")
  # Keep the definitions and the Objective-C code generation flags; our own warning,
  # optimisation and dependency flags rule. GNUstep's headers are system headers to us.
  set(_gs_defines "")
  set(_gs_options "")
  set(_gs_includes "")
  set(_gs_objc_options "")
  foreach(flag IN LISTS _gs_cflags)
    if(flag MATCHES "^-D(.*)")
      list(APPEND _gs_defines ${CMAKE_MATCH_1})
    elseif(flag MATCHES "^-I(/.*)")
      if(IS_DIRECTORY ${CMAKE_MATCH_1})
        list(APPEND _gs_includes ${CMAKE_MATCH_1})
      endif()
    elseif(flag MATCHES "objc|constant-string")
      list(APPEND _gs_objc_options ${flag})
    elseif(flag MATCHES "^-f" OR flag STREQUAL "-pthread")
      list(APPEND _gs_options ${flag})
    endif()
  endforeach()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # GNUstep here is built on gcc's Objective-C runtime (libobjc of gobjc++): clang speaks
    # its ABI when told, and takes the runtime's headers from gcc's own include folder.
    execute_process(COMMAND gcc -print-file-name=include OUTPUT_VARIABLE _gcc_include
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS ${_gcc_include}/objc/objc.h)
      message(FATAL_ERROR "The bundle with clang needs gcc's Objective-C headers (gobjc++)")
    endif()
    list(APPEND _gs_includes ${_gcc_include})
    list(APPEND _gs_objc_options -fobjc-runtime=gcc)
  endif()
  set(KELO_OBJC_FLAGS ${_gs_objc_options} CACHE INTERNAL "Objective-C flags of the runtime")
  add_library(kelo_objcxx INTERFACE)
  target_compile_definitions(kelo_objcxx INTERFACE ${_gs_defines})
  target_compile_options(kelo_objcxx INTERFACE ${_gs_options})
  target_include_directories(kelo_objcxx SYSTEM INTERFACE ${_gs_includes})
  target_link_options(kelo_objcxx INTERFACE -rdynamic)
  list(FILTER _gs_libs INCLUDE REGEX "^-l|^-L|^-pthread$")
  target_link_libraries(kelo_objcxx INTERFACE ${_gs_libs})

  # GNUstep's layout: the shared object at the top, named by NSExecutable, and
  # Resources/ holding Info-gnustep.plist and the badge images.
  set(KELO_BUNDLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/KeloMacIconOverlay.bundle
      CACHE INTERNAL "Folder of the built bundle")
  set(KELO_BUNDLE_EXECUTABLE KeloMacIconOverlay CACHE INTERNAL
      "The bundle's executable, relative to its folder")
  set(KELO_BUNDLE_RESOURCES Resources CACHE INTERNAL
      "The bundle's resource folder, relative to its folder")
  set(_resources_out "")
  foreach(src IN LISTS KELO_BADGE_RESOURCES ITEMS ${CMAKE_CURRENT_LIST_DIR}/Info-gnustep.plist)
    get_filename_component(name ${src} NAME)
    set(out ${KELO_BUNDLE_DIR}/${KELO_BUNDLE_RESOURCES}/${name})
    add_custom_command(OUTPUT ${out} DEPENDS ${src}
                       COMMAND ${CMAKE_COMMAND} -E copy ${src} ${out} VERBATIM)
    list(APPEND _resources_out ${out})
  endforeach()
  add_library(KeloMacIconOverlay MODULE ${KELO_BUNDLE_SOURCES} ${_resources_out})
  set_target_properties(KeloMacIconOverlay PROPERTIES
    PREFIX "" SUFFIX "" OUTPUT_NAME KeloMacIconOverlay
    LIBRARY_OUTPUT_DIRECTORY ${KELO_BUNDLE_DIR})
  # GNUstep has no Core Foundation: form C comes from the Linux platform.
  target_link_libraries(KeloMacIconOverlay PRIVATE kelo_linux_platform kelo_objcxx)
  # The libraries linked in stay private to the bundle: its references bind to its own
  # copies, never to same-named code of the host process (whose statics would otherwise be
  # constructed twice).
  target_link_options(KeloMacIconOverlay PRIVATE -Wl,--exclude-libs,ALL)
endif()

kelo_objcxx_sources(${KELO_BUNDLE_SOURCES})
target_include_directories(KeloMacIconOverlay PRIVATE ${PROJECT_SOURCE_DIR})
# The runtime finds the classes by name; no C++ symbol of the bundle is for the host.
set_target_properties(KeloMacIconOverlay PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
kelo_make_position_independent(KeloMacIconOverlay)

