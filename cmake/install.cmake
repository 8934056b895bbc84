# cmake --install and the Debian package of the packing tool.
#
#   <prefix>/bin/zovari-pack
#   <prefix>/lib/zovari-onefile/runtime/linux/zovari-launcher        this build's runtime image
#   <prefix>/lib/zovari-onefile/runtime/windows/zovari-launcher.exe  the Windows cross build's
#   <prefix>/share/doc/zovari-pack/README.md
#
# The tool finds the runtime images from its own location, so the tree can be
# moved.  The Windows image is taken from ZOVARI_WINDOWS_RUNTIME_DIR (by
# default the Windows cross build's, ZOVARI_WINDOWS_BUILD_DIR); build that
# first.  The Debian package: cpack --config <build>/CPackConfig.cmake
if(CMAKE_CROSSCOMPILING OR NOT TARGET zovari-pack)
  return()
endif()

set(ZOVARI_VERSION 0.1.0)
target_compile_definitions(zovari-pack PRIVATE ZOVARI_VERSION="${ZOVARI_VERSION}")

set(runtime_destination lib/zovari-onefile/runtime)

# Refuse to install half a tool: a missing Windows runtime is found now, not
# by the first user who packs for Windows.
install(CODE "
  if(NOT EXISTS \"${ZOVARI_WINDOWS_RUNTIME_DIR}/zovari-launcher.exe\")
    message(FATAL_ERROR \"the Windows runtime image is missing in ${ZOVARI_WINDOWS_RUNTIME_DIR}: build the Windows cross build first (cmake/mingw-w64.cmake)\")
  endif()")
install(TARGETS zovari-pack RUNTIME DESTINATION bin)
install(PROGRAMS ${ZOVARI_RUNTIME_DIR}/zovari-launcher DESTINATION ${runtime_destination}/linux)
install(PROGRAMS ${ZOVARI_WINDOWS_RUNTIME_DIR}/zovari-launcher.exe DESTINATION ${runtime_destination}/windows)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/zovari-pack)

# --- The Debian package ------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zovari-pack)
set(CPACK_PACKAGE_VERSION ${ZOVARI_VERSION})
set(CPACK_PACKAGE_VENDOR "Zovari")
set(CPACK_PACKAGE_CONTACT "Zovari Onefile <onefile@zovari.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "packs an application folder into a single-file launcher for Windows or Linux")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_FILE_NAME zovari-pack_${ZOVARI_VERSION}_amd64)
# Where the package goes unless cpack -B names another folder.
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Launchers are written from the runtime images, with no compiler: the
# package depends only on the libraries the tool loads, which dpkg-shlibdeps
# finds (libzstd1 and the C and C++ run-time).  Signing Windows launchers and
# trying them here are the user's choice.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode, wine")
include(CPack)
