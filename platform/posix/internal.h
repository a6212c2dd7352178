// What the POSIX files of the platform layer share: the table of sockets this
// layer created, whose notification state the sockets and the event window both
// change, the Windows Sockets error helpers, and the clock. Not part of the seam.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "../platform.h"
#include "posting.h"

namespace cvn::plat::posix {

// --- errors (sockets.cpp); any thread ---
// The Windows Sockets number for an errno value; 10022 for one without a match.
int wsa_from_errno(int e);
// Sets the calling thread's last_error; returns -1.
int fail(int wsa);
int fail_errno();  // fail(wsa_from_errno(errno))

inline std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// --- the socket table (sockets.cpp) ---
struct EventWindow;  // event_window.cpp

// An epoll token carries the socket's serial above its descriptor number.
constexpr int kFdBits = 24;

struct SockState {
  int fd = -1;
  std::uint64_t serial = 0;
  std::mutex mu;  // everything below
  bool closed = false;
  bool nonblocking = false;
  bool listening = false;
  bool registered = false;     // in the epoll set, with `interest`
  std::uint32_t interest = 0;
  std::shared_ptr<EventWindow> win;
  long mask = 0;
  unsigned msg = 0;
  Posting posting;       // the Windows posting rules' state (posting.h)
  bool starved = false;  // accept notifications wait for a descriptor to be freed
  // The last receive left the kernel's queue empty and epoll has not reported the
  // socket readable since: a peek need not ask the kernel again.
  bool drained = false;
  std::uint32_t peeked = 0;     // bytes at pos the last peek's reader may take (rule 3)
  std::unique_ptr<char[]> buf;  // bytes received from the kernel, not yet consumed
  std::size_t pos = 0, len = 0;
  std::uint32_t consumed = 0;  // bytes taken from buf so far, wrapping: a peek's mark
};

// The state of a socket this layer created, or nullptr. Any thread.
std::shared_ptr<SockState> find_sock(Socket s);
// The same while s has this serial (a newer socket with the same number has
// another). The state stays valid on the calling thread until its next call.
SockState* find_exact(Socket s, std::uint64_t serial);
// Bytes the kernel holds for fd (FIONREAD); 0 when it cannot tell.
int bytes_waiting(int fd);

// --- notification rules (event_window.cpp); st.mu held ---
// Posts what the socket's state calls for and sets its epoll interest; `ev` is the
// epoll event set that woke the loop, or 0 after a receive or accept.
void update(SockState& st, std::uint32_t ev);
void set_interest(SockState& st, std::uint32_t want);  // 0 takes it out of the set
void rearm_read(SockState& st);                        // a receive re-enables read

}  // namespace cvn::plat::posix
