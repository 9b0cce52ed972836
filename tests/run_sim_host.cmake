# Runs the C host example on a scenario; fails unless it exits with
# EXPECTED_CODE and its output matches EXPECTED_OUTPUT.
execute_process(COMMAND ${HOST} ${SCENARIO}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE code)
message(STATUS "${output}${errors}")
if(NOT code EQUAL EXPECTED_CODE)
  message(FATAL_ERROR "sim_host exited with ${code}, expected ${EXPECTED_CODE}")
endif()
string(REGEX MATCH "${EXPECTED_OUTPUT}" found "${output}")
if(NOT found)
  message(FATAL_ERROR "sim_host did not say: ${EXPECTED_OUTPUT}")
endif()
