// Line reception and event delivery: bytes split into lines at CR and LF, each
// line, each close and each waiting connection handed to the record's callback
// under the script lock. NetworkThread only.
#include "delivery.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "../include/messages.h"
#include "../include/module_state.h"
#include "../platform/lua_seam.h"

namespace cvn {
namespace {

constexpr unsigned kScriptLockWaitMs = 1000;

// What one read notification may deliver before the connection goes to the back
// of the queue (a new notification is already posted for the rest): a peer that
// sends without pause must not keep every other connection waiting.
constexpr int kLinesPerNotification = 128;
constexpr std::size_t kBytesPerNotification = 32768;

struct TakeCtx {
  ConnectionRecord* rec;
  bool complete;
  std::size_t consumed;
};

std::size_t take_line(void* ctx, const char* data, std::size_t n) {
  auto* c = static_cast<TakeCtx*>(ctx);
  std::size_t used = line_take(c->rec->line_length, c->rec->line_buffer, data, n, &c->complete);
  c->consumed += used;
  return used;
}

// Said once per record on the debugger channel: a misspelt callback name is the
// likeliest script bug, and otherwise nothing at all shows it.
void report_missing_callback(ConnectionRecord& rec) {
  if (rec.callback_missing_reported) return;
  rec.callback_missing_reported = true;
  char text[kCallbackNameSize + kHostTextSize + 100];
  std::snprintf(text, sizeof text,
                "Callback \"%s\" of socket %" PRIuPTR " (host \"%s\") is not a function; nothing is called",
                rec.callback, rec.socket, rec.host);
  plat::debug_output(text);
}

// The record of the socket that s names now. A record left behind by an earlier
// socket with the same number (one whose end is still to be reported) is not it.
RecordRef find_current(plat::Socket s) {
  std::uint64_t serial = plat::socket_serial(s);
  return serial != 0 ? registry_find_exact(s, serial) : RecordRef();
}

// Waits for the script lock in slices for as long as a script state is attached
// and the plug-in is not closing, so an event is neither lost to a slow script nor
// delivered without the lock. Returns the state with `lock` held, or nullptr.
lua_State* acquire_script(plat::Mutex& lock) {
  for (;;) {
    lock = script_lock();
    if (lock == nullptr || g_module.script.load() == nullptr || g_module.closing.load())
      return nullptr;
    if (plat::mutex_wait(lock, kScriptLockWaitMs)) {
      lua_State* L = g_module.script.load();
      if (L != nullptr && !g_module.closing.load()) return L;
      plat::mutex_release(lock);
      return nullptr;
    }
    plat::debug_output("Script lock not had within 1000 ms; still waiting");
  }
}

// Calls the record's callback with (text, socket, status, host). False when the
// callback could not be pushed or no script can be called any more.
bool call_script(ConnectionRecord& rec, const char* text, int status, const char* error_format) {
  plat::Mutex lock = nullptr;
  lua_State* L = acquire_script(lock);
  if (L == nullptr) return false;
  bool pushed = false;
  if (!rec.released.load()) {  // records retired by a script reload stay silent
    int top = lua::top(L);
    bool room = lua::check_stack(L, 8) != 0;
    pushed = room && lua_push_object(L, rec.callback) != 0;
    if (room && !pushed) report_missing_callback(rec);
    if (pushed) {
      lua::push_text(L, text);
      lua::push_number(L, static_cast<lua::Number>(rec.socket));
      lua::push_number(L, status);
      lua::push_text(L, rec.host);
      if (lua::pcall(L, 4, 0, 0) != 0) {
        const char* err = lua::to_text(L, -1);
        script_print(error_format, err ? err : "(null)");
      }
    }
    lua::set_top(L, top);
  }
  plat::mutex_release(lock);
  return pushed;
}

// Delivers the complete lines waiting on the record's socket: all of them, or
// with `bounded` one notification's share. Stops when the record is released or
// its socket closed (a callback's Close), so a socket that has since been given
// the same number is never read for it.
void read_lines(ConnectionRecord& rec, bool bounded) {
  char line[kMaxLineText + 1];
  std::size_t bytes = 0;
  for (int lines = 0; !rec.released.load(); ++lines) {
    if (bounded && (lines >= kLinesPerNotification || bytes >= kBytesPerNotification)) return;
    if (line_reader(rec, line, &bytes) != 1) return;
    if (!call_script(rec, line, 0, "Error (Read): %s")) return;  // the rest waits
  }
}

}  // namespace

std::size_t line_take(int& length, char* buffer, const char* data, std::size_t n, bool* complete) {
  *complete = false;
  int len = length;  // a local: writes through `buffer` could alias `length`
  std::size_t i = 0;
  while (i < n) {
    // Copy the run of line characters up to a line end or to the piece limit.
    std::size_t room = kMaxLineText - static_cast<std::size_t>(len);
    std::size_t limit = n - i < room ? n - i : room;
    const char* run = data + i;
    std::size_t k = limit;  // memchr scans in wide words
    if (const void* cr = std::memchr(run, '\r', k)) k = static_cast<std::size_t>(static_cast<const char*>(cr) - run);
    if (const void* lf = std::memchr(run, '\n', k)) k = static_cast<std::size_t>(static_cast<const char*>(lf) - run);
    std::memcpy(buffer + len, run, k);
    len += static_cast<int>(k);
    i += k;
    if (len >= static_cast<int>(kMaxLineText)) {  // a long line goes out in pieces
      *complete = true;
      break;
    }
    if (i == n) break;
    ++i;  // the CR or LF
    if (len > 0) {
      *complete = true;
      break;
    }
    // empty lines are never delivered
  }
  length = len;
  return i;
}

int line_reader(ConnectionRecord& rec, char* out, std::size_t* consumed) {
  for (;;) {
    TakeCtx ctx{&rec, false, 0};
    int r = plat::recv_scan(rec.socket, rec.serial, take_line, &ctx);
    if (consumed) *consumed += ctx.consumed;
    if (r == 0) return 0;
    if (r < 0) return -1;
    if (ctx.complete) {
      std::memcpy(out, rec.line_buffer, static_cast<std::size_t>(rec.line_length));
      out[rec.line_length] = '\0';
      rec.line_length = 0;
      return 1;
    }
  }
}

void on_read(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (rec) read_lines(*rec, true);
}

void on_close(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (!rec) return;
  read_lines(*rec, false);  // every complete line still waiting comes first
  call_script(*rec, "Connection Closed.", 1, "Error (Close): %s");
  registry_remove_record(rec.get());
}

void on_ended(plat::Socket s, std::uint64_t serial) {
  RecordRef rec = registry_find_exact(s, serial);
  if (!rec) return;
  call_script(*rec, "Connection Closed.", 1, "Error (Close): %s");
  registry_remove_record(rec.get());
}

void on_accept(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (rec) call_script(*rec, "Incomming Connection.", 2, "Error (Accept): %s");
}

}  // namespace cvn
