# The plug-in's sources, for the Linux build (CMakeLists.txt) and the Windows one
# (win32/CMakeLists.txt): the portable code, the same everywhere, and each
# platform backend.
get_filename_component(CVN_PLUGIN_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(CVN_PLUGIN_SOURCES
  plugin/entry.cpp
  script/library.cpp script/ccf.cpp script/ccf_send.cpp script/md5.cpp
  net/module_state.cpp net/registry.cpp net/graceful_close.cpp net/network_thread.cpp net/messages.cpp
  net/socket_ops.cpp net/delivery.cpp net/line_reader.cpp net/script_calls.cpp net/keepalive.cpp
  platform/lua_seam.cpp)
set(CVN_PLUGIN_POSIX_SOURCES lua_process.cpp sockets.cpp names.cpp event_window.cpp threads.cpp
  adapter_status.cpp nbstat.cpp module.cpp)
set(CVN_PLUGIN_WIN32_SOURCES lua_process.cpp sockets.cpp names.cpp event_window.cpp threads.cpp
  adapter_status.cpp module.cpp)
list(TRANSFORM CVN_PLUGIN_SOURCES PREPEND ${CVN_PLUGIN_ROOT}/)
list(TRANSFORM CVN_PLUGIN_POSIX_SOURCES PREPEND ${CVN_PLUGIN_ROOT}/platform/posix/)
list(TRANSFORM CVN_PLUGIN_WIN32_SOURCES PREPEND ${CVN_PLUGIN_ROOT}/platform/win32/)
