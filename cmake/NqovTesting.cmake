# GoogleTest helpers.
#
#   nqov_add_test(NAME
#                 SOURCES file.cpp...
#                 [LIBS target...])
#
# Creates the test program NAME (in <build>/bin) linked with GoogleTest's
# main and LIBS, and registers each of its test cases with CTest.  Test code
# finds the repository's test data through the compile definition
# NQOV_TEST_DATA_DIR (a string literal: the absolute path of
# nqov/tests/data, e.g. NQOV_TEST_DATA_DIR "/fixtures/basic.qov").
# Without SOURCES nothing is created, so an empty list is harmless.

include(GoogleTest)

set(NQOV_TEST_DATA_DIR "${CMAKE_SOURCE_DIR}/nqov/tests/data")

function(nqov_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "nqov_add_test(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT BUILD_TESTING OR NOT arg_SOURCES)
        return()
    endif()

    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE
        NQOV_TEST_DATA_DIR="${NQOV_TEST_DATA_DIR}")
    if(WIN32)
        brevik_mark_test_program(${name})
    endif()

    # Each test runs in its own scratch folder inside the build tree.
    set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/${name}.work")
    file(MAKE_DIRECTORY "${work_dir}")

    # Sanitizer builds list their tests slowly, so allow generous time.
    gtest_discover_tests(${name}
        WORKING_DIRECTORY "${work_dir}"
        DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS "${name}")
endfunction()
