// The host library of a process without any Lua: lua_push_object pushes nothing.
#include "../../include/host_interface.h"

int lua_push_object(lua_State*, const char*) { return 0; }
