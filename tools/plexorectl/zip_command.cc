// plexorectl zip list|check|extract ZIP [DIR]: looks into an extension package, reports what
// unpacking would refuse, and unpacks it the way the module does.

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "command.h"
#include "platform/strings.h"
#include "update/zip_archive.h"
#include "update/zip_package.h"

namespace plexorectl {
namespace {

int RunZip(const std::vector<std::string>& args);

}  // namespace

extern const Command kZipCommand = {
    "zip",
    "list|check|extract ZIP [DIR]",
    "List, check or unpack a zip package",
    "list     writes one line per entry: attributes (R read-only, H hidden, S system,\n"
    "         D directory, A archive), size, compressed size and the sanitised name,\n"
    "         separated by tabs.\n"
    "check    writes every entry that unpacking would refuse, with the reason: a name that\n"
    "         leaves the destination, a link, encryption, more than 512 MiB or an inflation\n"
    "         ratio past 1000:1. Exit status 1 when there is any.\n"
    "extract  unpacks ZIP into DIR as the extension system does, with a progress line on\n"
    "         standard error for packages over 1 MiB. ZIP itself is kept: plexorectl unpacks\n"
    "         a copy, which is deleted afterwards (the extension system deletes the package).\n"
    "\n"
    "Exit status: 0 done, 1 unreadable package, refused entries (check) or nothing unpacked\n"
    "(extract), 2 for a wrong command line.\n",
    RunZip,
};

namespace {

constexpr uintmax_t kProgressThreshold = 1 << 20;

std::string AttributeLetters(uint32_t attributes) {
  const std::pair<uint32_t, char> letters[] = {{Logic::kZipAttributeReadOnly, 'R'},
                                               {Logic::kZipAttributeHidden, 'H'},
                                               {Logic::kZipAttributeSystem, 'S'},
                                               {Logic::kZipAttributeDirectory, 'D'},
                                               {Logic::kZipAttributeArchive, 'A'}};
  std::string text;
  for (const auto& [bit, letter] : letters) text += (attributes & bit) ? letter : '-';
  return text;
}

const char* RefusalReason(const Logic::ZipEntry& entry, Logic::ZRESULT result) {
  if (result == Logic::ZR_NOFILE) {
    return entry.symbolic_link ? "a symbolic link" : "the name leaves the destination";
  }
  if (result == Logic::ZR_PASSWORD) return "encrypted";
  if (entry.uncompressed_size > Logic::kMaxZipEntrySize) return "larger than 512 MiB";
  return "inflation ratio past 1000:1";
}

// Calls `visit` for each entry of `path`; false (with a message) when the package is unreadable.
template <typename Visit>
bool ForEachEntry(const std::string& path, Visit visit) {
  std::unique_ptr<Logic::ZipArchive> zip = Logic::ZipArchive::Open(halcy::Utf8ToUtf16(path));
  if (!zip) {
    std::fprintf(stderr, "plexorectl zip: %s: not a readable zip package\n", path.c_str());
    return false;
  }
  for (int index = 0; index < zip->entry_count(); ++index) {
    Logic::ZipEntry entry;
    if (zip->GetEntry(index, &entry) != Logic::ZR_OK) {
      std::fprintf(stderr, "plexorectl zip: %s: entry %d is unreadable\n", path.c_str(), index);
      return false;
    }
    visit(entry);
  }
  return true;
}

int List(const std::string& path) {
  const bool ok = ForEachEntry(path, [](const Logic::ZipEntry& entry) {
    std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t%s\n", AttributeLetters(entry.attributes).c_str(),
                entry.uncompressed_size, entry.compressed_size,
                halcy::Utf16ToUtf8(entry.name).c_str());
  });
  return ok ? kExitOk : kExitFailure;
}

int Check(const std::string& path) {
  int refused = 0;
  const bool ok = ForEachEntry(path, [&refused](const Logic::ZipEntry& entry) {
    const Logic::ZRESULT result = Logic::CheckZipEntry(entry);
    if (result == Logic::ZR_OK) return;
    ++refused;
    std::printf("%d\t%s\t0x%08X %s\n", entry.index, halcy::Utf16ToUtf8(entry.name).c_str(), result,
                RefusalReason(entry, result));
  });
  return ok && refused == 0 ? kExitOk : kExitFailure;
}

int Extract(const std::string& path, const std::string& directory) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error) {
    std::fprintf(stderr, "plexorectl zip: %s: %s\n", path.c_str(), error.message().c_str());
    return kExitFailure;
  }
  // The module deletes the package it unpacks; it gets a copy so that ZIP stays.
  const std::string copy = (std::filesystem::temp_directory_path() /
                            ("plexorectl-zip-" + std::to_string(::getpid()) + ".zip"))
                               .string();
  if (!std::filesystem::copy_file(path, copy, error)) {
    std::fprintf(stderr, "plexorectl zip: cannot copy %s: %s\n", path.c_str(),
                 error.message().c_str());
    return kExitFailure;
  }
  Logic::ZipProgress progress;
  if (size > kProgressThreshold) {
    progress = [](int done, int total) {
      std::fprintf(stderr, "\rplexorectl zip: %d/%d entries", done, total);
      if (done == total) std::fputc('\n', stderr);
    };
  }
  if (!Logic::UnzipPackage(halcy::Utf8ToUtf16(copy), halcy::Utf8ToUtf16(directory), progress)) {
    std::fprintf(stderr, "plexorectl zip: nothing unpacked from %s\n", path.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int RunZip(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kZipCommand, stdout);
    return kExitOk;
  }
  if (args.size() == 2 && args[0] == "list") return List(args[1]);
  if (args.size() == 2 && args[0] == "check") return Check(args[1]);
  if (args.size() == 3 && args[0] == "extract") return Extract(args[1], args[2]);
  return UsageError(kZipCommand, "needs list ZIP, check ZIP or extract ZIP DIR");
}

}  // namespace
}  // namespace plexorectl
