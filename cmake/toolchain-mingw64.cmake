# Cross-compiling for 64-bit Windows, where 32-bit Wine cannot be had.
set(CVN_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
