#include "host/manage_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <system_error>

#include "common/extension_rules.h"
#include "common/file_util.h"
#include "common/version.h"
#include "extension/extension_agent.h"
#include "extension/extension_installer.h"
#include "extension/extension_mgr.h"
#include "host/manager_session.h"
#include "host/staged_copy.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace host {
namespace {

namespace fs = std::filesystem;

std::string Narrow(std::u16string_view text) { return halcy::Utf16ToUtf8(text); }

int Refuse(const std::string& message) {
  std::fprintf(stderr, "plexore-host: %s\n", message.c_str());
  return 1;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Text(Logic::IExtensionAgent* agent, HRESULT (Logic::IExtensionAgent::*get)(BSTR*)) {
  halcy::ScopedBstr text;
  (agent->*get)(text.Receive());
  return Narrow(text.View());
}

bool IsUsableId(std::u16string_view id) {
  return Logic::CheckExtensionId(id) == Logic::ExtensionIdCheck::kUsable;
}

std::string UnusableId(const std::u16string& id) {
  const std::string name = "'" + halcy::Utf16ToUtf8(id) + "'";
  if (Logic::CheckExtensionId(id) == Logic::ExtensionIdCheck::kReserved) {
    return name + " is reserved: the extension manager keeps its own files under that name";
  }
  return name + " is not a usable extension id (letters, digits, '-', '_' and '.')";
}

bool ParseNumber(const std::string& text, LONG low, LONG high, LONG* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<LONG>(parsed);
  return true;
}

// --- The source directory and its manifest ---

// The manifest of `directory` loaded into a scratch agent, so that its keys read exactly as
// the manager reads them. Null after a message when there is none or it is not an object.
ComPtr<Logic::IExtensionAgent> LoadManifest(const std::string& directory) {
  const std::string path = directory + "/manifest.json";
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(path, error))) {
    Refuse("no manifest.json in " + directory + " (or it is not a regular file)");
    return nullptr;
  }
  const uintmax_t size = fs::file_size(path, error);
  if (error || size > Logic::kMaxManifestBytes) {
    Refuse(path + " is " + std::to_string(size) + " bytes; the limit is " +
           std::to_string(Logic::kMaxManifestBytes));
    return nullptr;
  }
  std::unique_ptr<Logic::CJsonValue> manifest = Logic::ParseJsonFile(halcy::Utf8ToUtf16(path));
  if (!manifest) {
    Refuse(path + " is not valid JSON");
    return nullptr;
  }
  if (!manifest->IsObject()) {
    Refuse(path + " is not a JSON object");
    return nullptr;
  }
  ComPtr<Logic::IExtensionAgent> agent;
  Util::Com::CreateObjectByIID(Logic::IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress());
  if (!agent) {
    Refuse("no extension agent can be created");
    return nullptr;
  }
  halcy::ScopedBstr text(Logic::ToJsonString(*manifest));
  agent->SetManifest(text.Get());
  return agent;
}

// False after a message when the browser is older than the manifest's "lowestbrowser".
bool BrowserIsRecentEnough(Logic::IExtensionAgent* manifest) {
  halcy::ScopedBstr lowest;
  manifest->GetLowestBrowser(lowest.Receive());
  const std::u16string browser = Logic::ReadBrowserVersion();
  if (Logic::CompareVersion(browser, lowest.View()) >= 0) return true;
  Refuse("the extension needs browser version " + Narrow(lowest.View()) +
         " or later; this browser is " + Narrow(browser));
  return false;
}

bool SamePath(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error);
}

// True when `path` lies strictly inside `directory` (both absolute and normal).
bool IsBelow(const fs::path& path, const fs::path& directory) {
  const fs::path relative =
      path.lexically_normal().lexically_relative(directory.lexically_normal());
  return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

// Copies `source` to `target` through a staging folder (staged_copy.h). False after a message.
bool PlaceCopy(const std::string& source, const fs::path& target, CStagedCopy* copy) {
  std::string error = CheckCopySource(source, target);
  if (error.empty() && copy->Place(source, target, &error)) return true;
  Refuse(error);
  return false;
}

std::u16string IdOf(const std::string& directory) {
  return halcy::Utf8ToUtf16(fs::path(directory).filename().string());
}

// --- The manager's side ---

class CInstallWaiter : public halcy::ComObjectRoot, public Logic::IExtensionInstallCallback {
 public:
  HALCY_BEGIN_INTERFACES(CInstallWaiter)
  HALCY_INTERFACE(CInstallWaiter, Logic::IExtensionInstallCallback)
  HALCY_END_INTERFACES()

  HRESULT OnInstallDone(BSTR, HRESULT result) override {
    result_.set_value(result);
    return S_OK;
  }
  // The result, or E_ABORT when none came within kManagerLimit.
  HRESULT Wait() {
    std::future<HRESULT> future = result_.get_future();
    return future.wait_for(kManagerLimit) == std::future_status::ready ? future.get() : E_ABORT;
  }

 private:
  std::promise<HRESULT> result_;
};

class CManageCommand {
 public:
  CManageCommand(CManagerSession* session, const ManageRequest& request)
      : session_(session), mgr_(session->mgr()), request_(request) {}

  int Run() {
    const std::string& command = request_.command;
    if (command == "list") return List();
    if (command == "install") {
      int code = 0;
      for (const std::string& directory : request_.directories) {
        const std::u16string id = request_.id.empty() ? IdOf(directory) : request_.id;
        if (Install(directory, id) != 0) code = 1;
      }
      return code;
    }
    ComPtr<Logic::IExtensionAgent> agent = Installed(request_.id);
    if (!agent) return Refuse("no installed extension " + Narrow(request_.id));
    if (command == "update") return Update(agent.Get());
    if (command == "enable")
      return ChangeState(&Logic::IExtensionMgr::EnableExtension, 1, "enabled");
    if (command == "disable")
      return ChangeState(&Logic::IExtensionMgr::DisableExtension, 0, "disabled");
    LONG flags = 0;
    agent->GetFlags(&flags);
    if (flags & 1)
      return Refuse(Narrow(request_.id) + " may not be uninstalled (flags " +
                    std::to_string(flags) + ")");
    return ChangeState(&Logic::IExtensionMgr::DeleteExtension, 0, "removed");
  }

 private:
  ComPtr<Logic::IExtensionAgent> Installed(const std::u16string& id) {
    halcy::ScopedBstr text(id);
    ComPtr<Logic::IExtensionAgent> agent;
    mgr_->GetExtensionAgent(text.Get(), agent.ReleaseAndGetAddressOf());
    return agent;
  }

  // The extension data directory; empty after a message when the manager has none (its store
  // could not be opened), so that nothing is ever copied relative to the working directory.
  fs::path DataDirectory() {
    halcy::ScopedBstr directory;
    mgr_->GetExtensionDataDirectory(directory.Receive());
    const fs::path path = halcy::ToNativePath(directory.View());
    if (path.is_absolute()) return path;
    Refuse("the extension data directory is not available (the extension store was not opened)");
    return fs::path();
  }

  int List() {
    ComPtr<IStringList> ids;
    mgr_->GetInstalledExtensions(ids.ReleaseAndGetAddressOf());
    LONG count = 0;
    if (ids) ids->GetCount(&count);
    std::printf("id\tstate\tflags\tversion\tname\tdirectory\n");
    for (LONG i = 0; i < count; ++i) {
      halcy::ScopedBstr id;
      ids->GetAt(i, id.Receive());
      ComPtr<Logic::IExtensionAgent> agent = Installed(std::u16string(id.View()));
      if (!agent) continue;  // removed meanwhile
      LONG state = 0, flags = 0;
      agent->GetState(&state);
      agent->GetFlags(&flags);
      std::printf("%s\t%d\t%d\t%s\t%s\t%s\n", Narrow(id.View()).c_str(), static_cast<int>(state),
                  static_cast<int>(flags),
                  Text(agent.Get(), &Logic::IExtensionAgent::GetVersion).c_str(),
                  Text(agent.Get(), &Logic::IExtensionAgent::GetName).c_str(),
                  halcy::ToNativePath(ResolvedDirectory(mgr_, agent.Get())).c_str());
    }
    return 0;
  }

  // False after a message when `directory` is missing, has no usable manifest or needs a newer
  // browser; otherwise `manifest` holds the manifest in a scratch agent.
  static bool CheckSource(const std::string& directory, Logic::IExtensionAgent** manifest) {
    std::error_code error;
    if (!fs::is_directory(directory, error)) return Refuse("no directory " + directory), false;
    ComPtr<Logic::IExtensionAgent> loaded = LoadManifest(directory);
    if (!loaded || !BrowserIsRecentEnough(loaded.Get())) return false;
    *manifest = loaded.Detach();
    return true;
  }

  int Install(const std::string& source, const std::u16string& id) {
    const std::string name = Narrow(id);
    ComPtr<Logic::IExtensionAgent> installed = Installed(id);
    if (installed) {
      LONG online = 0;
      installed->GetSetupOnline(&online);
      if (online != 1) {
        return Refuse(name +
                      " is installed and its manifest does not allow a reinstall "
                      "(\"setuponline\" is not \"1\")");
      }
    }
    ComPtr<Logic::IExtensionAgent> manifest;
    if (!CheckSource(source, manifest.ReleaseAndGetAddressOf())) return 1;
    const fs::path data_directory = DataDirectory();
    if (data_directory.empty()) return 1;
    const fs::path target = data_directory / name;
    CStagedCopy copy;  // rolled back unless committed below
    if (!SamePath(source, target) && !PlaceCopy(source, target, &copy)) return 1;
    const HRESULT hr = PostInstall(false, id, request_.flags, request_.state, target);
    if (hr != S_OK) return Refuse("install of " + name + " failed (" + Hex(hr) + ")");
    copy.Commit();
    std::printf("%s %s %s from %s\n", installed ? "reinstalled" : "installed", name.c_str(),
                Text(manifest.Get(), &Logic::IExtensionAgent::GetVersion).c_str(), source.c_str());
    std::fflush(stdout);  // a burst of installs reports each one as it is stored
    return 0;
  }

  int Update(Logic::IExtensionAgent* installed) {
    const std::string& source = request_.directories[0];
    const std::string name = Narrow(request_.id);
    ComPtr<Logic::IExtensionAgent> manifest;
    if (!CheckSource(source, manifest.ReleaseAndGetAddressOf())) return 1;
    std::string version = Text(manifest.Get(), &Logic::IExtensionAgent::GetVersion);
    if (!IsUsableId(halcy::Utf8ToUtf16(version))) version = "0";
    const fs::path data_directory = DataDirectory();
    if (data_directory.empty()) return 1;
    const fs::path target = data_directory / "updatetemp" / (name + "-" + version);
    const std::u16string in_use = ResolvedDirectory(mgr_, installed);
    if (SamePath(halcy::ToNativePath(in_use), target)) {
      return Refuse("version " + version + " of " + name + " is the one in use");
    }
    CStagedCopy copy;  // rolled back unless committed below
    if (!SamePath(source, target) && !PlaceCopy(source, target, &copy)) return 1;
    LONG flags = 0, state = 0;
    installed->GetFlags(&flags);
    installed->GetState(&state);
    const HRESULT hr = PostInstall(true, request_.id, flags, state, target);
    if (hr != S_OK) return Refuse("update of " + name + " failed (" + Hex(hr) + ")");
    copy.Commit();
    // The version in use is read until this session ends; from the next start the record names
    // the staged copy, so a copy of our own in the data directory goes then.
    const fs::path old_directory = halcy::ToNativePath(in_use);
    if (IsBelow(old_directory, data_directory)) Logic::DeleteDirectoryAtReboot(in_use, true);
    std::printf("update of %s to %s staged in %s; it takes effect at the next start\n",
                name.c_str(), version.c_str(), target.string().c_str());
    return 0;
  }

  HRESULT PostInstall(bool update, const std::u16string& extension_id, LONG flags, LONG state,
                      const fs::path& directory) {
    ComPtr<Logic::IExtensionInstaller> installer;
    mgr_->QueryInterface(Logic::IExtensionInstaller::kIID, installer.ReleaseAndGetVoidAddress());
    if (!installer) return E_NOINTERFACE;
    ComPtr<CInstallWaiter> waiter = halcy::MakeComObject<CInstallWaiter>();
    halcy::ScopedBstr id(extension_id), dir(halcy::Utf8ToUtf16(directory.string()));
    const HRESULT posted =
        update ? installer->UpdateExtension(id.Get(), flags, state, dir.Get(), waiter.Get())
               : installer->InstallExtension(id.Get(), flags, state, dir.Get(), waiter.Get());
    return FAILED(posted) ? posted : waiter->Wait();
  }

  int ChangeState(HRESULT (Logic::IExtensionMgr::*operation)(BSTR), LONG state, const char* done) {
    CSessionListener* listener = session_->listener();
    listener->MarkStateChanges();
    halcy::ScopedBstr id(request_.id);
    const HRESULT hr = (mgr_->*operation)(id.Get());
    if (FAILED(hr)) return Refuse(std::string(done) + " failed (" + Hex(hr) + ")");
    if (!listener->WaitStateChange(request_.id, state, kManagerLimit)) {
      return Refuse("no state broadcast for " + Narrow(request_.id));
    }
    std::printf("%s %s\n", done, Narrow(request_.id).c_str());
    return 0;
  }

  CManagerSession* session_;
  Logic::IExtensionMgr* mgr_;
  const ManageRequest& request_;
};

}  // namespace

bool IsManageCommand(std::string_view command) {
  return command == "install" || command == "update" || command == "enable" ||
         command == "disable" || command == "remove" || command == "list";
}

bool ParseManageRequest(const std::string& command, const std::vector<std::string>& args,
                        ManageRequest* request, std::string* error) {
  request->command = command;
  std::vector<std::string> positional;
  bool has_id = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool takes_value = arg == "--id" || arg == "--state" || arg == "--flags";
    if (!takes_value) {
      if (arg.starts_with("--")) return *error = "unknown option '" + arg + "'", false;
      positional.push_back(arg);
      continue;
    }
    const bool allowed = command == "install" || (command == "update" && arg == "--id");
    if (!allowed) return *error = arg + " does not apply to " + command, false;
    if (i + 1 >= args.size()) return *error = arg + " needs a value", false;
    const std::string& value = args[++i];
    if (arg == "--id") {
      request->id = halcy::Utf8ToUtf16(value);
      has_id = true;
    } else if (arg == "--state" && !ParseNumber(value, 0, 2, &request->state)) {
      return *error = "--state takes 0, 1 or 2, not '" + value + "'", false;
    } else if (arg == "--flags" && !ParseNumber(value, 0, 3, &request->flags)) {
      return *error = "--flags takes 0 to 3, not '" + value + "'", false;
    }
  }
  const bool takes_directory = command == "install" || command == "update";
  if (command == "list" && !positional.empty()) return *error = "list takes no argument", false;
  if (!takes_directory && command != "list" && positional.size() != 1) {
    return *error = command + " takes one id", false;
  }
  if (takes_directory) {
    if (positional.empty()) return *error = command + " needs a directory", false;
    if (command == "update" && positional.size() > 1) {
      return *error = "update takes one directory", false;
    }
    if (has_id && positional.size() > 1) {
      return *error = "--id applies to a single directory", false;
    }
    if (command == "update" && !has_id) return *error = "update needs --id ID", false;
    for (const std::string& item : positional) {
      std::error_code ignored;
      fs::path directory = fs::absolute(item, ignored).lexically_normal();
      if (!directory.has_filename()) directory = directory.parent_path();
      request->directories.push_back(directory.string());
      const std::u16string id = has_id ? request->id : IdOf(directory.string());
      if (!IsUsableId(id)) return *error = UnusableId(id), false;
    }
  } else if (command != "list") {
    request->id = halcy::Utf8ToUtf16(positional[0]);
    if (!IsUsableId(request->id)) return *error = UnusableId(request->id), false;
  }
  return true;
}

int RunManageCommand(CHostServices* services, const std::string& module_path,
                     const ManageRequest& request) {
  CManagerSession session(services);
  if (!session.Start(module_path)) return 1;
  const int code = CManageCommand(&session, request).Run();
  session.Stop();
  return code;
}

}  // namespace host
