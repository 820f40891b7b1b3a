# EXPECTED_CORE_SHA256: the packager's MORVIK_CORE_SHA256, or else the digest of the fake Core
# that this build produces, computed after it is linked.
set(ZEMBRA_CORE_DIGEST_SOURCE ${CMAKE_BINARY_DIR}/generated/core_digest.cpp)
if(MORVIK_CORE_SHA256)
  if(NOT MORVIK_CORE_SHA256 MATCHES "^[0-9a-f]+$" OR NOT MORVIK_CORE_SHA256 MATCHES "^.{64}$")
    message(FATAL_ERROR "MORVIK_CORE_SHA256 must be exactly 64 lower-case hexadecimal characters "
                        "(the SHA-256 of the MorvikCore shipped with the helper); got \"${MORVIK_CORE_SHA256}\"")
  endif()
  set(ZEMBRA_CORE_DIGEST ${MORVIK_CORE_SHA256})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in ${ZEMBRA_CORE_DIGEST_SOURCE} @ONLY)
else()
  message(STATUS "MORVIK_CORE_SHA256 is not set: the helper expects the demo Core built from tests/fake_core")
  add_custom_command(
    OUTPUT ${ZEMBRA_CORE_DIGEST_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DCORE=$<TARGET_FILE:fake_core>
            -DTEMPLATE=${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in
            -DOUTPUT=${ZEMBRA_CORE_DIGEST_SOURCE} -P ${CMAKE_SOURCE_DIR}/cmake/write_core_digest.cmake
    DEPENDS fake_core ${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in
            ${CMAKE_SOURCE_DIR}/cmake/write_core_digest.cmake
    COMMENT "Computing the SHA-256 of the demo Core")
endif()
