#include "update/unfinished_task_list.h"

#include <fstream>
#include <string>

#include "common/log.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/strings.h"

namespace Logic {
namespace {

constexpr DWORD kValueChars = 512;

std::u16string ReadValue(const std::u16string& section, const char16_t* key,
                         const std::u16string& path) {
  char16_t buffer[kValueChars] = {};
  GetPrivateProfileStringW(section.c_str(), key, u"", buffer, kValueChars, path.c_str());
  return buffer;
}

std::u16string Decimal(int value) { return halcy::Utf8ToUtf16(std::to_string(value)); }

bool HasLineBreak(const std::u16string& text) {
  return text.find_first_of(u"\r\n") != std::u16string::npos;
}

// One "[section]" with the three keys, in the order the entries are written.
void AppendSection(std::u16string* text, int index, const UnFinishTask* task) {
  *text += u"[" + Decimal(index) + u"]\r\n";
  *text += u"url=" + (task ? task->url : u"") + u"\r\n";
  *text += u"times=" + (task ? Decimal(task->times) : u"") + u"\r\n";
  *text += u"id=" + (task ? task->id : u"") + u"\r\n";
}

// Writes `bytes` beside `path` and renames the copy over it.
bool ReplaceFile(const std::u16string& path, const std::string& bytes) {
  const std::u16string temp = path + u".tmp";
  {
    std::ofstream out(halcy::ToNativePath(temp), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      DeleteFileW(temp.c_str());  // a partial copy is useless; its removal may fail harmlessly
      return false;
    }
  }
  if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileW(temp.c_str());
  return false;
}

}  // namespace

int CUnFinishTaskList::GetCount() const {
  const int count = static_cast<int>(GetPrivateProfileIntW(u"task", u"count", 0, path_.c_str()));
  if (count < 0) return 0;
  return count > kMaxUnFinishTasks ? kMaxUnFinishTasks : count;
}

bool CUnFinishTaskList::GetEntry(int index, UnFinishTask* task) const {
  if (index < 1 || index > GetCount()) return false;
  const std::u16string section = Decimal(index);
  task->id = ReadValue(section, u"id", path_);
  task->url = ReadValue(section, u"url", path_);
  task->times =
      static_cast<int>(GetPrivateProfileIntW(section.c_str(), u"times", 0, path_.c_str()));
  if (task->times < 0) task->times = 0;
  return true;
}

std::vector<UnFinishTask> CUnFinishTaskList::ReadAll() const {
  std::vector<UnFinishTask> tasks;
  const int count = GetCount();
  for (int i = 1; i <= count; ++i) {
    UnFinishTask task;
    if (GetEntry(i, &task)) tasks.push_back(std::move(task));
  }
  return tasks;
}

int CUnFinishTaskList::Find(const std::u16string& id, const std::u16string& url) const {
  const std::vector<UnFinishTask> tasks = ReadAll();
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (halcy::AsciiToLower(tasks[i].id) != halcy::AsciiToLower(id)) continue;
    if (!url.empty() && halcy::AsciiToLower(tasks[i].url) != halcy::AsciiToLower(url)) continue;
    return static_cast<int>(i) + 1;
  }
  return 0;
}

bool CUnFinishTaskList::Add(const UnFinishTask& task) {
  std::vector<UnFinishTask> tasks = ReadAll();
  tasks.push_back(task);
  return Write(tasks, 0);
}

bool CUnFinishTaskList::Remove(const std::u16string& id) { return RemoveAt(Find(id)); }

bool CUnFinishTaskList::RemoveAt(int index) {
  std::vector<UnFinishTask> tasks = ReadAll();
  const int old_count = static_cast<int>(tasks.size());
  if (index < 1 || index > old_count) return false;
  tasks.erase(tasks.begin() + (index - 1));
  return Write(tasks, old_count);
}

bool CUnFinishTaskList::Save(const std::vector<UnFinishTask>& tasks) { return Write(tasks, 0); }

bool CUnFinishTaskList::Write(const std::vector<UnFinishTask>& tasks, int cleared_section) {
  std::u16string text = u"[task]\r\ncount=" + Decimal(static_cast<int>(tasks.size())) + u"\r\n";
  int index = 0;
  for (const UnFinishTask& task : tasks) {
    if (HasLineBreak(task.id) || HasLineBreak(task.url)) {
      Log(kLogFailure, u"ext;", u"guide: task list entry %s refused, line break in a value",
          task.id.c_str());
      return false;
    }
    AppendSection(&text, ++index, &task);
  }
  if (cleared_section > index) AppendSection(&text, cleared_section, nullptr);
  if (ReplaceFile(path_, halcy::Utf16ToUtf8(text))) return true;
  Log(kLogFailure, u"ext;", u"guide: cannot write %s", path_.c_str());
  return false;
}

}  // namespace Logic
