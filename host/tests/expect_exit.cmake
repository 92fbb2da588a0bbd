# Runs CMD (a ;-list) and fails unless it exits with EXPECT and, when given,
# its output (stdout and stderr together) matches the regular expression OUTPUT.
execute_process(COMMAND ${CMD} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
if(NOT rc STREQUAL "${EXPECT}")
    message(FATAL_ERROR "exit ${rc}, expected ${EXPECT}\nstdout: ${out}\nstderr: ${err}")
endif()
if(DEFINED OUTPUT AND NOT "${out}${err}" MATCHES "${OUTPUT}")
    message(FATAL_ERROR "output does not match \"${OUTPUT}\"\nstdout: ${out}\nstderr: ${err}")
endif()
