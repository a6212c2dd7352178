// Event delivery: each read, close and waiting connection handed to the record of
// the socket as it is now. NetworkThread only.
#include "delivery.h"

#include "line_reader.h"
#include "messages.h"
#include "module_state.h"
#include "registry.h"
#include "script_calls.h"

namespace cvn {
namespace {

// The record of the socket that s names now. A record left behind by an earlier
// socket with the same number (one whose end is still to be reported) is not it.
RecordRef find_current(plat::Socket s) {
  std::uint64_t serial = plat::socket_serial(s);
  return serial != 0 ? registry_find_exact(s, serial) : RecordRef();
}

// The end of a connection told to its callback, and its record retired.
void report_end(plat::Socket s, ConnectionRecord& rec) {
  if (tracing()) trace_traffic(s, rec.host, "--", "closed", 6);
  call_script(rec, "Connection Closed.", 1, "Error (Close): %s");
  registry_remove_record(&rec);
}

}  // namespace

void on_read(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (rec) read_lines(*rec, true);
}

void on_close(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (!rec) return;
  read_lines(*rec, false);  // every complete line still waiting comes first
  report_end(s, *rec);
}

void on_ended(plat::Socket s, std::uint64_t serial) {
  RecordRef rec = registry_find_exact(s, serial);
  if (rec) report_end(s, *rec);
}

void on_accept(plat::Socket s) {
  RecordRef rec = find_current(s);
  if (rec) call_script(*rec, "Incomming Connection.", 2, "Error (Accept): %s");
}

}  // namespace cvn
