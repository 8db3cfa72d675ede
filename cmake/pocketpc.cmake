# Making Pocket PC executables, in the cross build of cmake/arm-wince.cmake:
# the sources for ARM, freestanding (no C runtime, no compiler support
# library), linked at the addresses Windows CE loads an executable at
# (platform/wince/pocketpc.ld), then written as a PE image by elf-to-wince.

# elf-to-wince runs on the build machine: the host build passes its own in
# TRQ_ELF_TO_WINCE; the pocketpc preset alone builds one with the host's
# compiler.
if(TRQ_ELF_TO_WINCE)
    set(TRQ_ELF_TO_WINCE_COMMAND ${TRQ_ELF_TO_WINCE})
    set(TRQ_ELF_TO_WINCE_TARGET "")
else()
    include(ExternalProject)
    ExternalProject_Add(elf_to_wince
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/elf-to-wince
        BINARY_DIR ${CMAKE_BINARY_DIR}/elf-to-wince
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/elf-to-wince/elf-to-wince
        INSTALL_COMMAND "")
    set(TRQ_ELF_TO_WINCE_COMMAND ${CMAKE_BINARY_DIR}/elf-to-wince/elf-to-wince)
    set(TRQ_ELF_TO_WINCE_TARGET elf_to_wince)
endif()

# trq_pocketpc_executable(NAME [CALLS uninstaller|trace|kit] SOURCE...) makes
# NAME.exe in the current binary folder, importing only the device calls of
# its tier (the uninstaller's by default); the target NAME_elf is the linked
# ELF file, to add options to.
function(trq_pocketpc_executable name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "CALLS" "")
    if(NOT arg_CALLS)
        set(arg_CALLS uninstaller)
    endif()
    set(elf ${name}_elf)
    add_executable(${elf} ${arg_UNPARSED_ARGUMENTS} ${PROJECT_SOURCE_DIR}/platform/wince/import_thunks.cpp)
    set_target_properties(${elf} PROPERTIES
        OUTPUT_NAME ${name}.elf
        LINK_DEPENDS ${PROJECT_SOURCE_DIR}/platform/wince/pocketpc.ld)
    target_include_directories(${elf} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${elf} PRIVATE _WIN32_WCE=0x420 UNDER_CE ARM _ARM_)
    target_compile_options(${elf} PRIVATE ${TRQ_DEVICE_FLAGS}
        -Os -ffreestanding -fno-asynchronous-unwind-tables -fno-unwind-tables
        -ffunction-sections -fdata-sections
        # Keep the compiler from turning loops into calls to memset or
        # memcpy, which would need a C runtime.
        -fno-tree-loop-distribute-patterns -fno-builtin)
    target_link_options(${elf} PRIVATE -nostdlib -nostartfiles
        -Wl,-T,${PROJECT_SOURCE_DIR}/platform/wince/pocketpc.ld -Wl,--gc-sections)

    set(exe ${CMAKE_CURRENT_BINARY_DIR}/${name}.exe)
    add_custom_command(OUTPUT ${exe}
        COMMAND ${TRQ_ELF_TO_WINCE_COMMAND} --calls ${arg_CALLS} $<TARGET_FILE:${elf}> ${exe}
        DEPENDS ${elf} ${TRQ_ELF_TO_WINCE_TARGET} ${TRQ_ELF_TO_WINCE_COMMAND}
        COMMENT "Writing the Pocket PC executable ${name}.exe"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${exe})
endfunction()
