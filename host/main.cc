// plexore-host: the browser stand-in. It loads libplexore.so the way the browser does and
// drives it through its entry points and interfaces.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/classes_command.h"
#include "host/host_services.h"
#include "host/module_loader.h"
#include "host/run_command.h"
#include "platform/pending_file_operations.h"
#include "platform/win_types.h"

namespace {

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
               "environment: HALCY_REGISTRY, HALCY_APPDATA, HALCY_LOG, HALCY_MODULE\n");
}

int RunEntry(const std::string& module_path, const char* entry) {
  HRESULT hr = E_FAIL;
  if (!host::CallModuleEntry(module_path, entry, &hr)) return 2;
  std::printf("%s: 0x%08X\n", entry, static_cast<unsigned>(hr));
  return SUCCEEDED(hr) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
  std::string scenario_path;
  while (command == "run" && i + 1 < argc) {
    if (std::strcmp(argv[i], "--data-root") == 0) {
      // Everything the browser keeps per user (data root, registry, pending operations) lives
      // below the application-data folder, so the data root is chosen before anything reads it.
      setenv("HALCY_APPDATA", argv[i + 1], 1);
    } else if (std::strcmp(argv[i], "--scenario") == 0) {
      scenario_path = argv[i + 1];
    } else {
      break;
    }
    i += 2;
  }
  if (i < argc) {
    std::fprintf(stderr, "plexore-host: unexpected argument '%s'\n", argv[i]);
    PrintUsage(stderr);
    return 2;
  }
  // Deletions the previous run scheduled "for the next start" happen before anything else,
  // as Windows works its list off at boot before any program runs.
  halcy::RunPendingFileOperations();
  host::RegisterModuleClasses();
  if (command == "register") return RunEntry(module_path, "DllRegisterServer");
  if (command == "unregister") return RunEntry(module_path, "DllUnregisterServer");
  if (command == "classes" || command == "run") {
    host::CHostServices services;  // the browser's threads and services, while the module runs
    if (!services.Start()) return 2;
    if (command == "classes") return host::RunClassesCommand();
    return host::RunExtensionManager(&services, module_path, scenario_path);
  }
  std::fprintf(stderr, "plexore-host: unknown command '%s'\n", command.c_str());
  PrintUsage(stderr);
  return 2;
}
