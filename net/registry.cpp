// The ConnectionRegistry: a list of records, newest first, with an index by
// socket so that a notification finds its record without walking the list.
#include "registry.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "graceful_close.h"
#include "keepalive.h"
#include "line_reader.h"

namespace cvn {
namespace {

std::mutex g_registry_mu;
ConnectionRecord* g_head = nullptr;
// The newest record of each socket; older ones hang off older_same.
std::unordered_map<plat::Socket, ConnectionRecord*> g_by_socket;
std::size_t g_count = 0;

void unref(ConnectionRecord* r) {
  if (r != nullptr && r->refs.fetch_sub(1) == 1) {
    delete[] r->keepalive_text;
    delete r;
  }
}

void copy_text(char* dst, std::size_t cap, const char* src) {
  std::size_t n = src ? std::strlen(src) : 0;
  if (n >= cap) n = cap - 1;  // longer texts are cut to fit with their terminator
  if (n) std::memcpy(dst, src, n);
  dst[n] = '\0';
}

void unlink_locked(ConnectionRecord* r) {
  if (r->prev)
    r->prev->next = r->next;
  else
    g_head = r->next;
  if (r->next) r->next->prev = r->prev;
  r->next = r->prev = nullptr;
  auto it = g_by_socket.find(r->socket);
  if (it != g_by_socket.end()) {
    if (it->second == r) {
      if (r->older_same)
        it->second = r->older_same;
      else
        g_by_socket.erase(it);
    } else {
      for (ConnectionRecord* p = it->second; p; p = p->older_same)
        if (p->older_same == r) {
          p->older_same = r->older_same;
          break;
        }
    }
  }
  r->older_same = nullptr;
  --g_count;
}

void release_locked(ConnectionRecord* r) {
  std::lock_guard<std::mutex> lk(r->keepalive_mu);
  r->released = true;
  keepalive_stop_locked(*r);
}

// Retires the socket of a released record. A socket the graceful close could not
// close (peer still open, listening socket, reset) is closed all the same: no one
// would ever close it otherwise. A record whose socket is gone (its number may
// already name another socket) leaves the number alone.
void retire_socket(ConnectionRecord* r) {
  if (plat::socket_serial(r->socket) != r->serial) {
    plat::debug_output(kSaySocketGone);
    return;
  }
  if (!graceful_close(r->socket)) {
    plat::close_socket(r->socket);
    readers_recheck_sockets();
  }
}

// Unlinks and releases the newest record of s, retiring its socket when asked.
void remove_newest(plat::Socket s, bool retire) {
  ConnectionRecord* r;
  {
    std::lock_guard<std::mutex> lk(g_registry_mu);
    auto it = g_by_socket.find(s);
    if (it == g_by_socket.end()) return;
    r = it->second;
    unlink_locked(r);
    release_locked(r);
    if (retire) retire_socket(r);
  }
  unref(r);
}

}  // namespace

RecordRef& RecordRef::operator=(RecordRef&& o) noexcept {
  if (this != &o) {
    unref(rec_);
    rec_ = o.rec_;
    o.rec_ = nullptr;
  }
  return *this;
}

RecordRef::~RecordRef() { unref(rec_); }

bool registry_add(plat::Socket s, const char* callback, const char* host) {
  auto* r = new (std::nothrow) ConnectionRecord;
  if (r == nullptr) return false;
  copy_text(r->callback, sizeof r->callback, callback);
  copy_text(r->host, sizeof r->host, host);
  r->socket = s;
  r->serial = plat::socket_serial(s);
  std::vector<ConnectionRecord*> stale;
  {
    std::lock_guard<std::mutex> lk(g_registry_mu);
    // Records of an earlier socket that had this number can never get another
    // notification: drop them now rather than keep them until the next clear,
    // unless the end of their connection is still to be reported.
    auto it = g_by_socket.find(s);
    for (ConnectionRecord* p = it == g_by_socket.end() ? nullptr : it->second; p;) {
      ConnectionRecord* older = p->older_same;
      if (p->serial != r->serial && !p->end_pending.load()) {
        unlink_locked(p);
        release_locked(p);
        stale.push_back(p);
      }
      p = older;
    }
    r->next = g_head;
    if (g_head) g_head->prev = r;
    g_head = r;
    auto& newest = g_by_socket[s];
    r->older_same = newest;
    newest = r;
    ++g_count;
  }
  for (ConnectionRecord* p : stale) unref(p);
  return true;
}

RecordRef registry_find(plat::Socket s) {
  std::lock_guard<std::mutex> lk(g_registry_mu);
  auto it = g_by_socket.find(s);
  if (it == g_by_socket.end()) return RecordRef();
  it->second->refs.fetch_add(1);
  return RecordRef(it->second);
}

RecordRef registry_find_exact(plat::Socket s, std::uint64_t serial) {
  std::lock_guard<std::mutex> lk(g_registry_mu);
  auto it = g_by_socket.find(s);
  for (ConnectionRecord* r = it == g_by_socket.end() ? nullptr : it->second; r; r = r->older_same) {
    if (r->serial == serial) {
      r->refs.fetch_add(1);
      return RecordRef(r);
    }
  }
  return RecordRef();
}

void registry_remove(plat::Socket s) { remove_newest(s, true); }

void registry_remove_record(ConnectionRecord* r) {
  {
    std::lock_guard<std::mutex> lk(g_registry_mu);
    if (r->released.load()) return;
    unlink_locked(r);
    release_locked(r);
    retire_socket(r);
  }
  unref(r);
}

void registry_discard(plat::Socket s) { remove_newest(s, false); }

void registry_clear() {
  std::vector<ConnectionRecord*> gone;
  {
    std::lock_guard<std::mutex> lk(g_registry_mu);
    for (ConnectionRecord* r = g_head; r; r = r->next) {
      release_locked(r);
      retire_socket(r);
      gone.push_back(r);
    }
    for (ConnectionRecord* r : gone) r->next = r->prev = r->older_same = nullptr;
    g_head = nullptr;
    g_by_socket.clear();
    g_count = 0;
  }
  for (ConnectionRecord* r : gone) unref(r);
}

std::size_t registry_count() {
  std::lock_guard<std::mutex> lk(g_registry_mu);
  return g_count;
}

}  // namespace cvn
