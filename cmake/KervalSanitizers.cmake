# KERVAL_SANITIZER=address: AddressSanitizer + UndefinedBehaviorSanitizer, any report is fatal.
# KERVAL_SANITIZER=thread:  ThreadSanitizer.
# The flags apply to everything built in this tree, so the test support code is instrumented too.
if(KERVAL_SANITIZER STREQUAL "")
    return()
endif()
if(WIN32)
    message(FATAL_ERROR "Sanitizer builds are supported on Linux only")
endif()

if(KERVAL_SANITIZER STREQUAL "address")
    set(kerval_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(KERVAL_SANITIZER STREQUAL "thread")
    set(kerval_sanitize_flags -fsanitize=thread)
else()
    message(FATAL_ERROR "KERVAL_SANITIZER must be empty, 'address' or 'thread'")
endif()

add_compile_options(${kerval_sanitize_flags} -fno-omit-frame-pointer -g)
add_link_options(${kerval_sanitize_flags})
