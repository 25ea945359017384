// Unpacks a downloaded extension or application package into a directory, then deletes the
// package whatever the outcome. Each entry goes through the zip layer (update/zip_archive.h):
// names are sanitised and checked, nothing is written outside the destination, and a failed
// entry is skipped (its partial file may stay) while the others are unpacked.
//
//   if (UnzipPackage(u"C:\\dl\\abc.zip", u"C:\\ext\\abc")) { ... }
//
// Thread-safe: packages may be unpacked from any thread, one call per package.
#pragma once

#include <functional>
#include <string>

namespace Logic {

// Told after each entry: how many entries are done, out of how many.
using ZipProgress = std::function<void(int done, int total)>;

// Unpacks `zip_path` into `destination` (created when missing) and deletes `zip_path`. True when
// at least one entry was written. A missing `zip_path` gives false at once, deleting nothing.
bool UnzipPackage(const std::u16string& zip_path, const std::u16string& destination,
                  const ZipProgress& progress = {});

}  // namespace Logic
