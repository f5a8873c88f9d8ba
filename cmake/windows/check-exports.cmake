# Checks that a DLL exports the given names plainly (undecorated) and
# nothing else; with -DRESOURCES=ON also that it carries resources.
#   cmake -DOBJDUMP=... -DDLL=... -DEXPORTS=a;b [-DRESOURCES=ON] -P check-exports.cmake

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
# The name pointer table: "[Ordinal/Name Pointer] Table", then one line
# "\t[   n] Name" per export, up to an empty line.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(found "")
foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND found "${name}")
endforeach()
list(SORT found)
set(expected ${EXPORTS})
list(SORT expected)
if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${DLL} exports [${found}], expected [${expected}]")
endif()
if(RESOURCES)
    execute_process(COMMAND ${OBJDUMP} -h ${DLL} OUTPUT_VARIABLE sections)
    if(NOT sections MATCHES "\\.rsrc")
        message(FATAL_ERROR "${DLL} has no resource section")
    endif()
endif()
message(STATUS "${DLL} exports ${found}")
