// The cvn_old library table: registered into the script state on attach and
// removed on detach. Host thread, with the script lock held.
#pragma once

struct lua_State;

namespace cvn {

void library_register(lua_State* L);
void library_remove(lua_State* L);

}  // namespace cvn
