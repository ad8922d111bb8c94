# The release, packed beside DUVAK.exe in the build folder: README.txt (the
# user's part of README.md), LICENSE.txt, the zip holding the three,
# SHA256SUMS over the zip and the exe, and BUILDINFO.txt, what built them.
# Built only on request, by the release preset (target release), which
# cleans first and so builds nothing else: none of the test helpers. The
# zip's name follows from its bytes (a published package's, or one that says
# it is unreleased), so it is not known here: SHA256SUMS names it.
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
file(GLOB DUVAK_PUBLISHED CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/releases/*/SHA256SUMS)

set(DUVAK_RELEASE_FILES README.txt LICENSE.txt SHA256SUMS BUILDINFO.txt)
list(TRANSFORM DUVAK_RELEASE_FILES PREPEND ${CMAKE_BINARY_DIR}/)

add_custom_command(OUTPUT ${DUVAK_RELEASE_FILES}
    COMMAND ${Python3_EXECUTABLE} -B ${PROJECT_SOURCE_DIR}/tools/release.py
        --readme ${PROJECT_SOURCE_DIR}/README.md --license ${PROJECT_SOURCE_DIR}/LICENSE
        --exe $<TARGET_FILE:DUVAK> --out ${CMAKE_BINARY_DIR}
        --version ${PROJECT_VERSION} --compiler ${CMAKE_CXX_COMPILER}
        --rc-compiler ${CMAKE_RC_COMPILER} --rc-preprocessor ${DUVAK_RC_PREPROCESSOR}
        --cmake ${CMAKE_COMMAND} --source ${PROJECT_SOURCE_DIR}
    DEPENDS DUVAK ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/tools/release.py ${DUVAK_PUBLISHED}
    COMMENT "Packing the release zip and SHA256SUMS"
    VERBATIM)
add_custom_target(release DEPENDS ${DUVAK_RELEASE_FILES})
