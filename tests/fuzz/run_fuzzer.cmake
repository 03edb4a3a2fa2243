# Runs one fuzzer for a bounded time on a copy of its seed corpus in the build tree: new inputs
# and crash files go there, never into the source tree.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DSECONDS=... -DMAX_LEN=... -P run_fuzzer.cmake
# The FUZZ_SECONDS environment variable overrides SECONDS.
if(DEFINED ENV{FUZZ_SECONDS})
    set(SECONDS $ENV{FUZZ_SECONDS})
endif()
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
execute_process(COMMAND ${FUZZER} ${WORK}/corpus -max_total_time=${SECONDS} -max_len=${MAX_LEN}
                        -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
                        -artifact_prefix=${WORK}/artifacts/
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts")
endif()
