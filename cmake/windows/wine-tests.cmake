# Read by CTest (not CMake) before the tests of a windows build folder are
# defined: the top-level folder lists it in TEST_INCLUDE_FILES, and CTest
# reads every folder's test file in one interpreter, so these overrides see
# every test, plain add_test() tests and gtest_discover_tests() ones alike.
#
# Every test runs Windows programs under Wine, so each gets the fixture
# "wine" (the Wine server and desktop of the run, see wine-fixture.sh),
# except the fixture's own tests, the runner's own test and the import check.

# CTest reads test files with no policy set; the functions below keep these.
cmake_policy(VERSION 3.25)

function(_brevik_wine_exempt name out)
    if(name MATCHES "^brevik_(wine_start|wine_stop|wine_run_retry|windows_imports)$")
        set(${out} TRUE PARENT_SCOPE)
    else()
        set(${out} FALSE PARENT_SCOPE)
    endif()
endfunction()

function(add_test)
    set(args "")
    math(EXPR last "${ARGC} - 1")
    foreach(i RANGE 0 ${last})
        string(APPEND args " [==[${ARGV${i}}]==]")
    endforeach()
    cmake_language(EVAL CODE "_add_test(${args})")
    _brevik_wine_exempt("${ARGV0}" exempt)
    if(NOT exempt)
        _set_tests_properties("${ARGV0}" PROPERTIES FIXTURES_REQUIRED wine)
    endif()
endfunction()

# A later FIXTURES_REQUIRED of a test keeps "wine".
function(set_tests_properties)
    set(args "")
    set(in_properties FALSE)
    set(key "")
    set(needs_wine FALSE)
    math(EXPR last "${ARGC} - 1")
    foreach(i RANGE 0 ${last})
        set(arg "${ARGV${i}}")
        if(NOT in_properties)
            if(arg STREQUAL "PROPERTIES")
                set(in_properties TRUE)
            else()
                _brevik_wine_exempt("${arg}" exempt)
                if(NOT exempt)
                    set(needs_wine TRUE)
                endif()
            endif()
        elseif(key STREQUAL "")
            set(key "${arg}")
        else()
            if(key STREQUAL "FIXTURES_REQUIRED" AND needs_wine AND NOT "wine" IN_LIST arg)
                list(APPEND arg wine)
            endif()
            set(key "")
        endif()
        string(APPEND args " [==[${arg}]==]")
    endforeach()
    cmake_language(EVAL CODE "_set_tests_properties(${args})")
endfunction()
