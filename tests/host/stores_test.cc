// The browser's stores. The extension store: records through the interfaces, the file on disk,
// damaged files, crashes in the middle of writing, and writers on several threads. The
// information service's cache store: its journal file, cut lines and damage.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/cache_store.h"
#include "host/channel_info.h"
#include "host/database_service.h"
#include "host/extension_store.h"
#include "platform/bstr.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "store_test_env.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using host_testing::StoreTestEnv;
using Logic::ICacheStore;
using Logic::IExtensionAgent;
using Logic::IExtensionAgentList;
using Logic::IExtensionStore;
namespace fs = std::filesystem;

// An agent made from "id|state|flags|directory|manifest" (no manifest set when it is empty).
ComPtr<IExtensionAgent> MakeAgent(const std::string& spec) {
  std::vector<std::u16string> f;
  std::istringstream in(spec);
  for (std::string part; std::getline(in, part, '|');) f.push_back(halcy::Utf8ToUtf16(part));
  f.resize(5);
  ComPtr<IExtensionAgent> agent;
  EXPECT_EQ(S_OK,
            Util::Com::CreateObjectByIID(IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress()));
  if (!agent) return nullptr;
  halcy::ScopedBstr id(f[0]), directory(f[3]), manifest(f[4]);
  agent->SetId(id.Get());
  agent->SetState(std::stol(halcy::Utf16ToUtf8(f[1])));
  agent->SetFlags(std::stol(halcy::Utf16ToUtf8(f[2])));
  agent->SetDirectory(directory.Get());
  if (!f[4].empty()) agent->SetManifest(manifest.Get());
  return agent;
}

// "id|state|flags|directory|manifest" as `agent` reports it.
std::string Describe(IExtensionAgent* agent) {
  halcy::ScopedBstr id, directory, manifest;
  LONG state = -1, flags = -1;
  agent->GetId(id.Receive());
  agent->GetState(&state);
  agent->GetFlags(&flags);
  agent->GetDirectory(directory.Receive());
  agent->GetManifest(manifest.Receive());
  return halcy::Utf16ToUtf8(id.View()) + "|" + std::to_string(state) + "|" + std::to_string(flags) +
         "|" + halcy::Utf16ToUtf8(directory.View()) + "|" + halcy::Utf16ToUtf8(manifest.View());
}

constexpr char16_t kRelativePath[] = u"localextensions\\extdb_v2.json";

// A store opened as the module does, by a fresh database service, so that it reads the file.
ComPtr<IExtensionStore> Reopen() {
  ComPtr<host::CDatabaseService> db = halcy::MakeComObject<host::CDatabaseService>();
  ComPtr<Logic::IStoreFactory> factory;
  EXPECT_EQ(S_OK, db->CreateStoreFactory(1, 0, 0, factory.ReleaseAndGetAddressOf()));
  ComPtr<host::CStoreParams> params = halcy::MakeComObject<host::CStoreParams>();
  params->SetRelativePath(kRelativePath);
  ComPtr<IExtensionStore> store;
  EXPECT_EQ(S_OK, factory->OpenStore(Logic::kExtensionStoreId, params.Get(),
                                     store.ReleaseAndGetAddressOf()));
  return store;
}

std::vector<std::string> QueryAll(IExtensionStore* store) {
  std::vector<std::string> out;
  ComPtr<IExtensionAgentList> list;
  EXPECT_EQ(S_OK, store->Query(256, 3, list.ReleaseAndGetAddressOf()));
  if (!list) return out;
  LONG count = -1;
  EXPECT_EQ(S_OK, list->GetCount(&count));
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IExtensionAgent> agent;
    EXPECT_EQ(S_OK, list->GetAt(i, agent.ReleaseAndGetAddressOf()));
    if (agent) out.push_back(Describe(agent.Get()));
  }
  ComPtr<IExtensionAgent> none;
  EXPECT_EQ(E_INVALIDARG, list->GetAt(count, none.ReleaseAndGetAddressOf()));
  return out;
}

std::string StorePath(const StoreTestEnv& env) {
  return env.SystemDataFile("localextensions/extdb_v2.json");
}

TEST(ExtensionStoreTest, UnknownIdsAndBadArgumentsAreRefusedAndNothingIsWrittenUntilAChange) {
  StoreTestEnv env;
  ComPtr<host::CDatabaseService> db = halcy::MakeComObject<host::CDatabaseService>();
  ComPtr<Logic::IStoreFactory> factory, other;
  ASSERT_EQ(S_OK, db->CreateStoreFactory(1, 0, 0, factory.ReleaseAndGetAddressOf()));
  ComPtr<host::CStoreParams> no_path = halcy::MakeComObject<host::CStoreParams>();
  ComPtr<host::CStoreParams> params = halcy::MakeComObject<host::CStoreParams>();
  params->SetRelativePath(kRelativePath);
  ComPtr<IExtensionStore> store = Reopen(), opened;
  ASSERT_TRUE(store);
  ComPtr<IExtensionAgent> nobody = MakeAgent("nobody|1|0|d"), no_id = MakeAgent("|1|0|d");
  ComPtr<IExtensionAgentList> list;
  const HRESULT results[][2] = {
      {S_FALSE, store->SetState(u"nobody", 1)},
      {S_FALSE, store->Remove(u"nobody")},
      {S_FALSE, store->UpdateRecord(nobody.Get())},
      {S_FALSE, store->Update(u"nobody", nobody.Get())},
      {E_INVALIDARG, store->Add(no_id.Get())},
      {E_POINTER, store->Add(nullptr)},
      {E_INVALIDARG, store->Query(1, 3, list.ReleaseAndGetAddressOf())},
      {E_INVALIDARG, store->Query(256, 1, list.ReleaseAndGetAddressOf())},
      {E_INVALIDARG, store->Remove(nullptr)},
      {E_INVALIDARG, db->CreateStoreFactory(2, 0, 0, other.ReleaseAndGetAddressOf())},
      {E_INVALIDARG, factory->OpenStore(Logic::kExtensionStoreId, no_path.Get(),
                                        opened.ReleaseAndGetAddressOf())},
      {E_INVALIDARG, factory->OpenStore(u"00000000-9B5D-4314-BD5A-13CC4C1A1020", params.Get(),
                                        opened.ReleaseAndGetAddressOf())},
      {E_INVALIDARG,
       factory->OpenStore(Logic::kExtensionStoreId, nullptr, opened.ReleaseAndGetAddressOf())},
  };
  for (size_t i = 0; i < std::size(results); ++i) {
    EXPECT_EQ(results[i][0], results[i][1]) << "case " << i;
  }
  EXPECT_FALSE(other);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(QueryAll(store.Get()).empty());
  EXPECT_FALSE(fs::exists(StorePath(env))) << "no change happened, so nothing was written";
  // The store id is a GUID, so its letter case does not matter; one store per file.
  ComPtr<IExtensionStore> again;
  EXPECT_EQ(S_OK, factory->OpenStore(u"7cf27c53-9b5d-4314-bd5a-13cc4c1a1020", params.Get(),
                                     opened.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, factory->OpenStore(Logic::kExtensionStoreId, params.Get(),
                                     again.ReleaseAndGetAddressOf()));
  EXPECT_EQ(opened.Get(), again.Get());
  // Update keys the record by the id it is given; the value set is the record's state.
  ASSERT_EQ(S_OK, store->Add(MakeAgent("a|1|0|d").Get()));
  EXPECT_EQ(S_OK, store->Update(u"a", MakeAgent("other-id|1|9|E:\\a").Get()));
  EXPECT_EQ(S_OK, store->SetValue(u"a", 5));
  EXPECT_EQ(std::vector<std::string>{"a|5|9|E:\\a|"}, QueryAll(Reopen().Get()));
}

std::string ValidFileOfThree() {
  host::ExtensionRecords records;
  for (const char16_t* id : {u"one", u"two", u"three"}) {
    records[id] = {id, 1, 0, u"hcextdbpath/x", u"{\"name\":\"n\"}"};
  }
  return host::SerializeExtensionRecords(records);
}

TEST(ExtensionStoreTest, DamagedFileIsMovedAsideReportedAndNeverOverwritten) {
  const struct {
    const char* name;
    std::string bytes;
    size_t kept;  // records that still parse and are kept
  } cases[] = {
      {"not JSON", "this is not a store", 0},
      // Cut in the middle of the second record: the first one is kept.
      {"truncated", ValidFileOfThree().substr(0, ValidFileOfThree().size() / 2), 1},
      {"other format", "{\"format\":\"other\",\"version\":1,\"extensions\":[]}", 0},
      {"record without id",
       R"({"format":"plexore-extdb","extensions":[{"state":1,"flags":0,"directory":"d"}]})", 0},
      // One bad record costs that record only.
      {"fractional state beside a good record",
       R"({"format":"plexore-extdb","extensions":[{"id":"a","state":1.5,"flags":0,)"
       R"("directory":"d"},{"id":"b","state":1,"flags":0,"directory":"d"}]})",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StoreTestEnv env;
    fs::create_directories(env.SystemDataFile("localextensions"));
    testing_support::WriteFileOrDie(StorePath(env), c.bytes);
    testing_support::LogCapture log;
    ComPtr<IExtensionStore> store = Reopen();
    ASSERT_TRUE(store);
    EXPECT_EQ(c.kept, QueryAll(store.Get()).size());
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(env.SystemDataFile("localextensions"))) {
      const std::string name = entry.path().filename().string();
      if (name != "extdb_v2.json") aside.push_back(name);
    }
    ASSERT_EQ(1u, aside.size());
    EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(extdb_v2\.json\.corrupt-\d{8}-\d{6})")))
        << aside[0];
    const std::string aside_path = env.SystemDataFile("localextensions/" + aside[0]);
    EXPECT_EQ(c.bytes, testing_support::ReadFileOrEmpty(aside_path));
    // What was kept is on disk at once: the next start finds it even if nothing changes now.
    EXPECT_EQ(c.kept, QueryAll(Reopen().Get()).size());
    EXPECT_TRUE(log.Contains(halcy::Utf8ToUtf16(aside[0]))) << "no line names the moved file";
    // The next change writes a new file; the damaged copy stays as it was.
    ASSERT_EQ(S_OK, store->Add(MakeAgent("fresh|1|0|d").Get()));
    EXPECT_EQ(c.bytes, testing_support::ReadFileOrEmpty(aside_path));
    EXPECT_EQ(c.kept + 1, QueryAll(Reopen().Get()).size());
  }
}

// Record i of the burst below with `state`, as an agent reports it back.
std::string CrashRecord(int i, int state) {
  return Describe(
      MakeAgent(
          halcy::Utf16ToUtf8(halcy::StringPrintf(
              u"ext%05d|%d|%d|hcextdbpath/ext%05d|{\"name\":\"Extension %d\",\"pad\":\"%0200d\"}",
              i, state, i % 4, i, i, i)))
          .Get());
}

// A child adds record i, then sets record i - 1 to state 7, and reports i after both; it is
// killed with SIGKILL after 40 reports.
TEST(ExtensionStoreTest, KillNineDuringABurstLeavesAConsistentPrefix) {
  StoreTestEnv env;
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    ComPtr<IExtensionStore> store = Reopen();
    for (int i = 0; store && i < 100000; ++i) {
      if (store->Add(MakeAgent(CrashRecord(i, i % 2)).Get()) != S_OK) break;
      if (i > 0 && store->SetState(halcy::StringPrintf(u"ext%05d", i - 1).c_str(), 7) != S_OK) {
        break;
      }
      dprintf(fds[1], "%d\n", i);
    }
    _exit(0);
  }
  close(fds[1]);
  FILE* from_child = fdopen(fds[0], "r");
  int acknowledged = -1, reports = 0;
  while (reports < 41 && fscanf(from_child, "%d", &acknowledged) == 1) ++reports;
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own: " << status;
  while (fscanf(from_child, "%d", &acknowledged) == 1) ++reports;
  fclose(from_child);
  ASSERT_GE(acknowledged, 40);

  ComPtr<IExtensionStore> store = Reopen();
  ASSERT_TRUE(store);
  for (const auto& e : fs::directory_iterator(env.SystemDataFile("localextensions"))) {
    EXPECT_EQ("extdb_v2.json", e.path().filename().string()) << "damaged or left behind";
  }
  const std::vector<std::string> records = QueryAll(store.Get());
  const int n = static_cast<int>(records.size());
  // Everything acknowledged is there; at most the next record's add went through.
  ASSERT_GE(n, acknowledged + 1);
  ASSERT_LE(n, acknowledged + 2);
  for (int j = 0; j < n; ++j) {
    SCOPED_TRACE(j);
    // The last SetState may be done or not.
    if (j == n - 2 && records[j] == CrashRecord(j, 7)) continue;
    EXPECT_EQ(CrashRecord(j, j < n - 2 ? 7 : j % 2), records[j]);
  }
}

// Four writers add and change records while a reader queries: nothing is lost or mixed.
TEST(ExtensionStoreTest, ConcurrentWritersAndAReaderLoseNothing) {
  StoreTestEnv env;
  ComPtr<IExtensionStore> store = Reopen();
  ASSERT_TRUE(store);
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    while (writing.load()) {
      ComPtr<IExtensionAgentList> list;
      EXPECT_EQ(S_OK, store->Query(256, 3, list.ReleaseAndGetAddressOf()));
    }
  });
  std::vector<std::thread> writers;
  std::vector<std::string> expected;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      expected.push_back(halcy::Utf16ToUtf8(
          halcy::StringPrintf(u"t%d-%02d|%d|%d|d|", t, i, i % 5 == 0 ? 0 : 1, t)));
    }
    writers.emplace_back([&store, t] {
      for (int i = 0; i < 25; ++i) {
        const std::u16string id = halcy::StringPrintf(u"t%d-%02d", t, i);
        EXPECT_EQ(
            S_OK,
            store->Add(MakeAgent(halcy::Utf16ToUtf8(id) + "|1|" + std::to_string(t) + "|d").Get()));
        EXPECT_EQ(S_OK, i % 5 ? S_OK : store->SetState(id.c_str(), 0));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  writing = false;
  reader.join();
  EXPECT_EQ(expected, QueryAll(Reopen().Get()));
}

ComPtr<ICacheStore> FreshCacheStore() {
  ComPtr<host::CChannelInfo> info = halcy::MakeComObject<host::CChannelInfo>();
  ComPtr<ICacheStore> store;
  EXPECT_EQ(S_OK, info->GetCacheStore(store.ReleaseAndGetAddressOf()));
  return store;
}

ComPtr<IStringList> ListOf(const std::vector<std::u16string>& values) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, halcy::CreateStringList(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& v : values) list->Append(v.c_str());
  return list;
}

std::vector<std::string> Read(ICacheStore* store, const char16_t* name, LONG limit = 1000) {
  ComPtr<IStringList> list;
  if (FAILED(store->ReadEntry(name, limit, list.ReleaseAndGetAddressOf()))) return {"<missing>"};
  std::vector<std::string> out;
  LONG count = 0;
  list->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    list->GetAt(i, item.Receive());
    out.push_back(halcy::Utf16ToUtf8(item.View()));
  }
  return out;
}

using Strings = std::vector<std::string>;

TEST(CacheStoreTest, EntriesRoundTripAndSurviveAReopenAndBadArgumentsAreRefused) {
  StoreTestEnv env;
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    ASSERT_TRUE(store);
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"ext_a", u"ext_b"}).Get()));
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_a", ListOf({u"a", u"1", u"0", u"hcextdbpath/a",
                                                        u"{\"name\":\"A \\\"q\\\" \u4e2d\"}"})
                                                    .Get()));
    // A later write replaces the entry as a whole.
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"ext_a"}).Get()));
    ASSERT_EQ(S_OK, store->WriteEntry(u"empty", ListOf({}).Get()));
  }
  ComPtr<ICacheStore> reopened = FreshCacheStore();
  const Strings a = {"a", "1", "0", "hcextdbpath/a", "{\"name\":\"A \\\"q\\\" \xe4\xb8\xad\"}"};
  EXPECT_EQ(Strings({"ext_a"}), Read(reopened.Get(), u"ext_list"));
  EXPECT_EQ(a, Read(reopened.Get(), u"ext_a"));
  EXPECT_EQ(Strings({}), Read(reopened.Get(), u"empty"));
  EXPECT_EQ(Strings({"<missing>"}), Read(reopened.Get(), u"ext_c"));
  // A size limit cuts the list.
  EXPECT_EQ(Strings({}), Read(reopened.Get(), u"ext_a", 0));
  EXPECT_EQ(Strings(a.begin(), a.begin() + 2), Read(reopened.Get(), u"ext_a", 2));
  EXPECT_EQ(a, Read(reopened.Get(), u"ext_a", 5));
  ComPtr<IStringList> list;
  EXPECT_EQ(E_INVALIDARG, reopened->ReadEntry(u"e", -1, list.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, reopened->ReadEntry(u"", 10, list.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, reopened->WriteEntry(nullptr, ListOf({}).Get()));
  EXPECT_EQ(E_POINTER, reopened->WriteEntry(u"e", nullptr));
}

TEST(CacheStoreTest, LineCutByACrashKeepsThePreviousValue) {
  StoreTestEnv env;
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"old"}).Get()));
  }
  const std::string path = env.SystemDataFile("cachestore.jsonl");
  std::string text = testing_support::ReadFileOrEmpty(path);
  testing_support::WriteFileOrDie(path, text + "{\"name\":\"ext_list\",\"values\":[\"ne");
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    EXPECT_EQ(Strings({"old"}), Read(store.Get(), u"ext_list"));
    // The cut line is gone before anything is appended behind it.
    ASSERT_EQ(S_OK, store->WriteEntry(u"other", ListOf({u"x"}).Get()));
  }
  ComPtr<ICacheStore> store = FreshCacheStore();
  EXPECT_EQ(Strings({"old"}), Read(store.Get(), u"ext_list"));
  EXPECT_EQ(Strings({"x"}), Read(store.Get(), u"other"));
}

TEST(CacheStoreTest, DamagedJournalIsMovedAsideAndReported) {
  StoreTestEnv env;
  const std::string path = env.SystemDataFile("cachestore.jsonl");
  const std::string damaged = "{\"name\":\"a\",\"values\":[]}\nnot json\n";
  testing_support::WriteFileOrDie(path, damaged);
  testing_support::LogCapture log;
  ComPtr<ICacheStore> store = FreshCacheStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(Strings({"<missing>"}), Read(store.Get(), u"a"));
  std::vector<std::string> aside;
  for (const auto& e : fs::directory_iterator(env.SystemDataFile(""))) {
    const std::string name = e.path().filename().string();
    if (name.rfind("cachestore.jsonl.corrupt-", 0) == 0) aside.push_back(name);
  }
  ASSERT_EQ(1u, aside.size());
  EXPECT_EQ(damaged, testing_support::ReadFileOrEmpty(env.SystemDataFile(aside[0])));
  ASSERT_EQ(1u, log.LinesWithTag(u"oldlog;").size());
  EXPECT_EQ(64, log.LinesWithTag(u"oldlog;")[0].level);
}

}  // namespace
