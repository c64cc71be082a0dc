# Run at every build (cmake -P): the build's version, the project's version
# followed, in a git checkout, by "+g" and the short commit, and ".dirty" when
# tracked files differ from that commit ("1.1.1013+g1369c17.dirty"). Writes
# build_version.cpp (BuildVersion()) and build_version.txt (for CPack), each
# only when its text changes, so that an unchanged commit rebuilds nothing.
#   -DSOURCE_DIR= -DOUT_DIR= -DVERSION= [-DGIT=<git executable>]
set(full "${VERSION}")
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=7 HEAD
                  OUTPUT_VARIABLE commit RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed AND commit)
    string(APPEND full "+g${commit}")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR changes)
      string(APPEND full ".dirty")
    endif()
  endif()
endif()

function(write_if_changed file text)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${file}" "${text}")
endfunction()

write_if_changed("${OUT_DIR}/build_version.txt" "${full}\n")
write_if_changed("${OUT_DIR}/build_version.cpp" "// Made by cmake/LoadpostBuildVersion.cmake at build time.
#include \"core/base/version.h\"

const char* BuildVersion() { return \"${full}\"; }
")
