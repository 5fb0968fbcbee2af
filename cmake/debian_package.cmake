# The Debian package, by CPack: build/native/packages/quillmar-ws_VERSION_ARCH.deb.
# Its dependencies are computed (dpkg-shlibdeps), and it declares the library's
# shlibs and the ldconfig trigger. The licence is its copyright file.

set(QWS_DEB_NAME quillmar-ws)
set(QWS_DEB_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QWS_DEB_NAME})
set(QWS_DEB_OUT ${CMAKE_BINARY_DIR}/generated/debian)
set(CPACK_PACKAGE_CONTACT "The Quillmar_ws developers <quillmar-ws@example.org>")

# Debian's machine-readable copyright file, whose licence text is LICENSE, indented
# and with blank lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE QWS_LICENSE_TEXT)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
string(REGEX REPLACE "^MIT License\n\n" "" QWS_LICENSE_TEXT "${QWS_LICENSE_TEXT}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${QWS_LICENSE_TEXT}")
set(QWS_COPYRIGHT_HOLDER ${CMAKE_MATCH_1})
string(REGEX REPLACE "Copyright \\(c\\) [^\n]+\n\n" "" QWS_LICENSE_TEXT "${QWS_LICENSE_TEXT}")
string(STRIP "${QWS_LICENSE_TEXT}" QWS_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" QWS_LICENSE_TEXT "${QWS_LICENSE_TEXT}")
string(REPLACE "\n" "\n " QWS_LICENSE_TEXT "${QWS_LICENSE_TEXT}")
file(CONFIGURE OUTPUT ${QWS_DEB_OUT}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quillmar_ws

Files: *
Copyright: ${QWS_COPYRIGHT_HOLDER}
License: Expat
 ${QWS_LICENSE_TEXT}
" @ONLY)

# ldconfig runs through dpkg's trigger, once for all packages installed together.
file(CONFIGURE OUTPUT ${QWS_DEB_OUT}/triggers CONTENT "activate-noawait ldconfig\n")

configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${QWS_DEB_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${QWS_DEB_OUT}/changelog.gz
  COMMAND gzip -9nkf ${QWS_DEB_OUT}/changelog
  DEPENDS ${QWS_DEB_OUT}/changelog)
install(FILES ${QWS_DEB_OUT}/copyright ${QWS_DEB_OUT}/changelog.gz DESTINATION ${QWS_DEB_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QWS_DEB_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Installed into /usr with DESTDIR, so that the pkg-config file names /usr, not the
# staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one TCP connection per calling thread through flat functions")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillmar_ws gives a host program one TCP connection per calling thread
through a handful of flat exported functions: listen and accept one peer by
polling, or connect; send text; poll for received text; close.

This package holds the shared library, its C header, a CMake package and a
pkg-config file, qws (a command-line host) and the Python host module.")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps computes what the binaries need; a module in dist-packages needs
# the interpreter, which is what Debian's own tooling adds for one (any version).
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3:any)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QWS_DEB_OUT}/triggers)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE QWS_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QWS_DEB ${CMAKE_BINARY_DIR}/packages/${QWS_DEB_NAME}_${PROJECT_VERSION}_${QWS_DEB_ARCH}.deb)
add_custom_command(
  OUTPUT ${QWS_DEB}
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
          -B ${CMAKE_BINARY_DIR}/packages > ${CMAKE_BINARY_DIR}/packages/cpack.log
  DEPENDS Quillmar_ws qws include/Quillmar_ws.h hosts/python/quillmar_ws.py
          ${QWS_DEB_OUT}/copyright ${QWS_DEB_OUT}/changelog.gz ${QWS_DEB_OUT}/triggers
  COMMENT "Packaging ${QWS_DEB_NAME}_${PROJECT_VERSION}_${QWS_DEB_ARCH}.deb")
add_custom_target(packages ALL DEPENDS ${QWS_DEB})
