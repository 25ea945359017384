// shell32's SHFileOperationW: copying and deleting files and whole directory trees.
//
// The subset the module uses, and how it behaves here (no dialog is ever shown, so the
// confirmation and error-UI flags change nothing; FOF_ALLOWUNDO has no recycle bin to use):
// - `pFrom` is a list of paths, each ending in a NUL, the list ending in a second NUL. The last
//   component of a path may be a wildcard ("dir\\*.*" names everything in dir).
// - FO_DELETE removes each named item; a directory goes with everything below it. With
//   FOF_NORECURSION only the files directly inside a directory are removed, and the directory
//   itself only if that leaves it empty (result 145 otherwise). FOF_FILESONLY skips directories
//   that a wildcard matched.
// - FO_COPY copies each named item to `pTo` (one destination; FOF_MULTIDESTFILES is not
//   supported). When `pTo` is an existing directory the items land inside it under their own
//   names. When it does not exist, a single item named without a wildcard is copied to `pTo`
//   itself; several items, or a wildcard, make `pTo` a new directory (its parents created too)
//   to copy into. Directories are copied with their whole tree, or with FOF_NORECURSION with
//   their files only; FOF_FILESONLY skips directories that a wildcard matched. Existing files
//   are overwritten. Symbolic links to directories are not followed.
// - Results: 0 done (also when a wildcard matched nothing); 2 a named item does not exist;
//   0x402 the directory of a named item does not exist; 0x76 a copy into its own subtree;
//   otherwise the Win32 error of the step that failed. The operation stops at the first failure.
// - FO_MOVE and FO_RENAME are not supported (result 50).
//
// Thread-safe: may be called from any thread; concurrent operations on the same files race as
// they would on Windows.
#pragma once

#include "platform/win_types.h"

constexpr UINT FO_MOVE = 0x0001;
constexpr UINT FO_COPY = 0x0002;
constexpr UINT FO_DELETE = 0x0003;
constexpr UINT FO_RENAME = 0x0004;

constexpr WORD FOF_MULTIDESTFILES = 0x0001;
constexpr WORD FOF_SILENT = 0x0004;
constexpr WORD FOF_RENAMEONCOLLISION = 0x0008;
constexpr WORD FOF_NOCONFIRMATION = 0x0010;
constexpr WORD FOF_ALLOWUNDO = 0x0040;
constexpr WORD FOF_FILESONLY = 0x0080;
constexpr WORD FOF_SIMPLEPROGRESS = 0x0100;
constexpr WORD FOF_NOCONFIRMMKDIR = 0x0200;
constexpr WORD FOF_NOERRORUI = 0x0400;
constexpr WORD FOF_NORECURSION = 0x1000;

// Results beyond the Win32 error codes.
constexpr int DE_DESTSUBTREE = 0x76;
constexpr int DE_ERROR_MAX = 0x402;

struct SHFILEOPSTRUCTW {
  void* hwnd;
  UINT wFunc;
  LPCWSTR pFrom;
  LPCWSTR pTo;
  WORD fFlags;
  BOOL fAnyOperationsAborted;
  void* hNameMappings;
  LPCWSTR lpszProgressTitle;
};

int SHFileOperationW(SHFILEOPSTRUCTW* operation);
