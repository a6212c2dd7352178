// The handlers of socket notifications: a read hands the waiting lines to the
// line reader, a close and a waiting connection are told to the record's
// callback. NetworkThread only.
#pragma once

#include <cstdint>

#include "../platform/platform.h"

namespace cvn {

void on_read(plat::Socket s);
void on_close(plat::Socket s);
void on_accept(plat::Socket s);
// The connection of socket s with this serial ended while the plug-in closed it:
// its callback hears "Connection Closed." as from a close notification.
void on_ended(plat::Socket s, std::uint64_t serial);

}  // namespace cvn
