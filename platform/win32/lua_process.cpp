// Finding the process's Lua on Windows: the first loaded module (in load order,
// the host program first) that exports lua_gettop. The plug-in imports no Lua DLL
// by name, since the host's Lua module may be called anything or be the program.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

#include "../lua_seam.h"

namespace cvn::lua {
namespace {

void* find_in_module(void* ctx, const char* name) {
  FARPROC p = GetProcAddress(static_cast<HMODULE>(ctx), name);
  return reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p));
}

HMODULE module_exporting_lua() {
  HANDLE snap = INVALID_HANDLE_VALUE;
  // ERROR_BAD_LENGTH: the module list changed while the snapshot was taken.
  for (int attempt = 0; attempt < 5 && snap == INVALID_HANDLE_VALUE; ++attempt) {
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snap == INVALID_HANDLE_VALUE && GetLastError() != ERROR_BAD_LENGTH) return nullptr;
  }
  if (snap == INVALID_HANDLE_VALUE) return nullptr;
  HMODULE found = nullptr;
  MODULEENTRY32W me{};
  me.dwSize = sizeof me;
  for (BOOL more = Module32FirstW(snap, &me); more && found == nullptr; more = Module32NextW(snap, &me))
    if (GetProcAddress(me.hModule, "lua_gettop") != nullptr) found = me.hModule;
  CloseHandle(snap);
  return found;
}

void* find_nothing(void*, const char*) { return nullptr; }

}  // namespace

Flavour bind_process(char* why, std::size_t cap) {
  HMODULE lua = module_exporting_lua();
  if (lua == nullptr) return bind(find_nothing, nullptr, why, cap);
  return bind(find_in_module, lua, why, cap);
}

}  // namespace cvn::lua
