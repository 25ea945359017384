// What every extension must meet before the manager or the browser takes it: an id that can
// name its directory, a manifest of bounded size, and icons of bounded size. All come from
// outside (a user, a package, an update server), so they are checked wherever an extension
// enters or one of its files is read.
//
// Safe to call from any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Logic {

// The largest manifest.json accepted, in bytes. Manifests are kept whole in the extension
// database and parsed on every start; real ones are a few KiB.
inline constexpr size_t kMaxManifestBytes = 1024 * 1024;

// The largest icon file a manifest may name, in bytes, and the most pixels it may have across
// and down. Icons are decoded on every start to be inlined into the front end's summary, and
// decoding costs memory by the pixel; real icons are a few KiB and at most 256 pixels wide.
inline constexpr size_t kMaxIconBytes = 1024 * 1024;
inline constexpr uint32_t kMaxIconSide = 1024;

enum class ExtensionIdCheck {
  kUsable,
  // Not 1 to 128 of letters, digits, "-", "_" and "." beginning with something other than ".".
  // Ids name directories and are joined with commas in the installed list.
  kMalformed,
  // A name the manager uses for its own files and folders in the extension data directory:
  // the store and version files, "updatetemp", "downloadtemp", the files of the update tracker
  // and the install guide, and backup folders (anything ending in "backups"). Compared without
  // regard to case, since the system's file names are.
  kReserved,
};

ExtensionIdCheck CheckExtensionId(std::u16string_view id);

}  // namespace Logic
