# The Windows packages, both made from one staged tree that is the ZIP's content:
# build/<preset>/packages/Quillmar_ws-VERSION-winNN{/,.zip,.msi}. The DLL ships
# without its debug information, which sits beside it in Quillmar_ws.dll.debug.

find_program(QWS_WIXL wixl REQUIRED)

if(QWS_WIN32_X86)
  set(QWS_PACKAGE_BITS 32)
  set(QWS_MSI_ARCH x86)
  set(QWS_WIN64 no)
  set(QWS_PROGRAM_FILES ProgramFilesFolder)
  set(QWS_TYPELIB_PLATFORM win32)
  set(QWS_UPGRADE_CODE {5C0E8F3A-61B4-4E47-9D2B-3F1A7C9E2D41})
else()
  set(QWS_PACKAGE_BITS 64)
  set(QWS_MSI_ARCH x64)
  set(QWS_WIN64 yes)
  set(QWS_PROGRAM_FILES ProgramFiles64Folder)
  set(QWS_TYPELIB_PLATFORM win64)
  set(QWS_UPGRADE_CODE {A7D3B1C6-2E95-4F08-8B6A-D4C2E1F07B93})
endif()
set(QWS_PACKAGE_NAME Quillmar_ws-${PROJECT_VERSION}-win${QWS_PACKAGE_BITS})
set(QWS_PACKAGES_DIR ${CMAKE_BINARY_DIR}/packages)
set(QWS_STAGE ${QWS_PACKAGES_DIR}/${QWS_PACKAGE_NAME})
set(QWS_ZIP ${QWS_STAGE}.zip)
set(QWS_MSI ${QWS_STAGE}.msi)
set(QWS_PACKAGING_OUT ${CMAKE_BINARY_DIR}/generated)

# The COM identities come from the IDL, in its order: library, interface, class.
file(STRINGS ${QWS_IDL} QWS_IDL_UUIDS REGEX "uuid\\(")
string(REGEX MATCHALL "[0-9a-fA-F-]+\\)" QWS_IDL_UUIDS "${QWS_IDL_UUIDS}")
string(REPLACE ")" "" QWS_IDL_UUIDS "${QWS_IDL_UUIDS}")
string(TOUPPER "${QWS_IDL_UUIDS}" QWS_IDL_UUIDS)
list(TRANSFORM QWS_IDL_UUIDS REPLACE "(.+)" "{\\1}")
list(GET QWS_IDL_UUIDS 0 QWS_LIBID)
list(GET QWS_IDL_UUIDS 1 QWS_IID)
list(GET QWS_IDL_UUIDS 2 QWS_CLSID)
# The standard marshaler of dual interfaces, which RegisterTypeLib names too.
set(QWS_AUTOMATION_PROXY {00020424-0000-0000-C000-000000000046})

# The Visual Basic module and its sample form ship once they are in the tree.
file(GLOB QWS_VB_MODULES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/hosts/vb/*.bas
     ${PROJECT_SOURCE_DIR}/hosts/vb/*.frm)
set(QWS_WXS_VB_DIRECTORY "")
set(QWS_WXS_VB_REF "")
if(QWS_VB_MODULES)
  install(FILES ${QWS_VB_MODULES} DESTINATION vb)
  set(QWS_WXS_VB_DIRECTORY "          <Directory Id=\"VBDIR\" Name=\"vb\">\n            <Component Id=\"VbModules\" Guid=\"*\" Win64=\"${QWS_WIN64}\">\n")
  foreach(module IN LISTS QWS_VB_MODULES)
    get_filename_component(name ${module} NAME)
    string(MAKE_C_IDENTIFIER "Vb_${name}" id)
    string(APPEND QWS_WXS_VB_DIRECTORY "              <File Id=\"${id}\" Source=\"vb/${name}\"/>\n")
  endforeach()
  string(APPEND QWS_WXS_VB_DIRECTORY "            </Component>\n          </Directory>")
  set(QWS_WXS_VB_REF "      <ComponentRef Id=\"VbModules\"/>")
endif()

configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${QWS_PACKAGING_OUT}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${QWS_PACKAGING_OUT}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/Quillmar_ws.wxs.in
               ${QWS_PACKAGING_OUT}/Quillmar_ws.wxs @ONLY)

install(FILES ${QWS_DEF} ${QWS_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${QWS_PACKAGING_OUT}/README.txt ${QWS_PACKAGING_OUT}/LICENSE.txt DESTINATION .)
install(CODE "set(QWS_OBJCOPY \"${CMAKE_OBJCOPY}\")
  set(QWS_STRIP \"${CMAKE_STRIP}\")
  set(QWS_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/split_debug_information.cmake)

add_custom_command(
  OUTPUT ${QWS_ZIP} ${QWS_MSI}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QWS_STAGE} ${QWS_ZIP} ${QWS_MSI}
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${QWS_STAGE} > ${QWS_PACKAGES_DIR}/install.log
  COMMAND ${CMAKE_COMMAND} -E chdir ${QWS_PACKAGES_DIR}
          ${CMAKE_COMMAND} -E tar cf ${QWS_ZIP} --format=zip ${QWS_PACKAGE_NAME}
  # wixl takes the files' paths relative to its working directory.
  COMMAND ${CMAKE_COMMAND} -E chdir ${QWS_STAGE}
          ${QWS_WIXL} -a ${QWS_MSI_ARCH} -o ${QWS_MSI} ${QWS_PACKAGING_OUT}/Quillmar_ws.wxs
  DEPENDS Quillmar_ws qws include/Quillmar_ws.h ${QWS_DEF} ${QWS_VB_MODULES}
          ${QWS_PACKAGING_OUT}/README.txt ${QWS_PACKAGING_OUT}/LICENSE.txt
          ${QWS_PACKAGING_OUT}/Quillmar_ws.wxs ${PROJECT_SOURCE_DIR}/cmake/split_debug_information.cmake
  COMMENT "Packaging ${QWS_PACKAGE_NAME}.zip and .msi")
add_custom_target(packages ALL DEPENDS ${QWS_ZIP} ${QWS_MSI})
