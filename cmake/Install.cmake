# The installed kit (scripts/install.sh installs both trees into one prefix):
#   bin/tavrin-pack, bin/tavrin-pack.exe          the packer of each tree
#   share/tavrin/tavrin-launcher.exe              the stub (Windows tree)
#   share/tavrin/mingw-w64.cmake                  the toolchain the Windows tree was built with
#   include/tavrin/app.h                          the entry point's declaration
#   lib/cmake/tavrin/                             the package: find_package(tavrin)
# The header and the package come from either tree, so that one tree alone, built natively
# on Windows, is a kit too.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAVRIN_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tavrin)
set(TAVRIN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavrin)

if(TARGET tavrin-pack)
  install(TARGETS tavrin-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET tavrin-launcher)
  install(TARGETS tavrin-launcher RUNTIME DESTINATION ${TAVRIN_INSTALL_DATADIR})
endif()
if(WIN32 AND CMAKE_TOOLCHAIN_FILE)
  install(FILES ${CMAKE_TOOLCHAIN_FILE} DESTINATION ${TAVRIN_INSTALL_DATADIR} RENAME mingw-w64.cmake)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/include/tavrin/app.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavrin)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/tavrinConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/tavrinConfig.cmake
  INSTALL_DESTINATION ${TAVRIN_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_INCLUDEDIR TAVRIN_INSTALL_DATADIR)
# The stub is a 64-bit image: the version file's pointer-size check turns a 32-bit project
# away at find_package instead of at the first start of its exe.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/tavrinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/tavrinConfig.cmake
              ${CMAKE_BINARY_DIR}/package/tavrinConfigVersion.cmake
              ${CMAKE_SOURCE_DIR}/cmake/tavrinOnefile.cmake
              ${CMAKE_SOURCE_DIR}/cmake/tavrinRuntimeDlls.cmake
        DESTINATION ${TAVRIN_INSTALL_CMAKEDIR})
