// The plug-in's entry points as a host calls them, and binding them by name with
// the platform's symbol lookup (dlsym or GetProcAddress).
#pragma once

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "../include/host_interface.h"

#if defined(_WIN32)
#define TVR_CALL __stdcall
#else
#define TVR_CALL
#endif

struct PluginEntryPoints {
  int(TVR_CALL* start)();
  int(TVR_CALL* stop)();
  int(TVR_CALL* requested_api)(std::uint32_t);
  int(TVR_CALL* devicenum)();
  char*(TVR_CALL* name)(char*, std::uint32_t);
  char*(TVR_CALL* description)(char*, std::uint32_t);
  char*(TVR_CALL* version)(char*, std::uint32_t);
  int(TVR_CALL* open)(std::uint32_t, std::uint32_t, std::uint32_t, HostRecord*);
  int(TVR_CALL* close)();
  int(TVR_CALL* info)(int, std::uint32_t, lua_State*);
};

// `find(name)` returns the symbol's address or nullptr. Every missing entry point
// is reported; true when all ten were found.
template <typename Find>
bool bind_entry_points(PluginEntryPoints& p, Find find) {
  bool ok = true;
  auto bind = [&](const char* name, auto& fn) {
    fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(find(name));
    if (fn == nullptr) std::fprintf(stderr, "tavrel: the plug-in does not export %s\n", name);
    ok = ok && fn != nullptr;
  };
  bind("tvr_start", p.start);
  bind("tvr_stop", p.stop);
  bind("tvr_requested_api", p.requested_api);
  bind("tvr_devicenum", p.devicenum);
  bind("tvr_name", p.name);
  bind("tvr_description", p.description);
  bind("tvr_version", p.version);
  bind("tvr_open", p.open);
  bind("tvr_close", p.close);
  bind("tvr_info", p.info);
  return ok;
}

// Prints name, version, device number, interface level and description.
inline void print_plugin_info(const PluginEntryPoints& p) {
  char name[256] = {}, version[256] = {}, description[256] = {};
  p.name(name, 255);
  p.version(version, 255);
  p.description(description, 255);
  std::printf("%s %s (device %d, host interface %d)\n%s\n", name, version, p.devicenum(),
              p.requested_api(0), description);
}
