# brevik_patched_copy(INPUT OUTPUT OLD NEW [OLD NEW]...)
#
# Writes OUTPUT: INPUT with each OLD text replaced by its NEW text; stops
# the configuration when an OLD text is not found exactly once (the source
# changed: the patch must be looked at again).
#
# Used to make TinyXML's parser and SimpleIni's loading exception safe: both
# allocate a node or buffer, keep it in a raw pointer and then call code
# that allocates again.  When that throws (std::bad_alloc), the first block
# had no owner and was lost.  The patches free it (or hand it to its
# owner) and let the exception go on.
function(brevik_patched_copy input output)
    file(READ "${input}" text)
    # ARGVn, not ARGN: the texts hold semicolons, which would split a list.
    math(EXPR last "${ARGC} - 1")
    foreach(i RANGE 2 ${last} 2)
        math(EXPR j "${i} + 1")
        set(old "${ARGV${i}}")
        set(new "${ARGV${j}}")
        string(FIND "${text}" "${old}" first)
        string(FIND "${text}" "${old}" final REVERSE)
        if(first EQUAL -1 OR NOT first EQUAL final)
            message(FATAL_ERROR "${input}: the patched text is not found exactly once:\n${old}")
        endif()
        string(REPLACE "${old}" "${new}" text "${text}")
    endforeach()
    file(WRITE "${output}" "${text}")
endfunction()
