#include "update/zip_archive.h"

#include <minizip/unzip.h>

#include <atomic>
#include <ctime>

#include "common/log.h"
#include "platform/file_system.h"
#include "platform/output_directory.h"
#include "platform/strings.h"
#include "update/zip_window_file.h"

namespace Logic {
namespace {

std::atomic<ZRESULT> g_last_result{ZR_OK};

ZRESULT Remember(ZRESULT result) {
  g_last_result.store(result, std::memory_order_relaxed);
  return result;
}

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr size_t kChunkSize = 16384;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"

int64_t UnixToFileTime(int64_t seconds) { return (seconds + kSecondsFrom1601To1970) * 10000000; }

// The entry's MS-DOS date and time are local time.
int64_t DosTimeToFileTime(const tm_unz& dos) {
  std::tm local{};
  local.tm_year = static_cast<int>(dos.tm_year) - 1900;
  local.tm_mon = static_cast<int>(dos.tm_mon);
  local.tm_mday = static_cast<int>(dos.tm_mday);
  local.tm_hour = static_cast<int>(dos.tm_hour);
  local.tm_min = static_cast<int>(dos.tm_min);
  local.tm_sec = static_cast<int>(dos.tm_sec);
  local.tm_isdst = -1;
  const std::time_t utc = std::mktime(&local);
  return UnixToFileTime(utc == static_cast<std::time_t>(-1) ? 0 : utc);
}

uint32_t ReadLittleEndian(const unsigned char* bytes, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// Replaces the times that an extended timestamp block ("UT") in `extra` carries.
void ApplyExtendedTimestamp(const unsigned char* extra, size_t size, ZipEntry* entry) {
  size_t at = 0;
  while (at + 4 <= size) {
    const uint32_t tag = ReadLittleEndian(extra + at, 2);
    const size_t length = ReadLittleEndian(extra + at + 2, 2);
    const unsigned char* data = extra + at + 4;
    at += 4 + length;
    if (at > size) return;
    if (tag != kExtendedTimestampTag || length < 1) continue;
    int64_t* const targets[3] = {&entry->write_time, &entry->access_time, &entry->creation_time};
    size_t offset = 1;
    for (int bit = 0; bit < 3; ++bit) {
      if (!(data[0] & (1 << bit))) continue;
      if (offset + 4 > length) return;
      const auto seconds = static_cast<int32_t>(ReadLittleEndian(data + offset, 4));
      *targets[bit] = UnixToFileTime(seconds);
      offset += 4;
    }
    return;
  }
}

// Windows attributes from the directory record: MS-DOS and Windows hosts carry them as they
// are; the others carry a Unix mode in the upper half.
uint32_t EntryAttributes(const unz_file_info64& info) {
  const uint32_t host = info.version >> 8;
  const uint32_t external = static_cast<uint32_t>(info.external_fa);
  if (host == 0 || host == 7 || host == 11 || host == 14) return external & 0x37;
  uint32_t attributes = kZipAttributeArchive;
  if (external & (1u << 30)) attributes |= kZipAttributeDirectory;
  if (!(external & (1u << 23))) attributes |= kZipAttributeReadOnly;
  return attributes;
}

bool IsUnixLink(const unz_file_info64& info) {
  const uint32_t host = info.version >> 8;
  const uint32_t mode = static_cast<uint32_t>(info.external_fa >> 16);
  return host != 0 && host != 7 && host != 11 && host != 14 && (mode & 0170000) == 0120000;
}

bool EndsWithSeparator(std::u16string_view name) {
  return !name.empty() && (name.back() == u'/' || name.back() == u'\\');
}

bool IsDirectory(const ZipEntry& entry) { return (entry.attributes & kZipAttributeDirectory) != 0; }

// Drops one step of the sanitising; false when there was nothing to drop.
bool DropUnsafePrefix(std::u16string* name) {
  if (name->size() >= 2 && (*name)[1] == u':' && ((*name)[0] | 0x20) >= u'a' &&
      ((*name)[0] | 0x20) <= u'z') {
    name->erase(0, 2);
    return true;
  }
  if (!name->empty() && (name->front() == u'\\' || name->front() == u'/')) {
    name->erase(0, 1);
    return true;
  }
  for (const char16_t* step : {u"\\..\\", u"\\../", u"/../", u"/..\\"}) {
    const size_t found = name->find(step);
    if (found != std::u16string::npos) {
      name->erase(0, found + 4);
      return true;
    }
  }
  return false;
}

}  // namespace

ZRESULT LastZipResult() { return g_last_result.load(std::memory_order_relaxed); }

std::u16string SanitizeZipEntryName(std::u16string name) {
  while (DropUnsafePrefix(&name)) {
  }
  return name;
}

bool SplitZipEntryPath(std::u16string_view name, bool directory,
                       std::vector<std::u16string>* components) {
  components->clear();
  if (directory && EndsWithSeparator(name)) name.remove_suffix(1);
  size_t start = 0;
  while (true) {
    size_t end = name.find_first_of(u"/\\", start);
    if (end == std::u16string_view::npos) end = name.size();
    const std::u16string_view part = name.substr(start, end - start);
    if (!halcy::IsSafeComponent(part)) return false;
    components->emplace_back(part);
    if (end == name.size()) return true;
    start = end + 1;
  }
}

ZRESULT CheckZipEntry(const ZipEntry& entry) {
  std::vector<std::u16string> components;
  if (entry.symbolic_link || !SplitZipEntryPath(entry.name, IsDirectory(entry), &components)) {
    return ZR_NOFILE;
  }
  if (IsDirectory(entry)) return ZR_OK;
  if (entry.encrypted) return ZR_PASSWORD;
  if (entry.uncompressed_size > kMaxZipEntrySize ||
      entry.uncompressed_size > entry.compressed_size * kMaxZipInflationRatio) {
    return ZR_FLATE;
  }
  return ZR_OK;
}

ZipArchive::ZipArchive(void* file, int count) : file_(file), count_(count) {
  positions_.reserve(static_cast<size_t>(count));
}

ZipArchive::~ZipArchive() { unzClose(static_cast<unzFile>(file_)); }

std::unique_ptr<ZipArchive> ZipArchive::Open(const std::u16string& path) {
  zlib_filefunc64_def functions;
  FillZipWindowFileFunctions(&functions);
  unzFile file = unzOpen2_64(halcy::ToNativePath(path).c_str(), &functions);
  if (!file) {
    Remember(ZR_NOTOPEN);
    return nullptr;
  }
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(file, &global) != UNZ_OK || global.number_entry > kMaxZipEntries) {
    Log(64, u"extCloud;", u"zip: refused %s (%I64d entries)", path.c_str(),
        static_cast<int64_t>(global.number_entry));
    unzClose(file);
    Remember(ZR_NOTOPEN);
    return nullptr;
  }
  Remember(ZR_OK);
  return std::unique_ptr<ZipArchive>(new ZipArchive(file, static_cast<int>(global.number_entry)));
}

// Steps the cursor to `index`: one step forward from where it stands, a jump to an offset
// saved on an earlier pass, or forward steps from the last saved offset.
ZRESULT ZipArchive::MoveTo(int index) {
  unzFile file = static_cast<unzFile>(file_);
  if (index < 0 || index >= count_) return ZR_ARGS;
  if (positions_.empty()) {
    if (unzGoToFirstFile(file) != UNZ_OK) return ZR_FLATE;
    current_ = 0;
    unz64_file_pos pos{};
    unzGetFilePos64(file, &pos);
    positions_.emplace_back(pos.pos_in_zip_directory, pos.num_of_file);
  }
  if (index == current_) return ZR_OK;
  if (static_cast<size_t>(index) < positions_.size()) {
    unz64_file_pos pos{positions_[index].first, positions_[index].second};
    if (unzGoToFilePos64(file, &pos) != UNZ_OK) return ZR_FLATE;
    current_ = index;
    return ZR_OK;
  }
  if (current_ != static_cast<int>(positions_.size()) - 1) {
    const ZRESULT result = MoveTo(static_cast<int>(positions_.size()) - 1);
    if (result != ZR_OK) return result;
  }
  while (current_ < index) {
    if (unzGoToNextFile(file) != UNZ_OK) return ZR_FLATE;
    ++current_;
    unz64_file_pos pos{};
    unzGetFilePos64(file, &pos);
    positions_.emplace_back(pos.pos_in_zip_directory, pos.num_of_file);
  }
  return ZR_OK;
}

ZRESULT ZipArchive::ReadCurrent(int index, ZipEntry* entry) {
  unzFile file = static_cast<unzFile>(file_);
  unz_file_info64 info{};
  char name[1024];
  if (unzGetCurrentFileInfo64(file, &info, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK) {
    return ZR_FLATE;
  }
  const size_t length = info.size_filename < sizeof(name) ? info.size_filename : sizeof(name) - 1;
  std::u16string wide = halcy::Utf8ToUtf16(std::string_view(name, length));
  if (wide.size() > kMaxZipEntryName) wide.resize(kMaxZipEntryName);
  *entry = ZipEntry();
  entry->index = index;
  entry->name = SanitizeZipEntryName(std::move(wide));
  entry->attributes = EntryAttributes(info);
  if (EndsWithSeparator(entry->name)) entry->attributes |= kZipAttributeDirectory;
  entry->creation_time = entry->access_time = entry->write_time = DosTimeToFileTime(info.tmu_date);
  entry->compressed_size = info.compressed_size;
  entry->uncompressed_size = info.uncompressed_size;
  entry->encrypted = (info.flag & 1) != 0;
  entry->symbolic_link = IsUnixLink(info);
  // The local header's extra field holds the full timestamp block; a raw open reads it without
  // inflating or decrypting anything.
  if (unzOpenCurrentFile2(file, nullptr, nullptr, 1) == UNZ_OK) {
    unsigned char extra[65536];
    const int size = unzGetLocalExtrafield(file, extra, sizeof(extra));
    if (size > 0) ApplyExtendedTimestamp(extra, static_cast<size_t>(size), entry);
    unzCloseCurrentFile(file);
  }
  return ZR_OK;
}

ZRESULT ZipArchive::GetEntry(int index, ZipEntry* entry) {
  if (!entry || index < -1) return Remember(ZR_ARGS);
  if (index == -1) {
    *entry = ZipEntry();
    entry->index = count_;
    return Remember(ZR_OK);
  }
  ZRESULT result = MoveTo(index);
  if (result == ZR_OK) result = ReadCurrent(index, entry);
  return Remember(result);
}

ZRESULT ZipArchive::UnzipEntry(int index, const halcy::OutputDirectory& output) {
  ZipEntry entry;
  ZRESULT result = GetEntry(index, &entry);
  if (result != ZR_OK) return result;
  result = CheckZipEntry(entry);
  std::vector<std::u16string> components;
  if (result == ZR_OK) SplitZipEntryPath(entry.name, IsDirectory(entry), &components);
  if (result != ZR_OK) {
    Log(64, u"extCloud;", u"zip: entry %d (%s) refused, 0x%X", index, entry.name.c_str(), result);
    return Remember(result);
  }
  if (IsDirectory(entry)) {
    return Remember(output.CreateDirectories(components) ? ZR_OK : ZR_NOFILE);
  }
  return Remember(WriteCurrent(entry, components, output));
}

ZRESULT ZipArchive::WriteCurrent(const ZipEntry& entry,
                                 const std::vector<std::u16string>& components,
                                 const halcy::OutputDirectory& output) {
  unzFile file = static_cast<unzFile>(file_);
  if (unzOpenCurrentFile(file) != UNZ_OK) return ZR_FLATE;
  halcy::OutputFile out = output.CreateFile(components);
  if (!out.valid()) {
    unzCloseCurrentFile(file);
    return ZR_NOFILE;
  }
  static thread_local char buffer[kChunkSize];
  uint64_t total = 0;
  ZRESULT result = ZR_OK;
  while (result == ZR_OK) {
    const int read = unzReadCurrentFile(file, buffer, sizeof(buffer));
    if (read == 0) break;
    if (read < 0)
      result = ZR_FLATE;
    else if (!out.Write(buffer, static_cast<size_t>(read)))
      result = ZR_WRITE;
    total += read > 0 ? static_cast<uint64_t>(read) : 0;
  }
  // A CRC mismatch, or data that ends before the size the directory gives, is a broken stream.
  if (unzCloseCurrentFile(file) != UNZ_OK && result == ZR_OK) result = ZR_FLATE;
  if (result == ZR_OK && total != entry.uncompressed_size) result = ZR_FLATE;
  if (result != ZR_OK) return result;
  const bool read_only = (entry.attributes & kZipAttributeReadOnly) != 0;
  // Linux keeps no creation time; the access and write times are set.
  return out.Finish(entry.access_time, entry.write_time, read_only) ? ZR_OK : ZR_WRITE;
}

}  // namespace Logic
