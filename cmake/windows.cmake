# DUVAK.exe: no C or C++ runtime, entry point Start, imports from KERNEL32.dll
# and USER32.dll only.
enable_language(RC)
# windres runs a C preprocessor over the resource scripts, by default the
# first x86_64-w64-mingw32-gcc on PATH. It is named here, with the arguments
# windres would give it, so that the build runs the preprocessor that the
# release's build record names.
find_program(DUVAK_RC_PREPROCESSOR ${CMAKE_C_COMPILER} REQUIRED)
string(APPEND CMAKE_RC_FLAGS " --preprocessor=${DUVAK_RC_PREPROCESSOR}"
    " --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")

set(DUVAK_WINDOWS_COMPILE_OPTIONS
    -O2 ${DUVAK_WARNINGS} -ffreestanding -fno-exceptions -fno-rtti
    -fno-threadsafe-statics -fno-ident -ffunction-sections -fdata-sections
    # The unwind data stays: the exception dispatcher needs it to walk up to
    # the in-page filter on real Windows.
    -fasynchronous-unwind-tables
    -fstack-protector-strong)
set(DUVAK_WINDOWS_LINK_OPTIONS
    -nostdlib -nostartfiles -Wl,--subsystem,console
    -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
    -Wl,--gc-sections -Wl,--no-insert-timestamp -s
    # A symbol that no object defines must fail the link. Auto-import would
    # instead bind it to an import library's __imp_ pointer, for data through
    # pseudo-relocations that only a C runtime applies: a crash at run time.
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)

# The program's code, compiled once: DUVAK.exe and its in-page test variant
# (tests/e2e/windows_helpers.cmake) link these very objects.
add_library(duvak_program OBJECT ${DUVAK_SOURCES} platform/windows_runtime.cpp)
target_include_directories(duvak_program PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(duvak_program PRIVATE ${DUVAK_WINDOWS_COMPILE_OPTIONS})

add_executable(DUVAK $<TARGET_OBJECTS:duvak_program>
    resources/version.rc resources/manifest.rc)
set_target_properties(DUVAK PROPERTIES OUTPUT_NAME DUVAK SUFFIX .exe)
target_link_options(DUVAK PRIVATE ${DUVAK_WINDOWS_LINK_OPTIONS} -Wl,-e,Start)
# libgcc is static: it supplies the stack probe that large frames call.
target_link_libraries(DUVAK PRIVATE kernel32 user32 gcc)
set_property(SOURCE resources/manifest.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PROJECT_SOURCE_DIR}/resources/DUVAK.exe.manifest)
# The resources and the import table are only read (the loader makes the
# import address table writable itself while it binds), but the linker marks
# both sections writable whatever it is told; this step clears that flag.
# Python rewrites those flags here and writes the release's zip, so it too
# makes bytes of the release: the system's own where there is one, whose
# package the build record can name, rather than whichever PATH finds first.
if(EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python of the Windows build")
endif()
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET DUVAK POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/readonly_sections.py
        $<TARGET_FILE:DUVAK> .idata .rsrc
    VERBATIM)

# The Windows half of tools/duvak, which the end-to-end tests start DUVAK.exe
# through too: it starts DUVAK.exe and records how it ended. A tool of the
# build machine, not part of the release, with MinGW-w64's C and C++
# runtime linked statically, so that Wine needs no extra DLLs for it.
add_executable(launcher ${PROJECT_SOURCE_DIR}/tools/launcher.cpp)
target_compile_options(launcher PRIVATE -O2 ${DUVAK_WARNINGS})
target_link_options(launcher PRIVATE -municode -static)

include(${PROJECT_SOURCE_DIR}/tests/stack_guard/windows.cmake)
include(${PROJECT_SOURCE_DIR}/tests/e2e/windows_helpers.cmake)
include(${PROJECT_SOURCE_DIR}/bench/windows_bench.cmake)
