// plexore-host: the browser stand-in. It loads libplexore.so the way the browser does and
// drives it through its entry points and interfaces.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/paths.h"
#include "host/classes_command.h"
#include "host/dll_child.h"
#include "host/host_services.h"
#include "host/manage_command.h"
#include "host/module_loader.h"
#include "host/profile_lock.h"
#include "host/run_command.h"
#include "platform/file_system.h"
#include "platform/pending_file_operations.h"
#include "platform/win_types.h"

namespace {

// How long a second session waits for the profile before it gives up.
constexpr std::chrono::seconds kProfileWait{10};

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: plexore-host [--module PATH] COMMAND\n"
               "commands:\n"
               "  register     call DllRegisterServer and print its HRESULT\n"
               "  unregister   call DllUnregisterServer and print its HRESULT\n"
               "  classes      create each class by CLSID through the registry, list the\n"
               "               interfaces it answers, then print DllCanUnloadNow\n"
               "  run [--data-root DIR]\n"
               "               start the extension manager for the current user (registering\n"
               "               the module when needed), print the installed extensions and\n"
               "               their summaries, shut down; DIR replaces the application-data\n"
               "               folder (HALCY_APPDATA)\n"
               "  run [--data-root DIR] --scenario FILE\n"
               "               after start-up play the JSON-lines scenario FILE against the\n"
               "               browser model and the manager; print one JSON line per message\n"
               "               delivered to a background page, the front end or the DLL host\n"
               "  install [--data-root DIR] SOURCE... [--id ID] [--state 0|1|2] [--flags 0-3]\n"
               "               copy each extension SOURCE into the data directory and install it\n"
               "               (ID, for a single SOURCE, defaults to its name; state 1, flags 0)\n"
               "  update [--data-root DIR] SOURCE --id ID\n"
               "               stage SOURCE as the next version of ID (used from the next start)\n"
               "  enable ID | disable ID | remove ID   [--data-root DIR]\n"
               "               change an installed extension and wait for its state broadcast\n"
               "  list [--data-root DIR]\n"
               "               print id, state, flags, version, name and directory of each\n"
               "               installed extension, tab-separated, after a header line\n"
               "  --channel=ID --type=BrindleProcess\n"
               "               the extension-library process (started by the browser)\n"
               "environment: HALCY_REGISTRY, HALCY_APPDATA, HALCY_LOG, HALCY_MODULE\n");
}

int RunEntry(const std::string& module_path, const char* entry) {
  HRESULT hr = E_FAIL;
  if (!host::CallModuleEntry(module_path, entry, &hr)) return 2;
  std::printf("%s: 0x%08X\n", entry, static_cast<unsigned>(hr));
  return SUCCEEDED(hr) ? 0 : 1;
}

// The system reads "\\" as a separator, so a directory name holding one would name another
// place than the one the user gave.
bool RefuseBackslash(const char* what, const char* path) {
  if (!path || !std::strchr(path, '\\')) return false;
  std::fprintf(stderr,
               "plexore-host: the %s %s contains a backslash, which this browser reads "
               "as a directory separator; choose a path without one\n",
               what, path);
  return true;
}

// 0 when the profile of the data root is locked for this process; otherwise the exit status,
// after a message.
int LockProfile(host::CProfileLock* profile) {
  if (RefuseBackslash("data root", std::getenv("HALCY_APPDATA")) ||
      RefuseBackslash("registry path", std::getenv("HALCY_REGISTRY"))) {
    return 2;
  }
  std::u16string root;
  if (!Logic::GetDataRoot(&root)) {
    std::fprintf(stderr, "plexore-host: no application-data folder (set HALCY_APPDATA or HOME)\n");
    return 1;
  }
  std::string directory = halcy::ToNativePath(root);
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  std::string error;
  if (profile->Acquire(directory, kProfileWait, &error)) return 0;
  std::fprintf(stderr, "plexore-host: %s\n", error.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The extension-library process is this executable started by the browser; it shares nothing
  // with the commands below.
  if (host::IsDllChildCommandLine(argc, argv)) return host::RunDllChild(argc, argv);
  std::string module_path = host::DefaultModulePath();
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--module") == 0) {
    module_path = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    PrintUsage(stderr);
    return 2;
  }
  std::string command = argv[i++];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return 0;
  }
  // --data-root applies to every command that runs the manager; --scenario to run only.
  std::string scenario_path;
  std::vector<std::string> rest;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value = arg == "--data-root" || (command == "run" && arg == "--scenario");
    if (!takes_value) {
      rest.push_back(arg);
    } else if (i + 1 >= argc) {
      std::fprintf(stderr, "plexore-host: %s needs a value\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    } else if (arg == "--data-root") {
      // Everything the browser keeps per user (data root, registry, pending operations) lives
      // below the application-data folder, so the data root is chosen before anything reads it.
      setenv("HALCY_APPDATA", argv[++i], 1);
    } else {
      scenario_path = argv[++i];
    }
  }
  host::ManageRequest request;
  if (host::IsManageCommand(command)) {
    std::string error;
    if (!host::ParseManageRequest(command, rest, &request, &error)) {
      std::fprintf(stderr, "plexore-host: %s\n", error.c_str());
      PrintUsage(stderr);
      return 2;
    }
  } else if (!rest.empty()) {
    std::fprintf(stderr, "plexore-host: unexpected argument '%s'\n", rest[0].c_str());
    PrintUsage(stderr);
    return 2;
  }
  // A session holds its profile for its whole life; the lock outlives every service below.
  host::CProfileLock profile;
  if (command == "run" || host::IsManageCommand(command)) {
    const int code = LockProfile(&profile);
    if (code != 0) return code;
  }
  // Deletions the previous run scheduled "for the next start" happen before anything else,
  // as Windows works its list off at boot before any program runs.
  halcy::RunPendingFileOperations();
  host::RegisterModuleClasses();
  if (command == "register") return RunEntry(module_path, "DllRegisterServer");
  if (command == "unregister") return RunEntry(module_path, "DllUnregisterServer");
  if (command == "classes" || command == "run" || host::IsManageCommand(command)) {
    host::CHostServices services;  // the browser's threads and services, while the module runs
    if (!services.Start()) return 2;
    if (command == "classes") return host::RunClassesCommand();
    if (command == "run") return host::RunExtensionManager(&services, module_path, scenario_path);
    return host::RunManageCommand(&services, module_path, request);
  }
  std::fprintf(stderr, "plexore-host: unknown command '%s'\n", command.c_str());
  PrintUsage(stderr);
  return 2;
}
