// What the Windows files of the platform layer share: the bookkeeping that the
// notification window's procedure does for socket messages before and after
// the plug-in's handler sees them. Not part of the seam.
#pragma once

#include "../platform.h"

namespace cvn::plat::win32 {

// Messages of the layer's own, posted to the notification window and never seen
// by the plug-in's procedure as they are:
// - a read notification for bytes the layer has received and holds, which
//   Winsock knows nothing of (handed on as the socket message with FD_READ);
// - the mark that follows a socket's close through the queue: until it comes,
//   messages for that socket number are the closed socket's, queued before the
//   close, and are dropped even when the number already names a new socket.
constexpr unsigned kMsgHeldBytes = 0xBF00;
constexpr unsigned kMsgClosedMark = 0xBF01;

// A socket message about to be handed to the plug-in's procedure (NetworkThread).
// False when it is to be dropped. `held` for the layer's own read message.
struct SocketDispatch {
  Socket s;
  long event;
  std::uint64_t serial;    // the socket's when the message came (0: none of ours)
  std::uint32_t consumed;  // bytes taken from it by then
};
bool socket_message_begin(Socket s, long event, bool held, SocketDispatch* d);
// After the procedure returned: bytes left in the layer's buffer by a handler
// that took some get a read message of the layer's own.
void socket_message_end(const SocketDispatch& d);
void closed_mark_arrived(Socket s);
// The window is gone, and with it every mark still on its way.
void window_closed();
// The message number sockets were asked to notify with (0 before any).
unsigned socket_message_number();

}  // namespace cvn::plat::win32
