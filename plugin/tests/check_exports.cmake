# Brevik.dll exports exactly CreateMORLRepair and RealeaseMORLRepair, with
# plain undecorated names, and carries the dialog and version resources.
#   cmake -DOBJDUMP=... -DDLL=.../Brevik.dll -P check_exports.cmake

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump -p ${DLL} failed")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(names "")
foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "CreateMORLRepair;RealeaseMORLRepair")
    message(FATAL_ERROR "exports are '${names}', expected exactly CreateMORLRepair;RealeaseMORLRepair")
endif()

execute_process(COMMAND ${OBJDUMP} -h ${DLL} OUTPUT_VARIABLE sections)
if(NOT sections MATCHES "\\.rsrc")
    message(FATAL_ERROR "${DLL} has no resource section")
endif()
message(STATUS "exports: ${names}")
