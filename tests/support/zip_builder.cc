#include "support/zip_builder.h"

#include <zlib.h>

#include <cstdlib>

namespace testing_support {
namespace {

void Put(std::string* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string Deflate(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    std::abort();
  }
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

ZipFixtureEntry ZipFile(std::string name, std::string data) {
  ZipFixtureEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  return entry;
}

ZipFixtureEntry ZipDir(std::string name) {
  ZipFixtureEntry entry;
  entry.name = std::move(name);
  entry.deflate = false;
  entry.external_attributes = (040755u << 16) | 0x10;
  return entry;
}

std::string ExtendedTimestamp(uint8_t flags, uint32_t modified, uint32_t accessed,
                              uint32_t created) {
  std::string data(1, static_cast<char>(flags));
  if (flags & 1) Put(&data, modified, 4);
  if (flags & 2) Put(&data, accessed, 4);
  if (flags & 4) Put(&data, created, 4);
  std::string block;
  Put(&block, 0x5455, 2);
  Put(&block, static_cast<uint32_t>(data.size()), 2);
  return block + data;
}

std::string BuildZip(const std::vector<ZipFixtureEntry>& entries) {
  std::string out;
  std::string directory;
  for (const ZipFixtureEntry& e : entries) {
    const std::string stored = e.deflate ? Deflate(e.data) : e.data;
    uint32_t crc =
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
    if (e.wrong_crc) crc ^= 0x5a5a5a5a;
    const uint32_t size = e.declared_size.value_or(static_cast<uint32_t>(e.data.size()));
    const uint32_t offset = static_cast<uint32_t>(out.size());
    std::string common;  // version needed .. name length, shared by both headers
    Put(&common, 20, 2);
    Put(&common, e.encrypted ? 1 : 0, 2);
    Put(&common, e.deflate ? 8 : 0, 2);
    Put(&common, e.dos_time, 2);
    Put(&common, e.dos_date, 2);
    Put(&common, crc, 4);
    Put(&common, static_cast<uint32_t>(stored.size()), 4);
    Put(&common, size, 4);
    Put(&common, static_cast<uint32_t>(e.name.size()), 2);
    Put(&out, 0x04034b50, 4);
    out += common;
    Put(&out, static_cast<uint32_t>(e.local_extra.size()), 2);
    out += e.name + e.local_extra + stored;
    Put(&directory, 0x02014b50, 4);
    Put(&directory, (uint32_t{e.host} << 8) | 20, 2);
    directory += common;
    Put(&directory, 0, 2);  // extra
    Put(&directory, 0, 2);  // comment
    Put(&directory, 0, 2);  // disk
    Put(&directory, 0, 2);  // internal attributes
    Put(&directory, e.external_attributes, 4);
    Put(&directory, offset, 4);
    directory += e.name;
  }
  const uint32_t directory_offset = static_cast<uint32_t>(out.size());
  out += directory;
  // Past 65535 entries the count only fits the zip64 end record (and its locator).
  const bool zip64 = entries.size() > 0xffff;
  if (zip64) {
    const uint32_t record_offset = static_cast<uint32_t>(out.size());
    Put(&out, 0x06064b50, 4);
    Put(&out, 44, 4);
    Put(&out, 0, 4);
    Put(&out, 45, 2);
    Put(&out, 45, 2);
    Put(&out, 0, 4);
    Put(&out, 0, 4);
    for (uint64_t value : {uint64_t{entries.size()}, uint64_t{entries.size()},
                           uint64_t{directory.size()}, uint64_t{directory_offset}}) {
      Put(&out, static_cast<uint32_t>(value), 4);
      Put(&out, static_cast<uint32_t>(value >> 32), 4);
    }
    Put(&out, 0x07064b50, 4);
    Put(&out, 0, 4);
    Put(&out, record_offset, 4);
    Put(&out, 0, 4);
    Put(&out, 1, 4);
  }
  const uint32_t count = zip64 ? 0xffff : static_cast<uint32_t>(entries.size());
  Put(&out, 0x06054b50, 4);
  Put(&out, 0, 4);
  Put(&out, count, 2);
  Put(&out, count, 2);
  Put(&out, static_cast<uint32_t>(directory.size()), 4);
  Put(&out, directory_offset, 4);
  Put(&out, 0, 2);
  return out;
}

}  // namespace testing_support
