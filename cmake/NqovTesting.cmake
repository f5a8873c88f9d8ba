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
#
#   nqov_add_md5_kernel_variants(TARGET FILTER [PREFIX prefix])
#
# Registers the test cases of the GoogleTest program TARGET that match
# FILTER (a --gtest_filter pattern) again once per MD5 kernel, named
# <prefix><case>.md5_<kernel> and labelled md5, with the kernel forced by
# the test environment in nqov/tests/MD5KernelEnvironment.cpp (added to
# TARGET).  A kernel this machine cannot run shows as skipped.

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

function(nqov_add_md5_kernel_variants target filter)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "PREFIX" "")
    if(NOT BUILD_TESTING)
        return()
    endif()
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/nqov/tests/MD5KernelEnvironment.cpp)
    set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}.work")
    file(MAKE_DIRECTORY "${work_dir}")
    foreach(kernel scalar avx2 avx512)
        gtest_discover_tests(${target}
            WORKING_DIRECTORY "${work_dir}"
            TEST_PREFIX "${arg_PREFIX}"
            TEST_SUFFIX ".md5_${kernel}"
            TEST_FILTER "${filter}"
            DISCOVERY_TIMEOUT 120
            PROPERTIES LABELS md5 ENVIRONMENT "BREVIK_TEST_MD5_KERNEL=${kernel}")
    endforeach()
endfunction()
