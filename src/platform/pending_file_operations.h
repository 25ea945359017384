// Deletions scheduled for the next start (Windows: MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT,
// worked off by the system at the next boot). Here the browser plays the system's part: the list
// is a file below the application-data folder, and the browser calls
// RunPendingFileOperations() early at its start, before it loads the module.
//
// The list is "<appdata>/halcy/PendingFileRenameOperations" (the application-data folder of
// system_paths.h): the queued native paths, each ending in a NUL, in the order they were queued.
// Every change takes an exclusive flock on "<list>.lock" and replaces the list by renaming a
// fully written copy into place, so several processes may queue at once and a crash never
// leaves half a list.
//
// Thread-safe: both functions may be called from any thread and any process.
#pragma once

#include <string>
#include <string_view>

namespace halcy {

// The list's path, or "" when the application-data folder is unknown.
std::string PendingFileOperationsPath();

// Appends `path` (Windows-style or native) to the list. The path need not exist yet. False with
// the last error set when the list cannot be written.
bool QueuePendingFileDeletion(std::u16string_view path);

// Works the list off in queue order and removes it: a file is deleted, a directory removed when
// it is empty by then (as Windows does at boot, which is why contents are queued before their
// directory); an entry that cannot be handled is dropped. Returns the number of entries that
// were removed from the disk.
int RunPendingFileOperations();

}  // namespace halcy
