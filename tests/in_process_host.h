// The plug-in opened in this process the way the host opens it, for the tests
// and benchmarks that link the plug-in's core: a recursive script lock handed
// over in the host record, tvr_open, and Lua states given to the plug-in with
// event 7 and taken back with event 8, each under the script lock.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "../include/host_interface.h"

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
int tvr_start();
int tvr_stop();
int tvr_requested_api(std::uint32_t);
int tvr_devicenum();
char* tvr_name(char*, std::uint32_t);
char* tvr_description(char*, std::uint32_t);
char* tvr_version(char*, std::uint32_t);
int tvr_open(std::uint32_t, std::uint32_t, std::uint32_t, HostRecord*);
int tvr_close();
int tvr_info(int, std::uint32_t, lua_State*);
}

namespace cvn::test {

struct InProcessHost {
  pthread_mutex_t lock;
  HostServices services{};
  HostRecord record{};
  lua_State* L = nullptr;
};

// Makes the script lock and opens the plug-in; tvr_open's result.
inline int host_open(InProcessHost& h) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&h.lock, &attr);
  pthread_mutexattr_destroy(&attr);
  h.services = HostServices{};
  h.services.script_lock = &h.lock;
  h.record = HostRecord{kHostRecordVersion, &h.services};
  return tvr_open(0, 0, 0, &h.record);
}

// A new state with the standard libraries, `print` replaced when one is given,
// handed to the plug-in (event 7).
inline void host_attach(InProcessHost& h, lua_CFunction print = nullptr) {
  pthread_mutex_lock(&h.lock);
  h.L = luaL_newstate();
  luaL_openlibs(h.L);
  if (print != nullptr) lua_register(h.L, "print", print);
  tvr_info(7, 0, h.L);
  pthread_mutex_unlock(&h.lock);
}

// The state taken back (event 8) and closed.
inline void host_detach(InProcessHost& h) {
  pthread_mutex_lock(&h.lock);
  tvr_info(8, 0, h.L);
  lua_close(h.L);
  h.L = nullptr;
  pthread_mutex_unlock(&h.lock);
}

inline void host_close(InProcessHost& h) {
  tvr_close();
  pthread_mutex_destroy(&h.lock);
}

}  // namespace cvn::test
