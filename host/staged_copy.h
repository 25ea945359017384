// Copying an extension's files into the extension data directory so that nothing is ever lost:
// the source is copied into a fresh staging folder beside the target without following any
// symbolic link, and only a complete copy is swapped into place (rename). The target's
// previous content is kept aside until the caller commits (the store names the new copy) or
// rolls back (the old copy comes back whole). A process killed at any point leaves folders
// that RecoverInterruptedCopies finishes at the next start.
//
// Folder names beside TARGET: ".TARGET.staging" while copying, ".TARGET.previous" for the
// replaced copy. Extension ids never begin with ".", so these never meet an extension's folder.
//
// Used from the host's main thread while it holds the profile lock (profile_lock.h), which is
// what makes the fixed folder names safe.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace host {

// "" when `source` can be copied to `target`; otherwise why not: `source` contains `target` or
// lies inside it, holds a symbolic link (named), or holds something that is neither a regular
// file nor a directory.
std::string CheckCopySource(const std::filesystem::path& source,
                            const std::filesystem::path& target);

class CStagedCopy {
 public:
  CStagedCopy() = default;
  // Rolls back a placed copy that was never committed.
  ~CStagedCopy();
  CStagedCopy(const CStagedCopy&) = delete;
  CStagedCopy& operator=(const CStagedCopy&) = delete;

  // Copies `source` into ".TARGET.staging" and swaps it into `target`. False with `error` set
  // (and nothing changed) on any failure.
  bool Place(const std::filesystem::path& source, const std::filesystem::path& target,
             std::string* error);
  // The new copy stays; the previous one is deleted.
  void Commit();
  // The new copy is deleted and the previous one, if any, is put back.
  void Rollback();

 private:
  std::filesystem::path target_;
  std::filesystem::path previous_;  // empty when there was no previous copy
  bool placed_ = false;
};

// Finishes copies that a killed process left in `directory` and in its "updatetemp" folder:
// staging folders are deleted; a ".TARGET.previous" folder goes back to TARGET when TARGET is
// missing or when `committed(target)` says the store does not name the new copy, and is
// deleted otherwise.
void RecoverInterruptedCopies(const std::filesystem::path& directory,
                              const std::function<bool(const std::filesystem::path&)>& committed);

}  // namespace host
