#include "support/zip_builder.h"

#include <zlib.h>

#include <initializer_list>

namespace testing_support {
namespace {

// Appends each value little-endian in as many bytes as its digit in `sizes` says.
void Put(std::string* out, const char* sizes, std::initializer_list<uint64_t> values) {
  for (uint64_t value : values) {
    for (int i = 0; i < *sizes - '0'; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
    ++sizes;
  }
}

}  // namespace

std::string BuildZip(const std::vector<ZipFixtureEntry>& entries) {
  std::string out, directory;
  for (const ZipFixtureEntry& e : entries) {
    // Raw deflate is zlib's stream less its 2-byte header and 4-byte checksum; data that it does
    // not make smaller is stored, as zip tools do.
    uLongf size = compressBound(e.data.size());
    std::string stored(size, '\0');
    const bool deflated =
        !e.data.empty() &&
        compress2(reinterpret_cast<Bytef*>(stored.data()), &size,
                  reinterpret_cast<const Bytef*>(e.data.data()), e.data.size(), 9) == Z_OK &&
        size - 6 < e.data.size();
    stored = deflated ? stored.substr(2, size - 6) : e.data;
    const uint64_t crc = crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), e.data.size());
    std::string common;  // version needed .. name length, shared by both headers
    Put(&common, "222224442",
        {20, e.encrypted ? 1u : 0u, deflated ? 8u : 0u, (3 << 11) | (4 << 5) | 3,
         ((2020 - 1980) << 9) | (1 << 5) | 2, e.wrong_crc ? crc ^ 0x5a5a5a5a : crc, stored.size(),
         e.declared_size.value_or(e.data.size()), e.name.size()});
    Put(&directory, "42", {0x02014b50, e.host * 256u + 20});
    directory += common;
    Put(&directory, "844", {0, e.external_attributes, out.size()});
    directory += e.name;
    Put(&out, "4", {0x04034b50});
    out += common;
    Put(&out, "2", {e.local_extra.size()});
    out += e.name + e.local_extra + stored;
  }
  const uint64_t offset = out.size(), count = entries.size(), length = directory.size();
  out += directory;
  if (count > 0xffff) {  // the zip64 end record and its locator
    Put(&out, "48224488884484",
        {0x06064b50, 44, 45, 45, 0, 0, count, count, length, offset, 0x07064b50, 0, offset + length,
         1});
  }
  const uint64_t count16 = count > 0xffff ? 0xffff : count;
  Put(&out, "4422442", {0x06054b50, 0, count16, count16, length, offset, 0});
  return out;
}

}  // namespace testing_support
