# One sanitizer per build tree: AddressSanitizer and UBSan together, or ThreadSanitizer alone
# (the two runtimes cannot share a process).
if(KORVALINE_SANITIZER STREQUAL "address")
    set(_korvaline_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(KORVALINE_SANITIZER STREQUAL "thread")
    set(_korvaline_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT KORVALINE_SANITIZER STREQUAL "")
    message(FATAL_ERROR "KORVALINE_SANITIZER must be empty, 'address' or 'thread'")
endif()
if(_korvaline_san)
    add_compile_options(${_korvaline_san})
    add_link_options(${_korvaline_san})
endif()
