# cmake -DPROGRAM=<exe> "-DARGS=<a;b>" -DOUT=<file> -P PelirandProgramOutput.cmake:
# what a program of the tree prints, as a file of the build; the build stops
# when the program fails, and a failed run leaves no half-written file.
execute_process(COMMAND ${PROGRAM} ${ARGS}
    OUTPUT_FILE ${OUT}.part
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE ${OUT}.part)
    message(FATAL_ERROR "${PROGRAM} ${ARGS} failed: ${result}")
endif()
file(RENAME ${OUT}.part ${OUT})
