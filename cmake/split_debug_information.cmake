# Install step on Windows: the DLL loses its debug information to Quillmar_ws.dll.debug
# beside it, which a debugger finds through the DLL's debug link; qws.exe is only
# stripped. QWS_OBJCOPY, QWS_STRIP and QWS_BINDIR are set by the install rules.
set(bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${QWS_BINDIR}")
set(dll "${bin}/Quillmar_ws.dll")
message(STATUS "Splitting the debug information off: ${dll}.debug")
execute_process(COMMAND ${QWS_OBJCOPY} --only-keep-debug ${dll} ${dll}.debug COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${QWS_STRIP} --strip-debug ${dll} ${bin}/qws.exe COMMAND_ERROR_IS_FATAL ANY)
# The link names the file only: run beside it.
execute_process(COMMAND ${QWS_OBJCOPY} --add-gnu-debuglink=Quillmar_ws.dll.debug Quillmar_ws.dll
                WORKING_DIRECTORY ${bin} COMMAND_ERROR_IS_FATAL ANY)
