# What a packager does, as tests of the plain build (a sanitizer changes nothing here, so they run
# once): the configure cases of the Core digest in a scratch directory of their own, and one
# scratch Release build that makes both packages (demo Core, and MORVIK_CORE_FILE) for the
# package tests.
if(NOT ZEMBRA_SANITIZE)
  set(ZEMBRA_RELEASE_SCRATCH ${CMAKE_BINARY_DIR}/release-scratch)
  # MORVIK_CORE_FILE of the second package: another Core than the release build makes, this
  # build's demo Core.
  add_test(NAME release.build_packages
           COMMAND ${CMAKE_SOURCE_DIR}/tests/release/build_packages ${CMAKE_SOURCE_DIR}
                   ${ZEMBRA_RELEASE_SCRATCH} $<TARGET_FILE:fake_core>)
  set_tests_properties(release.build_packages PROPERTIES FIXTURES_SETUP release_packages
                       TIMEOUT 3600 PROCESSORS 2)

  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/release/*_test.cpp)
  add_executable(release_tests ${tests})
  target_link_libraries(release_tests PRIVATE zembra_test_support)
  add_dependencies(release_tests fake_core ZembraHelperService)
  target_compile_definitions(release_tests PRIVATE
    ZEMBRA_CONFIGURE_SCRATCH="${CMAKE_BINARY_DIR}/configure-scratch"
    ZEMBRA_PACKAGES="${ZEMBRA_RELEASE_SCRATCH}/packages"
    ZEMBRA_MORVIK_CORE_FILE="$<TARGET_FILE:fake_core>"
    ZEMBRA_VERSION="${PROJECT_VERSION}")
  gtest_discover_tests(release_tests TEST_PREFIX "release." TEST_FILTER "CoreDigestConfigure.*"
                       DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600 RESOURCE_LOCK configure_scratch)
  gtest_discover_tests(release_tests TEST_PREFIX "release." TEST_FILTER "Package*"
                       DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600 FIXTURES_REQUIRED release_packages)
endif()
