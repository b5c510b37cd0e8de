// What the datagram socket shares with the alarm receiver, which opens its
// own UDP socket the same way: the receive buffer it asks for and the rule
// that turns a host name into an address.
#pragma once

namespace oam {
namespace udp {

// A large buffer lets a burst wait while the host is busy.
const int kReceiveBufferSize = 0x7d6000;

// Null or empty: INADDR_ANY; digits and dots: inet_addr's reading;
// otherwise the first address the resolver gives, or 0.
unsigned long Name2Inet(const char* host);

}  // namespace udp
}  // namespace oam
