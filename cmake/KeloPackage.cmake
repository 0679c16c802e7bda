# Installation of the command-line tool, and `make package`: one Debian package per component
# (CPack's DEB generator, installing under /usr). The components are installed by the folders
# that build them:
#   cli       kelo-overlay
#   dolphin   the Dolphin plug-in            emblems   the badge emblems of the hicolor theme
#   nautilus, nemo, caja                     the GTK file managers' extensions
# Each package's library dependencies come from dpkg-shlibdeps; a face depends on the emblems.
include(GNUInstallDirs)

if(TARGET kelo-overlay)
  install(TARGETS kelo-overlay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelo-overlay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Kelo overlay maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sync state badges for file managers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)

set(CPACK_COMPONENT_CLI_DESCRIPTION
    "Command-line tool: badges of paths, sessions, a sample home, diagnosis")
set(CPACK_COMPONENT_EMBLEMS_DESCRIPTION "Badge emblems of the hicolor icon theme")
set(CPACK_COMPONENT_DOLPHIN_DESCRIPTION "Sync state badges in Dolphin (KIO overlay plug-in)")
set(CPACK_COMPONENT_NAUTILUS_DESCRIPTION "Sync state badges in Nautilus (extension)")
set(CPACK_COMPONENT_NEMO_DESCRIPTION "Sync state badges in Nemo (extension)")
set(CPACK_COMPONENT_CAJA_DESCRIPTION "Sync state badges in Caja (extension)")
# Every face names the emblems and is of use only beside its file manager.
foreach(face dolphin nautilus nemo caja)
  string(TOUPPER ${face} FACE)
  set(CPACK_COMPONENT_${FACE}_DEPENDS emblems)
  set(CPACK_DEBIAN_${FACE}_PACKAGE_ENHANCES ${face})
endforeach()
include(CPack)
