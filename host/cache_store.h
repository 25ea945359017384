// The browser's cache store (ICacheStore, reached through IChannelInfo slot 11): named entries,
// each an ordered list of strings, in which the module keeps a fast copy of the installed list.
//
// Persistence is a journal of JSON lines in the system data directory ("cachestore.jsonl"):
//   {"name":"ext_list","values":["ext_a","ext_b"]}
// Every WriteEntry appends one line with a single write, so the module's save of a thousand
// records costs a thousand small appends rather than a thousand rewrites; a later line for the
// same name replaces the earlier one. A line cut short by a crash (the last one, without its
// line feed) is dropped at open, which leaves the entry's previous value. When the journal has
// grown well past its live content (and at open when it holds a cut line or much dead text) it
// is compacted: rewritten through host::ReplaceFileDurably, so it is always whole. A journal
// with a damaged complete line is moved aside as "cachestore.jsonl.corrupt-YYYYMMDD-HHMMSS",
// reported at level 64 ("oldlog;"), and the store starts empty.
//
// Thread-safe: any thread; one lock serialises the entries and the journal. The caller's
// string list is read before the lock is taken.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "module/channel_info.h"
#include "platform/com_object.h"

namespace host {

class CCacheStore : public halcy::ComObjectRoot, public Logic::ICacheStore {
 public:
  HALCY_BEGIN_INTERFACES(CCacheStore)
  HALCY_INTERFACE(CCacheStore, Logic::ICacheStore)
  HALCY_END_INTERFACES()

  // The journal's name in the system data directory.
  static constexpr char16_t kFileName[] = u"cachestore.jsonl";

  // Loads the journal at the absolute Windows-style `path`. False when an existing journal
  // cannot be read. Called once, before the store is handed out.
  bool Open(const std::u16string& path);

  // E_INVALIDARG for a null or empty name or a negative limit.
  HRESULT ReadEntry(LPCWSTR name, LONG size_limit, IStringList** values) override;
  HRESULT WriteEntry(LPCWSTR name, IStringList* values) override;

  // Compactions so far (for tests of the journal's growth).
  int compactions();

 private:
  struct Entry {
    std::vector<std::u16string> values;
    size_t line_bytes = 0;  // the size of the entry's journal line
  };
  using Entries = std::map<std::u16string, Entry, std::less<>>;

  // Applies the journal text; false when a complete line is damaged. `torn` is set when the
  // text ends in a cut line.
  static bool Replay(const std::string& text, Entries* entries, bool* torn);
  // Rewrites the journal with one line per entry. REQUIRES: lock_ held.
  bool Compact();
  // True when the journal holds so much replaced text that compacting pays. REQUIRES: lock_.
  bool WorthCompacting() const;

  // Constant after Open
  std::string native_path_;

  std::mutex lock_;
  Entries entries_;           // Guarded by lock_
  size_t journal_bytes_ = 0;  // Guarded by lock_
  size_t live_bytes_ = 0;     // Guarded by lock_: the sum of the entries' line sizes
  int compactions_ = 0;       // Guarded by lock_
};

// One journal line (with its line feed) for an entry.
std::string CacheJournalLine(const std::u16string& name, const std::vector<std::u16string>& values);

}  // namespace host
