# Regression tests from the fuzz targets, for the normal builds (native and
# sanitizer): each target's LLVMFuzzerTestOneInput, compiled without libFuzzer
# and driven by fuzz_regression_main.cpp, runs every kept input.
#
#   fuzz/regressions/*.qov             inputs that made fuzz_archive fail
#   fuzz/regressions/*.blk             inputs that made fuzz_decompress fail
#   fuzz/regressions/*.md5             inputs that made fuzz_md5multi fail
#   fuzz/corpus/fuzz_archive/          the archive seed corpus
#   fuzz/corpus/fuzz_decompress/       the block seed corpus
#   fuzz/corpus/fuzz_md5multi/         the multi-buffer MD5 seed corpus
#
# Included from nqov/tests/CMakeLists.txt (only with BUILD_TESTING).  New
# files are picked up without reconfiguring: the driver lists the folders.

set(NQOV_FUZZ_DIR "${CMAKE_SOURCE_DIR}/fuzz")

function(nqov_add_fuzz_regression name target_source suffix corpus)
    add_executable(${name} ${NQOV_FUZZ_DIR}/${target_source} ${NQOV_FUZZ_DIR}/fuzz_regression_main.cpp)
    target_link_libraries(${name} PRIVATE nqov_internal)
    add_test(NAME ${name}
        COMMAND ${name} --suffix ${suffix} ${NQOV_FUZZ_DIR}/regressions ${NQOV_FUZZ_DIR}/corpus/${corpus})
    set_tests_properties(${name} PROPERTIES LABELS "fuzz_regression")
endfunction()

nqov_add_fuzz_regression(nqov_fuzz_archive_regressions fuzz_archive.cpp .qov fuzz_archive)
nqov_add_fuzz_regression(nqov_fuzz_decompress_regressions fuzz_decompress.cpp .blk fuzz_decompress)
nqov_add_fuzz_regression(nqov_fuzz_md5multi_regressions fuzz_md5multi.cpp .md5 fuzz_md5multi)
target_include_directories(nqov_fuzz_md5multi_regressions SYSTEM PRIVATE ${TOMCRYPT_INCLUDE_DIR})
target_link_libraries(nqov_fuzz_md5multi_regressions PRIVATE ${TOMCRYPT_LIBRARY})
