# layout.IncludeRules: fails when a source file includes across a forbidden folder boundary.
# Every library sees the whole src/ tree, so the link graph alone cannot stop such an include.
# Run with -DSOURCE_DIR=<the source tree>.
cmake_minimum_required(VERSION 3.25)
set(rules
    # folder                 forbidden include prefix
    "src/http"               "service/hub"
    "src/service/hub/core"   "service/hub/api"
    "src/service/hub/core"   "http/"
    "src/service/linux"      "service/hub")
# The service wiring is the one linux/ file that puts the hub together.
set(allowed "src/service/linux/service_mode.cpp")

set(violations "")
list(LENGTH rules length)
math(EXPR last "${length} - 1")
foreach(index RANGE 0 ${last} 2)
  math(EXPR next "${index} + 1")
  list(GET rules ${index} folder)
  list(GET rules ${next} prefix)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.cpp
       ${SOURCE_DIR}/${folder}/*.hpp)
  foreach(file ${files})
    if(file IN_LIST allowed)
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"${prefix}")
    foreach(line ${lines})
      string(APPEND violations "  ${file}: ${line}\n")
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes across a forbidden folder boundary:\n${violations}")
endif()
