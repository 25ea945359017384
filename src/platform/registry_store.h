// The process-wide registry store: which file is in use, its parsed tree (cached while the file
// is unchanged), and the locking that keeps concurrent writers from losing changes.
//
// Safe to call from any thread. One mutex serialises this process's calls; the callbacks run
// under it and must not call back into the registry. Changes also hold an exclusive flock on
// "<file>.lock" from reading the file until the new version has been renamed into place. Reads
// take no file lock: versions are only ever renamed into place whole.
//
// Internal to the registry.
#pragma once

#include <functional>
#include <string>

#include "platform/registry_format.h"
#include "platform/win_types.h"

namespace halcy::registry_internal {

// $HALCY_REGISTRY, else "<appdata>/halcy/registry.reg".
std::string ResolveRegistryPath();

// Runs `read` on the current tree and returns its result, or the load error
// (ERROR_REGISTRY_CORRUPT, ERROR_CANTREAD) without running it.
LONG ReadRegistry(const std::function<LONG(const RegTree&)>& read);

// Runs `change` on the current tree under the exclusive file lock. When it sets *changed, the
// tree is written to a temporary file, synced and renamed over the registry file; if that
// fails the result is ERROR_CANTWRITE and the file keeps its old contents. `change` must set
// *changed only if it succeeded.
LONG ChangeRegistry(const std::function<LONG(RegTree&, bool* changed)>& change);

}  // namespace halcy::registry_internal
