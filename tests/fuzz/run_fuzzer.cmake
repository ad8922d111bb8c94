# Runs the command-line fuzzer for a bounded time (cmake -P):
#   -DFUZZER=<binary> -DSEEDS=<committed corpus> -DWORK=<folder in the build>
#   -DSECONDS=<run time>
# The seeds are copied into WORK/corpus, which the fuzzer grows; crashes and
# failed properties are written to WORK/artifacts and fail the run.
foreach(variable FUZZER SEEDS WORK SECONDS)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "run_fuzzer.cmake: ${variable} is not set")
    endif()
endforeach()

file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
    message(FATAL_ERROR "run_fuzzer.cmake: no seeds in ${SEEDS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)

# A command line holds at most 32,767 UTF-16 units: two bytes a unit after the
# byte that picks how the input becomes a line.
set(log ${WORK}/fuzzer.log)
execute_process(
    COMMAND ${FUZZER} ${WORK}/corpus
        -max_total_time=${SECONDS} -max_len=65535 -timeout=20 -rss_limit_mb=4096
        -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/
    OUTPUT_FILE ${log} ERROR_FILE ${log}
    RESULT_VARIABLE result)
file(READ ${log} output)
if(NOT result EQUAL 0)
    # The report of the failing input stands at the end of the log.
    string(LENGTH "${output}" length)
    if(length GREATER 20000)
        math(EXPR start "${length} - 20000")
        string(SUBSTRING "${output}" ${start} -1 output)
    endif()
    message("${output}")
    message(FATAL_ERROR "The fuzzer failed (${result}); the input is in ${WORK}/artifacts, "
        "the whole log in ${log}")
endif()

string(REGEX MATCH "Done [0-9]+ runs[^\n]*" done "${output}")
string(REGEX MATCH "stat::number_of_executed_units: *([0-9]+)" _ "${output}")
set(runs ${CMAKE_MATCH_1})
string(REGEX MATCH "stat::average_exec_per_sec: *([0-9]+)" _ "${output}")
set(speed ${CMAKE_MATCH_1})
string(REGEX MATCH "stat::new_units_added: *([0-9]+)" _ "${output}")
set(added ${CMAKE_MATCH_1})
string(REGEX MATCH "stat::peak_rss_mb: *([0-9]+)" _ "${output}")
set(rss ${CMAKE_MATCH_1})
if(NOT runs)
    message(FATAL_ERROR "The fuzzer ran no input; see ${log}")
endif()
message("${done}")
message("Command-line fuzzer: ${runs} executions, ${speed} exec/s, ${added} new inputs, "
    "peak ${rss} MB, no failure (log: ${log})")
