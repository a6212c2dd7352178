// Keep-alive: the text is resent on every tick of a window timer whose identifier
// is the socket; after `limit` sends the next tick closes the connection.
#include "keepalive.h"

#include <cstring>
#include <new>

#include "graceful_close.h"
#include "network_thread.h"
#include "registry.h"
#include "socket_ops.h"

namespace cvn {

void keepalive_stop_locked(ConnectionRecord& rec) {
  if (rec.keepalive_text == nullptr) return;
  plat::kill_timer(network_window(), rec.timer_id);
  delete[] rec.keepalive_text;
  rec.keepalive_text = nullptr;
  rec.timer_id = 0;
}

int keepalive_set(plat::Socket s, std::int32_t interval_ms, const char* text, std::int32_t limit) {
  RecordRef rec = registry_find(s);
  if (!rec) return -1;
  std::lock_guard<std::mutex> lk(rec->keepalive_mu);  // against a tick on the NetworkThread
  if (rec->released.load()) return -1;
  rec->keepalive_limit = limit;
  rec->keepalive_count = 0;
  keepalive_stop_locked(*rec);
  if (interval_ms > 0) {
    std::size_t n = text ? std::strlen(text) : 0;
    char* copy = new (std::nothrow) char[n + 1];
    if (copy == nullptr) return 0;
    if (n) std::memcpy(copy, text, n);
    copy[n] = '\0';
    rec->keepalive_text = copy;
    rec->timer_id = static_cast<std::uint32_t>(
        plat::set_timer(network_window(), s, static_cast<unsigned>(interval_ms)));
  }
  return 0;
}

void keepalive_tick(plat::Socket s) {
  RecordRef rec = registry_find(s);
  if (!rec) return;
  bool close = false;
  {
    std::lock_guard<std::mutex> lk(rec->keepalive_mu);
    const char* text = rec->keepalive_text;
    if (text == nullptr) return;
    // The socket is gone (a Close that found the peer closed already): the timer
    // can never send again, and the number may name another socket by now.
    if (plat::socket_serial(s) != rec->serial) {
      plat::kill_timer(network_window(), rec->timer_id);
      return;
    }
    if (rec->keepalive_limit == -1 || rec->keepalive_count < rec->keepalive_limit) {
      ++rec->keepalive_count;
      send_text(s, rec->host, text, static_cast<int>(std::strlen(text)));
    } else {
      plat::kill_timer(network_window(), rec->timer_id);
      close = true;
    }
  }
  if (close) close_connection(s);
}

}  // namespace cvn
