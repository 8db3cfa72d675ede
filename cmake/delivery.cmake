# What a device owner is given: the Pocket PC programs that scripts/sign
# signs and that the CAB installs (docs/delivery.md). The Pocket PC build
# reads it to make the CAB; the host build reads it for the tests, which
# check every program it names, and for cmake --install and the release.

# Each program as trq_pocketpc_executable(NAME ...) makes it, NAME.exe below
# the Pocket PC build's folder; its target is NAME. One line for each.
set(TRQ_DELIVERED_IMAGES
    platform/wince/TRQUninstall.exe
    platform/wince/TRQUninstallKit.exe
    platform/wince/TRQUninstallTrace.exe
)

# The CAB for every Pocket PC (Pocket PC 2003 to Windows Mobile 6.5), beside
# the uninstaller.
set(TRQ_DELIVERED_CAB platform/wince/TRQUninstallKit.cab)

# The host tools installed beside them, by target.
set(TRQ_DELIVERED_TOOLS trq-uninstall-sim elf-to-wince)

# Where cmake --install puts each (below the prefix), and the documents.
include(GNUInstallDirs)
set(TRQ_INSTALL_POCKETPC_DIR ${CMAKE_INSTALL_DATADIR}/trq-uninstall/pocketpc)
set(TRQ_INSTALL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/trq-uninstall)

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
        COMMENT "Writing the CAB for every Pocket PC: ${TRQ_DELIVERED_CAB}"
        VERBATIM)
    add_custom_target(delivered_cab ALL DEPENDS ${cab})
endfunction()

# trq_install_delivery(): in the host build, what cmake --install lays out:
# the host tools in bin/, the Pocket PC programs of the list above and their
# CAB (those the Pocket PC build made) in share/trq-uninstall/pocketpc/, the
# documents in share/doc/trq-uninstall/ (README.md, and docs/ below it, so
# that their links still lead somewhere). The desktop Windows builds are not
# installed: they exist to test the device code under Wine. Then the target
# release: scripts/make-release, the archives of that tree, in release/.
function(trq_install_delivery)
    install(TARGETS ${TRQ_DELIVERED_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TRQ_DELIVERED_FILES)
        install(FILES ${TRQ_DELIVERED_FILES} ${TRQ_DELIVERED_CAB_FILE} DESTINATION ${TRQ_INSTALL_POCKETPC_DIR})
    endif()
    file(GLOB docs LIST_DIRECTORIES false CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TRQ_INSTALL_DOC_DIR})
    install(FILES ${docs} DESTINATION ${TRQ_INSTALL_DOC_DIR}/docs)

    # The script by its own first line (/usr/bin/python3), as the tests run
    # it: one Python, one zlib, the same bytes.
    add_custom_target(release
        COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-release --build ${CMAKE_BINARY_DIR}
            --version ${PROJECT_VERSION} --out ${CMAKE_BINARY_DIR}/release
        COMMENT "Making the release archives of the installed tree in release/"
        USES_TERMINAL VERBATIM)
    add_dependencies(release ${TRQ_DELIVERED_TOOLS})
    if(TARGET pocketpc)
        add_dependencies(release pocketpc)
    endif()
endfunction()
