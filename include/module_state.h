// Module-wide state shared by the entry points, the network thread and the script
// library. One instance per process, zero at load.
#pragma once

#include <atomic>

#include "host_interface.h"
#include "../platform/platform.h"

namespace cvn {

struct ModuleState {
  std::atomic<int> started{0};
  std::atomic<HostServices*> services{nullptr};
  std::atomic<lua_State*> script{nullptr};
  std::atomic<bool> opened{false};
  std::atomic<bool> closing{false};  // set by tvr_close: waits for the script lock give up
};

extern ModuleState g_module;

// The host's script lock, or nullptr before tvr_open.
inline plat::Mutex script_lock() {
  HostServices* hs = g_module.services.load();
  return hs ? hs->script_lock : nullptr;
}

}  // namespace cvn
