// Builds zip packages byte by byte for tests and benchmarks, so that a fixture can be broken on
// purpose (a wrong CRC, a lying size, the encryption flag, any host and attributes). Data is
// deflated, empty entries stored; every entry is dated 2020-01-02 03:04:06 (DOS local time).
//
//   std::string zip = testing_support::BuildZip({ZipFile("a/b.txt", "hello"), ZipFile("c/", "")});
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ZipFixtureEntry {
  std::string name{}, data{};
  uint32_t external_attributes = 0100644u << 16;
  uint8_t host = 3;                           // made on: 0 MS-DOS, 3 Unix, 11 NTFS ...
  bool encrypted = false, wrong_crc = false;  // the flag only (the data stays plain); a bad CRC
  std::optional<uint32_t> declared_size{};    // the uncompressed size written, when it must lie
  std::string local_extra{};                  // the local header's extra field
};

inline ZipFixtureEntry ZipFile(std::string name, std::string data) { return {name, data}; }
// Past 65535 entries the zip64 end records are written too.
std::string BuildZip(const std::vector<ZipFixtureEntry>& entries);

}  // namespace testing_support
