# cmake -DNM=... -DOBJCOPY=... -DIN=lib.a -DOUT=renamed.a -P rename_lua51.cmake
# Copies a Lua 5.1 static library with every lua_*, luaL_* and luaopen_* symbol
# renamed to l51_lua_*, l51_luaL_*, l51_luaopen_* (a leading underscore, as
# 32-bit Windows objects carry it, is kept in front).
execute_process(COMMAND ${NM} --defined-only -g ${IN} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${NM} failed on ${IN}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(map "")
foreach(line IN LISTS lines)
  if(line MATCHES " [A-Z] (_?)(lua_|luaL_|luaopen_)([A-Za-z0-9_]*)$")
    string(APPEND map "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_3} "
                      "${CMAKE_MATCH_1}l51_${CMAKE_MATCH_2}${CMAKE_MATCH_3}\n")
  endif()
endforeach()
if(map STREQUAL "")
  message(FATAL_ERROR "no Lua symbols found in ${IN}")
endif()
file(WRITE ${OUT}.syms "${map}")
execute_process(COMMAND ${OBJCOPY} --redefine-syms=${OUT}.syms ${IN} ${OUT} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${OBJCOPY} failed on ${IN}")
endif()
