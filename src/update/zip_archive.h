// The zip layer under package unpacking: opens a zip package through minizip's unzip layer,
// reads each entry's information (sanitised name, Windows attributes, times) and inflates an
// entry into a file below an output directory. Results are the zip layer's codes below; the
// code of the last operation is also kept in one process-wide variable (LastZipResult).
//
// Packages are untrusted. The central directory is walked with a cursor (the next entry, or an
// offset saved on the way), never from the start again. Entries above kMaxZipEntrySize, with an
// inflation ratio above kMaxZipInflationRatio, encrypted entries, links and names that would
// leave the destination are refused; packages with more than kMaxZipEntries entries do not open.
//
//   std::unique_ptr<ZipArchive> zip = ZipArchive::Open(u"/tmp/pkg.zip");
//   ZipEntry count;
//   zip->GetEntry(-1, &count);                    // count.index: number of entries
//   for (int i = 0; i < count.index; ++i) zip->UnzipEntry(i, output);
//
// A ZipArchive is used by one thread at a time; LastZipResult may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace halcy {
class OutputDirectory;
}

namespace Logic {

using ZRESULT = uint32_t;
inline constexpr ZRESULT ZR_OK = 0x00000000;
inline constexpr ZRESULT ZR_NOFILE = 0x00000200;    // output file cannot be created
inline constexpr ZRESULT ZR_WRITE = 0x00000400;     // write to the output file failed
inline constexpr ZRESULT ZR_PASSWORD = 0x00001000;  // entry is encrypted
inline constexpr ZRESULT ZR_ARGS = 0x00010000;      // bad arguments
inline constexpr ZRESULT ZR_NOTOPEN = 0x00080000;   // no open zip
inline constexpr ZRESULT ZR_FLATE = 0x05000000;     // inflate failed

inline constexpr uint64_t kMaxZipEntrySize = 512ull << 20;
inline constexpr uint64_t kMaxZipEntries = 100000;
inline constexpr uint64_t kMaxZipInflationRatio = 1000;
inline constexpr size_t kMaxZipEntryName = 259;  // characters kept of an entry's name

// Windows file attributes as the entries carry them.
inline constexpr uint32_t kZipAttributeReadOnly = 0x01;
inline constexpr uint32_t kZipAttributeHidden = 0x02;
inline constexpr uint32_t kZipAttributeSystem = 0x04;
inline constexpr uint32_t kZipAttributeDirectory = 0x10;
inline constexpr uint32_t kZipAttributeArchive = 0x20;

struct ZipEntry {
  int index = 0;        // position in the directory; for entry -1 the number of entries
  std::u16string name;  // sanitised relative path
  uint32_t attributes = 0;
  int64_t creation_time = 0;  // FILETIME values: 100 ns since 1601-01-01 UTC
  int64_t access_time = 0;
  int64_t write_time = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  bool encrypted = false;
  bool symbolic_link = false;  // a Unix link entry: never created
};

// The code of the last zip operation of the process.
ZRESULT LastZipResult();

// Drops drive prefixes, leading separators and everything up to a parent step between
// separators, repeated until nothing changes. What is left may still hold "..", "." or empty
// components: SplitZipEntryPath refuses those.
std::u16string SanitizeZipEntryName(std::u16string name);

// Splits a sanitised name at "/" and "\" into the components of the output path; false when a
// component is "..", ".", empty, a drive or holds a control character. A directory entry may end
// with one separator.
bool SplitZipEntryPath(std::u16string_view name, bool directory,
                       std::vector<std::u16string>* components);

// Why an entry would be refused (ZR_OK when it would be unpacked), from its information alone.
ZRESULT CheckZipEntry(const ZipEntry& entry);

class ZipArchive {
 public:
  // Opens `path` ("/" or "\" separators); null (LastZipResult ZR_NOTOPEN) when it is not a
  // readable zip or has more than kMaxZipEntries entries.
  static std::unique_ptr<ZipArchive> Open(const std::u16string& path);
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  int entry_count() const { return count_; }

  // Entry `index`, or for -1 the number of entries in `entry->index`.
  ZRESULT GetEntry(int index, ZipEntry* entry);

  // Writes entry `index` below `output` at its sanitised name. A failed entry may leave its
  // partial file behind.
  ZRESULT UnzipEntry(int index, const halcy::OutputDirectory& output);

 private:
  ZipArchive(void* file, int count);
  ZRESULT MoveTo(int index);
  ZRESULT ReadCurrent(int index, ZipEntry* entry);
  ZRESULT WriteCurrent(const ZipEntry& entry, const std::vector<std::u16string>& components,
                       const halcy::OutputDirectory& output);

  void* file_;  // minizip's unzFile; owned
  int count_;
  int current_ = 0;  // the entry minizip's cursor stands on
  // Directory offsets of the entries stepped over so far, by index.
  std::vector<std::pair<uint64_t, uint64_t>> positions_;
};

}  // namespace Logic
