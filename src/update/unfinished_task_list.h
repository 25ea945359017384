// The install guide's task list, "UnFinishTask.ini" in the extension data directory: the
// installations that were still under way when the browser stopped, to be tried again at the
// next start.
//
//   [task]
//   count=2
//   [1]
//   url=http://apps.example.test/reader.zip
//   times=0
//   id=10001
//   [2]
//   ...
//
// Values are read into 512-character buffers through the ini-file functions. Every change
// (an entry added, an entry removed, the whole list saved) is one write of the whole file,
// through a temporary file renamed into place, so a crash leaves the old list or the new one.
// The file is the guide's alone; anything else in it is dropped by the next change.
//
//   CUnFinishTaskList list(GetExtensionDataDirectory() + u"\\UnFinishTask.ini");
//   for (int i = 1; i <= list.GetCount(); ++i) { UnFinishTask task; list.GetEntry(i, &task); }
//   list.Remove(u"10001");   // later entries move down one section
//
// Not thread-safe: the guide uses it on the extension-manager thread only.
#pragma once

#include <string>
#include <vector>

namespace Logic {

struct UnFinishTask {
  std::u16string id;
  std::u16string url;
  int times = 0;  // attempts so far
};

inline constexpr char16_t kUnFinishTaskFileName[] = u"UnFinishTask.ini";
// The most entries read from a file; a larger "count" is taken as this.
inline constexpr int kMaxUnFinishTasks = 256;

class CUnFinishTaskList {
 public:
  explicit CUnFinishTaskList(std::u16string path) : path_(std::move(path)) {}

  // "count" of section "task", clamped to 0..kMaxUnFinishTasks.
  int GetCount() const;
  // Entry `index` (1-based); false when `index` is outside 1..GetCount().
  bool GetEntry(int index, UnFinishTask* task) const;
  std::vector<UnFinishTask> ReadAll() const;
  // The index of the first entry whose id (and, when `url` is not empty, URL) equals the
  // given one without regard to case; 0 for none.
  int Find(const std::u16string& id, const std::u16string& url = u"") const;
  // Appends `task` as entry count+1. False when a value holds a line break or the write fails.
  bool Add(const UnFinishTask& task);
  // Removes the first entry of `id`: later entries move down one section, the last section's
  // three values are left empty and the count drops by one. False when there is none.
  bool Remove(const std::u16string& id);
  // Removes entry `index` (1-based) the same way. False when there is no such entry.
  bool RemoveAt(int index);
  // Replaces the list with `tasks` (count 0 for none).
  bool Save(const std::vector<UnFinishTask>& tasks);

  const std::u16string& path() const { return path_; }

 private:
  // Writes `tasks` as entries 1..n and, when `cleared_section` is not 0, that section with
  // empty values.
  bool Write(const std::vector<UnFinishTask>& tasks, int cleared_section);

  const std::u16string path_;
};

}  // namespace Logic
