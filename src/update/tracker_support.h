// The update tracker's building blocks that hold no tracker state: the request query sent to
// the update server, the checks on what a server, a package or a selection file hands us
// (extension ids, "sha256" digests, list entries), the XML reply unwrap, the staging of an
// unpacked package and the list of native files to remove later ("extensionunloadlist.ini").
//
//   std::string body = Utf16ToUtf8(BuildRequestQuery(browser_version)) + "&comp_names=extsetup";
//   TrackerListEntry entry;
//   if (ReadListEntry(*element, u"setup list", &entry)) { ... }
//
// Thread-safe: BuildRequestQuery caches its result under a lock; the rest keeps no state.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

namespace Logic {

class CJsonValue;

// The query shared by both list requests, without "&comp_names=...": built once per process
// and kept; a build that found no "autoupdate.ini" gives "" and is tried again next time.
std::u16string BuildRequestQuery(const std::u16string& browser_version);
void ResetRequestQueryForTesting();

// "%u.%u.%u" of the kernel release (major, minor, patch), "0.0.0" when it cannot be read.
std::u16string OsVersionText();

// The member `key` of `object`, or null when `object` is not an object or has no such member.
const CJsonValue* JsonMember(const CJsonValue& object, std::u16string_view key);

// True for an id of 1 to 128 letters, digits, ".", "_" and "-" that the manager may use as a
// directory name; otherwise logs "extlist: ... id '%s' skipped" naming `source` and is false.
bool IsUsableTrackerId(const std::u16string& id, const char16_t* source);

// One entry of the setup, update or local-selection list, checked.
struct TrackerListEntry {
  std::u16string id;
  std::u16string url;
  LONG state = 1;
  LONG type = 0;
  std::u16string lowest_browser = u"0.0.0.0";
  std::u16string version;
  std::u16string sha256;  // lower-case, or empty
};

// Reads "url", "state", "type", "lowestbrowser", "version" and "sha256" of `entry` (an
// object) into `out` (whose id the caller set). False, logged, when "sha256" is present but
// not 64 hex digits, or a field has the wrong type.
bool ReadListEntry(const CJsonValue& entry, const char16_t* source, TrackerListEntry* out);

// True when the SHA-256 of the file at `path` is `hex` (lower-case).
bool FileMatchesSha256(const std::u16string& path, const std::u16string& hex);

// The payload of an XML reply: the text of a root element named "result" (any case), or ""
// for any other root, a document that does not load, or no document object.
std::u16string ExtractXmlResult(const std::u16string& text);

// Unpacks `zip` (deleted afterwards) into a new folder below `staging_root`, finds the folder
// holding "manifest.json" (the staging folder itself or its only subfolder) and renames it to
// `target`, replacing an older `target`. False, with the staging folder removed and nothing
// at `target` changed, when any step fails.
bool StagePackage(const std::u16string& zip, const std::u16string& staging_root,
                  const std::u16string& target);

// Adds `path` to the unload list `ini_file` unless it is there already (ignoring case).
void AddToUnloadList(const std::u16string& ini_file, const std::u16string& path);

}  // namespace Logic
