// The line reader: look, deliver, take, check (line_reader.h), one batch at a time.
#include "line_reader.h"

#include <atomic>
#include <cstring>

#include "line_split.h"
#include "module_state.h"
#include "script_calls.h"

namespace cvn {
namespace {

// What one read notification may deliver before the connection goes to the back
// of the queue (a new notification is already posted for the rest): a peer that
// sends without pause must not keep every other connection waiting.
constexpr int kLinesPerNotification = 128;
constexpr std::size_t kBytesPerNotification = 32768;

// Lines delivered under one hold of the script lock while another thread waits
// for it. Taking and releasing it for every line costs as much as a short
// callback; holding it longer would make a script thread that wants it wait
// behind more callbacks than a handful. While nobody waits, the hold goes on.
constexpr int kLinesPerHold = 8;

// Graceful closes and CloseListens so far. A reader that looked at a socket before
// one of them finished checks that the socket still holds what it saw.
std::atomic<std::uint32_t> g_discards{0};

// What one look at a socket found: complete lines as NUL-terminated texts back to
// back, each with its length up to its first zero byte (where a script's text
// ends) and the count of bytes of the view up to and including its terminator,
// then the unfinished line at the view's end. The arrays are filled
// as far as `count` says, and are left uninitialised: a batch lives on the stack
// of the read handler, which a callback may enter again for another socket when
// something it calls dispatches the thread's messages.
struct Batch {
  ConnectionRecord* rec;
  int max_lines;
  std::size_t max_bytes;  // no line is begun once this many bytes are used
  int count;
  std::size_t seen;       // bytes looked at: through the unfinished line, if any
  int partial;            // its length, the record's earlier part included
  const char* partial_text;
  const char* line[kLinesPerNotification];
  std::size_t length[kLinesPerNotification];
  std::size_t end[kLinesPerNotification];
  // A notification's bytes and the record's unfinished line, a terminator per
  // line, and room to begin one more line.
  char text[kBytesPerNotification + kLinesPerNotification + 4 * (kMaxLineText + 1)];
};

// A batch being delivered: how much of it has been taken off the socket.
struct Reader {
  ConnectionRecord& rec;
  const Batch& batch;
  std::uint64_t mark;       // names the socket's bytes not yet taken
  std::uint32_t discards;   // g_discards when the socket was last known to match
  std::size_t taken = 0;    // bytes of the view taken so far
  std::size_t through = 0;  // bytes of the view through the line being delivered
  Reader* outer = nullptr;  // the reader whose callback entered this one's handler
};

// The innermost reader whose callback runs now on this thread, if any.
thread_local Reader* t_reading = nullptr;

// 1. Look: splits the bytes waiting as the record's line state would, without
// changing it: that happens only as the lines are taken.
std::size_t look_lines(void* ctx, const char* data, std::size_t n) {
  auto* b = static_cast<Batch*>(ctx);
  const ConnectionRecord& rec = *b->rec;
  char* line = b->text;
  const char* const text_end = b->text + sizeof b->text;
  int length = rec.line_length;
  std::memcpy(line, rec.line_buffer, static_cast<std::size_t>(length));
  char hint = '\r';
  std::size_t at = 0;
  while (at < n && b->count < b->max_lines && static_cast<std::size_t>(text_end - line) > kMaxLineText) {
    bool complete = false;
    at += split_line(length, line, data + at, n - at, &complete, &hint);
    if (!complete) break;  // the view ends inside a line
    line[length] = '\0';
    b->line[b->count] = line;
    b->length[b->count] = static_cast<std::size_t>(length);
    b->end[b->count] = at;
    ++b->count;
    line += length + 1;
    length = 0;
    if (at >= b->max_bytes) break;
  }
  b->seen = at;
  b->partial = length;
  b->partial_text = line;
  // A zero byte ends a script's text. One look over the bytes taken finds whether
  // any line holds one, so lines without (all of them, nearly always) keep the
  // lengths found while splitting.
  if ((at > 0 && std::memchr(data, '\0', at) != nullptr) ||
      (rec.line_length > 0 && std::memchr(rec.line_buffer, '\0', static_cast<std::size_t>(rec.line_length)))) {
    for (int i = 0; i < b->count; ++i) b->length[i] = std::strlen(b->line[i]);
  }
  return at;
}

// 3. Take: the view's bytes up to `upto` come off the socket. Lines up to there
// have been delivered (or consumed without a callback), so the record's
// unfinished line, which began the first of them, is finished.
bool take_through(Reader& r, std::size_t upto) {
  if (upto <= r.taken) return true;
  std::size_t n = upto - r.taken;
  if (plat::recv_consume(r.rec.socket, r.rec.serial, r.mark, n) < 0) return false;
  r.mark += n;
  r.taken = upto;
  r.rec.line_length = 0;
  return true;
}

// Takes the whole view: its lines are delivered and its unfinished line becomes
// the record's.
bool take_all(Reader& r) {
  const Batch& b = r.batch;
  if (!take_through(r, b.seen)) return false;
  std::memmove(r.rec.line_buffer, b.partial_text, static_cast<std::size_t>(b.partial));
  r.rec.line_length = b.partial;
  return true;
}

// 4. Check: after a graceful close or CloseListen somewhere, true when the socket
// still holds exactly what the reader has not taken yet.
bool still_current(Reader& r) {
  std::uint32_t now = g_discards.load();
  if (now == r.discards) return true;
  if (plat::recv_consume(r.rec.socket, r.rec.serial, r.mark, 0) < 0) return false;
  r.discards = now;
  return true;
}

// The trace's line for a received line; out of line, so the delivery loop pays
// only the test of tracing() when the trace is off.
[[gnu::noinline, gnu::cold]] void trace_line(const ConnectionRecord& rec, const Batch& b, int i) {
  trace_traffic(rec.socket, rec.host, "<-", b.line[i], b.length[i]);
}

// 2. Deliver: the lines of a batch under holds of the script lock that end, every
// kLinesPerHold lines, when another thread waits for the lock, and takes each
// hold's bytes off the socket before letting the lock go. Returns false when
// reading must stop: no script, a callback that cannot be pushed (its line is
// consumed all the same), or a socket that no longer holds what was looked at.
bool deliver(Reader& r, int* lines) {
  const Batch& b = r.batch;
  ConnectionRecord& rec = r.rec;
  int next = 0;
  while (next < b.count) {
    plat::Mutex lock = nullptr;
    lua_State* L = acquire_script(lock);
    if (L == nullptr) return false;  // the lines stay on the socket
    bool go_on = !rec.released.load() && still_current(r) && lua::check_stack(L, 8);
    // The host text is the same for every line: made a script string once a hold.
    const int base = lua::top(L);
    if (go_on) lua::push_text(L, rec.host);
    const int top = base + 1;
    int hold_end = next + kLinesPerHold;
    r.outer = t_reading;
    t_reading = &r;
    while (go_on && next < b.count) {
      if (next == hold_end) {
        if (plat::mutex_waited_for(lock)) break;
        hold_end += kLinesPerHold;
      }
      r.through = b.end[next];
      // Traced just before its callback: from here on the line is taken off the
      // socket whether or not the callback can be called, so it shows once.
      if (tracing()) trace_line(rec, b, next);
      if (!call_locked(L, top, rec, b.line[next], b.length[next], 0, "Error (Read): %s", top)) {
        take_through(r, r.through);  // one line per notification, called or not
        go_on = false;
        break;
      }
      ++next;
      ++*lines;
      // A callback may have closed this socket, or another one.
      go_on = !rec.released.load() && still_current(r);
    }
    t_reading = r.outer;
    lua::set_top(L, base);
    if (go_on) go_on = next < b.count ? take_through(r, b.end[next - 1]) : take_all(r);
    plat::mutex_release_to_waiter(lock);  // a script thread waiting goes next
    if (!go_on) return false;
  }
  return true;
}

}  // namespace

void read_lines(ConnectionRecord& rec, bool bounded) {
  // Entered again for this socket from one of its own callbacks (something it
  // called dispatched the thread's messages): the reader outside has lines looked
  // at and not taken yet, which would come twice. It re-enables notifications as
  // it takes them, so nothing waits for this one.
  for (Reader* r = t_reading; r != nullptr; r = r->outer)
    if (&r->rec == &rec) return;
  Batch b;
  int lines = 0;
  std::size_t bytes = 0;
  while (!rec.released.load()) {
    if (bounded && (lines >= kLinesPerNotification || bytes >= kBytesPerNotification)) return;
    b.rec = &rec;
    b.count = 0;
    b.max_lines = bounded ? kLinesPerNotification - lines : kLinesPerNotification;
    b.max_bytes = bounded ? kBytesPerNotification - bytes : ~std::size_t{0};
    Reader r{rec, b, 0, g_discards.load()};
    if (plat::recv_peek(rec.socket, rec.serial, look_lines, &b, &r.mark) <= 0) return;
    if (b.count == 0) {  // part of a line: no callback, no script lock
      if (!take_all(r)) return;
    } else if (!deliver(r, &lines)) {
      return;
    }
    bytes += r.taken;
  }
}

void reader_take_seen_lines(plat::Socket s) {
  for (Reader* r = t_reading; r != nullptr; r = r->outer)
    if (r->rec.socket == s) take_through(*r, r->through);
}

void readers_recheck_sockets() { g_discards.fetch_add(1); }

}  // namespace cvn
