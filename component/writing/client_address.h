// The client address that the magic value "servergetip" stores.
#pragma once

#include <string>
#include <string_view>

namespace kvdn {

// True when `text` is, as a whole, an IPv4 address in dotted decimal (four
// parts 0..255, no leading zeros) or an IPv6 address in its text forms
// (eight groups of 1 to 4 hex digits, one "::" for a run of zero groups, an
// IPv4 address as the last 32 bits). No brackets, ports, zone ids or
// blanks. Pure.
bool isIpAddress(std::string_view text);

// The address to store for a client: the first entry of `forwardedFor` (the
// X-Forwarded-For header, "client, proxy1, proxy2"), blanks trimmed, when it
// is an IP address by isIpAddress; otherwise `remoteAddr`. Any client can
// set the header, so nothing but an address is ever taken from it. Pure.
std::string clientAddressOf(std::string_view forwardedFor, std::string_view remoteAddr);

}  // namespace kvdn
