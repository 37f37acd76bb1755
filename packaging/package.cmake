# The release package (`make package`, scripts/package.sh): a zip named with
# the project version, holding the stripped Vellumgard.exe and README.txt at
# its top, with its SHA-256 file and the debug information beside it. The
# script makes the zip itself, so that the same commit gives the same bytes.

# The Windows users' README, with the version filled in and Windows line ends.
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
               @ONLY NEWLINE_STYLE CRLF)
