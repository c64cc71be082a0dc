# Each subsystem folder calls loadpost_folder(). Its portable sources (*.cpp) go
# into loadpost_core, built natively and for Windows; its Win32 sources
# (*_win.cpp) go into loadpost_win, which the program and the Win32 tests link.
# POSIX sources (*_posix.cpp) go into loadpost_core on Linux only.
# shell/entry_win.cpp (WinMain) belongs to the program alone.
function(loadpost_folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(f ${sources})
    if(f MATCHES "entry_win\\.cpp$")
      continue()
    elseif(f MATCHES "_posix\\.cpp$")
      if(NOT WIN32)
        set_property(GLOBAL APPEND PROPERTY LOADPOST_CORE_SOURCES ${f})
      endif()
    elseif(f MATCHES "_win\\.cpp$")
      set_property(GLOBAL APPEND PROPERTY LOADPOST_WIN_SOURCES ${f})
    else()
      set_property(GLOBAL APPEND PROPERTY LOADPOST_CORE_SOURCES ${f})
    endif()
  endforeach()
endfunction()
