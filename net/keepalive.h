// Keep-alive: a text resent on a connection at a fixed interval, a limited or
// unlimited number of times, after which the connection is closed.
#pragma once

#include <cstdint>

#include "../platform/platform.h"
#include "registry.h"

namespace cvn {

// Any thread. 0 when the socket has a record, -1 when it has none.
int keepalive_set(plat::Socket s, std::int32_t interval_ms, const char* text, std::int32_t limit);
// NetworkThread: one timer tick for the timer whose identifier is the socket.
void keepalive_tick(plat::Socket s);
// Stops and releases a record's keep-alive (caller holds keepalive_mu).
void keepalive_stop_locked(ConnectionRecord& rec);

}  // namespace cvn
