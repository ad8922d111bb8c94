# Windows test tools for the end-to-end tests, built by the cross build beside
# DUVAK.exe. Unlike DUVAK.exe they use the ordinary MinGW-w64 C and C++
# runtime, linked statically so that Wine needs no extra DLLs for them.
foreach(helper launcher holder)
    add_executable(${helper} ${PROJECT_SOURCE_DIR}/tests/e2e/${helper}.cpp)
    target_compile_options(${helper} PRIVATE -O2 -Wall -Wextra)
    target_link_options(${helper} PRIVATE -municode -static)
endforeach()
