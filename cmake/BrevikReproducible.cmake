# Builds whose output depends only on the sources: the same commit gives the
# same binaries wherever it is checked out and whenever it is built.
#
# - Windows binaries carry no link time stamp (the PE header's TimeDateStamp
#   is 0), in every build.
# - With BREVIK_RELEASE (./run package), the paths of the source and build
#   folders are mapped to "." and "build" in everything the compiler writes
#   (debug information, __FILE__, assertion texts); brevik_link_map() makes
#   the linker write a map beside a binary, from which the package lists the
#   third-party libraries that went into it.  Not in the everyday builds: a
#   path in the flags would keep ccache from sharing objects between clones.
# - With BREVIK_RELEASE, Windows programs and DLLs are linked without symbols
#   and debug information: users get the binaries as shipped, a fraction of
#   the size (the static libraries keep theirs for those who link them).

if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()

if(BREVIK_RELEASE AND WIN32)
    add_link_options(-s)
endif()

if(BREVIK_RELEASE)
    add_compile_options(
        "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
        "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
endif()

# brevik_link_map(TARGET): with BREVIK_RELEASE, the linker's map of TARGET
# in <file>.map beside it.
function(brevik_link_map target)
    if(BREVIK_RELEASE)
        target_link_options(${target} PRIVATE "LINKER:-Map=$<TARGET_FILE:${target}>.map")
    endif()
endfunction()
