#include "host/run_command.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "host/host_services.h"
#include "host/manager_session.h"
#include "host/scenario.h"
#include "host/scenario_receivers.h"
#include "host/ui_call_log.h"
#include "platform/bstr.h"
#include "platform/strings.h"

namespace host {
namespace {

std::string Narrow(std::u16string_view text) { return halcy::Utf16ToUtf8(text); }

void PrintSummaries(Logic::IExtensionMgr* mgr, const std::vector<std::u16string>& ids) {
  for (const std::u16string& id : ids) {
    halcy::ScopedBstr id_bstr(id.c_str());
    ComPtr<Logic::IExtensionAgent> agent;
    mgr->GetExtensionAgent(id_bstr.Get(), agent.ReleaseAndGetAddressOf());
    if (!agent) {
      std::printf("%s: not installed\n", Narrow(id).c_str());
      continue;
    }
    halcy::ScopedBstr directory(ResolvedDirectory(mgr, agent.Get()).c_str());
    halcy::ScopedBstr summary;
    agent->GetSummary(directory.Get(), TRUE, summary.Receive());
    std::printf("%s\n", Narrow(summary.Get() ? summary.Get() : u"").c_str());
  }
}

int ScenarioError(const std::string& path, const std::string& problem) {
  std::fprintf(stderr, "plexore-host: cannot read the scenario %s: %s\n", path.c_str(),
               problem.c_str());
  return 2;
}

// "" when `path` is a regular file or a pipe (the two things a scenario is read from);
// otherwise what is wrong with it.
std::string ScenarioProblem(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) return "";
  return S_ISDIR(st.st_mode) ? "it is a directory" : "it is neither a regular file nor a pipe";
}

}  // namespace

int RunExtensionManager(CHostServices* services, const std::string& module_path,
                        const std::string& scenario_path) {
  std::ifstream scenario;
  std::unique_ptr<CScenarioOutput> output;
  std::unique_ptr<CScenarioReceivers> receivers;  // before start-up, which starts the pages
  if (!scenario_path.empty()) {
    const std::string problem = ScenarioProblem(scenario_path);
    if (!problem.empty()) return ScenarioError(scenario_path, problem);
    scenario.open(scenario_path);
    if (!scenario) return ScenarioError(scenario_path, std::strerror(errno));
    output = std::make_unique<CScenarioOutput>(stdout);
    receivers = std::make_unique<CScenarioReceivers>(output.get());
    // What the module asks the browser to show, start-up's registrations included.
    services->ui_log()->SetWriter(
        [out = output.get()](const std::string& line) { out->WriteLine(line); });
    // The extension process, started with the manager, inherits this and prints what it
    // receives as the other receivers do.
    setenv("PLEXORE_SCENARIO_OUTPUT", "1", 1);
  }
  CManagerSession session(services);
  if (!session.Start(module_path)) return 1;
  Logic::IExtensionMgr* mgr = session.mgr();
  int code = 0;
  if (output) {
    // Callbacks after start-up are part of the scenario's output.
    session.listener()->SetCallbackPrinter(
        [out = output.get()](const std::string& line) { out->WriteLine(line); });
    // The background pages started during start-up are created on the UI thread afterwards.
    services->WaitIdle(kManagerLimit);
    code = PlayScenario(services, mgr, scenario);
    if (code == 0 && scenario.bad()) code = ScenarioError(scenario_path, "a read failed midway");
  } else {
    const std::u16string& list = session.startup_list();
    std::printf("OnLocalExtensionList: %s\n",
                session.startup_list_broadcast() ? Narrow(list).c_str() : "(not broadcast)");
    std::printf("OnFirstReady\n");
    PrintSummaries(mgr, SplitIds(list));
  }
  session.Stop();
  if (output) services->WaitIdle(kManagerLimit);  // shut-down's deliveries still print
  if (session.listener()) session.listener()->SetCallbackPrinter(nullptr);
  services->ui_log()->SetWriter(nullptr);
  return code;
}

}  // namespace host
