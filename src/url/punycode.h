// Punycode (RFC 3492) encoding of one host label, for international domain names.
// Pure function: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace burl {

// Appends the Punycode form of the `count` code points at `code_points` to `out` (without
// the "xn--" prefix). Returns false, with `out` in an unspecified state, when the encoding
// would overflow or would append more than `max_bytes` bytes.
bool PunycodeEncode(const uint32_t* code_points, size_t count, size_t max_bytes, std::string* out);

}  // namespace burl
