# cmake --install and the Debian package of the packing tool.
#
#   <prefix>/bin/zovari-pack
#   <prefix>/lib/zovari-onefile/runtime/linux/zovari-launcher        this build's runtime image
#   <prefix>/lib/zovari-onefile/runtime/windows/zovari-launcher.exe  the Windows cross build's
#   <prefix>/share/doc/zovari-pack/README.md
#   <prefix>/share/doc/zovari-pack/copyright     the terms of what the package holds
#   <prefix>/share/doc/zovari-pack/changelog.gz  the package's changes
#   <prefix>/share/man/man1/zovari-pack.1.gz     the manual page
#   <prefix>/share/lintian/overrides/zovari-pack  the static Linux runtime image is meant so
#
# (what Debian's tools expect of a package, from cmake/debian/)
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
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/cmake/debian/copyright
        DESTINATION share/doc/zovari-pack)
# The manual page and the changelog are installed compressed, without a name
# or time in the gzip header, so that the package's bytes follow from its
# sources.
set(debian_files ${CMAKE_SOURCE_DIR}/cmake/debian)
set(manual ${CMAKE_BINARY_DIR}/zovari-pack.1.gz)
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${manual} ${changelog}
  COMMAND gzip -9 -n -c ${debian_files}/zovari-pack.1 > ${manual}
  COMMAND gzip -9 -n -c ${debian_files}/changelog > ${changelog}
  DEPENDS ${debian_files}/zovari-pack.1 ${debian_files}/changelog VERBATIM)
add_custom_target(zovari-pack-documents ALL DEPENDS ${manual} ${changelog})
install(FILES ${manual} DESTINATION share/man/man1)
install(FILES ${changelog} DESTINATION share/doc/zovari-pack)
install(FILES ${debian_files}/lintian-overrides DESTINATION share/lintian/overrides RENAME zovari-pack)

# --- The Debian package ------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zovari-pack)
set(CPACK_PACKAGE_VERSION ${ZOVARI_VERSION})
set(CPACK_PACKAGE_VENDOR "Zovari")
set(CPACK_PACKAGE_CONTACT "Zovari Onefile <onefile@zovari.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "packs an application folder into a single-file launcher for Windows or Linux")
set(CPACK_PACKAGE_DESCRIPTION "zovari-pack turns an application folder into one executable, the launcher,
for 64-bit Windows or x86-64 Linux. Started, the launcher unpacks the
application into a cache folder, writing only what is missing or changed,
and starts its main program with its own arguments, standard handles and
environment. Launchers are written from the runtime images this package
carries, with no compiler.")
# Stripped, as Debian's packages are.
set(CPACK_STRIP_FILES ON)
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
