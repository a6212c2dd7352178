// The POSIX layer's posting rules (platform/posix/posting.h) without sockets: a
// table of states and what epoll saw, with the notifications and the epoll
// interest each must give, and one socket's life as a sequence.
#include <gtest/gtest.h>

#include <string>

#include "../platform/posix/posting.h"

using namespace cvn::plat;
using namespace cvn::plat::posix;

namespace {

constexpr long kClient = kFdRead | kFdClose;
constexpr std::uint32_t kIn = EPOLLIN, kHup = EPOLLRDHUP;

Posting armed() { return Posting{}; }
Posting read_queued() {
  Posting p;
  p.read_armed = false;
  p.read_queued = true;
  return p;
}
Posting read_unarmed() {  // its notification was handled without a receive
  Posting p;
  p.read_armed = false;
  return p;
}
Posting accept_queued() {
  Posting p;
  p.accept_armed = false;
  p.accept_queued = true;
  return p;
}
Posting closed_told() {
  Posting p;
  p.peer_eof = true;
  p.close_posted = true;
  return p;
}

struct Row {
  const char* what;
  Posting before;
  PostingFacts facts;
  bool kernel_bytes;  // what the kernel would say after the peer's end
  // expected:
  const char* posts;  // "r", "a", "c" for each notification posted
  std::uint32_t interest;
  bool kernel_asked;
};

// One step: the notifications posted ("a", "r", "c" in the order posted) and the
// interest left; `asked` says whether the kernel was asked.
struct Step {
  std::string posts;
  std::uint32_t interest;
};
Step step(Posting& p, const PostingFacts& f, bool kernel_bytes, bool* asked = nullptr) {
  Step out;
  out.interest = next_posts(
      p, f, [&](long event) { out.posts += event == kFdRead ? "r" : event == kFdAccept ? "a" : "c"; },
      [&] {
        if (asked != nullptr) *asked = true;
        return kernel_bytes;
      });
  return out;
}

const Row kRows[] = {
    {"readable: one read, readability still watched", armed(), {kClient, false, kIn, false}, false, "r",
     kIn | kHup, false},
    {"readable again while the read waits in the queue: nothing more", read_queued(),
     {kClient, false, kIn, false}, false, "", kIn | kHup, false},
    {"a handler that did not receive: readability dropped", read_unarmed(), {kClient, false, kIn, false}, false,
     "", kHup, false},
    {"after a receive, bytes still held: a read", armed(), {kClient, false, 0, true}, false, "r", kIn | kHup,
     false},
    {"after a receive, nothing held or only bytes a reader looked at: none", armed(),
     {kClient, false, 0, false}, false, "", kIn | kHup, false},
    {"the peer's end with bytes in the kernel: read and close, nothing watched", armed(),
     {kClient, false, kIn | kHup, false}, true, "rc", 0, true},
    {"the peer's end with nothing left: close only", armed(), {kClient, false, kHup, false}, false, "c", 0, true},
    {"the peer's end with bytes held: the kernel is not asked", armed(), {kClient, false, kHup, true}, false,
     "rc", 0, false},
    {"the end reported again: close was told once", closed_told(), {kClient, false, kHup, false}, false, "", 0,
     true},
    {"read asked for without close: no close told", armed(), {kFdRead, false, kHup, false}, true, "r", 0, true},
    {"no window or no notifications asked for: nothing, nothing watched", armed(), {0, false, kIn | kHup, true},
     true, "", 0, false},
    {"a listener with a connection waiting: one accept, then not watched", armed(),
     {kFdRead | kFdAccept | kFdClose, true, kIn, false}, false, "a", 0, false},
    {"a listener whose accept waits in the queue: nothing", accept_queued(),
     {kFdRead | kFdAccept | kFdClose, true, kIn, false}, false, "", 0, false},
    {"a listener after an accept: watched again, nothing posted yet", armed(),
     {kFdRead | kFdAccept | kFdClose, true, 0, false}, false, "", kIn, false},
};

}  // namespace

TEST(PostingRules, EachRowPostsWhatItShould) {
  for (const Row& row : kRows) {
    Posting p = row.before;
    bool asked = false;
    Step out = step(p, row.facts, row.kernel_bytes, &asked);
    EXPECT_EQ(row.posts, out.posts) << row.what;
    EXPECT_EQ(row.interest, out.interest) << row.what;
    EXPECT_EQ(row.kernel_asked, asked) << row.what;
    // A notification posted is queued and unarmed until it leaves the queue.
    bool read = out.posts.find('r') != std::string::npos, accept = out.posts.find('a') != std::string::npos;
    EXPECT_TRUE(!read || (p.read_queued && !p.read_armed)) << row.what;
    EXPECT_TRUE(!accept || (p.accept_queued && !p.accept_armed)) << row.what;
    EXPECT_TRUE(out.posts.find('c') == std::string::npos || p.close_posted) << row.what;
  }
}

TEST(PostingRules, AConnectionsLifeInSteps) {
  Posting p;
  auto next = [&](std::uint32_t ev, bool held, bool kernel = false) {
    return step(p, PostingFacts{kClient, false, ev, held}, kernel).posts;
  };
  EXPECT_EQ("r", next(kIn, false));
  EXPECT_EQ("", next(kIn, false));  // more bytes while the read is queued
  p.dequeued(kFdRead);               // the handler runs
  EXPECT_EQ("", next(0, true));      // its peek showed bytes: no receive yet, nothing
  p.received();                      // its consume
  EXPECT_EQ("r", next(0, true));     // bytes left past one notification's share
  p.dequeued(kFdRead);
  p.received();
  EXPECT_EQ("", next(0, false));  // all taken
  EXPECT_EQ("r", next(kIn, false));
  p.dequeued(kFdRead);
  p.received();
  EXPECT_EQ("rc", next(kIn | kHup, false, true));  // the end with the last bytes
  p.dequeued(kFdRead);
  p.received();
  EXPECT_EQ("r", next(0, false, true));  // after the end the kernel is read to its last byte
  p.dequeued(kFdRead);
  p.received();
  EXPECT_EQ("", next(0, false, false));
  p.selected();  // a Send re-requests notifications: nothing new to tell
  EXPECT_EQ("", next(0, false, false));
}
