# The Lua 5.0 test double, shared by the Linux and the Windows builds: a Lua 5.1
# static library with its API names prefixed l51_, under lua50_double.cpp, which
# exports Lua 5.0's names and nothing else.
set(CVN_LUA50_DIR ${CMAKE_CURRENT_LIST_DIR})

set(CVN_LUA50_EXPORTS
  lua_open lua_close lua_version
  lua_gettop lua_settop lua_pushvalue lua_remove lua_insert lua_checkstack
  lua_type lua_tonumber lua_tostring lua_strlen
  lua_pushnil lua_pushnumber lua_pushlstring lua_pushstring lua_pushcclosure
  lua_gettable lua_rawget lua_newtable lua_settable lua_rawset lua_rawseti lua_next lua_getmetatable
  lua_concat lua_call lua_pcall lua_cpcall
  luaL_openlib luaL_checknumber luaL_optnumber luaL_loadfile luaL_loadbuffer luaL_error
  lua_sethook
  luaopen_base luaopen_table luaopen_io luaopen_string luaopen_math luaopen_debug)

# cvn_lua51_renamed(<output archive> <input archive> [targets the input comes from])
function(cvn_lua51_renamed out in)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJCOPY=${CMAKE_OBJCOPY}
            -DIN=${in} -DOUT=${out} -P ${CVN_LUA50_DIR}/rename_lua51.cmake
    DEPENDS ${ARGN} ${CVN_LUA50_DIR}/rename_lua51.cmake
    COMMENT "Renaming the Lua 5.1 API in ${in}" VERBATIM)
endfunction()
