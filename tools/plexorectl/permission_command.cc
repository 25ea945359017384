// plexorectl permission MANIFEST.json QUERY...: registers the manifest's "permissions" with a
// permission manager, as the extension manager does for an installed extension, and answers
// API and URL queries against them.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "extension/extension_agent.h"
#include "json/utf8_text.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/com_object.h"

namespace plexorectl {
namespace {

int RunPermission(const std::vector<std::string>& args);

}  // namespace

extern const Command kPermissionCommand = {
    "permission",
    "MANIFEST.json QUERY...",
    "Check API names and URLs against a manifest's permissions",
    "Reads MANIFEST.json (UTF-8; \"-\" for standard input), registers its \"permissions\"\n"
    "with a permission manager as the extension manager does, and writes one line per\n"
    "QUERY, \"allowed\" or \"refused\". A QUERY is api:NAME (may the extension call the API\n"
    "NAME) or url:URL (may it touch the page at URL).\n"
    "\n"
    "Exit status: 0 when every query is allowed, 1 when one is refused or the manifest\n"
    "cannot be read or is not a JSON object, 2 for a wrong command line.\n",
    RunPermission,
};

namespace {

constexpr char16_t kExtensionId[] = u"plexorectl";

struct Query {
  bool is_api;
  std::u16string text;
};

// Returns an empty string when every query is well formed, else the usage error.
std::string ParseQueries(const std::vector<std::string>& args, std::vector<Query>* queries) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool is_api = arg.starts_with("api:");
    if (!is_api && !arg.starts_with("url:"))
      return "query '" + args[i] + "' is not api:NAME or url:URL";
    queries->push_back({is_api, Logic::DecodeUtf8ToUtf16(arg.substr(4))});
  }
  if (queries->empty()) return "no query given";
  return std::string();
}

// The manager holding the set of an agent built from `manifest`; null when the manifest is not
// a JSON object.
ComPtr<Logic::IPermissionMgr> RegisterManifest(const std::string& manifest) {
  ComPtr<Logic::IExtensionAgent> agent;
  ComPtr<Logic::IPermissionMgr> mgr;
  if (FAILED(halcy::CreateComInstance<Logic::CCoExtensionAgent>(
          nullptr, Logic::IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress())) ||
      FAILED(halcy::CreateComInstance<Logic::CCoPermissionMgr>(nullptr, Logic::IPermissionMgr::kIID,
                                                               mgr.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  halcy::ScopedBstr id(kExtensionId);
  halcy::ScopedBstr text(Logic::DecodeUtf8ToUtf16(manifest));
  agent->SetId(id.Get());
  agent->SetManifest(text.Get());
  // SetManifest keeps no manifest that is not an object; GetManifest then says S_FALSE.
  halcy::ScopedBstr kept;
  if (agent->GetManifest(kept.Receive()) != S_OK) return nullptr;
  if (FAILED(mgr->AddExtension(agent.Get()))) return nullptr;
  return mgr;
}

int RunPermission(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kPermissionCommand, stdout);
    return kExitOk;
  }
  if (args.empty()) return UsageError(kPermissionCommand, "no manifest given");
  std::vector<Query> queries;
  if (std::string problem = ParseQueries(args, &queries); !problem.empty()) {
    return UsageError(kPermissionCommand, problem);
  }
  std::string bytes, error;
  if (!ReadInput(args[0], &bytes, &error)) {
    std::fprintf(stderr, "plexorectl permission: %s\n", error.c_str());
    return kExitFailure;
  }
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  ComPtr<Logic::IPermissionMgr> mgr = RegisterManifest(bytes);
  if (!mgr) {
    std::fputs("plexorectl permission: the manifest is not a JSON object\n", stderr);
    return kExitFailure;
  }
  halcy::ScopedBstr id(kExtensionId);
  std::string output;
  bool all_allowed = true;
  for (const Query& query : queries) {
    halcy::ScopedBstr text(query.text);
    const HRESULT hr = query.is_api ? mgr->CheckApiPermission(id.Get(), text.Get())
                                    : mgr->CheckUrlPermission(id.Get(), text.Get());
    all_allowed = all_allowed && hr == S_OK;
    output += hr == S_OK ? "allowed\n" : "refused\n";
  }
  if (!WriteOutput(output)) {
    std::fputs("plexorectl permission: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return all_allowed ? kExitOk : kExitFailure;
}

}  // namespace
}  // namespace plexorectl
