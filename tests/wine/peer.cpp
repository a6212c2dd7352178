// wine_peer: the far end of the Wine checks' connections, a Linux program on
// loopback, so that a script under tavrel and under tavrel.exe meets the same
// peer. Listens on 127.0.0.1:PORT and gives each accepted connection the next
// role of its command line (the last one repeats; none: log); or opens COUNT connections
// to PORT, 32 at a time, each sending "client N" and closing; or listens on
// PORT with a full accept queue, so that a connect to it waits unanswered.
//   wine_peer --listen PORT ROLE...
//   wine_peer --connect PORT COUNT
//   wine_peer --full PORT
// A role is a comma-separated list of steps, done in order:
//   send=TEXT     TEXT with \r and \n as escapes      sleep=MS
//   halfclose     shut the sending direction           close, reset (RST)
//   await[=TEXT]  wait for a line from the other end (one that is TEXT)
//   echo          send each line received back, until the end of the stream
//   log           print each line received as "peer: LINE", and "peer: end"
//   flood=NAME    send "NAME 1", "NAME 2", ... as fast as they are taken, until
//                 the other end shuts its side
// The role "ask" takes the first line the other end sends as the role.
// Ends by itself after 120 s at the latest.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kLifetimeSeconds = 120;
std::mutex g_out_mu;

void say(const std::string& text) {
  std::lock_guard<std::mutex> lk(g_out_mu);
  std::printf("peer: %s\n", text.c_str());
  std::fflush(stdout);
}

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  return sa;
}

std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n')) {
      out += s[++i] == 'r' ? '\r' : '\n';
    } else {
      out += s[i];
    }
  }
  return out;
}

void send_all(int fd, const std::string& data) {
  std::size_t at = 0;
  while (at < data.size()) {
    ssize_t r = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (r <= 0) return;
    at += static_cast<std::size_t>(r);
  }
}

// Reads lines (ended by CR or LF, empty ones skipped) until the end of the
// stream, or until on_line returns false. One byte at a time: what follows a
// line stays for the next step.
template <typename OnLine>
void read_lines(int fd, OnLine on_line) {
  std::string line;
  char c;
  while (::recv(fd, &c, 1, 0) == 1) {
    if (c != '\r' && c != '\n') {
      line += c;
    } else if (!line.empty()) {
      if (!on_line(line)) return;
      line.clear();
    }
  }
}

// Numbered lines as fast as the connection takes them, until the other end shuts
// its side (or goes) or the peer's lifetime is over.
void flood(int fd, const std::string& name) {
  // Little in flight when the other end shuts its side: what is, arrives there as
  // lines, and under emulation megabytes of them take long.
  int small = 65536;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kLifetimeSeconds);
  unsigned long next = 1;
  std::string chunk;
  std::size_t at = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (at == chunk.size()) {
      chunk.clear();
      at = 0;
      while (chunk.size() < 16384) chunk += name + " " + std::to_string(next++) + "\r\n";
    }
    pollfd p{fd, POLLIN | POLLOUT, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char c;
      if (::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) return;  // anything else it sends is ignored
    }
    if (p.revents & POLLOUT) {
      ssize_t r = ::send(fd, chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r < 0 && errno != EAGAIN) return;
      if (r > 0) at += static_cast<std::size_t>(r);
    }
  }
}

void play(int fd, std::string role) {
  if (role == "ask") {
    role.clear();
    read_lines(fd, [&role](const std::string& line) {
      role = line;
      return false;
    });
  }
  role += ',';
  bool open = true;
  for (std::size_t at = 0, comma; open && (comma = role.find(',', at)) != std::string::npos; at = comma + 1) {
    std::string step = role.substr(at, comma - at);
    std::string value = step.find('=') == std::string::npos ? "" : step.substr(step.find('=') + 1);
    std::string verb = step.substr(0, step.find('='));
    if (verb == "send") {
      send_all(fd, unescape(value));
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value.c_str())));
    } else if (verb == "halfclose") {
      ::shutdown(fd, SHUT_WR);
    } else if (verb == "close") {
      open = false;
    } else if (verb == "reset") {
      linger lg{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      open = false;
    } else if (verb == "await") {
      read_lines(fd, [&value](const std::string& line) { return !value.empty() && line != value; });
    } else if (verb == "echo") {
      read_lines(fd, [fd](const std::string& line) {
        send_all(fd, line + "\r\n");
        return true;
      });
    } else if (verb == "log") {
      read_lines(fd, [](const std::string& line) {
        say(line);
        return true;
      });
      say("end");
    } else if (verb == "flood") {
      flood(fd, value);
    } else if (!verb.empty()) {
      say("unknown step " + step);
    }
  }
  ::close(fd);
}

int serve(int port, const std::vector<std::string>& roles) {
  int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = loopback(port);
  if (::bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(ls, 128) != 0) {
    std::perror("wine_peer: listen");
    return 1;
  }
  for (std::size_t n = 0;; ++n) {
    int c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    std::thread(play, c, roles[n < roles.size() ? n : roles.size() - 1]).detach();
  }
}

int connect_many(int port, int count) {
  std::atomic<int> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 32; ++t)
    threads.emplace_back([&] {
      for (int i; (i = next++) < count;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
          send_all(fd, "client " + std::to_string(i) + "\n");
        ::close(fd);
      }
    });
  for (auto& t : threads) t.join();
  return 0;
}

// A backlog of 0 still queues one connection; what comes after it waits: the
// kernel drops its SYN.
int full(int port) {
  int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(port);
  if (::bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(ls, 0) != 0) {
    std::perror("wine_peer: listen");
    return 1;
  }
  std::vector<int> queued;
  for (int i = 0; i < 2; ++i) {
    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    queued.push_back(c);
  }
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(kLifetimeSeconds));
    std::_Exit(3);
  }).detach();
  std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "--listen") {
    std::vector<std::string> roles(argv + 3, argv + argc);
    if (roles.empty()) roles.push_back("log");
    return serve(std::atoi(argv[2]), roles);
  }
  if (mode == "--connect" && argc == 4) return connect_many(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "--full") return full(std::atoi(argv[2]));
  std::fputs("usage: wine_peer --listen PORT ROLE... | --connect PORT COUNT | --full PORT\n", stderr);
  return 2;
}
