// CCF (Pronto hex) infrared codes and the sendir command built from them.
// ccf_validate, hex_word and ccf_to_sendir are pure; ccf_convert adds the ID
// counter and the rejection message, send_ccf_command the socket work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../platform/platform.h"

namespace cvn {

constexpr std::size_t kSendirCommandSize = 4000;

// 6 to 260 groups of four hex digits separated by single spaces, nothing else.
bool ccf_validate(const char* text);
// Value of four hex digits; checks nothing.
unsigned hex_word(const char* p);
// The sendir line, with its CR, for an accepted text: its length, or -1 when the
// text is rejected (malformed, or a frequency word of 0000, which has no carrier).
int ccf_to_sendir(const char* ccf, std::int32_t module, std::int32_t connector,
                  std::int32_t repeat, std::uint16_t id, char* out, std::size_t cap);
// As ccf_to_sendir with the next ID of the module's counter; a rejected text
// takes no ID and prints "Incorrect CCF Pattarn\n" through the script's print.
int ccf_convert(const char* ccf, std::int32_t module, std::int32_t connector,
                std::int32_t repeat, char* out, std::size_t cap);
// Converts, sends in one send, re-requests read and close notifications.
// 0, -1 (rejected) or -2 (notification request failed).
int send_ccf_command(plat::Socket s, const char* ccf, std::int32_t module,
                     std::int32_t connector, std::int32_t repeat);

}  // namespace cvn
