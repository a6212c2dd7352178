// Calling a record's script callback from the NetworkThread.
#include "script_calls.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "module_state.h"

namespace cvn {
namespace {

constexpr unsigned kScriptLockWaitMs = 1000;

}  // namespace

void report_missing_callback(ConnectionRecord& rec) {
  if (rec.callback_missing_reported) return;
  rec.callback_missing_reported = true;
  char text[kCallbackNameSize + kHostTextSize + 100];
  std::snprintf(text, sizeof text,
                "Callback \"%s\" of socket %" PRIuPTR " (host \"%s\") is not a function; nothing is called",
                rec.callback, rec.socket, rec.host);
  plat::debug_output(text);
}

lua_State* acquire_script(plat::Mutex& lock) {
  for (;;) {
    lock = script_lock();
    if (lock == nullptr || g_module.script.load() == nullptr || g_module.closing.load())
      return nullptr;
    if (plat::mutex_wait(lock, kScriptLockWaitMs)) {
      lua_State* L = g_module.script.load();
      if (L != nullptr && !g_module.closing.load()) return L;
      plat::mutex_release(lock);
      return nullptr;
    }
    plat::debug_output("Script lock not had within 1000 ms; still waiting");
  }
}

bool call_script(ConnectionRecord& rec, const char* text, int status, const char* error_format) {
  plat::Mutex lock = nullptr;
  lua_State* L = acquire_script(lock);
  if (L == nullptr) return false;
  bool called =
      lua::check_stack(L, 8) && call_locked(L, lua::top(L), rec, text, std::strlen(text), status, error_format);
  plat::mutex_release_to_waiter(lock);
  return called;
}

}  // namespace cvn
