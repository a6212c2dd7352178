// A host process without any Lua: loads the plug-in, opens it, hands it a state
// pointer at events 7 and 8 (a dummy the plug-in must never touch, as it finds no
// Lua to use it with), closes and unloads it. Prints each entry point's result;
// the plug-in's debugger lines go to standard error (CVN_DEBUG).
//   no_lua_host PLUGIN
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>

#include <cstdio>

#include "../../host/entry_points.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  setenv("CVN_DEBUG", "1", 1);
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 2;
  }
  PluginEntryPoints p{};
  if (!bind_entry_points(p, [lib](const char* n) { return dlsym(lib, n); })) return 2;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_t lock;
  pthread_mutex_init(&lock, &attr);
  HostServices services{};
  services.script_lock = &lock;
  HostRecord record{kHostRecordVersion, &services};
  static char not_a_state[64];
  auto* L = reinterpret_cast<lua_State*>(not_a_state);
  std::printf("open %d\n", p.open(0, 0, 0, &record));
  std::printf("start %d\n", p.start());
  pthread_mutex_lock(&lock);
  std::printf("event 7 %d\n", p.info(7, 0, L));
  std::printf("event 8 %d\n", p.info(8, 0, L));
  std::printf("event 7 again %d\n", p.info(7, 0, L));
  std::printf("event 8 again %d\n", p.info(8, 0, L));
  pthread_mutex_unlock(&lock);
  std::printf("close %d\n", p.close());
  std::printf("unload %d\n", dlclose(lib));
  return 0;
}
