# gcsim's and ccf2sendir's sources, for the Linux build (CMakeLists.txt) and the
# Windows one (win32/CMakeLists.txt); each adds its tool_os_*.cpp.
set(CVN_TOOLS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CVN_GCSIM_SOURCES ${CVN_TOOLS_DIR}/gcsim.cpp)
set(CVN_CCF2SENDIR_SOURCES ${CVN_TOOLS_DIR}/ccf2sendir.cpp ${CVN_TOOLS_DIR}/ccf_check.cpp
  ${CVN_TOOLS_DIR}/../script/ccf.cpp)
