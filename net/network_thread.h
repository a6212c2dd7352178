// The NetworkThread and its notification window: every socket notification and
// timer tick is handled there, one at a time.
#pragma once

#include "../platform/platform.h"

namespace cvn {

// Host thread (tvr_open / tvr_close).
void network_start();
// Asks the window to close and waits at most 10000 ms for the thread to end.
void network_stop();
// The notification window, 0 until the thread has created it. Any thread.
plat::Window network_window();

// The plug-in's own message: a connection whose socket a Close or the keep-alive
// limit closed outright (its peer had closed already) has ended. wparam is the
// socket, lparam its serial.
constexpr unsigned kMsgConnectionEnded = plat::kMsgSocket + 1;
// Any thread: has the close handler report the end of that connection.
void network_post_ended(plat::Socket s, std::uint64_t serial);

}  // namespace cvn
