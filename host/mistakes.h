// A script author's likely mistakes, told by the host on standard error, one line
// each, whether or not --debug is on: a callback that names no function, a
// callback given as something other than its name, and a call with too few
// arguments (the plug-in reads them from the last, so `Open(host, port)` looks up
// the host "" and says only "Lookup failed: : Host not found (11001)"), or a
// lookup of a host that is a number. The plug-in's own texts, results and
// debugger lines stay as they are: the host wraps Open, Listen and Accept in the
// state, passing every argument and result through, and notes the callbacks so
// that a failed push of one can be told with the call that named it.
#pragma once

#include "host_lua.h"

// After event 7: wraps cvn_old.Open, Listen and Accept in the new state and
// forgets what was noted for the state before. Script lock held.
void mistakes_watch(lua_State* L);
// The host's lua_push_object found no function called `name`: the first time for
// that name, says so with the call that named it. Script lock held (the plug-in
// calls lua_push_object with it).
void mistakes_push_failed(const char* name);
