// The Lua seam: telling Lua 5.0 from Lua 5.1 by what a Lua exports and calling
// each the way it expects; the plug-in in a host whose Lua presents Lua 5.0's
// interface (tavrel50) and in one without any Lua.
#include <cstdio>
#include <map>
#include <string>

#include "../platform/lua_seam.h"
#include "harness.h"

namespace {

using cvn::lua::Flavour;
using Exports = std::map<std::string, void*>;

void* find_export(void* ctx, const char* name) {
  auto* e = static_cast<Exports*>(ctx);
  auto it = e->find(name);
  return it == e->end() ? nullptr : it->second;
}

// Fakes that record how the seam called them.
struct Calls {
  int rawget_index = 0;
  int rawset_index = 0;
  std::string text_call;
  std::size_t pushed_len = 0;
} g_calls;

void fake_none() {}
void fake_pushstring(lua_State*, const char*) {}
void fake_pushlstring(lua_State*, const char*, std::size_t len) { g_calls.pushed_len = len; }
void fake_insert(lua_State*, int) {}
void fake_rawget(lua_State*, int idx) { g_calls.rawget_index = idx; }
void fake_rawset(lua_State*, int idx) { g_calls.rawset_index = idx; }
const char* fake_tostring(lua_State*, int idx) {
  g_calls.text_call = "lua_tostring " + std::to_string(idx);
  return "5.0";
}
const char* fake_tolstring(lua_State*, int idx, std::size_t* len) {
  g_calls.text_call = "lua_tolstring " + std::to_string(idx) + (len ? " len" : " no len");
  return "5.1";
}
const char* says_50() { return "Lua 5.0.3"; }
const char* says_51() { return "Lua 5.1"; }

template <typename F>
void* addr(F* f) {
  return reinterpret_cast<void*>(f);
}

Exports common() {
  Exports e;
  for (const char* n : {"lua_gettop", "lua_settop", "lua_checkstack", "lua_type", "lua_tonumber",
                        "lua_pushnil", "lua_pushnumber", "lua_pushvalue", "lua_pcall", "lua_cpcall",
                        "luaL_checknumber", "luaL_openlib"})
    e[n] = addr(fake_none);
  e["lua_pushstring"] = addr(fake_pushstring);
  e["lua_pushlstring"] = addr(fake_pushlstring);
  e["lua_insert"] = addr(fake_insert);
  e["lua_rawget"] = addr(fake_rawget);
  e["lua_rawset"] = addr(fake_rawset);
  return e;
}

Exports lua51() {
  Exports e = common();
  e["lua_tolstring"] = addr(fake_tolstring);
  e["lua_objlen"] = addr(fake_none);
  return e;
}

Exports lua50() {
  Exports e = common();
  e["lua_tostring"] = addr(fake_tostring);
  e["lua_strlen"] = addr(fake_none);
  e["lua_version"] = addr(says_50);
  return e;
}

// Every test leaves the seam bound to this process's Lua 5.1 again.
class Seam : public ::testing::Test {
 protected:
  std::string why;
  Flavour bind(Exports e) {
    char buf[128] = "";
    Flavour f = cvn::lua::bind(find_export, &e, buf, sizeof buf);
    why = buf;
    return f;
  }
  void TearDown() override {
    char buf[128];
    EXPECT_EQ(Flavour::kLua51, cvn::lua::bind_process(buf, sizeof buf)) << buf;
  }
};

TEST_F(Seam, TellsTheFlavourByWhatTheLuaExports) {
  EXPECT_EQ(Flavour::kLua51, bind(lua51()));
  EXPECT_EQ(Flavour::kLua50, bind(lua50()));
  Exports compat = lua51();  // a 5.1 built without LUA_COMPAT_OPENLIB
  compat["luaI_openlib"] = compat["luaL_openlib"];
  compat.erase("luaL_openlib");
  EXPECT_EQ(Flavour::kLua51, bind(compat));
}

TEST_F(Seam, RefusesWhatIsNeither50Nor51) {
  EXPECT_EQ(Flavour::kNone, bind(Exports{}));
  EXPECT_EQ("no Lua in this process", why);
  EXPECT_EQ(Flavour::kNone, cvn::lua::flavour());

  Exports later = lua51();  // 5.2 and later: lua_rawlen, a numeric lua_version
  later.erase("lua_objlen");
  later["lua_version"] = addr(fake_none);
  Exports mixed = lua50();
  mixed["lua_tolstring"] = addr(fake_tolstring);
  Exports says51 = lua50();
  says51["lua_version"] = addr(says_51);
  Exports no_version = lua50();
  no_version.erase("lua_version");
  for (Exports* e : {&later, &mixed, &says51, &no_version}) {
    EXPECT_EQ(Flavour::kNone, bind(*e));
    EXPECT_EQ("the process's Lua is neither Lua 5.0 nor Lua 5.1", why);
  }
}

TEST_F(Seam, RefusesALuaThatLacksACall) {
  Exports e = lua50();
  e.erase("lua_cpcall");
  EXPECT_EQ(Flavour::kNone, bind(e));
  EXPECT_EQ("the process's Lua lacks lua_cpcall", why);
  e = lua51();
  e.erase("luaL_openlib");
  EXPECT_EQ(Flavour::kNone, bind(e));
  EXPECT_EQ("the process's Lua lacks luaL_openlib", why);
}

TEST_F(Seam, CallsEachFlavourWithItsOwnGlobalsIndexAndTextCall) {
  auto* L = reinterpret_cast<lua_State*>(&g_calls);
  struct {
    Flavour flavour;
    Exports exports;
    int globals;
    const char* text;
    const char* text_call;
  } cases[] = {{Flavour::kLua50, lua50(), -10001, "5.0", "lua_tostring -1"},
               {Flavour::kLua51, lua51(), -10002, "5.1", "lua_tolstring -1 no len"}};
  for (auto& c : cases) {
    ASSERT_EQ(c.flavour, bind(c.exports));
    g_calls = Calls{};
    cvn::lua::raw_get_global(L, "print");
    cvn::lua::raw_set_global(L, "cvn_old");
    EXPECT_STREQ(c.text, cvn::lua::to_text(L, -1));
    EXPECT_EQ(c.globals, g_calls.rawget_index);
    EXPECT_EQ(c.globals, g_calls.rawset_index);
    EXPECT_EQ(c.text_call, g_calls.text_call);
    cvn::lua::push_text(L, "ab\0cd", 5);  // a length given goes to lua_pushlstring
    EXPECT_EQ(5u, g_calls.pushed_len);
  }
}

using cvn::test::Child;
using cvn::test::temp_dir;

std::string boundary(const char* host, int port, const std::string& out) {
  Child c({host, "--plugin", CVN_PLUGIN_PATH, "--timeout", "20",
           CVN_SOURCE_DIR "/tests/wine/boundary.lua", std::to_string(port)},
          out);
  EXPECT_EQ(0, c.wait(30000)) << host << "\n" << c.out();
  return c.out();
}

// The whole boundary transcript: the same on Lua 5.0's interface as on 5.1.
TEST(Lua50Host, BoundaryTranscriptMatchesLua51) {
  std::string dir = temp_dir();
  int port = cvn::test::free_port();
  std::string on51 = boundary(CVN_TAVREL_PATH, port, dir + "/lua51.txt");
  std::string on50 = boundary(CVN_TAVREL50_PATH, cvn::test::free_port(), dir + "/lua50.txt");
  EXPECT_EQ(on51, on50);
  for (const char* line :
       {"MD5\td41d8cd98f00b204e9800998ecf8427e\t900150983cd24fb0d6963f7d28e17f72\n",
        "Connect failed.: Connection refused (10061)\n", "CloseListen raises for a text\ttrue\n",
        "Error (Read): boom\n", "peer\tbye\t0\t127.0.0.1\n",
        "peer\tsendir,1:2,0,38000,3,5,344,172,22,65\t0\t127.0.0.1\n", "Error (Close): (null)\n",
        "client\tConnection Closed.\t1\t127.0.0.1\n", "after event 8, cvn_old is\tnil\n"})
    EXPECT_NE(std::string::npos, on50.find(line)) << line;
}

TEST(NoLuaHost, Event7SaysSoAndEverythingElseStillWorks) {
  std::string dir = temp_dir();
  Child c({CVN_NO_LUA_HOST_PATH, CVN_PLUGIN_PATH}, dir + "/out.txt", dir + "/err.txt");
  ASSERT_EQ(0, c.wait(20000)) << c.err();
  EXPECT_EQ("open 1\nstart 1\nevent 7 1\nevent 8 1\nevent 7 again 1\nevent 8 again 1\nclose 1\nunload 0\n",
            c.out());
  std::string err = c.err();
  std::string line = "cvn_old not registered: no Lua in this process\n";
  std::size_t first = err.find(line);
  ASSERT_NE(std::string::npos, first) << err;
  EXPECT_NE(std::string::npos, err.find(line, first + 1)) << "once per event 7:\n" << err;
}

}  // namespace
