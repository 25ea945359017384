// The host's extension store with 1 000 installed extensions: what start-up pays to open the
// database and turn it into agents, and what each later change costs.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "host/cache_store.h"
#include "host/durable_file.h"
#include "host/extension_store.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace {

constexpr int kExtensions = 1000;
constexpr int kAgentClassIndex = 2;  // CCoExtensionAgent in the module's class table

// A manifest of the size and shape of a typical extension's.
std::u16string Manifest(int i) {
  return halcy::StringPrintf(
      u"{\"name\":\"Extension %d\",\"version\":\"1.%d.0\",\"description\":\"Adds a button that "
      u"shows the page summary and keeps a list of recent pages\",\"background_page\":"
      u"\"background.html\",\"permissions\":[\"tabs\",\"utility\",\"http://*/*\"],"
      u"\"toolbarui\":{\"icon\":\"icon.png\",\"tip\":\"Extension %d\",\"popup\":\"popup.html\","
      u"\"width\":300,\"height\":200},\"update_url\":\"http://update.example/ext\","
      u"\"lowestbrowser\":\"6.0\",\"pluginorder\":%d}",
      i, i % 10, i, i);
}

std::u16string StorePath() {
  std::u16string path = u"localextensions\\extdb_v2.json";
  Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u"");
  return path;
}

void WriteStoreOf1000() {
  static bool written = false;
  if (written) return;
  host::ExtensionRecords records;
  for (int i = 0; i < kExtensions; ++i) {
    std::u16string id = halcy::StringPrintf(u"ext%04d", i);
    records[id] = {id, i % 3 ? 1 : 0, 0, u"hcextdbpath/" + id, Manifest(i)};
  }
  const std::u16string path = StorePath();
  std::filesystem::create_directories(
      std::filesystem::path(halcy::ToNativePath(path)).parent_path());
  host::ReplaceFileDurably(halcy::ToNativePath(path), host::SerializeExtensionRecords(records));
  written = true;
}

void BM_OpenStore1000(benchmark::State& state) {
  WriteStoreOf1000();
  const std::u16string path = StorePath();
  for (auto _ : state) {
    ComPtr<host::CExtensionStore> store = halcy::MakeComObject<host::CExtensionStore>();
    if (FAILED(store->Open(path)) || store->RecordCount() != kExtensions) {
      state.SkipWithError("open failed");
    }
  }
}
BENCHMARK(BM_OpenStore1000)->Unit(benchmark::kMillisecond);

void BM_OpenAndQueryAgents1000(benchmark::State& state) {
  WriteStoreOf1000();
  const std::u16string path = StorePath();
  for (auto _ : state) {
    ComPtr<host::CExtensionStore> store = halcy::MakeComObject<host::CExtensionStore>();
    store->Open(path);
    ComPtr<Logic::IExtensionAgentList> list;
    LONG count = 0;
    if (FAILED(store->Query(256, 3, list.ReleaseAndGetAddressOf())) ||
        FAILED(list->GetCount(&count)) || count != kExtensions) {
      state.SkipWithError("query failed");
    }
  }
}
BENCHMARK(BM_OpenAndQueryAgents1000)->Unit(benchmark::kMillisecond);

// One durable change with 1 000 records: serialise, write, fsync, rename.
void BM_SetStateWith1000(benchmark::State& state) {
  WriteStoreOf1000();
  ComPtr<host::CExtensionStore> store = halcy::MakeComObject<host::CExtensionStore>();
  store->Open(StorePath());
  LONG value = 0;
  for (auto _ : state) {
    if (store->SetState(u"ext0500", 10 + (value++ % 2)) != S_OK) state.SkipWithError("write");
  }
}
BENCHMARK(BM_SetStateWith1000)->Unit(benchmark::kMillisecond);

// One cached record as the module saves it (five strings), appended to the journal.
void BM_CacheWriteRecord(benchmark::State& state) {
  std::u16string path = host::CCacheStore::kFileName;
  Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u"");
  ComPtr<host::CCacheStore> store = halcy::MakeComObject<host::CCacheStore>();
  store->Open(path);
  ComPtr<IStringList> values;
  halcy::CreateStringList(IStringList::kIID, values.ReleaseAndGetVoidAddress());
  for (const std::u16string& v :
       {std::u16string(u"ext0001"), std::u16string(u"1"), std::u16string(u"0"),
        std::u16string(u"hcextdbpath/ext0001"), Manifest(1)}) {
    values->Append(v.c_str());
  }
  int i = 0;
  for (auto _ : state) {
    const std::u16string name = halcy::StringPrintf(u"ext_ext%04d", i++ % kExtensions);
    if (store->WriteEntry(name.c_str(), values.Get()) != S_OK) state.SkipWithError("write");
  }
}
BENCHMARK(BM_CacheWriteRecord)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  std::string root = (std::filesystem::temp_directory_path() / "plexore-bench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  setenv("HALCY_APPDATA", root.c_str(), 1);
  halcy::CreatableClass agents;
  agents.create = [](REFIID iid, void** out) {
    return Logic::CreateClassInstance(kAgentClassIndex, nullptr, iid, out);
  };
  halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, agents);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(root);
  return 0;
}
