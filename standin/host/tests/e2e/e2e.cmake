# The plug-in end to end: MORLHost.exe runs the real Brevik.dll with the
# scripted patch engine (morl.dll) and checker (MORLCheck.dll) in game
# folders that test_repair_e2e.py lays out.  Included by
# standin/host/CMakeLists.txt (windows flavour).  Each group is one CTest
# test.

if(NOT BUILD_TESTING)
    return()
endif()

set(_morl_e2e_script "${CMAKE_CURRENT_LIST_DIR}/test_repair_e2e.py")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _morl_e2e_emulator)

# CTest name -> test class in test_repair_e2e.py
set(_morl_e2e_groups
    "whole_repair:WholeRepair"
    "failures:FailurePaths"
    "stop:StopDuringDownload")
foreach(group IN LISTS _morl_e2e_groups)
    string(REPLACE ":" ";" group "${group}")
    list(GET group 0 name)
    list(GET group 1 test_class)
    add_test(NAME morl_e2e_${name}
             COMMAND python3 "${_morl_e2e_script}"
                     --host $<TARGET_FILE:MORLHost>
                     --bin "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                     --work "${CMAKE_CURRENT_BINARY_DIR}/morl_e2e.work/${name}"
                     ${test_class})
    set_tests_properties(morl_e2e_${name} PROPERTIES
        LABELS morl_e2e
        TIMEOUT 1200
        ENVIRONMENT "BREVIK_EMULATOR=${_morl_e2e_emulator}")
endforeach()
