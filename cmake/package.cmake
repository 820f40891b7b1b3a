# The Debian package, built by `cpack -G DEB` after a release build: the helper and the Core it
# expects in /usr/lib/zembra-helper, where `install` and Core verification accept them
# (root-owned, not writable by group or others), the documents and the manual page. The unit is
# not shipped: `install` writes it for the user who runs it, and the prerm removes it.
set(ZEMBRA_PACKAGE_NAME zembra-helper)
set(ZEMBRA_PACKAGE_DIRECTORY lib/${ZEMBRA_PACKAGE_NAME})
set(ZEMBRA_PACKAGE_DOC_DIRECTORY share/doc/${ZEMBRA_PACKAGE_NAME})
set(ZEMBRA_PACKAGE_STAGING ${CMAKE_BINARY_DIR}/package-documents)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZEMBRA_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZembraHelperService maintainers <helper@zembra.example>"
    CACHE STRING "The package's Maintainer field")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Strips the helper (installed as a target) but never the Core, whose bytes are its digest.
set(CPACK_STRIP_FILES ON)
# Whatever the packager's umask: `install` refuses a group-writable directory above the helper.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "root helper that runs the Morvik Core for the Zembra client")
# Debian wants the lines of the long description within 80 columns; CPack does not wrap them.
set(CPACK_PACKAGE_DESCRIPTION [[
ZembraHelperService runs as a systemd service on behalf of one user. It
serves an HTTP API on a Unix socket to that user alone, and starts, pings
and stops the MorvikCore network engine next to it after checking the
Core's SHA-256 digest.

The package does not install the service: its user runs
"/usr/lib/zembra-helper/ZembraHelperService install" through pkexec or sudo.]])
if(NOT MORVIK_CORE_FILE)
  string(APPEND CPACK_PACKAGE_DESCRIPTION [[


This is a demo build: its MorvikCore is the demo Core of the helper's
tests, not the network engine.]])
endif()

set(CPACK_ZEMBRA_CORE_DIGEST_SOURCE ${ZEMBRA_CORE_DIGEST_SOURCE})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/package_description.cmake)

string(TIMESTAMP ZEMBRA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/generated/changelog
               @ONLY)
# Debian wants these two compressed as `gzip -9n` does (no name, no time stamp).
set(ZEMBRA_PACKAGE_COMPRESSED
    ${ZEMBRA_PACKAGE_STAGING}/changelog.gz ${ZEMBRA_PACKAGE_STAGING}/ZembraHelperService.8.gz)
add_custom_command(
  OUTPUT ${ZEMBRA_PACKAGE_COMPRESSED}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEMBRA_PACKAGE_STAGING}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/ZembraHelperService.8
          ${CMAKE_BINARY_DIR}/generated/changelog ${ZEMBRA_PACKAGE_STAGING}
  COMMAND gzip -9nf ${ZEMBRA_PACKAGE_STAGING}/changelog ${ZEMBRA_PACKAGE_STAGING}/ZembraHelperService.8
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/ZembraHelperService.8 ${CMAKE_BINARY_DIR}/generated/changelog
  COMMENT "Compressing the manual page and the changelog")
add_custom_target(package_documents ALL DEPENDS ${ZEMBRA_PACKAGE_COMPRESSED})

install(TARGETS ZembraHelperService RUNTIME DESTINATION ${ZEMBRA_PACKAGE_DIRECTORY})
install(PROGRAMS ${ZEMBRA_SHIPPED_CORE} DESTINATION ${ZEMBRA_PACKAGE_DIRECTORY} RENAME MorvikCore)
install(FILES ${CMAKE_SOURCE_DIR}/docs/api.md ${CMAKE_SOURCE_DIR}/docs/operations.md
              ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${ZEMBRA_PACKAGE_STAGING}/changelog.gz
        DESTINATION ${ZEMBRA_PACKAGE_DOC_DIRECTORY})
install(FILES ${ZEMBRA_PACKAGE_STAGING}/ZembraHelperService.8.gz DESTINATION share/man/man8)

include(CPack)
