// Recognition and canonical writing of IP address hosts: IPv4 in one to four decimal, octal
// ("0" prefix) or hexadecimal ("0x" prefix) numbers, and bracketed IPv6 addresses.
// Pure functions: safe from any thread.
//
// Canonical forms: IPv4 as four decimal numbers joined by "."; IPv6 in the RFC 5952 text form
// (lower-case hexadecimal groups without leading zeros, the longest run of two or more zero
// groups, the first on a tie, written "::", embedded IPv4 tails written as hexadecimal).
#pragma once

#include <cstdint>
#include <string_view>

namespace burl {

class CanonOutput;

// True when `host` is an IPv4 address: one to four "."-separated numbers, every number but the
// last at most 255, the last one fitting the bytes that remain. Empty numbers, a lone "0x",
// invalid digits, or any other character make it a name.
bool ParseIPv4(std::string_view host, uint32_t* address);
void AppendIPv4(uint32_t address, CanonOutput* out);

// Parses the text between the brackets of an IPv6 host.
bool ParseIPv6(std::string_view text, uint16_t groups[8]);
void AppendIPv6(const uint16_t groups[8], CanonOutput* out);

}  // namespace burl
