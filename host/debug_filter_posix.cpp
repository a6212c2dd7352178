// The --debug filter of standard error on POSIX (debug_filter.h).
#include "debug_filter.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>

#include "debug_notes.h"

namespace {

// An unfinished line is written after this long without more output, so a
// prompt or a progress dot does not wait for its line end.
constexpr int kIdleMs = 100;

std::atomic<int> g_target{STDERR_FILENO};
int g_pipe = -1;
std::atomic<bool> g_closing{false};
std::thread g_relay;

void write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Writes the complete lines of `held` (all of it with `everything`), noted.
void pass(std::string& held, bool everything) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t end; (end = held.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line(held.data() + start, end - start);
    out.append(line.data(), line.size());
    if (const char* note = debug_line_note(line)) out += note;
    out += '\n';
  }
  held.erase(0, start);
  if (everything) {
    out += held;
    held.clear();
  }
  write_all(g_target.load(), out.data(), out.size());
}

void relay() {
  std::string held;
  char buf[4096];
  for (;;) {
    pollfd p{g_pipe, POLLIN, 0};
    int ready = poll(&p, 1, kIdleMs);
    bool closing = g_closing.load();
    ssize_t n = ready > 0 ? read(g_pipe, buf, sizeof buf) : 0;
    if (n > 0) held.append(buf, static_cast<std::size_t>(n));
    pass(held, n <= 0);
    // Closing: what was written before standard error was given back has been
    // read once the pipe is empty (a child process may hold its other end).
    if (closing && n <= 0) return;
    if (ready > 0 && n == 0) return;  // every writer has gone
  }
}

}  // namespace

void debug_filter_start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::fflush(stderr);
  int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (saved < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
    if (saved >= 0) close(saved);
    close(fds[0]);
    close(fds[1]);
    return;
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  g_pipe = fds[0];
  g_target = saved;
  g_relay = std::thread(relay);
}

int debug_filter_target() { return g_target.load(); }

void debug_filter_stop() {
  if (!g_relay.joinable()) return;
  std::fflush(stderr);
  dup2(g_target.load(), STDERR_FILENO);
  g_closing = true;
  g_relay.join();
}
