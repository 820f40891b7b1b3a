# EXPECTED_CORE_SHA256 and the Core the package ships (ZEMBRA_SHIPPED_CORE), from the
# packager's MORVIK_CORE_FILE and/or MORVIK_CORE_SHA256; without either, the demo Core this
# build produces. A digest taken from a file is computed at build time, so a changed file is
# noticed.
include(${CMAKE_CURRENT_LIST_DIR}/core_file_digest.cmake)
set(ZEMBRA_CORE_DIGEST_SOURCE ${CMAKE_BINARY_DIR}/generated/core_digest.cpp)

if(MORVIK_CORE_SHA256)
  # CMake's regular expressions have no {n} bound.
  string(REPEAT "[0-9a-f]" 64 sha256_pattern)
  if(NOT MORVIK_CORE_SHA256 MATCHES "^${sha256_pattern}$")
    message(FATAL_ERROR "MORVIK_CORE_SHA256 must be exactly 64 lower-case hexadecimal characters "
                        "(the SHA-256 of the MorvikCore shipped with the helper); got \"${MORVIK_CORE_SHA256}\"")
  endif()
endif()

if(MORVIK_CORE_FILE)
  get_filename_component(ZEMBRA_SHIPPED_CORE "${MORVIK_CORE_FILE}" ABSOLUTE)
  if(NOT EXISTS "${ZEMBRA_SHIPPED_CORE}" OR IS_DIRECTORY "${ZEMBRA_SHIPPED_CORE}")
    message(FATAL_ERROR "MORVIK_CORE_FILE must name the MorvikCore to ship; "
                        "\"${ZEMBRA_SHIPPED_CORE}\" is not a file")
  endif()
  zembra_core_file_digest("${ZEMBRA_SHIPPED_CORE}" "${MORVIK_CORE_SHA256}" configured_digest)
  message(STATUS "The helper expects MORVIK_CORE_FILE ${ZEMBRA_SHIPPED_CORE}, whose SHA-256 "
                 "is now ${configured_digest}; the build takes it again from the file")
  set(core_digest_from ${ZEMBRA_SHIPPED_CORE})
  set(core_digest_depends ${ZEMBRA_SHIPPED_CORE})
elseif(MORVIK_CORE_SHA256)
  message(STATUS "The helper expects the MorvikCore with SHA-256 ${MORVIK_CORE_SHA256}; the "
                 "package ships the demo Core, so set MORVIK_CORE_FILE to ship the real one")
  set(ZEMBRA_SHIPPED_CORE $<TARGET_FILE:fake_core>)
else()
  message(STATUS "MORVIK_CORE_SHA256 is not set: the helper expects the demo Core built from tests/fake_core")
  set(ZEMBRA_SHIPPED_CORE $<TARGET_FILE:fake_core>)
  set(core_digest_from $<TARGET_FILE:fake_core>)
  set(core_digest_depends fake_core)
endif()

# Rewritten only when the settings change, so that a switch to another Core file regenerates
# the digest even when that file is older than the digest last generated.
set(core_digest_settings ${CMAKE_BINARY_DIR}/generated/core_digest_settings)
file(CONFIGURE OUTPUT ${core_digest_settings} CONTENT "${core_digest_from}\n${MORVIK_CORE_SHA256}\n")

if(core_digest_from)
  add_custom_command(
    OUTPUT ${ZEMBRA_CORE_DIGEST_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DCORE=${core_digest_from} -DEXPECTED=${MORVIK_CORE_SHA256}
            -DTEMPLATE=${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in
            -DOUTPUT=${ZEMBRA_CORE_DIGEST_SOURCE} -P ${CMAKE_SOURCE_DIR}/cmake/write_core_digest.cmake
    DEPENDS ${core_digest_depends} ${core_digest_settings}
            ${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in
            ${CMAKE_SOURCE_DIR}/cmake/write_core_digest.cmake
            ${CMAKE_SOURCE_DIR}/cmake/core_file_digest.cmake
    COMMENT "Computing the SHA-256 of the Core the helper expects")
else()
  set(ZEMBRA_CORE_DIGEST ${MORVIK_CORE_SHA256})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/core_digest.cpp.in ${ZEMBRA_CORE_DIGEST_SOURCE} @ONLY)
endif()
# One driver for the digest, so that targets built in parallel never run its command twice.
add_custom_target(core_digest DEPENDS ${ZEMBRA_CORE_DIGEST_SOURCE})
