// The NetworkThread and its notification window: every socket notification and
// timer tick is handled there, one at a time.
#pragma once

#include "platform.h"

namespace cvn {

// Host thread (tvr_open / tvr_close).
void network_start();
// Asks the window to close and waits at most 10000 ms for the thread to end.
void network_stop();
// The notification window, 0 until the thread has created it. Any thread.
plat::Window network_window();

}  // namespace cvn
