// Fuzzes the zip layer with whole packages: central directories, local headers, extra fields
// and entry names. Each input is written to a package file, opened, walked (forward and back)
// and unpacked into an empty directory. Properties checked:
// - a sanitised name that SplitZipEntryPath accepts has only safe components;
// - nothing is ever created beside the destination directory;
// - every entry's result is one of the zip layer's codes.
// The input is also read as one entry name, so names are fuzzed without a valid directory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/output_directory.h"
#include "platform/strings.h"
#include "update/zip_archive.h"

namespace {

namespace fs = std::filesystem;

const fs::path& Root() {
  static const fs::path root = [] {
    char pattern[] = "/tmp/zip_fuzzer.XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    return fs::path(pattern);
  }();
  return root;
}

void CheckName(const std::u16string& raw) {
  const std::u16string name = Logic::SanitizeZipEntryName(raw);
  std::vector<std::u16string> components;
  if (!Logic::SplitZipEntryPath(name, false, &components)) return;
  for (const std::u16string& c : components) {
    if (!halcy::IsSafeComponent(c)) std::abort();
  }
}

bool IsZipCode(Logic::ZRESULT r) {
  return r == Logic::ZR_OK || r == Logic::ZR_NOFILE || r == Logic::ZR_WRITE ||
         r == Logic::ZR_PASSWORD || r == Logic::ZR_ARGS || r == Logic::ZR_FLATE;
}

void Unpack(const fs::path& package, const fs::path& destination) {
  std::unique_ptr<Logic::ZipArchive> zip =
      Logic::ZipArchive::Open(halcy::Utf8ToUtf16(package.string()));
  if (!zip) return;
  halcy::OutputDirectory output;
  if (!output.Open(halcy::Utf8ToUtf16(destination.string()))) std::abort();
  const int count = zip->entry_count() < 64 ? zip->entry_count() : 64;
  for (int index = count - 1; index >= 0; --index) {
    Logic::ZipEntry entry;
    if (zip->GetEntry(index, &entry) == Logic::ZR_OK) CheckName(entry.name);
  }
  for (int index = 0; index < count; ++index) {
    if (!IsZipCode(zip->UnzipEntry(index, output))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckName(halcy::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
  const fs::path package = Root() / "in.zip";
  const fs::path destination = Root() / "dest";
  FILE* file = std::fopen(package.c_str(), "wb");
  if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
  Unpack(package, destination);
  for (const fs::directory_entry& item : fs::directory_iterator(Root())) {
    if (item.path() != package && item.path() != destination) std::abort();
  }
  fs::remove_all(destination);
  return 0;
}
