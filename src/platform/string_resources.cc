#include "platform/string_resources.h"

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/system_paths.h"

namespace halcy {
namespace {

struct StringTable {
  std::string path;
  int64_t size = -1;
  int64_t mtime_ns = -1;
  std::map<std::u16string, std::u16string, std::less<>> texts;
};

std::string TablePath() {
  char16_t exe[4096];
  const DWORD n = GetModuleFileNameW(nullptr, exe, sizeof(exe) / sizeof(exe[0]));
  const std::string native = ToNativePath(std::u16string_view(exe, n));
  const size_t slash = native.rfind('/');
  return (slash == std::string::npos ? std::string(".") : native.substr(0, slash)) + "/" +
         kStringTableFileName;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == '\\')) {
      out.push_back(text[++i] == 'n' ? '\n' : '\\');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

void ParseTable(std::istream& in, StringTable* table) {
  table->texts.clear();
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    table->texts[Utf8ToUtf16(line.substr(0, eq))] =
        Utf8ToUtf16(Unescape(std::string_view(line).substr(eq + 1)));
  }
}

std::mutex g_table_mutex;
StringTable& Table() {
  static auto* table = new StringTable();
  return *table;
}

// REQUIRES: g_table_mutex held.
void RefreshTable(StringTable* table) {
  const std::string path = TablePath();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *table = StringTable();
    return;
  }
  const int64_t mtime_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (table->path == path && table->size == st.st_size && table->mtime_ns == mtime_ns) return;
  std::ifstream in(path, std::ios::binary);
  table->path = path;
  table->size = st.st_size;
  table->mtime_ns = mtime_ns;
  ParseTable(in, table);
}

}  // namespace
}  // namespace halcy

namespace Help::String {

std::u16string LoadStringW(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(halcy::g_table_mutex);
  halcy::StringTable& table = halcy::Table();
  halcy::RefreshTable(&table);
  auto it = table.texts.find(name);
  return it == table.texts.end() ? std::u16string() : it->second;
}

}  // namespace Help::String
