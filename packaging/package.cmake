# The release package (`make package`, scripts/package.sh): a zip named with
# the project version, holding Vellumgard.exe and README.txt at its top, and
# a SHA-256 checksum file beside it. CPack zips with CMake's own archiver, so
# no zip tool is needed.

# The Windows users' README, with the version filled in and Windows line ends.
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
               @ONLY NEWLINE_STYLE CRLF)

# Packaging needs only Vellumgard.exe: scripts/package.sh builds that target,
# and CPack's install step must not build every test program first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
install(TARGETS Vellumgard RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Vellumgard)
set(CPACK_PACKAGE_VENDOR "the Vellumgard developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Vellumgard-${PROJECT_VERSION}-win64)
# Vellumgard.exe and README.txt at the top: Extract All makes the folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# Writes Vellumgard-<version>-win64.zip.sha256 ("<hash>  <zip name>").
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# The zip holds exactly the executable that was built and tested.
set(CPACK_STRIP_FILES OFF)
include(CPack)
