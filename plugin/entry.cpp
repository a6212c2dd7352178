// The plug-in's entry points: what the host calls to describe, open, close and
// hand over its script state, handed down to net/ through the module state.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "../include/cvn_export.h"
#include "../include/host_interface.h"
#include "../net/module_state.h"
#include "../net/network_thread.h"
#include "../net/registry.h"
#include "../platform/lua_seam.h"
#include "../script/library.h"

namespace cvn {

namespace {

constexpr int kEventScriptCreated = 7;
constexpr int kEventScriptClosing = 8;
constexpr std::size_t kPathBufferSize = 260;

// Copy-up-to-n of a fixed text where n is the low 8 bits of the size: shorter
// texts are padded with NUL bytes, longer ones cut without a terminator.
char* copy_fixed(char* buffer, std::uint32_t size, const char* text) {
  std::size_t n = size & 0xFF;
  if (buffer != nullptr && n > 0) std::strncpy(buffer, text, n);
  return buffer;
}

}  // namespace
}  // namespace cvn

using cvn::g_module;

CVN_EXPORT int CVN_CALL tvr_start() noexcept {
  g_module.started = 1;
  return 1;
}

CVN_EXPORT int CVN_CALL tvr_stop() noexcept {
  g_module.started = 0;
  return 1;
}

CVN_EXPORT int CVN_CALL tvr_requested_api(std::uint32_t) noexcept { return 3; }

CVN_EXPORT int CVN_CALL tvr_devicenum() noexcept { return 189; }

CVN_EXPORT char* CVN_CALL tvr_name(char* buffer, std::uint32_t size) noexcept {
  return cvn::copy_fixed(buffer, size, "Corvane");
}

CVN_EXPORT char* CVN_CALL tvr_description(char* buffer, std::uint32_t size) noexcept {
  return cvn::copy_fixed(buffer, size,
                         "Corvane Plugin, for the Global Cache and other ASCI based IP devices.");
}

CVN_EXPORT char* CVN_CALL tvr_version(char* buffer, std::uint32_t size) noexcept {
  return cvn::copy_fixed(buffer, size, "1.0");
}

CVN_EXPORT int CVN_CALL tvr_open(std::uint32_t, std::uint32_t, std::uint32_t,
                                 HostRecord* record) noexcept {
  char path[cvn::kPathBufferSize];
  cvn::plat::module_path(path, sizeof path);  // at most 259 characters
  char line[cvn::kPathBufferSize];
  // A long path is cut so the whole line fits its buffer.
  int n = std::snprintf(line, sizeof line, "Loading %s at Base Address 0x%08" PRIXPTR, path,
                        cvn::plat::module_handle());
  if (n >= static_cast<int>(sizeof line)) line[sizeof line - 1] = '\0';  // cut, terminated
  cvn::plat::debug_output(line);
  if (record == nullptr || record->version != kHostRecordVersion) return 0;
  // A second open while open would start a second network thread; it is ignored.
  if (g_module.opened.exchange(true)) return 1;
  g_module.services = record->services;
  g_module.closing = false;
  g_module.trace = cvn::plat::trace_requested();
  cvn::network_start();
  return 1;
}

CVN_EXPORT int CVN_CALL tvr_close() noexcept {
  if (g_module.started) tvr_stop();
  g_module.closing = true;  // a handler waiting for the script lock gives up
  cvn::network_stop();
  g_module.opened = false;
  return 1;
}

CVN_EXPORT int CVN_CALL tvr_info(int event, std::uint32_t, lua_State* L) noexcept {
  using cvn::lua::Flavour;
  if (event == cvn::kEventScriptCreated) {
    g_module.script = nullptr;
    // The calls into the state are bound to the process's Lua before the state is
    // published to the network thread. Without a Lua the plug-in stays quiet:
    // sockets and the registry work, but nothing reaches a script.
    char why[128];
    bool usable = cvn::lua::bind_process(why, sizeof why) != Flavour::kNone;
    if (usable) g_module.script = L;
    cvn::plat::socket_library_start();
    cvn::registry_clear();
    if (usable) {
      cvn::library_register(L);
    } else {
      char line[200];
      std::snprintf(line, sizeof line, "cvn_old not registered: %s", why);
      cvn::plat::debug_output(line);
    }
  } else if (event == cvn::kEventScriptClosing) {
    bool usable = cvn::lua::flavour() != Flavour::kNone;
    g_module.script = usable ? L : nullptr;
    if (usable) cvn::library_remove(L);
    cvn::registry_clear();
    cvn::plat::socket_library_stop();
    // The state is about to close: nothing may call into it from now on.
    g_module.script = nullptr;
  }
  return 1;
}
