# What a device owner is given: the Pocket PC programs that scripts/sign
# signs and the CABs that install them (docs/delivery.md). The Pocket PC
# build reads it to make the CABs; the host build reads it for the tests,
# which check every program and CAB it names, and for cmake --install and the
# release.

# Each program as trq_pocketpc_executable(NAME ...) makes it, NAME.exe below
# the Pocket PC build's folder; its target is NAME. One line for each.
set(TRQ_DELIVERED_IMAGES
    platform/wince/TRQUninstall.exe
    platform/wince/TRQUninstallKit.exe
    platform/wince/TRQUninstallTrace.exe
)

# The CABs, each installing some of the programs above on every Pocket PC
# (Pocket PC 2003 to Windows Mobile 6.5), beside the uninstaller. For each
# CAB NAME (platform/wince/NAME.cab), what scripts/make-cab is given: the
# application's name TRQ_CAB_<NAME>_APP, which Remove Programs lists and
# which names its folder in \Program Files; its programs, by target (in the
# order of the list above); the shortcut of each program not named after
# it, PROGRAM.exe=LINK. The CABs differ in all of these, so that both install
# on one device and either is removed without the other's files.
set(TRQ_DELIVERED_CABS TRQUninstall TRQUninstallKit)
# For every device user: the uninstaller alone, its shortcut named as its
# boxes are captioned.
set(TRQ_CAB_TRQUninstall_APP "TRQ Uninstall")
set(TRQ_CAB_TRQUninstall_PROGRAMS TRQUninstall)
set(TRQ_CAB_TRQUninstall_SHORTCUTS "TRQUninstall.exe=TRQ Uninstall")
# For an owner who proves the uninstaller on the device: the kit and the
# trace build, which is the uninstaller in the kit's round.
set(TRQ_CAB_TRQUninstallKit_APP "TRQ Uninstall Kit")
set(TRQ_CAB_TRQUninstallKit_PROGRAMS TRQUninstallKit TRQUninstallTrace)
set(TRQ_CAB_TRQUninstallKit_SHORTCUTS "")

# The host tools installed beside them, by target.
set(TRQ_DELIVERED_TOOLS trq-uninstall-sim elf-to-wince)

# Where cmake --install puts each (below the prefix), and the documents.
include(GNUInstallDirs)
set(TRQ_INSTALL_POCKETPC_DIR ${CMAKE_INSTALL_DATADIR}/trq-uninstall/pocketpc)
set(TRQ_INSTALL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/trq-uninstall)

# trq_delivered_cabs(): in the Pocket PC build, each CAB above of whichever
# of its programs this build makes, written by scripts/make-cab with gcab;
# skipped, with a message, when gcab or Python is not installed. The target
# delivered_cabs makes them all.
function(trq_delivered_cabs)
    list(TRANSFORM TRQ_DELIVERED_CABS REPLACE "(.+)" "platform/wince/\\1.cab" OUTPUT_VARIABLE files)
    find_program(TRQ_GCAB gcab)
    find_program(TRQ_PYTHON3 python3)
    if(NOT TRQ_GCAB OR NOT TRQ_PYTHON3)
        list(JOIN files ", " files)
        message(STATUS "gcab or python3 not found: ${files} are not built")
        return()
    endif()
    set(scripts ${PROJECT_SOURCE_DIR}/scripts)
    set(cabs "")
    foreach(name IN LISTS TRQ_DELIVERED_CABS)
        set(images "")
        set(targets "")
        foreach(image IN LISTS TRQ_DELIVERED_IMAGES)
            get_filename_component(target ${image} NAME_WE)
            if(target IN_LIST TRQ_CAB_${name}_PROGRAMS AND TARGET ${target})
                list(APPEND images ${CMAKE_BINARY_DIR}/${image})
                list(APPEND targets ${target})
            endif()
        endforeach()
        if(NOT targets)
            continue()
        endif()
        set(shortcuts "")
        foreach(shortcut IN LISTS TRQ_CAB_${name}_SHORTCUTS)
            list(APPEND shortcuts --shortcut ${shortcut})
        endforeach()
        set(cab ${CMAKE_BINARY_DIR}/platform/wince/${name}.cab)
        add_custom_command(OUTPUT ${cab}
            COMMAND ${TRQ_PYTHON3} ${scripts}/make-cab --gcab ${TRQ_GCAB} --name ${TRQ_CAB_${name}_APP}
                ${shortcuts} ${cab} ${images}
            DEPENDS ${images} ${targets} ${scripts}/make-cab ${scripts}/host_files.py
            COMMENT "Writing the CAB ${name}.cab: ${TRQ_CAB_${name}_APP}"
            VERBATIM)
        list(APPEND cabs ${cab})
    endforeach()
    add_custom_target(delivered_cabs ALL DEPENDS ${cabs})
endfunction()

# trq_install_delivery(): in the host build, what cmake --install lays out:
# the host tools in bin/, the Pocket PC programs of the list above and their
# CABs (those the Pocket PC build made) in share/trq-uninstall/pocketpc/, the
# documents in share/doc/trq-uninstall/ (README.md, and docs/ below it, so
# that their links still lead somewhere). The desktop Windows builds are not
# installed: they exist to test the device code under Wine. Then the target
# release: scripts/make-release, the archives of that tree, in release/.
function(trq_install_delivery)
    install(TARGETS ${TRQ_DELIVERED_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TRQ_DELIVERED_FILES)
        install(FILES ${TRQ_DELIVERED_FILES} ${TRQ_DELIVERED_CAB_FILES} DESTINATION ${TRQ_INSTALL_POCKETPC_DIR})
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
