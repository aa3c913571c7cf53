# Finds llama.cpp and makes sure it has every declaration the library calls.
find_package(llama QUIET)
if(NOT llama_FOUND)
    message(FATAL_ERROR
        "llama.cpp was not found. Install its development files (Debian: libllama-dev) "
        "or point CMAKE_PREFIX_PATH at a llama.cpp installation; ./dev does this for you.")
endif()
try_compile(VL_LLAMA_API_OK
    PROJECT vl_llama_probe
    SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/probe
    BINARY_DIR ${CMAKE_BINARY_DIR}/llama-probe
    CMAKE_FLAGS -DCMAKE_PREFIX_PATH=${CMAKE_PREFIX_PATH} -Dllama_DIR=${llama_DIR}
    OUTPUT_VARIABLE VL_PROBE_OUTPUT)
if(NOT VL_LLAMA_API_OK)
    message(FATAL_ERROR
        "The llama.cpp found at ${llama_DIR} lacks part of the API this library calls "
        "(for example llama_n_ctx_seq, llama_memory_seq_cp or the kv_unified context "
        "parameter); it needs llama.cpp build b6000 or newer. Probe output:\n${VL_PROBE_OUTPUT}")
endif()
message(STATUS "llama.cpp ${llama_VERSION} found at ${llama_DIR}")
