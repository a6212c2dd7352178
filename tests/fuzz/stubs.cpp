// What ccf.cpp links against beyond the pure conversion, for the fuzz build:
// nothing of it runs when only ccf_to_sendir and ccf_validate are called.
#include <cstdarg>

#include "../../include/messages.h"
#include "../../net/platform.h"
#include "../../net/socket_ops.h"

namespace cvn {
int script_print(const char*, ...) { return 0; }
const char* socket_error_text(const char*, int) { return ""; }
int request_client_events(plat::Socket) { return 0; }
namespace plat {
int send_bytes(Socket, const char*, int) { return -1; }
}  // namespace plat
}  // namespace cvn
