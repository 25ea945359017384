// `plexore-host install | update | enable | disable | remove | list`: manages the installed
// extensions of the current user for real. Each command starts a manager session (switch user),
// checks its input, posts the operation to the extension manager, waits for its result (install
// and update) or its state broadcast (enable, disable, remove), prints the outcome and
// uninitializes the manager, so that the change is in the store when the command returns.
//
//   install DIR... [--id ID] [--state N] [--flags N] ID defaults to DIR's name; several DIRs
//                                                    are installed one after the other
//   update DIR --id ID
//   enable ID | disable ID | remove ID
//   list                                             id, state, flags, version, name, directory
//
// Install copies DIR into the extension data directory as "<data directory>/ID" first, as the
// browser's installers unpack into it: the manager then records the extension as
// "hcextdbpath/ID" and deleting it later never touches the user's own DIR. Update stages DIR as
// "<data directory>/updatetemp/ID-VERSION"; the new record takes effect at the next start, and
// the directory of the version it replaces is deleted then when it lies in the data directory.
//
// Runs on the host's main thread while CHostServices runs the browser's threads.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

namespace host {

class CHostServices;

struct ManageRequest {
  std::string command;  // "install", "update", "enable", "disable", "remove" or "list"
  std::vector<std::string> directories;  // install (one or more) and update (one): absolute
  std::u16string id;  // enable, disable, remove, update; install with one directory
  LONG state = 1;     // install
  LONG flags = 0;     // install
};

bool IsManageCommand(std::string_view command);

// Parses the arguments that follow the command. False with `error` set on a usage error.
bool ParseManageRequest(const std::string& command, const std::vector<std::string>& args,
                        ManageRequest* request, std::string* error);

// Returns the process exit code: 0 when done, 1 when refused or failed (after a message on
// standard error).
int RunManageCommand(CHostServices* services, const std::string& module_path,
                     const ManageRequest& request);

}  // namespace host
