// ConnectionRecord and the ConnectionRegistry: one record per socket a script
// opened, accepted or listens on, found by socket on every notification.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "../platform/platform.h"

namespace cvn {

constexpr std::size_t kLineBufferSize = 1500;
constexpr std::size_t kCallbackNameSize = 250;
constexpr std::size_t kHostTextSize = 50;

struct ConnectionRecord {
  int line_length = 0;
  char line_buffer[kLineBufferSize] = {};
  char callback[kCallbackNameSize] = {};
  char* keepalive_text = nullptr;  // owned; guarded by keepalive_mu
  plat::Socket socket = plat::kInvalidSocket;
  std::uint32_t timer_id = 0;
  std::int32_t keepalive_limit = -1;
  std::int32_t keepalive_count = 0;
  char host[kHostTextSize] = {};

  // Bookkeeping: list links, the per-socket chain (newest first), and lifetime.
  ConnectionRecord* next = nullptr;
  ConnectionRecord* prev = nullptr;
  ConnectionRecord* older_same = nullptr;
  std::uint64_t serial = 0;            // identity of the socket at Add
  std::atomic<int> refs{1};            // the registry's reference plus every finder's
  std::atomic<bool> released{false};   // removed from the registry
  // Its socket was closed outright and the end is still to be reported: the
  // record outlives the socket even when the number comes back with a new one.
  std::atomic<bool> end_pending{false};
  std::mutex keepalive_mu;             // keep-alive fields against a tick
  // NetworkThread only: the missing callback has been reported once.
  bool callback_missing_reported = false;
  // Script functions only: an Accept on this listener failed at the descriptor
  // limit, and the script has been told; the next accepted connection clears it.
  std::atomic<bool> accept_limit_reported{false};
};

// A counted reference to a record found in the registry: the record stays valid
// while it is held, even when another thread removes it meanwhile.
class RecordRef {
 public:
  RecordRef() = default;
  explicit RecordRef(ConnectionRecord* r) : rec_(r) {}
  RecordRef(RecordRef&& o) noexcept : rec_(o.rec_) { o.rec_ = nullptr; }
  RecordRef& operator=(RecordRef&& o) noexcept;
  RecordRef(const RecordRef&) = delete;
  RecordRef& operator=(const RecordRef&) = delete;
  ~RecordRef();
  ConnectionRecord* operator->() const { return rec_; }
  ConnectionRecord& operator*() const { return *rec_; }
  explicit operator bool() const { return rec_ != nullptr; }
  ConnectionRecord* get() const { return rec_; }

 private:
  ConnectionRecord* rec_ = nullptr;
};

// All registry operations may be called from any thread; each takes the registry
// lock itself and none is called with it held. The script lock may be held.
bool registry_add(plat::Socket s, const char* callback, const char* host);
RecordRef registry_find(plat::Socket s);
// The record of socket s that was added while the socket had this serial.
RecordRef registry_find_exact(plat::Socket s, std::uint64_t serial);
void registry_remove(plat::Socket s);
// Removes exactly this record, if it is still in the registry (a close handler
// whose callback closed the socket and opened another one under the same number
// must not retire the new one).
void registry_remove_record(ConnectionRecord* r);
// Unlinks the newest record of s without touching the socket (used when a socket
// just opened turns out unusable and is closed by its opener).
void registry_discard(plat::Socket s);
void registry_clear();
std::size_t registry_count();

}  // namespace cvn
