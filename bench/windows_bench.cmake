# Windows tools of the benchmarks (bench/run.sh), cross-built beside DUVAK.exe
# but outside the default target: `cmake --build --preset windows --target
# map_floor`. Unlike DUVAK.exe they use the ordinary MinGW runtime; their
# comparison loop is the program's own, from compare/word_compare.h.
add_executable(map_floor EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/bench/map_floor.cpp)
target_include_directories(map_floor PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(map_floor PRIVATE -O2 -Wall -Wextra)
# wmain, and no MinGW DLLs to find at run time.
target_link_options(map_floor PRIVATE -municode -static -s)
