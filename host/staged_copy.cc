#include "host/staged_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <vector>

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr char kStagingSuffix[] = ".staging";
constexpr char kPreviousSuffix[] = ".previous";

fs::path Beside(const fs::path& target, const char* suffix) {
  return target.parent_path() / ("." + target.filename().string() + suffix);
}

// True when `path` is `directory` or lies below it (both absolute).
bool IsWithin(const fs::path& path, const fs::path& directory) {
  const fs::path relative =
      path.lexically_normal().lexically_relative(directory.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

std::string LinkRefusal(const fs::path& link) {
  return "the source holds a symbolic link, " + link.string() + "; links are not copied";
}

bool CopyFileNoFollow(const fs::path& from, const fs::path& to, std::string* error) {
  // O_NOFOLLOW and O_NONBLOCK: an entry swapped for a link or a FIFO after the check is
  // refused instead of followed or waited on.
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (in < 0 || ::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "cannot copy " + from.string() + ": " +
             (in < 0 ? std::strerror(errno) : "not a regular file");
    if (in >= 0) ::close(in);
    return false;
  }
  const int out =
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 0777);
  bool ok = out >= 0;
  char buffer[65536];
  while (ok) {
    const ssize_t n = ::read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  if (!ok)
    *error = "cannot copy " + from.string() + " to " + to.string() + ": " + std::strerror(errno);
  ::close(in);
  if (out >= 0 && ::close(out) != 0 && ok) {
    *error = "cannot write " + to.string() + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

bool CopyTreeNoFollow(const fs::path& from, const fs::path& to, std::string* error) {
  std::error_code failed;
  fs::create_directory(to, failed);
  for (fs::directory_iterator it(from, failed), end; !failed && it != end; it.increment(failed)) {
    const fs::path target = to / it->path().filename();
    const fs::file_status status = it->symlink_status(failed);
    if (failed) break;
    if (fs::is_symlink(status)) {
      *error = LinkRefusal(it->path());
      return false;
    }
    if (fs::is_directory(status)) {
      if (!CopyTreeNoFollow(it->path(), target, error)) return false;
    } else if (!CopyFileNoFollow(it->path(), target, error)) {
      return false;
    }
  }
  if (failed) *error = "cannot copy " + from.string() + ": " + failed.message();
  return !failed;
}

void RemoveQuietly(const fs::path& path) {
  std::error_code ignored;  // what cannot be removed now is a leftover for the next recovery
  fs::remove_all(path, ignored);
}

}  // namespace

std::string CheckCopySource(const fs::path& source, const fs::path& target) {
  if (IsWithin(target, source)) {
    return "the source " + source.string() + " contains the target " + target.string();
  }
  if (IsWithin(source, target)) {
    return "the source " + source.string() + " lies inside the target " + target.string();
  }
  std::error_code failed;
  for (fs::recursive_directory_iterator it(source, failed), end; !failed && it != end;
       it.increment(failed)) {
    const fs::file_status status = it->symlink_status(failed);
    if (failed) break;
    if (fs::is_symlink(status)) {
      return LinkRefusal(it->path());
    }
    if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
      return "the source holds " + it->path().string() +
             ", which is neither a regular file nor a directory";
    }
  }
  return failed ? "cannot read " + source.string() + ": " + failed.message() : "";
}

CStagedCopy::~CStagedCopy() {
  if (placed_) Rollback();
}

bool CStagedCopy::Place(const fs::path& source, const fs::path& target, std::string* error) {
  const fs::path staging = Beside(target, kStagingSuffix);
  RemoveQuietly(staging);
  std::error_code failed;
  fs::create_directories(target.parent_path(), failed);
  if (failed) {
    *error = "cannot create " + target.parent_path().string() + ": " + failed.message();
    return false;
  }
  if (!CopyTreeNoFollow(source, staging, error)) {
    RemoveQuietly(staging);
    return false;
  }
  target_ = target;
  previous_.clear();
  std::error_code missing;  // set when there is no target, which is no failure
  if (fs::exists(fs::symlink_status(target, missing))) {
    previous_ = Beside(target, kPreviousSuffix);
    RemoveQuietly(previous_);
    fs::rename(target, previous_, failed);
  }
  if (!failed) fs::rename(staging, target, failed);
  if (failed) {
    *error = "cannot move the copy into " + target.string() + ": " + failed.message();
    if (!previous_.empty() && !fs::exists(target)) fs::rename(previous_, target, failed);
    RemoveQuietly(staging);
    return false;
  }
  placed_ = true;
  return true;
}

void CStagedCopy::Commit() {
  if (!placed_) return;
  placed_ = false;
  if (!previous_.empty()) RemoveQuietly(previous_);
}

void CStagedCopy::Rollback() {
  if (!placed_) return;
  placed_ = false;
  RemoveQuietly(target_);
  std::error_code ignored;  // a failure leaves ".TARGET.previous" for the next recovery
  if (!previous_.empty()) fs::rename(previous_, target_, ignored);
}

void RecoverInterruptedCopies(const fs::path& directory,
                              const std::function<bool(const fs::path&)>& committed) {
  for (const fs::path& folder : {directory, directory / "updatetemp"}) {
    // Names first: the folder changes below.
    std::vector<std::string> names;
    std::error_code failed;
    for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
      const std::string name = it->path().filename().string();
      if (name.size() > 1 && name[0] == '.') names.push_back(name);
    }
    for (const std::string& name : names) {
      if (name.ends_with(kStagingSuffix)) {
        RemoveQuietly(folder / name);
        continue;
      }
      if (!name.ends_with(kPreviousSuffix)) continue;
      const fs::path target =
          folder / name.substr(1, name.size() - 1 - std::strlen(kPreviousSuffix));
      std::error_code ignored;
      if (fs::exists(fs::symlink_status(target, ignored)) && committed(target)) {
        RemoveQuietly(folder / name);
      } else {
        RemoveQuietly(target);
        fs::rename(folder / name, target, ignored);
      }
    }
  }
}

}  // namespace host
