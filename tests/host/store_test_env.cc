#include "store_test_env.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "common/paths.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"

namespace host_testing {

constexpr int kAgentClassIndex = 2;  // CCoExtensionAgent in the module's class table

StoreTestEnv::StoreTestEnv() : appdata_("HALCY_APPDATA", dir_.path()) {
  Logic::ResetPathCachesForTesting();
  halcy::CreatableClass agents;
  agents.create = [](REFIID iid, void** out) {
    return Logic::CreateClassInstance(kAgentClassIndex, nullptr, iid, out);
  };
  previous_agent_class_ = halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, agents);
}

StoreTestEnv::~StoreTestEnv() {
  halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, previous_agent_class_);
  Logic::ResetPathCachesForTesting();
}

std::u16string StoreTestEnv::SystemDataDirectory() const {
  std::u16string path;
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  return path;
}

std::string StoreTestEnv::SystemDataFile(const std::string& name) const {
  return halcy::ToNativePath(SystemDataDirectory()) + name;
}

void PrintTo(const AgentFields& f, std::ostream* out) {
  *out << halcy::Utf16ToUtf8(f.id) << " " << f.state << " " << f.flags << " "
       << halcy::Utf16ToUtf8(f.directory) << " " << halcy::Utf16ToUtf8(f.manifest);
}

ComPtr<Logic::IExtensionAgent> MakeAgent(const AgentFields& fields) {
  ComPtr<Logic::IExtensionAgent> agent;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(Logic::IExtensionAgent::kIID,
                                               agent.ReleaseAndGetVoidAddress()));
  if (!agent) return nullptr;
  halcy::ScopedBstr id(fields.id), directory(fields.directory), manifest(fields.manifest);
  agent->SetId(id.Get());
  agent->SetState(fields.state);
  agent->SetFlags(fields.flags);
  agent->SetDirectory(directory.Get());
  if (!fields.manifest.empty()) agent->SetManifest(manifest.Get());
  return agent;
}

AgentFields ReadAgent(Logic::IExtensionAgent* agent) {
  AgentFields fields;
  halcy::ScopedBstr id, directory, manifest;
  agent->GetId(id.Receive());
  agent->GetState(&fields.state);
  agent->GetFlags(&fields.flags);
  agent->GetDirectory(directory.Receive());
  agent->GetManifest(manifest.Receive());
  fields.id = id.View();
  fields.directory = directory.View();
  fields.manifest = manifest.View();
  return fields;
}

std::vector<std::string> KillNineAfterLines(size_t lines, const std::function<void()>& child) {
  int fds[2];
  EXPECT_EQ(0, pipe(fds));
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    child();
    _exit(0);
  }
  close(fds[1]);
  FILE* from_child = fdopen(fds[0], "r");
  std::vector<std::string> read;
  char line[4096];
  while (read.size() < lines && fgets(line, sizeof(line), from_child)) read.push_back(line);
  kill(pid, SIGKILL);
  int status = 0;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status)) << "the child ended on its own: " << status;
  while (fgets(line, sizeof(line), from_child)) read.push_back(line);
  fclose(from_child);
  EXPECT_GE(read.size(), lines);
  return read;
}

}  // namespace host_testing
