// The plug-in's import address table (win32_host.h): the entries the loader
// filled with the addresses of what the plug-in imports by name.
#include <windows.h>

#include <cstring>

#include "win32_host.h"

void* replace_plugin_import(const char* dll, const char* name, void* fn) {
  auto* base = reinterpret_cast<unsigned char*>(plugin_module());
  if (base == nullptr) return nullptr;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return nullptr;
  for (auto* imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name != 0;
       ++imp) {
    // Without the names' table (OriginalFirstThunk) the entries cannot be told apart.
    if (lstrcmpiA(reinterpret_cast<const char*>(base + imp->Name), dll) != 0 || imp->OriginalFirstThunk == 0)
      continue;
    const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), name) != 0) continue;
      // The table may lie in a read-only section.
      DWORD was;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was)) return nullptr;
      void* old = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<decltype(slots->u1.Function)>(fn);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
      return old;
    }
  }
  return nullptr;
}
