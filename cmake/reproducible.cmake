# trq_map_build_paths(): the host build's objects name their sources
# relative to the source folder and their build folder as ".", whichever
# folder this clone is in, so that the installed host tools (RelWithDebInfo:
# with debugging information) are the same bytes from every clone of a
# commit. GCC and Clang take the last of the maps that fits a path.
#
# The same whether ccache compiles or not: ccache (base_dir, CMakeLists.txt)
# hands the compiler the paths below the source folder relative to the
# folder it compiles in, which Ninja makes the build folder for every
# object, and without "..": the second map takes that relative form, and
# the include folders are named without ".." (device/, formats/).
#
# ccache does not hash the folder a map replaces, only what it puts in its
# place: after changing one of those folders here, clear its cache
# (ccache -C), or objects made with the old maps come back from it.
#
# For the host build only: the Pocket PC and Windows builds have no
# debugging information, and their images stay the bytes they are.
function(trq_map_build_paths)
    file(RELATIVE_PATH source_from_build ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    string(REGEX REPLACE "/$" "" source_from_build "${source_from_build}")  # "../../" from CMake 3.25
    set(relative "")
    if(source_from_build)  # not built in the source folder itself
        set(relative -ffile-prefix-map=${source_from_build}/=)
    endif()
    add_compile_options(
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
        ${relative}
        -ffile-prefix-map=${CMAKE_BINARY_DIR}=.
        -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
endfunction()
