# Compiler warnings: on for our own code, off for third-party sources that
# are compiled inside our tree.

# Turns on -Wall -Wextra for every target defined from here on (and
# -Werror when NQOV_WERROR is set).
function(nqov_enable_warnings)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        add_compile_options(-Wall -Wextra)
        if(NQOV_WERROR)
            add_compile_options(-Werror)
        endif()
    endif()
endfunction()

# nqov_third_party(TARGET...): silences warnings in third-party targets.
# Targets that do not exist (yet) are ignored.
function(nqov_third_party)
    foreach(target IN LISTS ARGN)
        if(TARGET ${target})
            get_target_property(type ${target} TYPE)
            if(NOT type STREQUAL "INTERFACE_LIBRARY")
                target_compile_options(${target} PRIVATE -w)
            endif()
        endif()
    endforeach()
endfunction()
