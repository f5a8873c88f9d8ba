# Writes brevik_version.h (see BrevikVersion.cmake): cmake -P with
# SOURCE_DIR, OUTPUT, VERSION (x.y.z) and TEMPLATE.

string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 BREVIK_VERSION_MAJOR)
list(GET parts 1 BREVIK_VERSION_MINOR)
list(GET parts 2 BREVIK_VERSION_PATCH)

set(suffix "")
set(commits 0)
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
    execute_process(
        COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --match "v[0-9]*"
                --long --dirty --abbrev=12
        OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE described_result ERROR_QUIET)
    if(described_result EQUAL 0 AND described MATCHES "^(.*)-([0-9]+)-g([0-9a-f]+)(-dirty)?$")
        set(tag "${CMAKE_MATCH_1}")
        set(commits "${CMAKE_MATCH_2}")
        set(hash "${CMAKE_MATCH_3}")
        set(dirty "${CMAKE_MATCH_4}")
    else()
        # No release tag yet: count from the start of history.
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-list --count HEAD
            OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE count_result ERROR_QUIET)
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
            OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE hash_result ERROR_QUIET)
        set(tag "")
        set(dirty "")
        if(hash MATCHES "^([0-9a-f]+)(-dirty)?$")
            set(hash "${CMAKE_MATCH_1}")
            set(dirty "${CMAKE_MATCH_2}")
        endif()
        if(NOT count_result EQUAL 0 OR NOT hash_result EQUAL 0)
            set(commits 0)
            set(hash "")
        endif()
    endif()
    if(tag STREQUAL "v${VERSION}" AND commits EQUAL 0)
        set(suffix "${dirty}")
    elseif(NOT hash STREQUAL "")
        set(suffix "-${commits}-g${hash}${dirty}")
    endif()
endif()

# The fourth field of the numeric file version: commits after the release.
if(commits GREATER 65535)
    set(commits 65535)
endif()
set(BREVIK_VERSION_TWEAK ${commits})
set(BREVIK_VERSION "${VERSION}${suffix}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
