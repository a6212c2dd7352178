// Entry points of corvane.dll called directly, under Wine: descriptive copies at
// sizes 4, 256 and 300, a refused HostRecord, close twice, an unknown event.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../../host/entry_points.h"

int main() {
  HMODULE lib = LoadLibraryA("corvane.dll");
  if (lib == nullptr) return 2;
  PluginEntryPoints p{};
  if (!bind_entry_points(p, [lib](const char* n) { return reinterpret_cast<void*>(GetProcAddress(lib, n)); }))
    return 2;
  char buf[300];
  std::memset(buf, 'x', sizeof buf);
  p.name(buf, 4);
  std::printf("size 4: %s\n", std::memcmp(buf, "Corvx", 5) == 0 ? "Corv, no terminator" : "wrong");
  std::memset(buf, 'x', sizeof buf);
  p.name(buf, 256);
  std::printf("size 256: %s\n", buf[0] == 'x' ? "nothing copied" : "wrong");
  std::memset(buf, 'x', sizeof buf);
  p.name(buf, 300);
  bool padded = std::strcmp(buf, "Corvane") == 0 && buf[43] == '\0' && buf[44] == 'x';
  std::printf("size 300: %s\n", padded ? "Corvane, NUL to 44" : "wrong");
  HostServices hs{};
  HostRecord bad{4, &hs};
  std::printf("refused record: %d\n", p.open(0, 0, 0, &bad));
  std::printf("close twice: %d %d\n", p.close(), p.close());
  std::printf("event 99: %d\n", p.info(99, 0, nullptr));
  std::printf("api %d device %d\n", p.requested_api(0), p.devicenum());
  return 0;
}
