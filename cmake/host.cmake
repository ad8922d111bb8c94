# The native build: the program's logic against the simulated Windows, and
# the end-to-end tests of the real DUVAK.exe under Wine.
enable_testing()

# DUVAK.exe and its Windows test helpers come from the cross build, which the
# native build drives so that one build runs everything.
set(DUVAK_WINDOWS_DIR ${PROJECT_SOURCE_DIR}/build/windows)
set(DUVAK_EXE ${DUVAK_WINDOWS_DIR}/DUVAK.exe)
add_custom_target(windows_build ALL
    COMMAND ${CMAKE_COMMAND} --preset windows
    COMMAND ${CMAKE_COMMAND} --build --preset windows
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Cross-building DUVAK.exe"
    USES_TERMINAL)

add_subdirectory(tests)
