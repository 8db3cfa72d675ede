# What a device owner is given: the Pocket PC programs that scripts/sign
# signs and that the CAB installs (docs/delivery.md). The Pocket PC build
# reads it to make the CAB; the host build reads it for the tests, which
# check every program it names.

# Each program as trq_pocketpc_executable(NAME ...) makes it, NAME.exe below
# the Pocket PC build's folder; its target is NAME. One line for each.
set(TRQ_DELIVERED_IMAGES
    platform/wince/TRQUninstall.exe
    platform/wince/TRQUninstallKit.exe
    platform/wince/TRQUninstallTrace.exe
)

# The CAB for Windows Mobile 5 and later, beside the uninstaller.
set(TRQ_DELIVERED_CAB platform/wince/TRQUninstallKit.cab)

# trq_delivered_cab(): in the Pocket PC build, the CAB of whichever of the
# programs above this build makes, written by scripts/make-cab with gcab;
# skipped, with a message, when gcab or Python is not installed.
function(trq_delivered_cab)
    find_program(TRQ_GCAB gcab)
    find_program(TRQ_PYTHON3 python3)
    if(NOT TRQ_GCAB OR NOT TRQ_PYTHON3)
        message(STATUS "gcab or python3 not found: ${TRQ_DELIVERED_CAB} is not built")
        return()
    endif()
    set(images "")
    set(targets "")
    foreach(image IN LISTS TRQ_DELIVERED_IMAGES)
        get_filename_component(name ${image} NAME_WE)
        if(TARGET ${name})
            list(APPEND images ${CMAKE_BINARY_DIR}/${image})
            list(APPEND targets ${name})
        endif()
    endforeach()
    set(cab ${CMAKE_BINARY_DIR}/${TRQ_DELIVERED_CAB})
    set(scripts ${PROJECT_SOURCE_DIR}/scripts)
    add_custom_command(OUTPUT ${cab}
        COMMAND ${TRQ_PYTHON3} ${scripts}/make-cab --gcab ${TRQ_GCAB} ${cab} ${images}
        DEPENDS ${images} ${targets} ${scripts}/make-cab ${scripts}/host_files.py
        COMMENT "Writing the CAB for Windows Mobile 5 and later: ${TRQ_DELIVERED_CAB}"
        VERBATIM)
    add_custom_target(delivered_cab ALL DEPENDS ${cab})
endfunction()
