# The product's version, set once by project(brevik VERSION x.y.z) in the
# top-level CMakeLists.txt, and the header every binary reads it from.
#
# brevik_version.h is written at build time by version-header.cmake (the
# target brevik_version, run on every build, rewriting the header only when
# it changes), so that the commit a binary is built from is in it without a
# new configure.  On a release tag v<version> the version is x.y.z; any
# other commit adds git describe's suffix (-N-gHASH, N commits after the
# last release tag, or after the start of history when there is none, and
# -dirty for uncommitted changes); without git there is no suffix.
#
# brevik_use_version(TARGET [RC_SOURCE...]) makes TARGET wait for the header
# and see it; each RC_SOURCE (a version resource) is compiled again when it
# changes.

set(BREVIK_VERSION_DIR "${CMAKE_BINARY_DIR}/generated/version")
set(BREVIK_VERSION_HEADER "${BREVIK_VERSION_DIR}/brevik_version.h")

add_custom_target(brevik_version
    COMMAND "${CMAKE_COMMAND}"
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
            -DOUTPUT=${BREVIK_VERSION_HEADER}
            -DVERSION=${PROJECT_VERSION}
            -DTEMPLATE=${CMAKE_CURRENT_LIST_DIR}/brevik_version.h.in
            -P "${CMAKE_CURRENT_LIST_DIR}/version-header.cmake"
    BYPRODUCTS "${BREVIK_VERSION_HEADER}"
    COMMENT "Version header"
    VERBATIM)

add_library(brevik_version_info INTERFACE)
target_include_directories(brevik_version_info INTERFACE
    "${BREVIK_VERSION_DIR}" "${CMAKE_CURRENT_LIST_DIR}")
add_dependencies(brevik_version_info brevik_version)

function(brevik_use_version target)
    target_link_libraries(${target} PRIVATE brevik_version_info)
    add_dependencies(${target} brevik_version)
    foreach(rc IN LISTS ARGN)
        set_property(SOURCE "${rc}" APPEND PROPERTY OBJECT_DEPENDS "${BREVIK_VERSION_HEADER}")
    endforeach()
endfunction()
