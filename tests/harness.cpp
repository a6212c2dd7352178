// Test harness implementation.
#include "harness.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <netinet/tcp.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../net/network_thread.h"

extern char** environ;

namespace cvn::test {
namespace {

std::mutex g_debug_mu;
std::vector<std::string> g_debug;

void debug_sink(const char* text) {
  std::lock_guard<std::mutex> lk(g_debug_mu);
  g_debug.emplace_back(text);
}

struct SinkInstaller {
  SinkInstaller() { plat::set_debug_sink(debug_sink); }
} g_sink_installer;

std::mutex g_print_mu;
std::vector<std::string> g_printed;

// print replacement: joins its arguments with tabs as the standard one does.
int capture_print(lua_State* L) {
  std::string line;
  int n = lua_gettop(L);
  lua_getglobal(L, "tostring");
  for (int i = 1; i <= n; ++i) {
    lua_pushvalue(L, -1);
    lua_pushvalue(L, i);
    lua_call(L, 1, 1);
    const char* s = lua_tostring(L, -1);
    if (i > 1) line += '\t';
    line += s ? s : "";
    lua_pop(L, 1);
  }
  std::lock_guard<std::mutex> lk(g_print_mu);
  g_printed.push_back(line);
  return 0;
}

}  // namespace

std::vector<std::string> debug_lines() {
  std::lock_guard<std::mutex> lk(g_debug_mu);
  return g_debug;
}

void clear_debug_lines() {
  std::lock_guard<std::mutex> lk(g_debug_mu);
  g_debug.clear();
}

bool debug_has(const std::string& line) {
  for (const auto& l : debug_lines())
    if (l == line) return true;
  return false;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Plugin::Plugin() {
  EXPECT_EQ(1, host_open(host_));
  tvr_start();
  clear_printed();
  host_attach(host_, capture_print);
  // The notification window exists before any test asks for notifications.
  EXPECT_TRUE(wait_until([] { return network_window() != 0; }));
}

Plugin::~Plugin() {
  host_detach(host_);
  host_close(host_);
}

void Plugin::reload() {
  host_detach(host_);
  host_attach(host_, capture_print);
}

std::string Plugin::run(const std::string& code) {
  pthread_mutex_lock(&host_.lock);
  int top = lua_gettop(host_.L);
  std::string out;
  if (luaL_loadstring(host_.L, code.c_str()) != 0 || lua_pcall(host_.L, 0, LUA_MULTRET, 0) != 0) {
    const char* e = lua_tostring(host_.L, -1);
    out = std::string("error: ") + (e ? e : "?");
  } else {
    lua_getglobal(host_.L, "tostring");
    for (int i = top + 1; i < lua_gettop(host_.L); ++i) {
      lua_pushvalue(host_.L, -1);
      lua_pushvalue(host_.L, i);
      lua_call(host_.L, 1, 1);
      if (i > top + 1) out += '\t';
      const char* s = lua_tostring(host_.L, -1);
      out += s ? s : "";
      lua_pop(host_.L, 1);
    }
  }
  lua_settop(host_.L, top);
  pthread_mutex_unlock(&host_.lock);
  return out;
}

std::vector<std::string> Plugin::printed() {
  std::lock_guard<std::mutex> lk(g_print_mu);
  return g_printed;
}

void Plugin::clear_printed() {
  std::lock_guard<std::mutex> lk(g_print_mu);
  g_printed.clear();
}

std::size_t Plugin::count_printed(const std::string& text) {
  std::size_t n = 0;
  for (const auto& l : printed()) n += l == text;
  return n;
}

bool Plugin::wait_printed(const std::string& text, int timeout_ms) {
  return wait_until([&] { return count_printed(text) > 0; }, timeout_ms);
}

void Peer::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void Peer::send(const std::string& data) const {
  ASSERT_EQ(static_cast<ssize_t>(data.size()), ::send(fd, data.data(), data.size(), MSG_NOSIGNAL));
}

std::string Peer::recv_n(std::size_t n, int timeout_ms) const {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

bool Peer::sees_eof(int timeout_ms) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return true;
  }
}

void Peer::reset() {
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close();
}

Flood::Flood(Peer p, int seconds) : peer(std::move(p)) {
  int big = 4 << 20;  // the system caps it; a larger backlog either way
  ::setsockopt(peer.fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  sender = std::thread([this, seconds] {
    std::string chunk;
    while (chunk.size() < 65536) chunk += "flood-flood-flood-flood-flood\r\n";
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stop.load()) {
      if (std::chrono::steady_clock::now() > end) {
        deadline_passed = true;
        return;
      }
      pollfd w{peer.fd, POLLOUT, 0};
      if (::poll(&w, 1, 50) <= 0) continue;
      if (::send(peer.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
        return;  // the plug-in closed or reset the connection
    }
  });
}

void Flood::finish() {
  stop = true;
  if (sender.joinable()) sender.join();
}

PeerListener::PeerListener() {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(fd, 64);
  socklen_t n = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &n);
  port = ntohs(sa.sin_port);
}

PeerListener::~PeerListener() { ::close(fd); }

Peer PeerListener::accept(int timeout_ms) const {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return Peer();
  return Peer(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
}

Child::Child(std::vector<std::string> argv, std::string out, std::string err)
    : out_path(std::move(out)), err_path(std::move(err)) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err_path.empty())
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  else
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

int wait_exit(pid_t& pid, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

int Child::wait(int timeout_ms) { return wait_exit(pid, timeout_ms); }

std::string Child::out() const { return slurp(out_path); }
std::string Child::err() const { return slurp(err_path); }

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string capture_stderr(const std::function<void()>& fn) {
  std::fflush(stderr);
  FILE* tmp = std::tmpfile();
  int saved = ::dup(2);
  ::dup2(::fileno(tmp), 2);
  fn();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::rewind(tmp);
  std::string out;
  char buf[512];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

namespace {
// The directories temp_dir made, removed with everything in them when the test
// program ends. Only the process that made them removes them: a forked child that
// exits must not take them from under its parent.
struct TempDirs {
  pid_t owner = ::getpid();
  std::vector<std::string> made;
  ~TempDirs() {
    if (::getpid() != owner) return;
    std::error_code ignored;
    for (const auto& dir : made) std::filesystem::remove_all(dir, ignored);
  }
};
TempDirs g_temp_dirs;
}  // namespace

std::string temp_dir() {
  char dir[] = "/tmp/cvn_test_XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_temp_dirs.made.emplace_back(dir);
  return dir;
}

void ScriptConnection::SetUp() {
  p.run("function cb(line, s, status, host) print(line, status, host) end");
  ASSERT_EQ("0", p.run("s, st = cvn_old.Open('127.0.0.1', " + std::to_string(l.port) + ", 'cb') return st"));
  peer = l.accept();
}

Peer connect_to(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return Peer();
  }
  return Peer(fd);
}

LayerSocket::LayerSocket(plat::Window w, long events) {
  s = plat::tcp_socket();
  EXPECT_EQ(0, plat::connect_ipv4(s, htonl(INADDR_LOOPBACK), htons(l.port)));
  peer = l.accept();
  serial_ = plat::socket_serial(s);
  if (w != 0) {
    EXPECT_EQ(0, plat::async_select(s, w, plat::kMsgSocket, events));
  }
}

LayerSocket::~LayerSocket() {
  if (serial_ != 0 && plat::socket_serial(s) == serial_) plat::close_socket(s);
}

std::string listen_script(std::uint16_t port, const std::string& accept_into, const std::string& on_incoming) {
  return "function OnListen(line, s, status, host) " + on_incoming + " cvn_old.Accept(s, '" + accept_into +
         "') end ls, ls_status = cvn_old.Listen(" + std::to_string(port) + ", 'OnListen')";
}

std::uint16_t free_port() {
  PeerListener l;
  return l.port;
}

int open_fd_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

}  // namespace cvn::test
