# Generates the fixture twice and compares the bytes.
execute_process(COMMAND ${GENERATOR} ${WORK}/a.gguf --variant chatml RESULT_VARIABLE a)
execute_process(COMMAND ${GENERATOR} ${WORK}/b.gguf --variant chatml RESULT_VARIABLE b)
if(NOT a EQUAL 0 OR NOT b EQUAL 0)
    message(FATAL_ERROR "the fixture generator failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/a.gguf ${WORK}/b.gguf
                RESULT_VARIABLE same)
file(REMOVE ${WORK}/a.gguf ${WORK}/b.gguf)
if(NOT same EQUAL 0)
    message(FATAL_ERROR "the same arguments gave different fixture bytes")
endif()
