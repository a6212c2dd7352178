// Sending a CCF code from a script: the module's sendir ID counter and the
// rejection message around the pure conversion (ccf.h), and the socket work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../platform/platform.h"
#include "ccf.h"

namespace cvn {

// As ccf_to_sendir with the next ID of the module's counter; a refused text
// takes no ID and prints "Incorrect CCF Pattarn\n" through the script's print.
// Script functions only (the counter has no lock).
int ccf_convert(const char* ccf, std::int32_t module, std::int32_t connector,
                std::int32_t repeat, char* out, std::size_t cap);
// Converts, sends in one send, re-requests read and close notifications.
// 0, -1 (refused) or -2 (notification request failed).
int send_ccf_command(plat::Socket s, const char* ccf, std::int32_t module,
                     std::int32_t connector, std::int32_t repeat);

}  // namespace cvn
