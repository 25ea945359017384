// One native extension library in the extension-library process: the checks its path passes
// before any of its code runs, and the three entry points of the SDK
// (include/plexore/native_extension.h) once it is loaded.
//
//   std::string why;
//   std::unique_ptr<CNativeLibrary> library = CNativeLibrary::Open(path, &why);
//   if (!library) Log(..., why);
//   else if (library->Load(&table, "weatherdesk") != 0) library.reset();  // refused to load
//
// The path is untrusted (it names a file inside an extension's directory, which anybody who
// publishes an extension fills): it must be absolute and normal (no empty, "." or ".."
// component), no component may be a symbolic link (each directory is opened from the root
// with O_NOFOLLOW and the file is looked at without following it), and it must name a regular
// file. Only then is it opened with dlopen(RTLD_NOW | RTLD_LOCAL). The check guards against
// what the directory holds; a process that can write into the directory while the check runs
// could as well rewrite the library itself, so the gap between check and load is not closed.
//
// Not thread-safe: a library is opened, called and closed on one thread (the process's library
// thread).
#pragma once

#include <memory>
#include <string>

#include "plexore/native_extension.h"

namespace host {

// True when `path` (UTF-8, "/" separators) passes the checks above; otherwise false with the
// reason in `why`.
bool CheckLibraryPath(const std::string& path, std::string* why);

class CNativeLibrary {
 public:
  // Checks `path`, loads the library and looks up its three entry points. Null with the reason
  // in `why` when a check fails, dlopen fails or an entry point is missing (the library is
  // closed again then; its constructors will have run).
  static std::unique_ptr<CNativeLibrary> Open(const std::string& path, std::string* why);
  // dlclose. Call Unload first if Load succeeded.
  ~CNativeLibrary();
  CNativeLibrary(const CNativeLibrary&) = delete;
  CNativeLibrary& operator=(const CNativeLibrary&) = delete;

  // plexore_extension_load; 0 when the library is loaded. `host` must stay valid until after
  // Unload (the library may keep it).
  int Load(const plexore_host* host, const char* extension_id);
  // plexore_extension_message. `params` is valid for the call only.
  void Message(unsigned type, const plexore_param* params, int count);
  // plexore_extension_unload.
  void Unload();

  // The dlopen handle: equal for two opens of one file (also through a hard link).
  const void* handle() const { return handle_; }

 private:
  using LoadFn = int (*)(const plexore_host*, const char*);
  using MessageFn = void (*)(unsigned, const plexore_param*, int);
  using UnloadFn = void (*)();

  explicit CNativeLibrary(void* handle) : handle_(handle) {}

  void* const handle_;  // Constant after construction
  LoadFn load_ = nullptr;
  MessageFn message_ = nullptr;
  UnloadFn unload_ = nullptr;
};

}  // namespace host
