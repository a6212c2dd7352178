// The plug-in exports exactly the ten entry points, by their plain names.
#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

TEST(Exports, DynamicSymbolTableHoldsExactlyTheEntryPoints) {
  std::string cmd = std::string("nm -D --defined-only ") + CVN_PLUGIN_PATH;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(nullptr, p);
  std::set<std::string> functions;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", addr, type, name) == 3 && type[0] == 'T')
      functions.insert(name);
  }
  pclose(p);
  std::set<std::string> expected{"tvr_start",   "tvr_stop",        "tvr_requested_api",
                                 "tvr_devicenum", "tvr_description", "tvr_name",
                                 "tvr_version", "tvr_open",        "tvr_close",
                                 "tvr_info"};
  EXPECT_EQ(expected, functions);
}

TEST(Exports, LoadsWithDlopenAndResolvesEveryEntryPoint) {
  void* lib = dlopen(CVN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, lib) << dlerror();
  using NameFn = char* (*)(char*, unsigned);
  auto name = reinterpret_cast<NameFn>(dlsym(lib, "tvr_name"));
  ASSERT_NE(nullptr, name);
  char buf[16] = {};
  EXPECT_STREQ("Corvane", name(buf, sizeof buf));
  auto devicenum = reinterpret_cast<int (*)()>(dlsym(lib, "tvr_devicenum"));
  ASSERT_NE(nullptr, devicenum);
  EXPECT_EQ(189, devicenum());
}
