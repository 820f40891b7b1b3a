# What a packager does, as tests of the plain build (a sanitizer changes nothing here, so they run
# once): the configure cases of the Core digest in a scratch directory of their own.
if(NOT ZEMBRA_SANITIZE)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/release/*_test.cpp)
  add_executable(release_tests ${tests})
  target_link_libraries(release_tests PRIVATE zembra_test_support)
  target_compile_definitions(release_tests PRIVATE
    ZEMBRA_CONFIGURE_SCRATCH="${CMAKE_BINARY_DIR}/configure-scratch")
  gtest_discover_tests(release_tests TEST_PREFIX "release." TEST_FILTER "CoreDigestConfigure.*"
                       DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 600 RESOURCE_LOCK configure_scratch)
endif()
