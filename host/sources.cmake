# tavrel's sources, for the Linux build (CMakeLists.txt) and the Windows one
# (win32/CMakeLists.txt): the core, the same everywhere, and each platform's own.
set(CVN_HOST_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CVN_HOST_CORE_SOURCES core.cpp options.cpp console_lines.cpp mistakes.cpp debug_notes.cpp)
set(CVN_HOST_POSIX_SOURCES tavrel_posix.cpp console_readline.cpp idle_watch_posix.cpp debug_filter_posix.cpp)
set(CVN_HOST_WIN32_SOURCES tavrel_win32.cpp console_win32.cpp idle_watch_win32.cpp imports_win32.cpp)
foreach(list CVN_HOST_CORE_SOURCES CVN_HOST_POSIX_SOURCES CVN_HOST_WIN32_SOURCES)
  list(TRANSFORM ${list} PREPEND ${CVN_HOST_DIR}/)
endforeach()
