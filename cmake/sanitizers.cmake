# -DVL_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; -DVL_SANITIZE=thread with ThreadSanitizer.
if(VL_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(VL_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT VL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VL_SANITIZE must be empty, address or thread")
endif()
