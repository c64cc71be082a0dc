# loadpost_folder(KIND DIR...): the sources of each folder DIR (below the
# calling folder) go into one of three libraries.
#   KIND core:   portable *.cpp go into loadpost_core, built natively and for
#                Windows; *_posix.cpp into loadpost_core on Linux only; *_win.cpp
#                (the core's Windows platform code: D2XX, serial transport,
#                instance registry, the chart's fonts and picture) into loadpost_core_win.
#   KIND window: the window's files, all Win32, into loadpost_win.
# window/shell/entry_win.cpp (WinMain) belongs to the program alone.
function(loadpost_folder kind)
  foreach(dir ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    foreach(f ${sources})
      if(f MATCHES "entry_win\\.cpp$")
        continue()
      elseif(kind STREQUAL "window")
        set_property(GLOBAL APPEND PROPERTY LOADPOST_WIN_SOURCES ${f})
      elseif(f MATCHES "_posix\\.cpp$")
        if(NOT WIN32)
          set_property(GLOBAL APPEND PROPERTY LOADPOST_CORE_SOURCES ${f})
        endif()
      elseif(f MATCHES "_win\\.cpp$")
        set_property(GLOBAL APPEND PROPERTY LOADPOST_CORE_WIN_SOURCES ${f})
      else()
        set_property(GLOBAL APPEND PROPERTY LOADPOST_CORE_SOURCES ${f})
      endif()
    endforeach()
  endforeach()
endfunction()

# loadpost_alone_in_unity_build(FILE...): in a target built in batches
# (UNITY_BUILD), the given *_win.cpp files are compiled on their own, so that
# <windows.h> and its macros never reach the portable files of their batch.
function(loadpost_alone_in_unity_build)
  foreach(f ${ARGN})
    if(f MATCHES "_win\\.cpp$")
      set_source_files_properties(${f} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
    endif()
  endforeach()
endfunction()
