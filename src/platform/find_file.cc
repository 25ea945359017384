// FindFirstFileW / FindNextFileW / FindClose over a directory listing taken when the search
// starts (later changes to the directory are not seen, which Windows allows).

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/file_system_internal.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace {

struct FindState {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

// Find handles are numbers of their own, far from the kernel handle table's.
constexpr uintptr_t kFindHandleBase = 0x46000000;

// The search id behind a find handle, or 0 for anything that is not one.
uintptr_t FindId(HANDLE find) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(find);
  if (value <= kFindHandleBase || (value - kFindHandleBase) % 4 != 0) return 0;
  return (value - kFindHandleBase) / 4;
}

std::mutex g_find_mutex;
uintptr_t g_next_find_id = 1;
std::map<uintptr_t, FindState>& Searches() {
  static auto* searches = new std::map<uintptr_t, FindState>();
  return *searches;
}

bool FillEntry(const std::string& native_path, const std::u16string& name, WIN32_FIND_DATAW* data) {
  struct stat st;
  if (::stat(native_path.c_str(), &st) != 0) return false;  // vanished or a dangling link
  if (name.size() >= MAX_PATH) return false;
  std::memset(data, 0, sizeof(*data));
  halcy::file_internal::FillFileData(st, data);
  std::memcpy(data->cFileName, name.data(), name.size() * sizeof(char16_t));
  return true;
}

// The matching entries of the pattern's directory, "." and ".." first when the mask takes them.
bool CollectMatches(std::u16string_view pattern, std::vector<WIN32_FIND_DATAW>* out) {
  const size_t cut = pattern.find_last_of(u"\\/");
  const std::u16string dir(cut == std::u16string_view::npos ? u"." : pattern.substr(0, cut + 1));
  const std::u16string mask(cut == std::u16string_view::npos ? pattern : pattern.substr(cut + 1));
  const std::string native_dir = halcy::ToNativePath(dir);
  if (mask.find_first_of(u"*?") == std::u16string::npos) {
    WIN32_FIND_DATAW data;
    if (mask.empty() || !FillEntry(native_dir + halcy::Utf16ToUtf8(mask), mask, &data)) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    out->push_back(data);
    return true;
  }
  std::vector<std::string> names;
  if (!halcy::file_internal::ListDirectory(native_dir, &names)) return false;
  names.insert(names.begin(), {".", ".."});
  for (const std::string& name : names) {
    const std::u16string wide = halcy::Utf8ToUtf16(name);
    std::string path = native_dir;
    path.append("/").append(name);
    WIN32_FIND_DATAW data;
    if (halcy::file_internal::MatchesWildcard(wide, mask) && FillEntry(path, wide, &data)) {
      out->push_back(data);
    }
  }
  if (out->empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return true;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  FindState state;
  if (!CollectMatches(pattern, &state.entries)) return INVALID_HANDLE_VALUE;
  *data = state.entries[0];
  state.next = 1;
  std::lock_guard<std::mutex> lock(g_find_mutex);
  const uintptr_t id = g_next_find_id++;
  Searches().emplace(id, std::move(state));
  return reinterpret_cast<HANDLE>(kFindHandleBase + id * 4);
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  const uintptr_t id = FindId(find);
  std::lock_guard<std::mutex> lock(g_find_mutex);
  auto it = Searches().find(id);
  if (it == Searches().end() || !data) {
    SetLastError(it == Searches().end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  FindState& state = it->second;
  if (state.next >= state.entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  *data = state.entries[state.next++];
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  const uintptr_t id = FindId(find);
  std::lock_guard<std::mutex> lock(g_find_mutex);
  if (Searches().erase(id) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
