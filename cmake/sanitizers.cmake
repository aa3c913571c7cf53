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

# -DVL_FUZZ=ON builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer plus libFuzzer's coverage instrumentation, so
# that the targets in tests/fuzz see the library's branches. Needs clang.
if(VL_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "VL_FUZZ needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
    endif()
    if(VL_SANITIZE STREQUAL "thread")
        message(FATAL_ERROR "VL_FUZZ builds with AddressSanitizer; it cannot be combined with thread")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
