# Runs CMD (a ;-list) and fails unless it exits with EXPECT.
execute_process(COMMAND ${CMD} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
if(NOT rc STREQUAL "${EXPECT}")
    message(FATAL_ERROR "exit ${rc}, expected ${EXPECT}\nstdout: ${out}\nstderr: ${err}")
endif()
