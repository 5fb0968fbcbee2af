# The Debian packages, by CPack, one per install component, in build/native/packages
# as NAME_VERSION_ARCH.deb (QWS_DEBS lists them):
#   libquillmar-ws1      runtime: the library and its SONAME link; its shlibs and
#                        the ldconfig trigger
#   libquillmar-ws-dev   development: the header, the development link, the CMake
#                        package and the pkg-config file
#   quillmar-ws-tools    tools: qws and its manual page
#   python3-quillmar-ws  python: the Python module
# Dependencies on other packages are computed (dpkg-shlibdeps). Each package carries
# the licence as its copyright file and the changelog.

set(QWS_DEB_SOURCE quillmar-ws)
set(QWS_DEB_COMPONENTS runtime development tools python)
set(QWS_DEB_RUNTIME libquillmar-ws${PROJECT_VERSION_MAJOR})
set(QWS_DEB_DEVELOPMENT libquillmar-ws-dev)
set(QWS_DEB_TOOLS quillmar-ws-tools)
set(QWS_DEB_PYTHON python3-quillmar-ws)
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
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/qws.1.in ${QWS_DEB_OUT}/qws.1 @ONLY)
foreach(document changelog qws.1)
  add_custom_command(OUTPUT ${QWS_DEB_OUT}/${document}.gz
    COMMAND gzip -9nkf ${QWS_DEB_OUT}/${document}
    DEPENDS ${QWS_DEB_OUT}/${document})
endforeach()
install(FILES ${QWS_DEB_OUT}/qws.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QWS_DEB_COMPONENTS})
set(CPACK_COMPONENTS_GROUPING IGNORE)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE QWS_DEB_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(QWS_DEBS)
set(QWS_DEB_NAMES)
foreach(qws_component IN LISTS QWS_DEB_COMPONENTS)
  string(TOUPPER ${qws_component} qws_upper)
  set(qws_name ${QWS_DEB_${qws_upper}})
  set(CPACK_DEBIAN_${qws_upper}_PACKAGE_NAME ${qws_name})
  install(FILES ${QWS_DEB_OUT}/copyright ${QWS_DEB_OUT}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${qws_name} COMPONENT ${qws_component})
  set(qws_arch ${QWS_DEB_ARCH})
  if(CPACK_DEBIAN_${qws_upper}_PACKAGE_ARCHITECTURE)
    set(qws_arch ${CPACK_DEBIAN_${qws_upper}_PACKAGE_ARCHITECTURE})
  endif()
  list(APPEND QWS_DEBS ${CMAKE_BINARY_DIR}/packages/${qws_name}_${PROJECT_VERSION}_${qws_arch}.deb)
  list(APPEND QWS_DEB_NAMES ${qws_name})
endforeach()
list(JOIN QWS_DEB_NAMES ", " QWS_DEB_NAMES)

set(CPACK_DEBIAN_PACKAGE_SOURCE ${QWS_DEB_SOURCE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Installed into /usr with DESTDIR, so that the pkg-config file names /usr, not the
# staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)

# qws and the module need the runtime package of at least this version, as its
# shlibs file says. dpkg-shlibdeps cannot look that up for qws (the library is in a
# package of this build, not installed), but finds the library in the build folder
# and computes the rest.
set(QWS_DEB_NEEDS_RUNTIME "${QWS_DEB_RUNTIME} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})

set(QWS_DEB_ABOUT "Quillmar_ws gives a host program one TCP connection per calling thread
through a handful of flat exported functions: listen and accept one peer by
polling, or connect, in plain text or over TLS; send text; poll for received
text; close.
")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "one TCP connection per calling thread through flat functions
${QWS_DEB_ABOUT}
This package holds the shared library.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${QWS_DEB_OUT}/triggers)
# ldconfig runs through the trigger alone, not from maintainer scripts too.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/drop_ldconfig_scripts.cmake)

set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "development files for Quillmar_ws
${QWS_DEB_ABOUT}
This package holds the C header, the development link, a CMake package
(find_package(Quillmar_ws)) and a pkg-config file.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QWS_DEB_RUNTIME} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line host of Quillmar_ws
${QWS_DEB_ABOUT}
This package holds qws, which connects or listens, then relays standard input
to the peer and what the peer sends to standard output.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${QWS_DEB_NEEDS_RUNTIME})

set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python host module of Quillmar_ws
${QWS_DEB_ABOUT}
This package holds the module quillmar_ws for Python 3 (ctypes only), which
loads the library by its SONAME.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The interpreter, as Debian's own tooling adds it for a module (any version).
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${QWS_DEB_NEEDS_RUNTIME}")
include(CPack)

add_custom_command(
  OUTPUT ${QWS_DEBS}
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
          -B ${CMAKE_BINARY_DIR}/packages > ${CMAKE_BINARY_DIR}/packages/cpack.log
  DEPENDS Quillmar_ws qws include/Quillmar_ws.h hosts/python/quillmar_ws.py
          ${QWS_DEB_OUT}/copyright ${QWS_DEB_OUT}/changelog.gz ${QWS_DEB_OUT}/qws.1.gz
          ${QWS_DEB_OUT}/triggers ${PROJECT_SOURCE_DIR}/packaging/debian/drop_ldconfig_scripts.cmake
  COMMENT "Packaging ${QWS_DEB_NAMES}")
add_custom_target(packages ALL DEPENDS ${QWS_DEBS})
