# Checked builds of the tests, driven from the native build so that the one
# test command runs them too: the unit tests under the address and
# undefined-behaviour sanitizers (preset asan, build/asan), and the
# command-line fuzzer (preset fuzz, build/fuzz). Each is a build of its own
# because the sanitizers and the fuzzer's instrumentation must cover every
# object, and the compiler flags of this build stay as they are.

set(DUVAK_ASAN_DIR ${PROJECT_SOURCE_DIR}/build/asan)
set(DUVAK_FUZZ_DIR ${PROJECT_SOURCE_DIR}/build/fuzz)

add_custom_target(asan_build ALL
    COMMAND ${CMAKE_COMMAND} --preset asan
    COMMAND ${DUVAK_NESTED_BUILD} --preset asan
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Building the unit tests under the sanitizers")

add_custom_target(fuzz_build ALL
    COMMAND ${CMAKE_COMMAND} --preset fuzz
    COMMAND ${DUVAK_NESTED_BUILD} --preset fuzz
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Building the command-line fuzzer")

# Any report fails the run: the sanitizers stop at the first one, and the
# expressions catch a report that a test's own exit code would hide. The
# simulated Windows installs its own fault handler for the duration of a
# scenario, which the sanitizers must let it do.
set(DUVAK_SANITIZER_ENVIRONMENT
    "ASAN_OPTIONS=allow_user_segv_handler=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
set(DUVAK_SANITIZER_REPORTS
    "ERROR: AddressSanitizer" "ERROR: LeakSanitizer" "runtime error:" "UndefinedBehaviorSanitizer")

add_test(NAME sanitize.unit_tests COMMAND ${DUVAK_ASAN_DIR}/tests/unit/unit_tests)
set_tests_properties(sanitize.unit_tests PROPERTIES
    LABELS sanitize
    ENVIRONMENT "${DUVAK_SANITIZER_ENVIRONMENT}"
    FAIL_REGULAR_EXPRESSION "${DUVAK_SANITIZER_REPORTS}"
    TIMEOUT 900)

# A bounded fuzzing session from the committed seeds. The working corpus is a
# copy in the fuzz build folder, so the run never writes into the sources.
add_test(NAME fuzz.command_line
    COMMAND ${CMAKE_COMMAND}
        -DFUZZER=${DUVAK_FUZZ_DIR}/tests/fuzz/command_line_fuzzer
        -DSEEDS=${PROJECT_SOURCE_DIR}/tests/fuzz/corpus
        -DWORK=${DUVAK_FUZZ_DIR}/fuzz_run
        -DSECONDS=60
        -P ${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.cmake)
set_tests_properties(fuzz.command_line PROPERTIES
    LABELS fuzz
    ENVIRONMENT "${DUVAK_SANITIZER_ENVIRONMENT}"
    FAIL_REGULAR_EXPRESSION "${DUVAK_SANITIZER_REPORTS}"
    TIMEOUT 300)
