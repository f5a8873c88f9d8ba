# The archive-backed engine through morl.dll (test_archive_parts.cpp), and
# end to end: MORLHost.exe runs the real
# Brevik.dll with morl.dll (Behaviour=archive) over game folders that
# test_archive_e2e.py lays out with qov.exe.  Included by
# standin/engine/CMakeLists.txt (windows flavour).

if(NOT BUILD_TESTING)
    return()
endif()

# The engine through morl.dll on real archives (GoogleTest, under Wine).
nqov_add_test(standin_archive_parts_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_archive_parts.cpp
    LIBS nqov)
target_include_directories(standin_archive_parts_tests PRIVATE ${CMAKE_SOURCE_DIR}/engine)
# The test loads morl.dll from its own folder (bin/).
add_dependencies(standin_archive_parts_tests morl_standin)

set(_archive_e2e_script "${CMAKE_CURRENT_LIST_DIR}/test_archive_e2e.py")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _archive_e2e_emulator)

# CTest name -> test class in test_archive_e2e.py
foreach(group "repair:ArchiveRepair" "failures:ArchiveFailures")
    string(REPLACE ":" ";" group "${group}")
    list(GET group 0 name)
    list(GET group 1 test_class)
    add_test(NAME morl_archive_e2e_${name}
             COMMAND python3 "${_archive_e2e_script}"
                     --host $<TARGET_FILE:MORLHost>
                     --bin "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                     --work "${CMAKE_CURRENT_BINARY_DIR}/archive_e2e.work/${name}"
                     ${test_class})
    set_tests_properties(morl_archive_e2e_${name} PROPERTIES
        LABELS morl_e2e
        TIMEOUT 1200
        ENVIRONMENT "BREVIK_EMULATOR=${_archive_e2e_emulator}")
endforeach()
