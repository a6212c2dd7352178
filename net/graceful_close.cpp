// The graceful close: shut, drain what had arrived, close once the peer has.
#include "graceful_close.h"

#include <cstdio>

#include "line_reader.h"
#include "network_thread.h"
#include "registry.h"

namespace cvn {
namespace {

bool shut_and_drain(plat::Socket s) {
  if (plat::shutdown_send(s) != 0) {
    plat::debug_output(kSayShutdownFailed);
    return false;
  }
  // Only what had arrived when the close began is discarded: a peer that keeps
  // sending would otherwise hold the caller (a script's Close, a reload) for as
  // long as it likes. Past that count the peer is still sending, and the socket
  // stays half-closed as when nothing waits.
  long budget = plat::recv_pending(s);
  long long discarded = 0;
  bool end_of_stream = false;
  char scratch[4096];
  for (;;) {
    int n = plat::recv_bytes(s, scratch, sizeof scratch);
    if (n <= 0) {
      end_of_stream = n == 0;
      break;
    }
    discarded += n;
    if (discarded > budget) break;
  }
  if (discarded > 0) {  // one line for the whole close, however many receives it took
    std::fputs("\n", stderr);
    std::fflush(stderr);
    std::fprintf(stderr, kSayUnexpectedBytes, discarded);
    std::fflush(stderr);
  }
  if (!end_of_stream) {
    plat::debug_output(kSayPeerStillOpen);
    return false;
  }
  if (plat::close_socket(s) != 0) {
    plat::debug_output(kSayCloseFailed);
    return false;
  }
  return true;
}

}  // namespace

bool graceful_close(plat::Socket s) {
  reader_take_seen_lines(s);  // lines a running callback has seen are not "unexpected"
  bool closed = shut_and_drain(s);
  readers_recheck_sockets();
  return closed;
}

int close_connection(plat::Socket s) {
  std::uint64_t serial = plat::socket_serial(s);
  // Marked before the close: the moment the socket is closed its number can come
  // back with a new socket, whose Add must not drop the record whose end is still
  // to be reported.
  RecordRef rec = serial != 0 ? registry_find_exact(s, serial) : RecordRef();
  if (rec) rec->end_pending = true;
  if (graceful_close(s) && serial != 0) {
    network_post_ended(s, serial);
  } else if (rec) {
    rec->end_pending = false;
  }
  return 0;
}

}  // namespace cvn
