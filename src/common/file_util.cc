#include "common/file_util.h"

#include <new>

#include "platform/file_system.h"
#include "platform/shell_file_operation.h"
#include "platform/strings.h"

namespace Logic {
namespace {

constexpr size_t kMaxShellPath = 260;
constexpr WORD kDeleteFlags = FOF_NOERRORUI | FOF_NOCONFIRMATION | FOF_SILENT;          // 0x0414
constexpr WORD kDeleteFilesOnlyFlags = kDeleteFlags | FOF_NORECURSION | FOF_FILESONLY;  // 0x1494
constexpr WORD kCopyFlags =
    FOF_NOERRORUI | FOF_NOCONFIRMMKDIR | FOF_NOCONFIRMATION | FOF_SILENT;           // 0x0614
constexpr WORD kCopyFilesOnlyFlags = kCopyFlags | FOF_NORECURSION | FOF_FILESONLY;  // 0x1694

// The shell's path lists end with a second NUL.
std::u16string DoubleNulTerminated(const std::u16string& path) {
  std::u16string list = path;
  list.push_back(u'\0');
  return list;  // c_str() adds the second NUL
}

int RunShellOperation(UINT function, const std::u16string& from, const std::u16string* to,
                      WORD flags) {
  const std::u16string from_list = DoubleNulTerminated(from);
  const std::u16string to_list = to ? DoubleNulTerminated(*to) : std::u16string();
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = function;
  operation.pFrom = from_list.c_str();
  operation.pTo = to ? to_list.c_str() : nullptr;
  operation.fFlags = flags;
  return SHFileOperationW(&operation);
}

}  // namespace

std::unique_ptr<char[]> ReadWholeFile(const std::u16string& path, size_t* size) {
  halcy::ReadOnlyFile file;
  uint64_t length = 0;
  if (!file.Open(path) || !file.GetSize(&length) || length >= UINT32_MAX) return nullptr;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[length + 1]());
  if (!buffer) return nullptr;
  // A short read means the file changed under us.
  if (!file.ReadExactly(buffer.get(), length)) return nullptr;
  if (size) *size = static_cast<size_t>(length);
  return buffer;
}

bool GetFileInfo(const std::u16string& path, FileInfo* info) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  info->size =
      static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  info->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info->last_write_time = halcy::FileTimeToInt64(data.ftLastWriteTime) / 10;
  return true;
}

bool DeletePath(const std::u16string& path, bool recursive) {
  if (path.size() >= kMaxShellPath) return false;
  if (!recursive) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                                   : DeleteFileW(path.c_str());
      if (removed) return true;
    }
  }
  const int result =
      RunShellOperation(FO_DELETE, path, nullptr, recursive ? kDeleteFlags : kDeleteFilesOnlyFlags);
  return result == 0 || result == ERROR_FILE_NOT_FOUND || result == DE_ERROR_MAX;
}

bool CopyPath(const std::u16string& source, const std::u16string& destination, bool recursive) {
  if (source.size() >= kMaxShellPath || destination.size() >= kMaxShellPath) return false;
  const bool copy_itself = !recursive && !PathFileExistsW(destination.c_str());
  const std::u16string from = copy_itself ? source : source + u"\\*.*";
  return RunShellOperation(FO_COPY, from, &destination,
                           recursive ? kCopyFlags : kCopyFilesOnlyFlags) == 0;
}

void DeleteDirectoryAtReboot(const std::u16string& directory, bool recursive) {
  std::u16string dir = directory;
  for (char16_t& c : dir) {
    if (c == u'/') c = u'\\';
  }
  if (dir.empty() || dir.back() != u'\\') dir.push_back(u'\\');
  const std::u16string pattern = halcy::StringPrintf(u"%s\\%s", dir.c_str(), u"*.*");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (data.cFileName[0] == u'.') continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (recursive) {
          DeleteDirectoryAtReboot(halcy::StringPrintf(u"%s\\%s\\", dir.c_str(), data.cFileName),
                                  true);
        }
      } else {
        const std::u16string file = halcy::StringPrintf(u"%s\\%s", dir.c_str(), data.cFileName);
        MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  MoveFileExW(dir.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

}  // namespace Logic
