# A test program with DUVAK.exe's runtime support and flags whose frame is
# overrun on purpose: proof that the stack protector works without a runtime.
add_executable(smash_frame ${PROJECT_SOURCE_DIR}/tests/stack_guard/smash_frame.cpp
    ${PROJECT_SOURCE_DIR}/platform/windows_runtime.cpp)
target_include_directories(smash_frame PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(smash_frame PRIVATE ${DUVAK_WINDOWS_COMPILE_OPTIONS})
target_link_options(smash_frame PRIVATE ${DUVAK_WINDOWS_LINK_OPTIONS} -Wl,-e,SmashStart)
target_link_libraries(smash_frame PRIVATE kernel32 user32 gcc)
