# One version for everything: project(... VERSION major.minor.build) in the
# top CMakeLists.txt. loadpost_version.h (made at configure time) gives it to
# the window's fixed texts and version record; loadpost_build_version (made at
# every build) adds the git commit for the command line, the reports and the
# packages.
set(LOADPOST_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/loadpost_version.h.in ${LOADPOST_GENERATED_DIR}/loadpost_version.h @ONLY)
include_directories(${LOADPOST_GENERATED_DIR})

find_package(Git QUIET)
add_custom_target(loadpost_build_version_text
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT_DIR=${LOADPOST_GENERATED_DIR}
          -DVERSION=${PROJECT_VERSION} -DGIT=${GIT_EXECUTABLE} -P ${CMAKE_CURRENT_LIST_DIR}/LoadpostBuildVersion.cmake
  BYPRODUCTS ${LOADPOST_GENERATED_DIR}/build_version.cpp ${LOADPOST_GENERATED_DIR}/build_version.txt
  COMMENT "Build version")
add_library(loadpost_build_version STATIC ${LOADPOST_GENERATED_DIR}/build_version.cpp)
add_dependencies(loadpost_build_version loadpost_build_version_text)
