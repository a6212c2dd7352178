// Module-wide state shared by the entry points, the network thread and the script
// library. One instance per process, zero at load.
#pragma once

#include <atomic>

#include "../include/host_interface.h"
#include "../platform/platform.h"

namespace cvn {

struct ModuleState {
  std::atomic<int> started{0};
  std::atomic<HostServices*> services{nullptr};
  std::atomic<lua_State*> script{nullptr};
  std::atomic<bool> opened{false};
  std::atomic<bool> closing{false};  // set by tvr_close: waits for the script lock give up
  std::atomic<bool> trace{false};    // the traffic trace, as the host asked at tvr_open
};

extern ModuleState g_module;

// Whether the traffic trace is on: one load and one branch on the paths that
// send and receive, which the trace never slows when it is off.
inline bool tracing() { return g_module.trace.load(std::memory_order_relaxed); }

// The host's script lock, or nullptr before tvr_open.
inline plat::Mutex script_lock() {
  HostServices* hs = g_module.services.load();
  return hs ? hs->script_lock : nullptr;
}

}  // namespace cvn
