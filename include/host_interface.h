// What the host hands the plug-in: the HostRecord passed to tvr_open, the
// HostServices record that carries the script lock, and lua_push_object, which the
// host library exports. Shared by the plug-in and the stand-in host.
#pragma once

#include <cstddef>
#include <cstdint>

// The host's script state. Opaque here, so that neither side needs a particular
// Lua's headers for this file; it is the type lua.h declares.
struct lua_State;

// Records of 32-bit fields; the pointer fields are as wide as the target's pointers.
struct HostServices {
  std::uint32_t reserved[6];
  void* script_lock;  // a mutex the host owns; see cvn::plat::Mutex for its type
};
static_assert(offsetof(HostServices, script_lock) == 24, "script lock is the seventh field");

struct HostRecord {
  std::uint32_t version;  // must be kHostRecordVersion
  HostServices* services;
};

constexpr std::uint32_t kHostRecordVersion = 8;

#if defined(_WIN32) && defined(CVN_HOST_BUILD)
#define CVN_HOST_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define CVN_HOST_API extern "C" __declspec(dllimport)
#else
#define CVN_HOST_API extern "C" __attribute__((visibility("default")))
#endif

// Pushes the script object called `name` (a global, or a dotted path through nested
// tables) and returns non-zero only when it pushed a function; pushes nothing and
// returns 0 otherwise. Caller holds the script lock and has room for two more
// values on the stack (lua_checkstack), as for any Lua call that pushes.
CVN_HOST_API int lua_push_object(lua_State* L, const char* name);
