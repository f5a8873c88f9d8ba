# The windows flavour: what the main project adds when it is cross-built
# with cmake/toolchain-mingw64.cmake.  Included by the top-level
# CMakeLists.txt after include(CTest).
#
# - Finds the third-party libraries built by cmake/windows/deps.sh in the
#   cache prefix (BREVIK_WINDOWS_PREFIX, from the toolchain file): the
#   package BrevikWinDeps (BrevikWin::tinyxml, ::minizip, ::simpleini,
#   ::tommath, ::tomcrypt, ::bz2); FindZLIB, FindBZip2, find_library(tomcrypt)
#   and GoogleTest's package resolve there too through the find-root paths.
# - Writes <build>/wine-run, the emulator that runs the folder's programs
#   under Wine, and creates the folder's own Wine prefix <build>/wine-prefix
#   (again only when cmake/windows/wine-prefix.sh changes).
# - Adds the CTest fixture "wine" (brevik_wine_start, brevik_wine_stop): a
#   persistent Wine server and desktop for the whole test run, required by
#   every other test (cmake/windows/wine-tests.cmake, read by CTest).
# - Adds the test brevik_windows_imports: every shipped .exe and .dll
#   imports system DLLs only; and brevik_wine_fonts: the prefix has the fonts
#   our programs ask for.

if(NOT BREVIK_WINDOWS_PREFIX OR NOT EXISTS "${BREVIK_WINDOWS_PREFIX}/brevik-deps.stamp")
    message(FATAL_ERROR
        "The Windows third-party libraries are missing in '${BREVIK_WINDOWS_PREFIX}'. "
        "Build them with cmake/windows/deps.sh (./run does it).")
endif()
find_package(BrevikWinDeps REQUIRED CONFIG)

set(BREVIK_WINDOWS_DIR "${CMAKE_CURRENT_LIST_DIR}/windows")

# Every Windows source of ours sees the lean <windows.h> (no winsock 1, no
# OLE unless asked for) and no min/max macros that break std::min.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# Files shipped to users; the import check looks for them wherever they are
# built (besides every .exe and .dll in <build>/bin).
set(BREVIK_SHIPPED_FILES
    qov.exe Brevik.dll MORLRepairTools.exe MORLHost.exe morl.dll MORLCheck.dll)

#-----------------------------------------------------------------------------
# Wine

find_program(BREVIK_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(BREVIK_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT BREVIK_WINE OR NOT BREVIK_WINESERVER)
    message(FATAL_ERROR "Wine (/usr/lib/wine/wine64, wineserver) is missing: install wine and wine64")
endif()

set(BREVIK_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
set(BREVIK_WINE_RUN "${CMAKE_BINARY_DIR}/wine-run")
# Start markers of test programs, and the log of the runs Wine never started
# (see wine-run.in; ./run counts the log's lines after the test stage).
set(BREVIK_WINE_START_DIR "${CMAKE_BINARY_DIR}/wine-tools/starts")
set(BREVIK_WINE_START_LOG "${CMAKE_BINARY_DIR}/wine-tools/start-failures.log")
if(NOT CMAKE_CROSSCOMPILING_EMULATOR STREQUAL BREVIK_WINE_RUN)
    message(FATAL_ERROR "The windows flavour is configured with cmake/toolchain-mingw64.cmake, "
        "whose emulator is <build>/wine-run (now: '${CMAKE_CROSSCOMPILING_EMULATOR}').")
endif()
configure_file("${BREVIK_WINDOWS_DIR}/wine-run.in" "${BREVIK_WINE_RUN}"
    @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                           WORLD_READ WORLD_EXECUTE)

# The prefix must exist before the build: test programs are listed through
# Wine when they are linked (gtest_discover_tests).  Its marker file holds
# the checksum of the script that made it: a changed script makes it again.
file(SHA256 "${BREVIK_WINDOWS_DIR}/wine-prefix.sh" prefix_recipe)
set(prefix_marker "")
if(EXISTS "${BREVIK_WINE_PREFIX}/.brevik-prefix")
    file(READ "${BREVIK_WINE_PREFIX}/.brevik-prefix" prefix_marker)
    string(STRIP "${prefix_marker}" prefix_marker)
endif()
# A build without tests (the release build of ./run package) runs nothing
# under Wine and makes no prefix.
if(BUILD_TESTING AND NOT prefix_marker STREQUAL prefix_recipe)
    message(STATUS "Creating the Wine prefix ${BREVIK_WINE_PREFIX}")
    execute_process(
        COMMAND "${BREVIK_WINDOWS_DIR}/wine-prefix.sh" "${BREVIK_WINE_RUN}" "${BREVIK_WINE_PREFIX}"
                "${prefix_recipe}"
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Creating the Wine prefix failed (${result}): see ${BREVIK_WINE_PREFIX}.log")
    endif()
endif()

#-----------------------------------------------------------------------------
# Tests: the Wine fixture and the import check

if(BUILD_TESTING)
    # Linked into every test program: see wine-start-marker.cpp.
    add_library(brevik_wine_start_marker OBJECT "${BREVIK_WINDOWS_DIR}/wine-start-marker.cpp")

    # The keeper is test equipment, not a shipped program: not in bin/.
    add_executable(brevik_wine_keeper "${BREVIK_WINDOWS_DIR}/wine-keeper.c")
    set_target_properties(brevik_wine_keeper PROPERTIES
        OUTPUT_NAME wine-keeper
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/wine-tools")

    # The prefix's web browser while tests run: records the addresses it is
    # given (see url-recorder.c).
    add_executable(brevik_url_recorder "${BREVIK_WINDOWS_DIR}/url-recorder.c")
    target_link_libraries(brevik_url_recorder PRIVATE shell32)
    set_target_properties(brevik_url_recorder PROPERTIES
        OUTPUT_NAME url-recorder
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/wine-tools")

    set(ready_file "${CMAKE_BINARY_DIR}/wine-tools/keeper.ready")
    add_test(NAME brevik_wine_start
        COMMAND "${BREVIK_WINDOWS_DIR}/wine-fixture.sh" start "${BREVIK_WINE_RUN}"
                "$<TARGET_FILE:brevik_wine_keeper>" "${ready_file}" "$<TARGET_FILE:brevik_url_recorder>")
    add_test(NAME brevik_wine_stop
        COMMAND "${BREVIK_WINDOWS_DIR}/wine-fixture.sh" stop "${BREVIK_WINE_RUN}")
    set_tests_properties(brevik_wine_start PROPERTIES FIXTURES_SETUP wine LABELS wine)
    set_tests_properties(brevik_wine_stop PROPERTIES FIXTURES_CLEANUP wine LABELS wine)

    # The prefix's fonts: GDI+ finds every family name our programs use.
    add_executable(brevik_wine_fonts_check "${BREVIK_WINDOWS_DIR}/wine-fonts-check.cpp")
    target_link_libraries(brevik_wine_fonts_check PRIVATE gdiplus)
    set_target_properties(brevik_wine_fonts_check PROPERTIES
        OUTPUT_NAME wine-fonts-check
        RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/wine-tools")
    add_test(NAME brevik_wine_fonts COMMAND brevik_wine_fonts_check)
    set_tests_properties(brevik_wine_fonts PROPERTIES LABELS wine)

    # The runner's retry rule, against a fake Wine.
    add_test(NAME brevik_wine_run_retry
        COMMAND "${BREVIK_WINDOWS_DIR}/tests/test_wine_run.sh" "${BREVIK_WINDOWS_DIR}/wine-run.in"
                "${CMAKE_BINARY_DIR}/wine-tools/wine-run-test")
    set_tests_properties(brevik_wine_run_retry PROPERTIES LABELS wine)

    add_test(NAME brevik_windows_imports
        COMMAND "${BREVIK_WINDOWS_DIR}/check-imports.sh" "${CMAKE_OBJDUMP}"
                "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}" ${BREVIK_SHIPPED_FILES})
    set_tests_properties(brevik_windows_imports PROPERTIES LABELS imports)

    # Every other test gets the fixture, whoever defines it.
    set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY
        TEST_INCLUDE_FILES "${BREVIK_WINDOWS_DIR}/wine-tests.cmake")
endif()

# brevik_mark_test_program(TARGET...): the test programs TARGET create their
# start file first thing, so that wine-run can tell a run that Wine never
# started from a failure of the program.
function(brevik_mark_test_program)
    foreach(target IN LISTS ARGN)
        target_link_libraries(${target} PRIVATE brevik_wine_start_marker)
    endforeach()
endfunction()
