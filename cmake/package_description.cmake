# Read by cpack when it makes the package, after the build: the package description names the
# digest the built helper expects, which the build may have taken from a file.
file(READ "${CPACK_ZEMBRA_CORE_DIGEST_SOURCE}" digest_source)
string(REGEX MATCH "\"([0-9a-f]+)\"" digest "${digest_source}")
string(APPEND CPACK_PACKAGE_DESCRIPTION "\n\nThe helper starts only the MorvikCore whose SHA-256 is\n${CMAKE_MATCH_1}")
