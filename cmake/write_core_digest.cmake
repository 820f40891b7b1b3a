# Script mode: writes the digest of CORE into OUTPUT from TEMPLATE, after checking it against
# EXPECTED when that is given (the file may have changed since the configure step).
include(${CMAKE_CURRENT_LIST_DIR}/core_file_digest.cmake)
zembra_core_file_digest("${CORE}" "${EXPECTED}" ZEMBRA_CORE_DIGEST)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
