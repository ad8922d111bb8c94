# The release, packed beside DUVAK.exe in the build folder: README.txt (the
# user's part of README.md), LICENSE.txt, DUVAK-<version>-windows-x64.zip
# holding the three, SHA256SUMS over the zip and the exe, and BUILDINFO.txt,
# what built them. Built only on request, by the release preset (target
# release), which cleans first and so builds nothing else: none of the test
# helpers.
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)

set(DUVAK_RELEASE_ZIP DUVAK-${PROJECT_VERSION}-windows-x64.zip)
set(DUVAK_RELEASE_FILES ${DUVAK_RELEASE_ZIP} README.txt LICENSE.txt SHA256SUMS BUILDINFO.txt)
list(TRANSFORM DUVAK_RELEASE_FILES PREPEND ${CMAKE_BINARY_DIR}/)

add_custom_command(OUTPUT ${DUVAK_RELEASE_FILES}
    COMMAND ${Python3_EXECUTABLE} -B ${PROJECT_SOURCE_DIR}/tools/release.py
        --readme ${PROJECT_SOURCE_DIR}/README.md --license ${PROJECT_SOURCE_DIR}/LICENSE
        --exe $<TARGET_FILE:DUVAK> --zip ${DUVAK_RELEASE_ZIP} --out ${CMAKE_BINARY_DIR}
        --version ${PROJECT_VERSION} --compiler ${CMAKE_CXX_COMPILER}
        --rc-compiler ${CMAKE_RC_COMPILER} --rc-preprocessor ${DUVAK_RC_PREPROCESSOR}
        --cmake ${CMAKE_COMMAND} --source ${PROJECT_SOURCE_DIR}
    DEPENDS DUVAK ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/tools/release.py
    COMMENT "Packing ${DUVAK_RELEASE_ZIP} and SHA256SUMS"
    VERBATIM)
add_custom_target(release DEPENDS ${DUVAK_RELEASE_FILES})
