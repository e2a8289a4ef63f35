# Runs one fuzz target for SECONDS on a copy of its seed corpus (never in the source tree):
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DSECONDS=... -P run_fuzzer.cmake
# The working corpus keeps what earlier runs found. The fuzzer's output goes to WORK/log; a
# crash, leak, timeout or failed property leaves its input in WORK/artifacts, prints the end of
# the log and fails the test. A passing run prints how many inputs it ran.
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -max_len=4096
    -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  RESULT_VARIABLE rc OUTPUT_FILE ${WORK}/log ERROR_FILE ${WORK}/log)
file(STRINGS ${WORK}/log stats REGEX "^stat::(number_of_executed_units|average_exec_per_sec)")
if(NOT rc EQUAL 0)
  file(STRINGS ${WORK}/log lines)
  list(LENGTH lines count)
  math(EXPR from "${count} - 60")
  if(from LESS 0)
    set(from 0)
  endif()
  list(SUBLIST lines ${from} -1 tail)
  list(JOIN tail "\n" tail)
  message(FATAL_ERROR "${tail}\n${FUZZER} failed (exit ${rc}): the input is in "
                      "${WORK}/artifacts, the whole output in ${WORK}/log")
endif()
list(JOIN stats ", " stats)
message(STATUS "${SECONDS} s: ${stats}")
