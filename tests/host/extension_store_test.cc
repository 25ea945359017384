// The browser's extension store: records through the interfaces, the file on disk, damaged
// files, crashes in the middle of writing, and writers on several threads.
#include "host/extension_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>
#include <vector>

#include "host/database_service.h"
#include "host/host_services.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "store_test_env.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using host_testing::AgentFields;
using host_testing::MakeAgent;
using host_testing::ReadAgent;
using host_testing::StoreTestEnv;
using Logic::IExtensionAgent;
using Logic::IExtensionAgentList;
using Logic::IExtensionStore;

constexpr char16_t kRelativePath[] = u"localextensions\\extdb_v2.json";

// Opens the store as the module does. The parameter object comes from the object factory
// when the host services are registered (`params_from_factory`), else it is made directly.
ComPtr<IExtensionStore> OpenStore(Logic::IDatabaseService* db, bool params_from_factory = false) {
  ComPtr<Logic::IStoreFactory> factory;
  EXPECT_EQ(S_OK, db->CreateStoreFactory(1, 0, 0, factory.ReleaseAndGetAddressOf()));
  ComPtr<Logic::IStoreParams> params;
  if (params_from_factory) {
    EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(Logic::IStoreParams::kIID,
                                                 params.ReleaseAndGetVoidAddress()));
  } else {
    params = halcy::MakeComObject<host::CStoreParams>();
  }
  if (!factory || !params) return nullptr;
  params->SetRelativePath(kRelativePath);
  ComPtr<IExtensionStore> store;
  EXPECT_EQ(S_OK, factory->OpenStore(Logic::kExtensionStoreId, params.Get(),
                                     store.ReleaseAndGetAddressOf()));
  return store;
}

// A store opened by a fresh database service, so that it reads the file again.
ComPtr<IExtensionStore> ReopenFromDisk() {
  ComPtr<host::CDatabaseService> db = halcy::MakeComObject<host::CDatabaseService>();
  return OpenStore(db.Get());
}

std::vector<AgentFields> QueryAll(IExtensionStore* store) {
  std::vector<AgentFields> out;
  ComPtr<IExtensionAgentList> list;
  EXPECT_EQ(S_OK, store->Query(256, 3, list.ReleaseAndGetAddressOf()));
  if (!list) return out;
  LONG count = -1;
  EXPECT_EQ(S_OK, list->GetCount(&count));
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IExtensionAgent> agent;
    EXPECT_EQ(S_OK, list->GetAt(i, agent.ReleaseAndGetAddressOf()));
    if (agent) out.push_back(ReadAgent(agent.Get()));
  }
  ComPtr<IExtensionAgent> none;
  EXPECT_EQ(E_INVALIDARG, list->GetAt(count, none.ReleaseAndGetAddressOf()));
  return out;
}

std::string StorePath(const StoreTestEnv& env) {
  return env.SystemDataFile("localextensions/extdb_v2.json");
}

std::vector<std::string> CorruptCopies(const StoreTestEnv& env) {
  std::vector<std::string> names;
  const std::string dir = env.SystemDataFile("localextensions");
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("extdb_v2.json.corrupt-", 0) == 0) names.push_back(name);
  }
  return names;
}

void ExpectSameRecord(const AgentFields& expected, const AgentFields& actual) {
  EXPECT_EQ(halcy::Utf16ToUtf8(expected.id), halcy::Utf16ToUtf8(actual.id));
  EXPECT_EQ(expected.state, actual.state);
  EXPECT_EQ(expected.flags, actual.flags);
  EXPECT_EQ(halcy::Utf16ToUtf8(expected.directory), halcy::Utf16ToUtf8(actual.directory));
  EXPECT_EQ(halcy::Utf16ToUtf8(expected.manifest), halcy::Utf16ToUtf8(actual.manifest));
}

TEST(ExtensionStoreTest, RecordsSurviveAReopenThroughTheHostServices) {
  StoreTestEnv env;
  // What the agents report back (the manifest in the agent's own compact form).
  std::vector<AgentFields> expected;
  {
    host::CHostServices services;
    ASSERT_TRUE(services.Start());
    ComPtr<Logic::IDatabaseService> db;
    ASSERT_EQ(S_OK,
              Util::Com::GetService(Logic::IDatabaseService::kIID, db.ReleaseAndGetVoidAddress()));
    ComPtr<IExtensionStore> store = OpenStore(db.Get(), true);
    ASSERT_TRUE(store);
    const AgentFields added[] = {
        {u"zeta", 1, 2, u"C:\\ext\\zeta", u"{\"name\":\"Zeta \\\"quoted\\\" \u00e9\u4e2d\"}"},
        {u"alpha", 0, 3, u"hcextdbpath/alpha", u"{\"name\":\"Alpha\",\"version\":\"1.0\"}"},
        {u"mid", 1, 0, u"hcextdbpath/mid", u""},
    };
    for (const AgentFields& fields : added) {
      ComPtr<IExtensionAgent> agent = MakeAgent(fields);
      ASSERT_EQ(S_OK, store->Add(agent.Get()));
    }
    EXPECT_EQ(S_OK, store->SetState(u"zeta", 0));
    EXPECT_EQ(S_OK, store->SetValue(u"mid", 5));
    AgentFields replaced = {u"alpha", 1, 1, u"D:\\other\\alpha", u"{\"name\":\"Alpha 2\"}"};
    EXPECT_EQ(S_OK, store->UpdateRecord(MakeAgent(replaced).Get()));
    AgentFields gone = {u"gone", 1, 0, u"x", u""};
    ASSERT_EQ(S_OK, store->Add(MakeAgent(gone).Get()));
    EXPECT_EQ(S_OK, store->Remove(u"gone"));
    // Update keys the record by the id it is given.
    AgentFields renamed = {u"other-id", 1, 9, u"E:\\mid", u"{\"name\":\"Mid\"}"};
    EXPECT_EQ(S_OK, store->Update(u"mid", MakeAgent(renamed).Get()));

    expected = {ReadAgent(MakeAgent(replaced).Get()), ReadAgent(MakeAgent(renamed).Get()),
                ReadAgent(MakeAgent(added[0]).Get())};
    expected[1].id = u"mid";
    expected[2].state = 0;
    halcy::ScopedBstr path;
    ASSERT_EQ(S_OK, store->GetPath(path.Receive()));
    EXPECT_EQ(halcy::Utf16ToUtf8(env.SystemDataDirectory() + kRelativePath),
              halcy::Utf16ToUtf8(path.View()));
    EXPECT_TRUE(std::filesystem::exists(StorePath(env)));
    services.Stop();
  }
  ComPtr<IExtensionStore> reopened = ReopenFromDisk();
  ASSERT_TRUE(reopened);
  std::vector<AgentFields> records = QueryAll(reopened.Get());
  ASSERT_EQ(3u, records.size());  // in id order
  for (size_t i = 0; i < records.size(); ++i) ExpectSameRecord(expected[i], records[i]);
  EXPECT_TRUE(CorruptCopies(env).empty());
}

TEST(ExtensionStoreTest, ResultsForMissingRecordsAndBadArguments) {
  StoreTestEnv env;
  ComPtr<host::CDatabaseService> db = halcy::MakeComObject<host::CDatabaseService>();
  ComPtr<IExtensionStore> store = OpenStore(db.Get());
  ASSERT_TRUE(store);
  ComPtr<IExtensionAgent> nobody = MakeAgent({u"nobody", 1, 0, u"d", u""});
  ComPtr<IExtensionAgent> no_id = MakeAgent({u"", 1, 0, u"d", u""});
  ComPtr<IExtensionAgentList> list;
  struct Case {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT expected;
  } cases[] = {
      {"set state, unknown id", [&] { return store->SetState(u"nobody", 1); }, S_FALSE},
      {"set value, unknown id", [&] { return store->SetValue(u"nobody", 1); }, S_FALSE},
      {"remove, unknown id", [&] { return store->Remove(u"nobody"); }, S_FALSE},
      {"update record, unknown id", [&] { return store->UpdateRecord(nobody.Get()); }, S_FALSE},
      {"update, unknown id", [&] { return store->Update(u"nobody", nobody.Get()); }, S_FALSE},
      {"add, agent without id", [&] { return store->Add(no_id.Get()); }, E_INVALIDARG},
      {"add, null", [&] { return store->Add(nullptr); }, E_POINTER},
      {"query, other selector", [&] { return store->Query(1, 3, list.ReleaseAndGetAddressOf()); },
       E_INVALIDARG},
      {"query, other states", [&] { return store->Query(256, 1, list.ReleaseAndGetAddressOf()); },
       E_INVALIDARG},
      {"remove, null id", [&] { return store->Remove(nullptr); }, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, c.call());
  }
  EXPECT_TRUE(QueryAll(store.Get()).empty());
  // Nothing was written: no change happened.
  EXPECT_FALSE(std::filesystem::exists(StorePath(env)));
}

TEST(ExtensionStoreTest, FactoryAndOpenRefuseWhatTheyDoNotKnow) {
  StoreTestEnv env;
  ComPtr<host::CDatabaseService> db = halcy::MakeComObject<host::CDatabaseService>();
  ComPtr<Logic::IStoreFactory> factory;
  EXPECT_EQ(E_INVALIDARG, db->CreateStoreFactory(2, 0, 0, factory.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(factory);
  ASSERT_EQ(S_OK, db->CreateStoreFactory(1, 0, 0, factory.ReleaseAndGetAddressOf()));
  ComPtr<host::CStoreParams> params = halcy::MakeComObject<host::CStoreParams>();
  ComPtr<IExtensionStore> store;
  EXPECT_EQ(E_INVALIDARG, factory->OpenStore(Logic::kExtensionStoreId, params.Get(),
                                             store.ReleaseAndGetAddressOf()));  // no path
  params->SetRelativePath(kRelativePath);
  EXPECT_EQ(E_INVALIDARG, factory->OpenStore(u"00000000-9B5D-4314-BD5A-13CC4C1A1020", params.Get(),
                                             store.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG,
            factory->OpenStore(Logic::kExtensionStoreId, nullptr, store.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(store);
  // The id is a GUID: letter case does not matter.
  EXPECT_EQ(S_OK, factory->OpenStore(u"7cf27c53-9b5d-4314-bd5a-13cc4c1a1020", params.Get(),
                                     store.ReleaseAndGetAddressOf()));
  ComPtr<IExtensionStore> again = OpenStore(db.Get());
  EXPECT_EQ(store.Get(), again.Get());  // one store per file
}

TEST(ExtensionStoreTest, HandWrittenSeedWithManifestObjectsLoads) {
  StoreTestEnv env;
  std::filesystem::create_directories(env.SystemDataFile("localextensions"));
  testing_support::WriteFileOrDie(
      StorePath(env),
      "{\"format\":\"plexore-extdb\",\"version\":1,\"extensions\":[\n"
      "{\"id\":\"b\",\"state\":1,\"flags\":3,\"directory\":\"hcextdbpath/b\","
      "\"manifest\":{\"version\":\"2.0\",\"name\":\"B\"}},\n"
      "{\"id\":\"a\",\"state\":0,\"flags\":0,\"directory\":\"hcextdbpath/a\"}\n]}\n");
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  ASSERT_TRUE(store);
  std::vector<AgentFields> records = QueryAll(store.Get());
  ASSERT_EQ(2u, records.size());
  ExpectSameRecord({u"a", 0, 0, u"hcextdbpath/a", u""}, records[0]);
  ExpectSameRecord({u"b", 1, 3, u"hcextdbpath/b", u"{\"name\":\"B\",\"version\":\"2.0\"}"},
                   records[1]);
}

struct DamagedFile {
  const char* name;
  std::string bytes;
  size_t kept;  // records that still parse and are kept
  friend void PrintTo(const DamagedFile& file, std::ostream* out) { *out << file.name; }
};

std::string ValidFileOfThree() {
  host::ExtensionRecords records;
  for (const char16_t* id : {u"one", u"two", u"three"}) {
    records[id] = {id, 1, 0, u"hcextdbpath/x", u"{\"name\":\"n\"}"};
  }
  return host::SerializeExtensionRecords(records);
}

class DamagedStoreFileTest : public testing::TestWithParam<DamagedFile> {};

TEST_P(DamagedStoreFileTest, IsMovedAsideReportedAndNeverOverwritten) {
  StoreTestEnv env;
  std::filesystem::create_directories(env.SystemDataFile("localextensions"));
  testing_support::WriteFileOrDie(StorePath(env), GetParam().bytes);
  testing_support::LogCapture log;
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  ASSERT_TRUE(store);
  EXPECT_EQ(GetParam().kept, QueryAll(store.Get()).size());

  std::vector<std::string> aside = CorruptCopies(env);
  ASSERT_EQ(1u, aside.size());
  EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(extdb_v2\.json\.corrupt-\d{8}-\d{6})")))
      << aside[0];
  const std::string aside_path = env.SystemDataFile("localextensions/" + aside[0]);
  EXPECT_EQ(GetParam().bytes, testing_support::ReadFileOrEmpty(aside_path));
  // What was kept is on disk at once: the next start finds it even if nothing changes now.
  EXPECT_EQ(GetParam().kept, QueryAll(ReopenFromDisk().Get()).size());
  bool reported = false;
  for (const auto& line : log.LinesWithTag(u"oldlog;")) {
    reported |=
        line.level == 64 && line.text.find(halcy::Utf8ToUtf16(aside[0])) != std::u16string::npos;
  }
  EXPECT_TRUE(reported) << "no level-64 line naming the moved file";

  // The next change writes a new file; the damaged copy stays as it was.
  ASSERT_EQ(S_OK, store->Add(MakeAgent({u"fresh", 1, 0, u"d", u""}).Get()));
  EXPECT_EQ(GetParam().bytes, testing_support::ReadFileOrEmpty(aside_path));
  ASSERT_EQ(GetParam().kept + 1, QueryAll(ReopenFromDisk().Get()).size());
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, DamagedStoreFileTest,
    testing::Values(
        DamagedFile{"NotJson", "this is not a store", 0}, DamagedFile{"Empty", "", 0},
        // Cut in the middle of the second record: the first one is kept.
        DamagedFile{"Truncated", ValidFileOfThree().substr(0, ValidFileOfThree().size() / 2), 1},
        DamagedFile{"CutBeforeTheLastBracket",
                    ValidFileOfThree().substr(0, ValidFileOfThree().rfind(']')), 3},
        DamagedFile{"OtherFormat", "{\"format\":\"other\",\"version\":1,\"extensions\":[]}", 0},
        DamagedFile{"RecordWithoutId",
                    "{\"format\":\"plexore-extdb\",\"extensions\":[{\"state\":1,\"flags\":0,"
                    "\"directory\":\"d\"}]}",
                    0},
        // One bad record costs that record only.
        DamagedFile{"FractionalStateBesideAGoodRecord",
                    "{\"format\":\"plexore-extdb\",\"extensions\":[{\"id\":\"a\",\"state\":1.5,"
                    "\"flags\":0,\"directory\":\"d\"},{\"id\":\"b\",\"state\":1,\"flags\":0,"
                    "\"directory\":\"d\"}]}",
                    1}),
    [](const testing::TestParamInfo<DamagedFile>& info) { return info.param.name; });

TEST(ExtensionStoreTest, FailedWriteReportsFailureAndKeepsTheOldRecords) {
  StoreTestEnv env;
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  ASSERT_TRUE(store);
  ASSERT_EQ(S_OK, store->Add(MakeAgent({u"kept", 1, 0, u"d", u""}).Get()));
  // A non-empty directory in the file's place makes the rename fail, even for root.
  std::filesystem::remove(StorePath(env));
  std::filesystem::create_directories(StorePath(env) + "/blocker");
  testing_support::LogCapture log;
  EXPECT_EQ(E_FAIL, store->Add(MakeAgent({u"lost", 1, 0, u"d", u""}).Get()));
  EXPECT_EQ(E_FAIL, store->SetState(u"kept", 0));
  EXPECT_EQ(E_FAIL, store->Remove(u"kept"));
  std::vector<AgentFields> records = QueryAll(store.Get());
  ASSERT_EQ(1u, records.size());
  ExpectSameRecord({u"kept", 1, 0, u"d", u""}, records[0]);
  EXPECT_EQ(3u, log.LinesWithTag(u"oldlog;").size());
}

std::u16string CrashId(int i) { return halcy::StringPrintf(u"ext%05d", i); }

AgentFields CrashRecord(int i) {
  return {CrashId(i), i % 2, i % 4, halcy::StringPrintf(u"hcextdbpath/ext%05d", i),
          halcy::StringPrintf(u"{\"name\":\"Extension %d\",\"pad\":\"%0200d\"}", i, i)};
}

// The child adds record i and then sets record i - 1 to state 7, and reports i after both.
[[noreturn]] void CrashWriter(int report_fd) {
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  if (!store) _exit(3);
  for (int i = 0; i < 100000; ++i) {
    if (store->Add(MakeAgent(CrashRecord(i)).Get()) != S_OK) _exit(4);
    if (i > 0 && store->SetState(CrashId(i - 1).c_str(), 7) != S_OK) _exit(5);
    if (write(report_fd, &i, sizeof(i)) != sizeof(i)) _exit(6);
  }
  _exit(0);
}

class StoreKillTest : public testing::TestWithParam<int> {};

TEST_P(StoreKillTest, KillNineDuringABurstLeavesAConsistentPrefix) {
  StoreTestEnv env;
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    CrashWriter(fds[1]);
  }
  close(fds[1]);
  int acknowledged = -1, value = 0;
  while (acknowledged < GetParam() && read(fds[0], &value, sizeof(value)) == sizeof(value)) {
    acknowledged = value;
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << status;
  while (read(fds[0], &value, sizeof(value)) == sizeof(value)) acknowledged = value;
  close(fds[0]);
  ASSERT_GE(acknowledged, GetParam());

  testing_support::LogCapture log;
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  ASSERT_TRUE(store);
  EXPECT_TRUE(CorruptCopies(env).empty()) << "the file was found damaged";
  for (const auto& e : std::filesystem::directory_iterator(env.SystemDataFile("localextensions"))) {
    EXPECT_EQ("extdb_v2.json", e.path().filename().string()) << "left behind";
  }
  std::vector<AgentFields> records = QueryAll(store.Get());
  const int n = static_cast<int>(records.size());
  // Everything acknowledged is there; at most the next record's add went through.
  ASSERT_GE(n, acknowledged + 1);
  ASSERT_LE(n, acknowledged + 2);
  for (int j = 0; j < n; ++j) {
    SCOPED_TRACE(j);
    AgentFields want = ReadAgent(MakeAgent(CrashRecord(j)).Get());
    if (j < n - 2) want.state = 7;
    if (j == n - 2 && records[j].state == 7) want.state = 7;  // the last SetState may be done
    ExpectSameRecord(want, records[j]);
  }
}

INSTANTIATE_TEST_SUITE_P(AfterSomeWrites, StoreKillTest, testing::Values(3, 40, 150));

TEST(ExtensionStoreThreadsTest, ConcurrentAddsFromSeveralThreadsAreAllKept) {
  StoreTestEnv env;
  ComPtr<IExtensionStore> store = ReopenFromDisk();
  ASSERT_TRUE(store);
  constexpr int kThreads = 4, kPerThread = 25;
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    // Paths and queries while the writers run: both must stay consistent.
    while (writing.load()) {
      halcy::ScopedBstr path;
      EXPECT_EQ(S_OK, store->GetPath(path.Receive()));
      EXPECT_FALSE(path.View().empty());
      ComPtr<IExtensionAgentList> list;
      EXPECT_EQ(S_OK, store->Query(256, 3, list.ReleaseAndGetAddressOf()));
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&store, t] {
      for (int i = 0; i < kPerThread; ++i) {
        AgentFields fields = {halcy::StringPrintf(u"t%d-%02d", t, i), 1, t, u"d", u""};
        EXPECT_EQ(S_OK, store->Add(MakeAgent(fields).Get()));
        if (i % 5 == 0) {
          EXPECT_EQ(S_OK, store->SetState(fields.id.c_str(), 0));
        }
      }
    });
  }
  for (std::thread& w : writers) w.join();
  writing = false;
  reader.join();
  std::vector<AgentFields> records = QueryAll(ReopenFromDisk().Get());
  ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), records.size());
  for (const AgentFields& r : records) {
    const int t = r.id[1] - u'0';
    const int i = std::stoi(halcy::Utf16ToUtf8(r.id.substr(3)));
    EXPECT_EQ(t, r.flags);
    EXPECT_EQ(i % 5 == 0 ? 0 : 1, r.state) << halcy::Utf16ToUtf8(r.id);
  }
}

}  // namespace
