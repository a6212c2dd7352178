// The socket error table and script_print.
#include <string>

#include "../net/messages.h"
#include "harness.h"

using namespace cvn;
using namespace cvn::test;

TEST(SocketErrorText, FindsFirstLastAndReportsGaps) {
  plat::set_last_error(0);
  EXPECT_STREQ("p: No error (0)", socket_error_text("p", 0));
  EXPECT_STREQ("x: No host data of that type was found (11004)", socket_error_text("x", 11004));
  EXPECT_STREQ("x: Connection refused (10061)", socket_error_text("x", 10061));
  for (int code : {10001, 10072, 11005, -5, 10108})
    EXPECT_EQ("x: unknown error (" + std::to_string(code) + ")", socket_error_text("x", code));
  EXPECT_STREQ("Lookup failed: : Host not found (11001)", socket_error_text("Lookup failed: ", 11001));
  plat::set_last_error(10038);
  EXPECT_STREQ("WSAAsyncSelect failed: : Socket operation on non-socket (10038)",
               socket_error_text("WSAAsyncSelect failed: ", 0));
}

TEST(SocketErrorText, LongPrefixIsCutTo255AndBufferIsReused) {
  std::string prefix(300, 'p');
  const char* first = socket_error_text(prefix.c_str(), 10061);
  EXPECT_EQ(std::string(255, 'p'), first);
  const char* second = socket_error_text("q", 10061);
  EXPECT_EQ(first, second);
  EXPECT_STREQ("q: Connection refused (10061)", first);
}

TEST(ScriptPrint, PrintsThroughTheScriptAndKeepsTheStack) {
  Plugin p;
  lua_State* L = p.state();
  pthread_mutex_lock(p.lock());
  int top = lua_gettop(L);
  EXPECT_EQ(0, script_print("Incorrect CCF Pattarn\n"));
  EXPECT_EQ(0, script_print("%s %d", "n", 5));
  std::string big(2000, 'b');
  EXPECT_EQ(0, script_print("%s", big.c_str()));
  EXPECT_EQ(top, lua_gettop(L));
  pthread_mutex_unlock(p.lock());
  auto out = p.printed();
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ("Incorrect CCF Pattarn\n", out[0]);
  EXPECT_EQ("n 5", out[1]);
  EXPECT_EQ(std::string(1023, 'b'), out[2]);
}

TEST(ScriptPrint, MissingOrFailingPrintReturnsNonZeroAndKeepsTheStack) {
  Plugin p;
  lua_State* L = p.state();
  for (const char* setup : {"print = nil", "print = 42", "print = function() error('boom') end",
                            "setmetatable(_G, {__index = function() error('strict') end}) print = nil"}) {
    p.run(setup);
    pthread_mutex_lock(p.lock());
    int top = lua_gettop(L);
    EXPECT_NE(0, script_print("lost")) << setup;
    EXPECT_EQ(top, lua_gettop(L)) << setup;
    pthread_mutex_unlock(p.lock());
  }
}
