// The browser's threads and services as plexore-host runs them, its statistics file, its small
// services, and the browser model's refusals and thread safety.
#include "module/services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/browser_model.h"
#include "host/browser_services.h"
#include "host/browser_thread.h"
#include "host/channel_info.h"
#include "host/host_services.h"
#include "host/logic_global_service.h"
#include "host/statistics_service.h"
#include "host/thread_service.h"
#include "json/json_reader.h"
#include "module/channel_info.h"
#include "platform/bstr.h"
#include "platform/event.h"
#include "platform/system_paths.h"
#include "store_test_env.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"

namespace {

constexpr int kKinds[] = {Thread::kThreadUI, Thread::kThreadProcessLauncher, Thread::kThreadIPC,
                          Thread::kThreadExtensionManager};

// Counts how often tasks of its kind ran and were destroyed.
struct TaskCounters {
  std::atomic<int> ran{0};
  std::atomic<int> destroyed{0};
};
class CCountingTask : public Thread::CTask {
 public:
  explicit CCountingTask(TaskCounters* counters) : CTask(u"counting"), counters_(counters) {}
  ~CCountingTask() override { counters_->destroyed++; }
  void Run() override { counters_->ran++; }

 private:
  TaskCounters* counters_;
};

// Stop lands in the middle of traffic from three threads while a fourth waits for the shutdown
// event; afterwards posting is refused and the task deleted unrun. The child process handles
// the service kept are closed with it.
TEST(HostServicesTest, EveryTaskPostedAroundShutdownRunsOrIsDeletedAndNoHandleIsLeft) {
  const size_t open_before = halcy::OpenHandleCountForTesting();
  TaskCounters counters;
  std::atomic<int> posted{0};
  auto services = std::make_unique<host::CHostServices>();
  ASSERT_TRUE(services->Start());
  ComPtr<Thread::IThreadService> threads(services->thread_service());
  ComPtr<Logic::ILogicGlobalService> global(services->logic_global_service());
  // Any handle stands for a process here; the service only keeps and closes it.
  EXPECT_EQ(S_OK, global->AddChildProcess(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  EXPECT_EQ(E_INVALIDARG, global->AddChildProcess(nullptr));
  EXPECT_EQ(E_INVALIDARG, global->AddChildProcess(INVALID_HANDLE_VALUE));
  EXPECT_EQ(1u, services->logic_global_service()->ChildProcessCount());
  HANDLE event = nullptr;
  ASSERT_EQ(S_OK, global->GetShutdownEvent(&event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  EXPECT_EQ(E_POINTER, global->GetShutdownEvent(nullptr));
  global.Reset();
  DWORD waited = WAIT_FAILED;
  std::thread waiter([&] { waited = WaitForSingleObject(event, INFINITE); });
  Thread::CMessageLoopProxy* raw = nullptr;
  ASSERT_EQ(S_OK, threads->GetMessageLoopProxy(Thread::kThreadUI, &raw));
  auto proxy = base::RefPtr<Thread::CMessageLoopProxy>::Adopt(raw);  // one reference was ours
  const DWORD ui = services->thread(Thread::kThreadUI)->thread_id();
  std::atomic<bool> go{true};
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; go.load() || i < 2000; ++i) {
        threads->PostTask(kKinds[(p + i) % 4], new CCountingTask(&counters));
        posted++;
      }
    });
  }
  // Stop only once the loops are seen running the producers' tasks.
  while (counters.ran.load() == 0) std::this_thread::yield();
  services->Stop();  // while the producers keep posting
  go = false;
  for (auto& t : producers) t.join();
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, waited);
  const int ran = counters.ran.load();
  EXPECT_FALSE(proxy->PostTask(new CCountingTask(&counters), 0));
  EXPECT_EQ(E_FAIL, threads->PostTask(Thread::kThreadUI, new CCountingTask(&counters)));
  EXPECT_EQ(E_INVALIDARG, threads->PostTaskToThread(ui, new CCountingTask(&counters)));
  Thread::CMessageLoop* loop = reinterpret_cast<Thread::CMessageLoop*>(0x1);
  EXPECT_EQ(E_FAIL, threads->GetMessageLoop(Thread::kThreadUI, &loop));
  EXPECT_EQ(nullptr, loop);
  services.reset();
  EXPECT_EQ(posted.load() + 3, counters.destroyed.load());  // nothing leaked, nothing twice
  EXPECT_EQ(ran, counters.ran.load());
  EXPECT_LE(ran, posted.load());
  EXPECT_GT(ran, 0);
  threads.Reset();
  proxy = nullptr;
  EXPECT_EQ(open_before, halcy::OpenHandleCountForTesting());
}

// Each line of statistics.jsonl without its time member, which differs from run to run.
std::vector<std::string> StatisticsLines(const std::string& text) {
  std::vector<std::string> lines;
  const std::string prefix = "{\"time\":\"";
  for (const std::string& line : testing_support::SplitLines(text)) {
    EXPECT_TRUE(Logic::ParseJsonUtf8(line)) << line;
    EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
    const size_t end = line.find("\",", prefix.size());
    EXPECT_EQ(24u, end - prefix.size()) << "time is not YYYY-MM-DDTHH:MM:SS.mmmZ: " << line;
    lines.push_back("{" + line.substr(end + 2));
  }
  EXPECT_TRUE(text.ends_with('\n')) << "the last line has no line feed";
  return lines;
}

TEST(StatisticsServiceTest, EachCallAppendsOneReadableLineInOrder) {
  host_testing::StoreTestEnv env;
  testing_support::TestHost host;
  ComPtr<Logic::IStatisticsService> stats = Logic::GetStatisticsService();
  ASSERT_TRUE(stats);
  ComPtr<Logic::IPropertySet> props;
  Util::Com::CreateObjectByIID(Logic::IPropertySet::kIID, props.ReleaseAndGetVoidAddress());
  ASSERT_TRUE(props);
  EXPECT_EQ(S_OK, props->SetValue(u"name", u"first"));
  EXPECT_EQ(S_OK, props->SetValue(u"AppId", nullptr));
  EXPECT_EQ(S_OK, props->SetValue(u"name", u"My \"Ext\" \u4e2d"));  // keeps its place
  EXPECT_EQ(E_INVALIDARG, props->SetValue(u"", u"x"));
  halcy::ScopedBstr name, value;
  EXPECT_EQ(E_INVALIDARG, props->GetAt(2, name.Receive(), value.Receive()));
  EXPECT_EQ(nullptr, name.Get());
  ASSERT_EQ(S_OK, stats->RecordAction(u"Function", u"PluginEnable", 2, props.Get()));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"click", u"count", 1));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"click", u"count", 1));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"menu", u"count", 3));
  ASSERT_EQ(S_OK, stats->RecordAction(u"UserAction", u"UserExtensionState", 2, nullptr));

  const std::vector<std::string> expected = {
      "{\"category\":\"Function\",\"key\":\"PluginEnable\",\"kind\":2,\"properties\":"
      "{\"name\":\"My \\\"Ext\\\" \xe4\xb8\xad\",\"AppId\":\"\"}}",
      "{\"category\":\"UserAction\",\"action\":\"click\",\"counter\":\"count\","
      "\"increment\":1,\"total\":1}",
      "{\"category\":\"UserAction\",\"action\":\"click\",\"counter\":\"count\","
      "\"increment\":1,\"total\":2}",
      "{\"category\":\"UserAction\",\"action\":\"menu\",\"counter\":\"count\","
      "\"increment\":3,\"total\":3}",
      "{\"category\":\"UserAction\",\"key\":\"UserExtensionState\",\"kind\":2,"
      "\"properties\":{}}",
  };
  EXPECT_EQ(
      expected,
      StatisticsLines(testing_support::ReadFileOrEmpty(env.SystemDataFile("statistics.jsonl"))));
  EXPECT_EQ(2, host.services().statistics_service()->Total(u"UserAction", u"click", u"count"));
}

// The browser's small services: version and channel from the environment, the skin prefixes
// and the current user, and what each refuses.
TEST(BrowserServicesTest, AnswerWhatTheBrowserKnowsAndRefuseWhatIsMissing) {
  const auto version = [] {
    halcy::ScopedBstr text;
    EXPECT_EQ(S_OK,
              halcy::MakeComObject<host::CVersionService>()->GetBrowserVersion(text.Receive()));
    return std::u16string(text.View());
  };
  const auto channel = [] {
    ComPtr<Logic::IChannelObject> object;
    EXPECT_EQ(S_OK, halcy::MakeComObject<host::CChannelInfo>()->GetChannelObject(
                        object.ReleaseAndGetAddressOf()));
    halcy::ScopedBstr text;
    EXPECT_EQ(S_OK, object->GetChannelCode(text.Receive()));
    return std::u16string(text.View());
  };
  {
    testing_support::ScopedEnv v("HALCY_BROWSER_VERSION", "7.0.0.12"), c("HALCY_CHANNEL", "p-42");
    EXPECT_EQ(u"7.0.0.12", version());
    EXPECT_EQ(u"p-42", channel());
    setenv("HALCY_BROWSER_VERSION", "", 1);
    EXPECT_EQ(u"6.5.1.2", version());
    unsetenv("HALCY_BROWSER_VERSION");
    unsetenv("HALCY_CHANNEL");
    EXPECT_EQ(u"6.5.1.2", version());
    EXPECT_EQ(u"", channel());
  }
  ComPtr<host::CSkinService> skin = halcy::MakeComObject<host::CSkinService>();
  EXPECT_EQ(S_OK, skin->RegisterPathPrefix(u"extskin:", u"C:\\data\\ext"));
  EXPECT_EQ(S_OK, skin->RegisterPathPrefix(u"extskin:", u"C:\\data\\ext2"));
  EXPECT_EQ(E_INVALIDARG, skin->RegisterPathPrefix(u"", u"x"));
  EXPECT_EQ(u"C:\\data\\ext2", skin->DirectoryOf(u"extskin:"));
  halcy::SetUserNameForTesting(u"mallory");
  ComPtr<host::CUserServiceManager> users = halcy::MakeComObject<host::CUserServiceManager>();
  halcy::ScopedBstr name;
  LONG id = 0;
  EXPECT_EQ(S_OK, users->GetCurrentUser(name.Receive(), &id));
  halcy::SetUserNameForTesting(std::nullopt);
  EXPECT_EQ(u"mallory", name.View());
  EXPECT_EQ(1, id);
  EXPECT_EQ(E_POINTER, users->RegisterListener(Logic::kIID_IUserChangeListener, 1, nullptr, 1));
}

TEST(BrowserModelTest, RefusesUnknownAndDuplicateIdsAndAClosedTabAnswersNothing) {
  ComPtr<host::CBrowserModel> model = halcy::MakeComObject<host::CBrowserModel>();
  EXPECT_EQ(E_INVALIDARG, model->AddTab(1, 11, u"u", u"t"));  // no frame 1
  ASSERT_EQ(S_OK, model->AddFrame(1));
  ASSERT_EQ(S_OK, model->AddTab(1, 11, u"u", u"t"));
  for (HRESULT hr :
       {model->AddFrame(1), model->AddTab(1, 11, u"u", u"t"), model->Navigate(99, u"u"),
        model->Activate(99), model->CloseTab(99), model->SetFullScreen(2, true)}) {
    EXPECT_EQ(E_INVALIDARG, hr);
  }
  ComPtr<Logic::IBrowserFrame> frame;
  EXPECT_EQ(E_INVALIDARG, model->GetItem(0, 1, frame.ReleaseAndGetAddressOf()));
  ComPtr<IUnknown> item;
  EXPECT_EQ(S_FALSE, model->GetItemById(12, Logic::kBrowserItemAny, item.ReleaseAndGetAddressOf()));
  EXPECT_EQ(nullptr, item.Get());
  ASSERT_EQ(S_OK, model->GetItemById(11, Logic::kBrowserItemAny, item.ReleaseAndGetAddressOf()));
  ComPtr<Logic::IBrowserTab> tab;
  ASSERT_EQ(S_OK, item.As(&tab));
  ASSERT_EQ(S_OK, model->CloseTab(11));
  halcy::ScopedBstr title;
  EXPECT_EQ(E_FAIL, tab->GetTitle(title.Receive()));
}

TEST(BrowserModelTest, ConcurrentChangesAndWalksStayConsistent) {
  ComPtr<host::CBrowserModel> model = halcy::MakeComObject<host::CBrowserModel>();
  ASSERT_EQ(S_OK, model->AddFrame(1));
  constexpr LONG kTabs = 200;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (LONG id = 100; id < 100 + kTabs; ++id) {
      model->AddTab(1, id, u"http://w/", u"w");
      if (id % 3 == 0) model->CloseTab(id);
    }
    done = true;
  });
  // Walks the tabs while they change: every id read back is a tab that existed.
  while (!done) {
    ComPtr<Logic::IBrowserFrame> frame;
    ComPtr<Logic::IBrowserTabContainer> tabs;
    ASSERT_EQ(S_OK, model->GetItem(0, 0, frame.ReleaseAndGetAddressOf()));
    ASSERT_EQ(S_OK, frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()));
    LONG count = 0;
    ASSERT_EQ(S_OK, tabs->GetTabCount(&count));
    for (LONG i = 0; i < count; ++i) {
      LONG id = -1;
      if (SUCCEEDED(tabs->GetTabId(i, &id))) {
        EXPECT_GE(id, 100);
        EXPECT_LT(id, 100 + kTabs);
      }
    }
  }
  writer.join();
  auto frame = model->Frame(1);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(static_cast<size_t>(kTabs - kTabs / 3), frame->tabs.size());
}

}  // namespace
