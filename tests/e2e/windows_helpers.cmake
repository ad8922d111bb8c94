# Windows test tools for the end-to-end tests, built by the cross build beside
# DUVAK.exe. Unlike DUVAK.exe they use the ordinary MinGW-w64 C and C++
# runtime, linked statically so that Wine needs no extra DLLs for them.
add_executable(holder ${PROJECT_SOURCE_DIR}/tests/e2e/holder.cpp)
target_compile_options(holder PRIVATE -O2 -Wall -Wextra)
target_link_options(holder PRIVATE -municode -static)

# DUVAK.exe's program objects under a test entry point that turns Wine's
# access violation in a file view into the in-page error Windows raises there
# (tests/e2e/read_errors.py). Built and linked like DUVAK.exe, no runtime.
add_executable(in_page_duvak ${PROJECT_SOURCE_DIR}/tests/e2e/in_page_entry.cpp
    $<TARGET_OBJECTS:duvak_program>)
# Its entry point includes <windows.h>, whose intrinsics headers (GCC 14's
# MinGW-w64) call malloc, which a freestanding C++ compile does not declare:
# that one file is compiled hosted. The link still has no runtime to bind to.
set(in_page_options ${DUVAK_WINDOWS_COMPILE_OPTIONS})
list(REMOVE_ITEM in_page_options -ffreestanding)
target_compile_options(in_page_duvak PRIVATE ${in_page_options})
target_link_options(in_page_duvak PRIVATE ${DUVAK_WINDOWS_LINK_OPTIONS} -Wl,-e,InPageStart)
target_link_libraries(in_page_duvak PRIVATE kernel32 user32 gcc)
