# cmake -DOBJDUMP=<objdump> -DIMAGE=<file.sys> -P check_kernel_imports.cmake
# Fails unless the kernel image imports from ntoskrnl.exe and hal.dll only. The link line also
# carries the user-mode default libraries (kernel32 and others); a symbol that only those
# provide would otherwise turn into an import that no kernel can satisfy.
execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll MATCHES "^(ntoskrnl\\.exe|hal\\.dll)$")
        message(FATAL_ERROR "${IMAGE} imports from ${dll}; a kernel driver may import only "
                            "from ntoskrnl.exe and hal.dll")
    endif()
endforeach()
