# add_kernel_driver(<name> SOURCES <files...> [RESOURCES <.rc files...>] [INCLUDES <dirs...>])
# Builds <name>.sys: a 64-bit kernel-mode image, stripped, whose only imports are ntoskrnl.exe
# and hal.dll.
# Only meaningful in the Windows configuration.
function(add_kernel_driver name)
    cmake_parse_arguments(KD "" "" "SOURCES;RESOURCES;INCLUDES" ${ARGN})
    add_executable(${name} ${KD_SOURCES}
                   ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kernel_image_relocation.cpp)
    if(KD_RESOURCES)
        # Compiled apart, so that the kernel compile options below never reach windres.
        add_library(${name}_resources OBJECT ${KD_RESOURCES})
        target_include_directories(${name}_resources PRIVATE ${KD_INCLUDES})
        target_sources(${name} PRIVATE $<TARGET_OBJECTS:${name}_resources>)
    endif()
    set_target_properties(${name} PROPERTIES SUFFIX ".sys" OUTPUT_NAME ${name})
    target_include_directories(${name} PRIVATE ${KD_INCLUDES})
    target_include_directories(${name} SYSTEM PRIVATE /usr/x86_64-w64-mingw32/include/ddk)
    target_compile_options(${name} PRIVATE
        -O2 -fno-stack-protector -mno-stack-arg-probe -ffreestanding
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)
    # The user-mode link options (-static, the C++ runtime) must not reach a kernel image.
    set_target_properties(${name} PROPERTIES LINK_OPTIONS "")
    # Linked as an image of its own, not as a DLL: no DLL flag and no export table (the kernel
    # finds DriverEntry through the entry point), and with --dynamicbase ld emits the
    # base-relocation directory that the kernel needs, since it always loads a driver at an
    # address of its choosing (kernel_image_relocation.cpp makes sure it has an entry). ld also
    # writes the PE checksum, which the kernel checks.
    target_link_options(${name} PRIVATE
        -nostdlib -nostartfiles
        -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x10000
        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
        -Wl,--dynamicbase -Wl,--nxcompat -Wl,--exclude-all-symbols
        # No symbol table or debug sections in the image; the import table stays.
        -s)
    target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
    # MinGW's wdm.h defines two interlocked intrinsics that intrin.h has already defined, which
    # C++ refuses; these guards make intrin.h leave them to wdm.h.
    target_compile_definitions(${name} PRIVATE
        __INTRINSIC_DEFINED_InterlockedBitTestAndSet
        __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    # The link line still carries the user-mode default libraries; fail the build if any of
    # them turned into an import that no kernel can satisfy.
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:${name}>
                -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/check_kernel_imports.cmake
        VERBATIM)
endfunction()
