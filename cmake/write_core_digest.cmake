# Script mode: writes the digest of CORE into OUTPUT from TEMPLATE.
file(SHA256 ${CORE} ZEMBRA_CORE_DIGEST)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
