// The line reader: the bytes waiting on a connection's socket split into lines
// and handed to its callback, each line once and in order. NetworkThread only,
// but for the two calls at the end, which a closing script function makes.
//
// It looks before it takes (plat::recv_peek, plat::recv_consume; platform.h has
// the contract):
// 1. Look: the bytes waiting are split (split_line) into a batch on the handler's
//    stack, leaving the socket and the record's unfinished line as they were.
// 2. Deliver: under the script lock, each line of the batch to the callback.
// 3. Take: before the lock is let go, the delivered lines' bytes come off the
//    socket, and the record keeps the batch's unfinished line. A script thread
//    that gets the lock in between never finds delivered lines still waiting.
// 4. Check: when a graceful close or CloseListen ran meanwhile (it may have been
//    this socket's), the socket must still hold what was looked at; if not, the
//    reader stops and what it saw is not delivered.
#pragma once

#include "registry.h"

namespace cvn {

// Delivers the complete lines waiting on the record's socket: all of them, or
// with `bounded` one read notification's share. Stops when the record is released
// or its socket closed (a callback's Close), so a socket that has since been given
// the same number is never read for it.
void read_lines(ConnectionRecord& rec, bool bounded);

// Before a graceful close of socket s discards what waits on it: when that happens
// inside a callback of s, the lines given to callbacks so far (this one's
// included) are taken off first, so that only bytes no callback saw are discarded
// and counted. Any thread; it acts only on the NetworkThread inside such a callback.
void reader_take_seen_lines(plat::Socket s);
// After a graceful close or any closing of a connection's socket: every reader
// that looked at a socket before checks, before it takes, that the socket still
// holds what it saw. Any thread.
void readers_recheck_sockets();

}  // namespace cvn
