// Builds zip packages byte by byte for tests, benchmarks and fuzz seeds, so that fixtures are
// made where they are used and can be broken on purpose (a wrong CRC, a lying size, the
// encryption flag, any host kind, attributes and extra field). Data is stored or deflated with
// zlib. Used on one thread at a time.
//
//   std::string zip = testing_support::BuildZip({ZipFile("a/b.txt", "hello"), ZipDir("c/")});
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ZipFixtureEntry {
  std::string name;
  std::string data;
  bool deflate = true;
  uint8_t host = 3;  // made on: 0 MS-DOS, 3 Unix, 10 NTFS ...
  uint32_t external_attributes = 0100644u << 16;
  bool encrypted = false;   // sets the flag only; the data stays plain
  std::string local_extra;  // the local header's extra field
  uint16_t dos_time = 0;
  uint16_t dos_date = (1 << 5) | 1;  // 1980-01-01
  bool wrong_crc = false;
  std::optional<uint32_t> declared_size;  // the uncompressed size written, when it must lie
};

ZipFixtureEntry ZipFile(std::string name, std::string data);
// A directory entry as Unix zip tools write it: name ending in "/", mode 040755.
ZipFixtureEntry ZipDir(std::string name);
// An extended timestamp ("UT") block carrying the times whose flag bits are set.
std::string ExtendedTimestamp(uint8_t flags, uint32_t modified, uint32_t accessed,
                              uint32_t created);

std::string BuildZip(const std::vector<ZipFixtureEntry>& entries);

}  // namespace testing_support
