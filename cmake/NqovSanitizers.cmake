# AddressSanitizer + UndefinedBehaviorSanitizer for the whole build
# (option NQOV_SANITIZE).  Undefined behaviour stops the program.

set(NQOV_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)

function(nqov_enable_sanitizers)
    add_compile_options(${NQOV_SANITIZER_FLAGS})
    add_link_options(-fsanitize=address,undefined)
endfunction()
