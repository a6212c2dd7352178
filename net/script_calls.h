// Calling a record's script callback from the NetworkThread: the script lock
// waited for in slices, the callback pushed by name and called protected.
#pragma once

#include <cstddef>

#include "../include/host_interface.h"
#include "../platform/lua_seam.h"
#include "messages.h"
#include "registry.h"

namespace cvn {

// Waits for the script lock in slices for as long as a script state is attached
// and the plug-in is not closing, so an event is neither lost to a slow script nor
// delivered without the lock. Returns the state with `lock` held, or nullptr.
lua_State* acquire_script(plat::Mutex& lock);

// Said once per record on the debugger channel: a misspelt callback name is the
// likeliest script bug, and otherwise nothing at all shows it.
void report_missing_callback(ConnectionRecord& rec);

// Calls the record's callback with (text, socket, status, host), text being `len`
// bytes; the script lock is held, the stack has room and its top is `top`, where
// the call leaves it. The host text is pushed anew, or copied from stack index
// `host` when non-zero. False when the callback could not be pushed. Inline: the
// line reader calls it for every line.
inline bool call_locked(lua_State* L, int top, ConnectionRecord& rec, const char* text, std::size_t len,
                        int status, const char* error_format, int host = 0) {
  if (rec.released.load()) return false;  // records retired by a script reload stay silent
  if (lua_push_object(L, rec.callback) == 0) {
    lua::set_top(L, top);  // nothing should have been pushed; make sure
    report_missing_callback(rec);
    return false;
  }
  lua::push_text(L, text, len);
  lua::push_number(L, static_cast<lua::Number>(rec.socket));
  lua::push_number(L, status);
  if (host != 0)
    lua::push_value(L, host);
  else
    lua::push_text(L, rec.host);
  if (lua::pcall(L, 4, 0, 0) != 0) {  // a call without results leaves only an error
    const char* err = lua::to_text(L, -1);
    script_print(error_format, err ? err : "(null)");
    lua::set_top(L, top);
  }
  return true;
}

// The same for a single event, taking the script lock for it. False when the
// callback could not be pushed or no script can be called any more.
bool call_script(ConnectionRecord& rec, const char* text, int status, const char* error_format);

}  // namespace cvn
