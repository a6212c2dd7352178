// Finding the process's Lua on POSIX: the object (the host program or a shared
// library in the global scope) that defines lua_gettop. Every other name is taken
// from that same object only, never from another Lua loaded beside it.
#include <dlfcn.h>

#include "../lua_seam.h"

namespace cvn::lua {
namespace {

struct Candidate {
  void* handle;      // the object's handle, or RTLD_DEFAULT for the host program
  const void* base;  // its load address, as dladdr reports it
};

void* find_in_candidate(void* ctx, const char* name) {
  auto* c = static_cast<Candidate*>(ctx);
  void* p = dlsym(c->handle, name);
  Dl_info info{};
  if (p == nullptr || dladdr(p, &info) == 0 || info.dli_fbase != c->base) return nullptr;
  return p;
}

void* find_nothing(void*, const char*) { return nullptr; }

}  // namespace

Flavour bind_process(char* why, std::size_t cap) {
  void* gettop = dlsym(RTLD_DEFAULT, "lua_gettop");
  Dl_info info{};
  if (gettop == nullptr || dladdr(gettop, &info) == 0) return bind(find_nothing, nullptr, why, cap);
  // A library's own handle searches it first; the host program has no handle by
  // name, and comes first in the default scope anyway.
  void* handle = info.dli_fname ? dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD) : nullptr;
  Candidate c{handle ? handle : RTLD_DEFAULT, info.dli_fbase};
  Flavour f = bind(find_in_candidate, &c, why, cap);
  if (handle) dlclose(handle);  // only drops the reference dlopen added
  return f;
}

}  // namespace cvn::lua
