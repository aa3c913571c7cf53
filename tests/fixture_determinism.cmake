# Generates each fixture twice and compares the bytes: the built-in one, and
# every family's (the lines of FAMILIES: name, tab, vocabulary file) in both
# types with the build's shape (SHAPE, a list of generator options).
function(generate_twice what)
    execute_process(COMMAND ${GENERATOR} ${WORK}/a.gguf ${ARGN} RESULT_VARIABLE a)
    execute_process(COMMAND ${GENERATOR} ${WORK}/b.gguf ${ARGN} RESULT_VARIABLE b)
    if(NOT a EQUAL 0 OR NOT b EQUAL 0)
        message(FATAL_ERROR "the fixture generator failed on ${what}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/a.gguf ${WORK}/b.gguf
                    RESULT_VARIABLE same)
    file(REMOVE ${WORK}/a.gguf ${WORK}/b.gguf)
    if(NOT same EQUAL 0)
        message(FATAL_ERROR "the same arguments gave different bytes for ${what}")
    endif()
endfunction()

generate_twice("the chatml fixture" --variant chatml)

if(FAMILIES)
    file(STRINGS ${FAMILIES} lines)
    foreach(line ${lines})
        string(REGEX MATCH "^([^\t]*)\t(.*)$" matched "${line}")
        foreach(type f32 q8_0)
            generate_twice("the ${CMAKE_MATCH_1} family (${type})" --vocabulary ${CMAKE_MATCH_2}
                           --type ${type} ${SHAPE})
        endforeach()
    endforeach()
endif()
