#include "host/native_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace host {
namespace {

// Splits an absolute path into its components; false for a path that is not absolute and
// normal (an empty, "." or ".." component, a trailing "/", a NUL byte).
bool SplitNormalPath(const std::string& path, std::vector<std::string>* parts, std::string* why) {
  if (path.empty() || path[0] != '/') {
    *why = "the path is not absolute";
    return false;
  }
  if (path.find('\0') != std::string::npos) {
    *why = "the path holds a NUL character";
    return false;
  }
  size_t start = 1;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string_view part =
        std::string_view(path).substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") {
      *why = "the path is not normal (empty, \".\" or \"..\" component)";
      return false;
    }
    parts->emplace_back(part);
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

std::string Errno(const char* what, const std::string& where) {
  return std::string(what) + " " + where + ": " + std::strerror(errno);
}

// Looks at `name` inside the directory `dir` without following it. False with the reason when
// it is missing, a symbolic link, or not of the kind wanted.
bool StatComponent(int dir, const std::string& name, const std::string& shown, bool want_directory,
                   std::string* why) {
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *why = Errno("cannot look at", shown);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *why = shown + " is a symbolic link";
    return false;
  }
  if (want_directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    *why = shown + (want_directory ? " is not a directory" : " is not a regular file");
    return false;
  }
  return true;
}

}  // namespace

bool CheckLibraryPath(const std::string& path, std::string* why) {
  std::vector<std::string> parts;
  if (!SplitNormalPath(path, &parts, why)) return false;
  int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    *why = Errno("cannot open", "/");
    return false;
  }
  std::string shown;
  bool ok = true;
  for (size_t i = 0; ok && i < parts.size(); ++i) {
    shown += "/" + parts[i];
    const bool last = i + 1 == parts.size();
    ok = StatComponent(dir, parts[i], shown, !last, why);
    if (!ok || last) break;
    // O_NOFOLLOW as well: a directory swapped for a link after the look is not entered.
    const int next = openat(dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      *why = Errno("cannot open", shown);
      ok = false;
    } else {
      close(dir);
      dir = next;
    }
  }
  close(dir);
  return ok;
}

std::unique_ptr<CNativeLibrary> CNativeLibrary::Open(const std::string& path, std::string* why) {
  if (!CheckLibraryPath(path, why)) return nullptr;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* error = dlerror();
    *why = std::string("dlopen failed: ") + (error ? error : "unknown error");
    return nullptr;
  }
  std::unique_ptr<CNativeLibrary> library(new CNativeLibrary(handle));
  library->load_ = reinterpret_cast<LoadFn>(dlsym(handle, "plexore_extension_load"));
  library->message_ = reinterpret_cast<MessageFn>(dlsym(handle, "plexore_extension_message"));
  library->unload_ = reinterpret_cast<UnloadFn>(dlsym(handle, "plexore_extension_unload"));
  if (!library->load_ || !library->message_ || !library->unload_) {
    *why =
        "the library does not export plexore_extension_load, plexore_extension_message and "
        "plexore_extension_unload";
    return nullptr;
  }
  return library;
}

CNativeLibrary::~CNativeLibrary() {
  // The result is ignored on purpose: a library that cannot be closed stays mapped, which is
  // all that dlclose failing means.
  dlclose(handle_);
}

int CNativeLibrary::Load(const plexore_host* host, const char* extension_id) {
  return load_(host, extension_id);
}

void CNativeLibrary::Message(unsigned type, const plexore_param* params, int count) {
  message_(type, params, count);
}

void CNativeLibrary::Unload() { unload_(); }

}  // namespace host
