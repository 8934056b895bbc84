# cmake --install and the Debian package of the packing tool.
#
#   <prefix>/bin/zovari-pack
#   <prefix>/lib/zovari-onefile/runtime/linux/    this build's launcher runtime
#   <prefix>/lib/zovari-onefile/runtime/windows/  the Windows cross build's
#   <prefix>/share/doc/zovari-pack/README.md
#
# The tool finds the runtimes from its own location, so the tree can be
# moved.  The Windows runtime is taken from ZOVARI_WINDOWS_RUNTIME_DIR (by
# default the one the Windows cross build puts beside this build's); build
# that first.  The Debian package: cpack --config <build>/CPackConfig.cmake
if(CMAKE_CROSSCOMPILING OR NOT TARGET zovari-pack)
  return()
endif()

set(ZOVARI_VERSION 0.1.0)
target_compile_definitions(zovari-pack PRIVATE ZOVARI_VERSION="${ZOVARI_VERSION}")

set(ZOVARI_WINDOWS_RUNTIME_DIR ${ZOVARI_RUNTIME_ROOT}/windows CACHE PATH
    "The Windows launcher runtime that cmake --install and the Debian package carry")
set(runtime_destination lib/zovari-onefile/runtime)

# Refuse to install half a tool: a missing Windows runtime is found now, not
# by the first user who packs for Windows.
install(CODE "
  if(NOT EXISTS \"${ZOVARI_WINDOWS_RUNTIME_DIR}/libzovari_runtime.a\")
    message(FATAL_ERROR \"the Windows launcher runtime is missing in ${ZOVARI_WINDOWS_RUNTIME_DIR}: build the Windows cross build first (cmake/mingw-w64.cmake)\")
  endif()")
install(TARGETS zovari-pack RUNTIME DESTINATION bin)
install(FILES ${ZOVARI_RUNTIME_DIR}/libzovari_runtime.a ${ZOVARI_RUNTIME_DIR}/link-libraries.txt
        DESTINATION ${runtime_destination}/linux)
install(DIRECTORY ${ZOVARI_WINDOWS_RUNTIME_DIR}/ DESTINATION ${runtime_destination}/windows
        FILES_MATCHING PATTERN "libzovari_runtime.a" PATTERN "libzovari_zstd.a"
                       PATTERN "libzovari_deflate.a"
                       PATTERN "link-libraries.txt")
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
# What linking a launcher calls and links: g++ with the static zstd and
# libdeflate for Linux launchers; the MinGW-w64 g++ (posix threads) and
# windres for Windows ones, whose zstd and libdeflate come with the runtime.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "g++, libzstd-dev, libdeflate-dev, g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode, wine64")
include(CPack)
