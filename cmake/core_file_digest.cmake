# zembra_core_file_digest(FILE EXPECTED OUT): the SHA-256 of FILE into OUT. Stops with an error
# naming both settings when EXPECTED (a MORVIK_CORE_SHA256, possibly empty) is given and differs.
function(zembra_core_file_digest file expected out)
  file(SHA256 "${file}" digest)
  if(expected AND NOT digest STREQUAL expected)
    message(FATAL_ERROR "MORVIK_CORE_SHA256 (${expected}) does not match MORVIK_CORE_FILE "
                        "(${file}), whose SHA-256 is ${digest}")
  endif()
  set(${out} ${digest} PARENT_SCOPE)
endfunction()
