// The plug-in exports exactly the ten entry points, by their plain names, and
// imports nothing from Lua that Lua 5.0 and Lua 5.1 do not both export alike.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Lines of a command's output.
std::vector<std::string> command_lines(const std::string& cmd) {
  std::vector<std::string> lines;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return lines;
  char line[512];
  while (std::fgets(line, sizeof line, p)) lines.emplace_back(line);
  pclose(p);
  return lines;
}

}  // namespace

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
  // What the host reads to describe the plug-in, byte for byte.
  auto description = reinterpret_cast<NameFn>(dlsym(lib, "tvr_description"));
  auto version = reinterpret_cast<NameFn>(dlsym(lib, "tvr_version"));
  auto requested_api = reinterpret_cast<int (*)(unsigned)>(dlsym(lib, "tvr_requested_api"));
  ASSERT_TRUE(description != nullptr && version != nullptr && requested_api != nullptr);
  char text[256];
  EXPECT_STREQ("Corvane Plugin, for the Global Cache and other ASCI based IP devices.", description(text, 255));
  EXPECT_STREQ("1.0", version(text, 255));
  EXPECT_EQ(3, requested_api(12345));
}

// The host's Lua is bound at run time: any Lua name the plug-in still imports must
// be one that Lua 5.0 and Lua 5.1 both export with the same meaning, or the host
// library's lua_push_object; and no Lua library is a dependency.
TEST(Exports, ImportsNoLuaNameThat50And51ExportDifferently) {
  const std::set<std::string> shared{
      "lua_push_object", "lua_gettop",   "lua_settop",     "lua_insert",      "lua_checkstack",
      "lua_type",        "lua_tonumber", "lua_pushnil",    "lua_pushnumber",  "lua_pushstring",
      "lua_pushlstring", "lua_rawget",   "lua_rawset",     "lua_gettable",    "lua_settable",
      "lua_pcall",       "lua_cpcall",   "luaL_checknumber", "luaL_checklstring",
      "luaL_loadbuffer", "luaL_openlib"};
  int lua_imports = 0;
  for (const std::string& line : command_lines(std::string("nm -D --undefined-only ") + CVN_PLUGIN_PATH)) {
    char type[8], name[400];
    if (std::sscanf(line.c_str(), " %7s %399s", type, name) != 2 || std::strncmp(name, "lua", 3) != 0)
      continue;
    std::string plain(name);
    plain = plain.substr(0, plain.find('@'));  // a version suffix (lua_gettop@LUA_5.1)
    ++lua_imports;
    EXPECT_TRUE(shared.count(plain)) << plain << " differs between Lua 5.0 and 5.1";
  }
  EXPECT_EQ(1, lua_imports) << "the Lua seam binds every Lua call; only lua_push_object is linked";
  for (const std::string& line : command_lines(std::string("readelf -d ") + CVN_PLUGIN_PATH)) {
    if (line.find("(NEEDED)") == std::string::npos) continue;
    EXPECT_EQ(std::string::npos, line.find("liblua")) << line;
  }
}
