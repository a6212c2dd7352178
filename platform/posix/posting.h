// The Windows posting rules for one socket's notifications, as a state machine
// with no socket in it: what epoll reported and what the socket holds go in, the
// notifications to post and the epoll events still of interest come out.
// event_window.cpp's update applies it under the socket's lock; tests drive it
// with tables.
#pragma once

#include <sys/epoll.h>

#include <cstdint>

#include "../platform.h"

namespace cvn::plat::posix {

// A read or accept notification is posted once, then not again until a receive
// or an accept re-enables it (and the one posted has left the queue); a close
// notification is posted once.
struct Posting {
  bool read_armed = true, read_queued = false;
  bool accept_armed = true, accept_queued = false;
  bool close_posted = false;
  bool peer_eof = false;  // epoll reported the peer's end (or a hang-up or error)

  void selected() { read_armed = accept_armed = true; }  // async_select
  void received() { read_armed = true; }                 // a receive, or a peek that found nothing
  void accepted() { accept_armed = true; }               // an accept, or a pending connection dropped
  void dequeued(long event) {                             // about to be handed to the window procedure
    if (event == kFdRead) read_queued = false;
    if (event == kFdAccept) accept_queued = false;
  }
};

// What one look at the socket sees besides the rules' own state.
struct PostingFacts {
  long mask;           // the notifications asked for; 0 without a window
  bool listening;
  std::uint32_t ev;    // the epoll events that woke the loop, or 0 after a receive or accept
  bool unseen_bytes;   // the layer holds bytes no line reader has looked at
};

// One step of the rules: `post(event)` is called for each notification to post
// (kFdAccept, kFdRead, kFdClose, in that order), and the epoll events still of
// interest are returned (0 takes the socket out of the set). `kernel_has_bytes`
// is asked only after the peer's end, when nothing else shows data (it costs a
// system call). Inline: every receive takes this step.
template <class Post, class KernelHasBytes>
inline std::uint32_t next_posts(Posting& p, const PostingFacts& f, Post&& post, KernelHasBytes&& kernel_has_bytes) {
  if (f.ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) p.peer_eof = true;
  if (f.mask == 0) return 0;
  if (f.listening) {
    if ((f.mask & kFdAccept) && p.accept_armed && !p.accept_queued && (f.ev & EPOLLIN)) {
      post(kFdAccept);
      p.accept_armed = false;
      p.accept_queued = true;
    }
    bool want_accept = (f.mask & kFdAccept) && p.accept_armed && !p.accept_queued;
    return want_accept ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
  }
  if ((f.mask & kFdRead) && p.read_armed && !p.read_queued) {
    // Bytes a line reader has looked at are about to be taken: no notification
    // for them (a callback's Send re-requests notifications meanwhile).
    bool data = f.unseen_bytes;
    if (!data && (f.ev & EPOLLIN) && !p.peer_eof) data = true;
    if (!data && p.peer_eof) data = kernel_has_bytes();
    if (data) {
      post(kFdRead);
      p.read_armed = false;
      p.read_queued = true;
    }
  }
  if ((f.mask & kFdClose) && !p.close_posted && p.peer_eof) {
    post(kFdClose);
    p.close_posted = true;
  }
  // Readability stays of interest while a read notification is queued: the loop
  // handles the queue before it waits again, so the event it reports meanwhile
  // costs nothing, and a notification then takes no epoll_ctl either way. Only a
  // handler that does not receive leaves it unarmed, and the next report drops it.
  std::uint32_t interest = 0;
  if ((f.mask & kFdRead) && (p.read_armed || p.read_queued) && !p.peer_eof) interest |= EPOLLIN;
  if ((f.mask & kFdClose) && !p.close_posted) interest |= EPOLLRDHUP;
  return interest;
}

}  // namespace cvn::plat::posix
