// Sending a CCF code: the module's sendir ID counter, the rejection message and
// the socket work around the pure conversion.
#include <memory>
#include <new>

#include "../net/messages.h"
#include "../net/socket_ops.h"
#include "ccf_send.h"

namespace cvn {
namespace {

// Touched only by script functions, which run one at a time on the one state.
std::uint16_t g_sendir_id = 0;

}  // namespace

int ccf_convert(const char* ccf, std::int32_t module, std::int32_t connector,
                std::int32_t repeat, char* out, std::size_t cap) {
  if (!ccf_accepted(ccf)) {
    script_print("Incorrect CCF Pattarn\n");
    return -1;
  }
  return ccf_to_sendir(ccf, module, connector, repeat, g_sendir_id++, out, cap);
}

int send_ccf_command(plat::Socket s, const char* ccf, std::int32_t module,
                     std::int32_t connector, std::int32_t repeat) {
  std::unique_ptr<char[]> command(new (std::nothrow) char[kSendirCommandSize]);
  if (!command) return -1;
  int n = ccf_convert(ccf, module, connector, repeat, command.get(), kSendirCommandSize);
  if (n < 0) return -1;
  send_text(s, nullptr, command.get(), n);  // a failed or partial send is not reported
  return rerequest_client_events(s) != 0 ? -2 : 0;
}

}  // namespace cvn
