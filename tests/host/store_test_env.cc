#include "store_test_env.h"

#include <gtest/gtest.h>

#include "common/paths.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/file_system.h"

namespace host_testing {
namespace {

constexpr int kAgentClassIndex = 2;  // CCoExtensionAgent in the module's class table

std::u16string Text(const halcy::ScopedBstr& text) { return std::u16string(text.View()); }

}  // namespace

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
  fields.id = Text(id);
  fields.directory = Text(directory);
  fields.manifest = Text(manifest);
  return fields;
}

}  // namespace host_testing
