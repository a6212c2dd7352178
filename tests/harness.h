// Test harness: drives the plug-in's entry points in-process the way the host
// does, with a Lua state whose `print` is captured, and loopback peers made of
// plain sockets.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/platform.h"
#include "in_process_host.h"

namespace cvn::test {

// Lines captured from the debugger output channel.
std::vector<std::string> debug_lines();
void clear_debug_lines();
bool debug_has(const std::string& line);

// Polls pred every 5 ms until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 3000);

// The plug-in opened with a script state attached (events 7 and 8 on set-up and
// tear-down). Every call into the state takes the script lock, as the host does.
class Plugin {
 public:
  Plugin();
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  lua_State* state() const { return host_.L; }
  pthread_mutex_t* lock() { return &host_.lock; }
  // Runs a chunk under the script lock; returns its results joined by tabs, or
  // "error: ..." when it raised.
  std::string run(const std::string& code);
  std::vector<std::string> printed();
  void clear_printed();
  bool wait_printed(const std::string& text, int timeout_ms = 3000);
  std::size_t count_printed(const std::string& text);
  void reload();  // event 8, a new state, event 7

 private:
  InProcessHost host_;
};

// A plain loopback socket for the other end of a connection.
struct Peer {
  int fd = -1;
  Peer() = default;
  explicit Peer(int f) : fd(f) {}
  Peer(Peer&& o) noexcept : fd(o.fd) { o.fd = -1; }
  Peer& operator=(Peer&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Peer() { close(); }
  void close();
  void send(const std::string& data) const;
  // Reads until `n` bytes or end of stream or timeout.
  std::string recv_n(std::size_t n, int timeout_ms = 3000) const;
  // True when the peer sees end of stream within the time.
  bool sees_eof(int timeout_ms = 3000) const;
  void reset();  // close with RST
};

// A peer that sends short lines as fast as the connection takes them, until
// finished, until the connection breaks, or until its deadline passes.
struct Flood {
  Peer peer;
  std::atomic<bool> stop{false};
  std::atomic<bool> deadline_passed{false};
  std::thread sender;
  explicit Flood(Peer p, int seconds = 20);
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;
  ~Flood() { finish(); }
  void finish();  // stops sending and waits for the sender
};

// A listening loopback socket on a free port.
struct PeerListener {
  int fd = -1;
  std::uint16_t port = 0;
  PeerListener();
  ~PeerListener();
  Peer accept(int timeout_ms = 3000) const;
};

// A program run with its output in files: standard error goes to `err_path`, or
// joins standard output when that is empty. Killed when still running at the end.
struct Child {
  pid_t pid = -1;
  std::string out_path, err_path;
  Child(std::vector<std::string> argv, std::string out, std::string err = "");
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int wait(int timeout_ms = 20000);  // exit status, or -1 when still running
  std::string out() const;
  std::string err() const;
};
// Exit status of the child `pid` (128 + signal when killed), or -1 when it is still
// running after `timeout_ms`; `pid` becomes -1 once it has been reaped.
int wait_exit(pid_t& pid, int timeout_ms);
std::string slurp(const std::string& path);
// What fn writes to standard error while it runs.
std::string capture_stderr(const std::function<void()>& fn);
// A fresh directory under /tmp, removed with its contents when the test program ends.
std::string temp_dir();

Peer connect_to(std::uint16_t port);

// A socket of the platform layer connected to a loopback peer; the socket library
// must be started. With a window, notifications of `events` are asked for on it
// (0 only makes the socket non-blocking). Closed at the end if the test left it.
struct LayerSocket {
  PeerListener l;
  Peer peer;
  plat::Socket s = plat::kInvalidSocket;
  explicit LayerSocket(plat::Window w = 0, long events = 0);
  ~LayerSocket();
  LayerSocket(const LayerSocket&) = delete;
  LayerSocket& operator=(const LayerSocket&) = delete;

 private:
  std::uint64_t serial_ = 0;
};

// A script that serves on `port`: OnListen runs `on_incoming` (it sees line, s,
// status and host) and accepts every waiting connection into the callback
// `accept_into`; the listener is the global `ls`, Listen's status `ls_status`.
std::string listen_script(std::uint16_t port, const std::string& accept_into,
                          const std::string& on_incoming = "");

// A plug-in whose script has one connection (global `s`) to a loopback peer, with
// the callback `cb` printing line, status and host text.
class ScriptConnection : public ::testing::Test {
 protected:
  Plugin p;
  PeerListener l;
  Peer peer;
  void SetUp() override;
};
std::uint16_t free_port();
int open_fd_count();

}  // namespace cvn::test
