# Cross-compiling for 32-bit Windows, the plug-in's home.
set(CVN_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
