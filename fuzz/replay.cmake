# Runs one fuzz target once on every file of its corpus (no fuzzing): the
# corpus as a regression test. Fails when the corpus is empty or an input
# crashes the target.
file(GLOB inputs "${CORPUS}/*")
list(LENGTH inputs count)
if(count EQUAL 0)
  message(FATAL_ERROR "no corpus in ${CORPUS}")
endif()
execute_process(COMMAND ${TARGET} ${inputs} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${TARGET} failed on its corpus (status ${status})")
endif()
message(STATUS "${count} inputs replayed")
