# The libFuzzer targets (preset "fuzz"): each tests/fuzz/*_fuzz.cpp is one executable, linked with
# the service's code built by the same clang with ZEMBRA_SANITIZE and coverage instrumentation.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "ZEMBRA_FUZZ needs clang with libFuzzer (the fuzz preset uses clang++-16)")
endif()

# libstdc++ 12 declares std::expected only when __cpp_concepts >= 202002L. Clang 16 implements the
# language rule <expected> depends on (conditionally trivial special members, P0848) but reports
# that level only from clang 19 on, so the fuzz build states it.
target_compile_options(zembra_flags INTERFACE -U__cpp_concepts -D__cpp_concepts=202002L
                       -fsanitize=fuzzer-no-link)

file(GLOB ZEMBRA_FUZZ_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/support/*.cpp)
add_library(zembra_fuzz_support STATIC ${ZEMBRA_FUZZ_SUPPORT})
target_include_directories(zembra_fuzz_support PUBLIC ${CMAKE_SOURCE_DIR}/tests/fuzz)
target_link_libraries(zembra_fuzz_support PUBLIC zembra)

file(GLOB ZEMBRA_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
foreach(source ${ZEMBRA_FUZZ_TARGETS})
  get_filename_component(target ${source} NAME_WE)
  add_executable(${target} ${source})
  target_link_libraries(${target} PRIVATE zembra_fuzz_support)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()
