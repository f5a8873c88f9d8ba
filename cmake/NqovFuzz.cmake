# libFuzzer support (option NQOV_FUZZ, clang only).
#
# With NQOV_FUZZ every target is compiled with
# -fsanitize=fuzzer-no-link,address,undefined (coverage plus sanitizers);
# fuzz targets made with nqov_add_fuzz_target() also get -fsanitize=fuzzer,
# which links libFuzzer's main.
#
#   nqov_add_fuzz_target(fuzz_NAME
#                        SOURCES file.cpp...
#                        [LIBS target...])
#
# The name must start with "fuzz_": `./run fuzz SECONDS` runs every program
# <build>/bin/fuzz_* with a corpus in <build>/corpus/fuzz_NAME, seeded from
# fuzz/corpus/fuzz_NAME/ and the fixture archives.

function(nqov_enable_fuzzing)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "NQOV_FUZZ needs clang (configure with CMAKE_CXX_COMPILER=clang++)")
    endif()
    add_compile_options(
        -fsanitize=fuzzer-no-link,address,undefined
        -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endfunction()

function(nqov_add_fuzz_target name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
    if(NOT name MATCHES "^fuzz_")
        message(FATAL_ERROR "nqov_add_fuzz_target(${name}): the name must start with fuzz_")
    endif()
    if(NOT arg_SOURCES)
        message(FATAL_ERROR "nqov_add_fuzz_target(${name}): no SOURCES")
    endif()
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
