// What gcsim and ccf2sendir need of the operating system, defined once for POSIX
// (tool_os_posix.cpp) and once for Windows (tool_os_win32.cpp); the build takes
// one, so the programs are the same source on both. Errors are told in the
// words the POSIX C library has for them, so the programs say the same on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cvn::tools {

// Standard input, output and error pass bytes as they are (no CR LF on Windows),
// and a peer that has gone ends no program (SIGPIPE). First thing in main.
void start_streams();
bool stdin_is_terminal();

// --- sockets, for gcsim ---

using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Makes the socket library usable. Before any call below.
void start_sockets();
// The IPv4 address (network order) of a dotted address or a host name.
bool resolve_ipv4(const std::string& name, std::uint32_t& addr_net, std::string& why);
// A TCP socket listening on the address (network order) and port (0: any free
// one), and the port it got; kNoSocket with `why` when it cannot be had.
Socket listen_tcp(std::uint32_t addr_net, std::uint16_t port, std::uint16_t& bound_port, std::string& why);
// A connection waiting on the listener, replies going out at once (TCP_NODELAY);
// kNoSocket when none could be taken.
Socket accept_tcp(Socket listener);
// What arrived, up to `cap` bytes; 0 or less when the peer has gone.
long receive(Socket s, char* buf, std::size_t cap);
// Sends what it can at once, as a device does; a peer that has gone is no error.
void send_text(Socket s, const std::string& text);
void close_socket(Socket s);
// Waits up to `ms` (-1: without limit) for one of the sockets to be readable
// (or closed by its peer); `ready` tells which.
void wait_readable(const std::vector<Socket>& sockets, int ms, std::vector<bool>& ready);

}  // namespace cvn::tools
