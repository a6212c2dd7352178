// NetBIOS node status (NBSTAT) packets, RFC 1002 section 4.2.17/4.2.18: building
// the request and reading the adapter address out of a reply. Pure functions; the
// platform layer does the UDP exchange with them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cvn {

constexpr std::size_t kNbstatRequestSize = 50;
constexpr std::uint16_t kNbstatPort = 137;

// Writes the 50-byte request for a 16-byte NetBIOS name (first-level encoded).
void nbstat_build_request(std::uint16_t transaction_id, const unsigned char name[16],
                          unsigned char out[kNbstatRequestSize]);

// Reads a reply. True only for a well-formed positive response to transaction_id
// whose statistics block is present; then mac holds the unit ID (adapter address).
// Every length is checked: the reply is untrusted input from the network.
bool nbstat_parse_reply(std::uint16_t transaction_id, const unsigned char* data, std::size_t len,
                        unsigned char mac[6]);

}  // namespace cvn
