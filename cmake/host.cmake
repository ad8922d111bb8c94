# The native build: the program's logic against the simulated Windows, and
# the end-to-end tests of the real DUVAK.exe under Wine.
enable_testing()

# The sanitizer and fuzzer builds are native builds of the tests alone: they
# skip the cross build, the end-to-end tests and the drivers below.
option(DUVAK_UNIT_ONLY "Build only the unit tests (sanitizer builds)" OFF)
option(DUVAK_FUZZER "Build only the command-line fuzzer (with DUVAK_UNIT_ONLY)" OFF)

if(NOT DUVAK_UNIT_ONLY)
# The builds that this one drives each run with their own preset's job count:
# make's jobserver is not handed down to them, since GNU make 4.4 warns about
# a sub-make given -j where one is offered.
set(DUVAK_NESTED_BUILD ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS
    ${CMAKE_COMMAND} --build)
# DUVAK.exe and its Windows test helpers come from the cross build, which the
# native build drives so that one build runs everything.
set(DUVAK_WINDOWS_DIR ${PROJECT_SOURCE_DIR}/build/windows)
set(DUVAK_EXE ${DUVAK_WINDOWS_DIR}/DUVAK.exe)
# It fails on a warning, as this build does (the preset alone, which the
# README's first command uses, does not: a newer compiler may warn).
add_custom_target(windows_build ALL
    COMMAND ${CMAKE_COMMAND} --preset windows -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    COMMAND ${DUVAK_NESTED_BUILD} --preset windows
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Cross-building DUVAK.exe"
    USES_TERMINAL)
include(cmake/checked_builds.cmake)
endif()

add_subdirectory(tests)
add_subdirectory(bench)
