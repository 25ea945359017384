// Downloads end to end: the module's download objects and fetcher on the host's real download
// engine, against the loopback HTTP server, with the listener on the extension-manager thread.
// Also the engine's own contract (progress rate, release while running) and the sink list.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/download_engine.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/connection_point.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/loopback_server.h"
#include "support/refusing_port.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"
#include "update/carry_info.h"
#include "update/download_engine.h"
#include "update/net_file_fetcher.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using namespace Logic;
using Clock = std::chrono::steady_clock;

constexpr int kManager = Thread::kThreadExtensionManager;

std::string Pattern(size_t n) {  // the server's /bytes body
  std::string body(n, '\0');
  for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct Event {
  char kind = 0;  // 's' status, 'p' progress, 'e' error
  double a = 0, b = 0;
  HRESULT error = S_OK;
  DWORD thread = 0;
  Clock::time_point at;
};

Event Seen(char kind, double a = 0, double b = 0, HRESULT error = S_OK) {
  Event event;
  event.kind = kind;
  event.a = a;
  event.b = b;
  event.error = error;
  return event;
}

// Records events under a lock; tests wait on conditions over what arrived.
class EventLog {
 public:
  void Add(Event event) {
    event.thread = GetCurrentThreadId();
    event.at = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    cv_.notify_all();
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return done(events_); });
  }
  bool WaitForEnd() const {  // status 3 or 5
    return WaitFor([](const std::vector<Event>& events) {
      return std::any_of(events.begin(), events.end(), [](const Event& e) {
        return e.kind == 's' && (e.a == kDownloadComplete || e.a == kDownloadFailed);
      });
    });
  }
  bool WaitForBytes() const {
    return WaitFor([](const std::vector<Event>& events) {
      return std::any_of(events.begin(), events.end(),
                         [](const Event& e) { return e.kind == 'p' && e.a > 0; });
    });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
};

class RecordingListener : public halcy::ComObjectRoot, public ICarryListener, public EventLog {
 public:
  HALCY_BEGIN_INTERFACES(RecordingListener)
  HALCY_INTERFACE(RecordingListener, ICarryListener)
  HALCY_END_INTERFACES()

  HRESULT OnCarryStatus(ICarryInfo* info, LONG status) override {
    return Note(info, Seen('s', status));
  }
  HRESULT OnCarryProgress(ICarryInfo* info, double received, double total) override {
    return Note(info, Seen('p', received, total));
  }
  HRESULT OnCarryError(ICarryInfo* info, HRESULT error) override {
    return Note(info, Seen('e', 0, 0, error));
  }
  ICarryInfo* expected_info = nullptr;
  bool wrong_info = false;

 private:
  HRESULT Note(ICarryInfo* info, Event event) {
    if (info != expected_info) wrong_info = true;
    Add(event);
    return S_OK;
  }
};

class RecordingSink : public halcy::ComObjectRoot, public IDownloadEvents, public EventLog {
 public:
  HALCY_BEGIN_INTERFACES(RecordingSink)
  HALCY_INTERFACE(RecordingSink, IDownloadEvents)
  HALCY_END_INTERFACES()

  HRESULT OnStatusChange(LONG status) override { return Note(Seen('s', status)); }
  HRESULT OnProgress(double received, double total) override {
    return Note(Seen('p', received, total));
  }
  HRESULT OnError(HRESULT error) override { return Note(Seen('e', 0, 0, error)); }
  std::function<void()> on_event;  // runs inside each event, on the engine's thread

 private:
  HRESULT Note(Event event) {
    Add(event);
    if (on_event) on_event();
    return S_OK;
  }
};

using testing_support::RefusingPort;

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ASSERT_TRUE(SUCCEEDED(halcy::CreateComInstance<CCoNetFileFetcher>(
        nullptr, INetFileFetcher::kIID, fetcher_.ReleaseAndGetVoidAddress())));
  }

  // A download object for `url` and `path`, its listener set on the extension-manager thread.
  ComPtr<ICarryInfo> NewDownload(const std::string& url, const std::string& path) {
    ComPtr<ICarryInfo> info;
    EXPECT_TRUE(SUCCEEDED(halcy::CreateComInstance<CCoCarryInfo>(nullptr, ICarryInfo::kIID,
                                                                 info.ReleaseAndGetVoidAddress())));
    halcy::ScopedBstr url_text(halcy::Utf8ToUtf16(url));
    halcy::ScopedBstr path_text(halcy::Utf8ToUtf16(path));
    info->SetUrl(url_text.Get());
    info->SetFilePath(path_text.Get());
    listener_->expected_info = info.Get();
    host_.RunOn(kManager, [&] { return info->SetListener(listener_.Get()); });
    return info;
  }
  HRESULT OnManager(const std::function<HRESULT()>& call) { return host_.RunOn(kManager, call); }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // The file system gives no signal; a worker thread ending on its own is watched by polling.
  void WaitUntilFilesAre(const std::vector<std::string>& names) const {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Files() != names && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void ExpectAllOnManagerThread() {
    const DWORD manager = host_.ThreadId(kManager);
    for (const Event& e : listener_->Events()) EXPECT_EQ(e.thread, manager) << e.kind;
    EXPECT_FALSE(listener_->wrong_info);
  }

  // Direct connections only, whatever the environment says: nothing leaves 127.0.0.1.
  ts::ScopedEnv http_proxy_{"http_proxy", ""};
  ts::ScopedEnv all_proxy_{"all_proxy", ""};
  ts::ScopedEnv all_proxy_upper_{"ALL_PROXY", ""};
  ts::TestHost host_;
  ts::LoopbackServer server_;
  ts::ScopedTempDir dir_;
  ComPtr<INetFileFetcher> fetcher_;
  ComPtr<RecordingListener> listener_ = halcy::MakeComObject<RecordingListener>();
};

TEST_F(DownloadTest, AddTaskRefusesMissingUrlOrPathAndKeepsNothing) {
  struct Row {
    const char* url;
    const char* path;
  } rows[] = {{"", "x.bin"}, {"http://127.0.0.1:1/bytes/1", ""}, {"", ""}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.url) + " | " + row.path);
    ComPtr<ICarryInfo> info = NewDownload(row.url, row.path[0] ? dir_.File(row.path) : "");
    const ULONG before = RefCount(info.Get());
    EXPECT_EQ(OnManager([&] { return fetcher_->AddTask(info.Get()); }), E_INVALIDARG);
    EXPECT_EQ(RefCount(info.Get()), before);
  }
  ComPtr<ICarryInfo> unset;
  ASSERT_TRUE(SUCCEEDED(halcy::CreateComInstance<CCoCarryInfo>(nullptr, ICarryInfo::kIID,
                                                               unset.ReleaseAndGetVoidAddress())));
  EXPECT_EQ(fetcher_->AddTask(unset.Get()), E_INVALIDARG);
  EXPECT_EQ(fetcher_->AddTask(nullptr), E_INVALIDARG);
  halcy::ScopedBstr never_set;
  EXPECT_EQ(unset->GetUrl(never_set.Receive()), S_OK);
  EXPECT_EQ(never_set.Get(), nullptr);
  EXPECT_EQ(unset->SetUrl(nullptr), E_FAIL);
  EXPECT_EQ(unset->SetListener(nullptr), E_FAIL);
  EXPECT_EQ(unset->GetStatus(nullptr), E_INVALIDARG);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(listener_->Events().empty());
  EXPECT_TRUE(Files().empty());
}

TEST_F(DownloadTest, CompleteDownloadLandsUnderTargetNameWithExactBytes) {
  struct Row {
    std::string url;
    size_t size;
    bool windows_path;
    bool via_proxy;
  } rows[] = {
      {server_.Url("/bytes/300000"), 300000, false, false},
      {server_.Url("/redirect-to/") + "http%3A%2F%2F127.0.0.1%3A" + std::to_string(server_.port()) +
           "%2Fbytes%2F5000",
       5000, true, false},
      {server_.Url("/empty"), 0, false, false},
      {"http://downloads.example.test/bytes/777", 777, false, true},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    std::optional<ts::ScopedLoopbackProxy> proxy;
    if (row.via_proxy) proxy.emplace(server_);
    const std::string name = "pkg" + std::to_string(n++) + ".zip";
    std::string path = dir_.File(name);
    if (row.windows_path) std::replace(path.begin(), path.end(), '/', '\\');
    listener_ = halcy::MakeComObject<RecordingListener>();
    ComPtr<ICarryInfo> info = NewDownload(row.url, path);
    ASSERT_EQ(OnManager([&] { return fetcher_->AddTask(info.Get()); }), S_OK);
    ASSERT_TRUE(listener_->WaitForEnd());

    std::vector<Event> events = listener_->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, 's');
    EXPECT_EQ(events.front().a, kDownloadConnecting);
    EXPECT_EQ(events.back().a, kDownloadComplete);
    ASSERT_GE(events.size(), 2u);
    const Event& last_progress = events[events.size() - 2];
    EXPECT_EQ(last_progress.kind, 'p');
    EXPECT_EQ(last_progress.a, double(row.size));
    ExpectAllOnManagerThread();
    EXPECT_EQ(ts::ReadFileOrEmpty(dir_.File(name)), Pattern(row.size));
    EXPECT_EQ(Files().back(), name);  // nothing but the targets so far
    EXPECT_EQ(Files().size(), size_t(n));
    halcy::ScopedBstr path_back;
    ASSERT_EQ(info->GetFilePath(path_back.Receive()), S_OK);
    EXPECT_EQ(path_back.View(), halcy::Utf8ToUtf16(path));
    LONG status = 0;
    double received = -1, total = -1;
    info->GetStatus(&status);
    info->GetReceived(&received);
    info->GetTotal(&total);
    EXPECT_EQ(status, kDownloadComplete);
    EXPECT_EQ(received, double(row.size));
    EXPECT_EQ(total, double(row.size));
    if (row.via_proxy) {
      EXPECT_EQ(server_.Requests().back().host, "downloads.example.test");
    }

    EXPECT_EQ(OnManager([&] { return fetcher_->RemoveTask(info.Get()); }), S_OK);
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(RefCount(info.Get()), 1u);  // no cycle through the engine and its sink
  }
}

TEST_F(DownloadTest, FailedDownloadReportsErrorAndLeavesTargetAlone) {
  RefusingPort refusing;
  struct Row {
    std::string url;
    HRESULT error;
  } rows[] = {
      {server_.Url("/status/404"), HttpStatusError(404)},
      {"http://127.0.0.1:" + std::to_string(refusing.port()) + "/bytes/10", kDownloadCannotConnect},
      {"file:///etc/hostname", kDownloadBadUrl},
      {server_.Url("/redirect-to/file%3A%2F%2F%2Fetc%2Fhostname"), kDownloadBadUrl},
      // Through the proxy, so that the redirect to itself keeps reaching the loopback server.
      {"http://loop.example.test/loop", kDownloadTooManyRedirects},
  };
  const std::string target = dir_.File("app.zip");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    std::optional<ts::ScopedLoopbackProxy> proxy;
    if (row.url.find(".test/") != std::string::npos) proxy.emplace(server_);
    ts::WriteFileOrDie(target, "previous version");
    listener_ = halcy::MakeComObject<RecordingListener>();
    ComPtr<ICarryInfo> info = NewDownload(row.url, target);
    ASSERT_EQ(OnManager([&] { return fetcher_->AddTask(info.Get()); }), S_OK);
    ASSERT_TRUE(listener_->WaitForEnd());
    std::vector<Event> events = listener_->Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2].kind, 'e');
    EXPECT_EQ(events[events.size() - 2].error, row.error);
    EXPECT_EQ(events.back().a, kDownloadFailed);
    ExpectAllOnManagerThread();
    EXPECT_EQ(ts::ReadFileOrEmpty(target), "previous version");
    EXPECT_EQ(Files(), std::vector<std::string>{"app.zip"});
    EXPECT_EQ(OnManager([&] { return fetcher_->RemoveTask(info.Get()); }), S_OK);
  }
}

TEST_F(DownloadTest, DownloadStoppedHalfwayLeavesNoFileAndSaysNothingMore) {
  enum How { kRemove, kAbort, kRemoveAll, kAbortAll, kRemoveUnkept };
  for (How how : {kRemove, kAbort, kRemoveAll, kAbortAll, kRemoveUnkept}) {
    SCOPED_TRACE(how);
    listener_ = halcy::MakeComObject<RecordingListener>();
    ComPtr<ICarryInfo> info = NewDownload(server_.Url("/stall/400000/100000"), dir_.File("x"));
    ComPtr<IDownloadTask> task;
    ASSERT_EQ(info.As(&task), S_OK);
    ASSERT_EQ(OnManager([&] {
                return how == kRemoveUnkept ? task->Start() : fetcher_->AddTask(info.Get());
              }),
              S_OK);
    ASSERT_TRUE(listener_->WaitForBytes());
    size_t seen = 0;
    EXPECT_EQ(OnManager([&] {
                HRESULT hr = how == kRemove || how == kRemoveUnkept
                                 ? fetcher_->RemoveTask(info.Get())
                             : how == kAbort     ? fetcher_->AbortTask(info.Get())
                             : how == kRemoveAll ? fetcher_->RemoveAllTasks()
                                                 : fetcher_->AbortAllTasks();
                seen = listener_->Events().size();
                return hr;
              }),
              S_OK);
    if (how == kAbort || how == kAbortAll) {
      // The engine finishes on its own; its temporary file goes with it.
      WaitUntilFilesAre({});
    }
    EXPECT_TRUE(Files().empty());
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(listener_->Events().size(), seen);
    LONG status = 0;
    info->GetStatus(&status);
    EXPECT_EQ(status, kDownloadStopped);
    ExpectAllOnManagerThread();
    EXPECT_EQ(RefCount(info.Get()), 2u);  // `info` and `task`
  }
}

TEST_F(DownloadTest, FetcherKeepsSeveralAndRemovesExactlyTheOneNamed) {
  std::vector<ComPtr<ICarryInfo>> infos;
  std::vector<ComPtr<RecordingListener>> listeners;
  for (const char* name : {"a", "b", "c"}) {  // the array grows from 1 to 2 to 4
    listeners.push_back(listener_ = halcy::MakeComObject<RecordingListener>());
    infos.push_back(NewDownload(server_.Url("/stall/100000/50000"), dir_.File(name)));
    ASSERT_EQ(OnManager([&] { return fetcher_->AddTask(infos.back().Get()); }), S_OK);
    ASSERT_TRUE(listener_->WaitForBytes());
  }
  auto prefixes = [this] {
    std::string seen;
    for (const std::string& file : Files()) seen += file.substr(0, 7);
    return seen;
  };
  EXPECT_EQ(prefixes(), "a.part-b.part-c.part-");
  EXPECT_EQ(OnManager([&] { return fetcher_->RemoveTask(infos[1].Get()); }), S_OK);
  EXPECT_EQ(prefixes(), "a.part-c.part-");
  EXPECT_EQ(RefCount(infos[1].Get()), 1u);
  EXPECT_EQ(RefCount(infos[0].Get()), 2u);  // still kept by the fetcher
  EXPECT_EQ(OnManager([&] { return fetcher_->RemoveAllTasks(); }), S_OK);
  EXPECT_TRUE(Files().empty());
  for (const ComPtr<ICarryInfo>& info : infos) EXPECT_EQ(RefCount(info.Get()), 1u);
}

TEST_F(DownloadTest, NotificationsStillQueuedWhenListenerGoesOrDownloadStopsAreDropped) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "Stop" : "ClearListener");
    listener_ = halcy::MakeComObject<RecordingListener>();
    ComPtr<ICarryInfo> info = NewDownload(server_.Url("/bytes/1000"), dir_.File("y"));
    ComPtr<IDownloadTask> task;
    ASSERT_EQ(info.As(&task), S_OK);
    // The manager's thread is held busy, so every notification waits there as a task.
    std::mutex gate;
    gate.lock();
    Thread::PostTaskToThread(host_.ThreadId(kManager), Thread::NewFuncTask([&] {
                               std::lock_guard<std::mutex> wait(gate);
                               if (stop) {
                                 task->Stop(0);
                               } else {
                                 info->ClearListener();
                               }
                             }));
    ASSERT_EQ(task->Start(), S_OK);
    WaitUntilFilesAre({"y"});
    gate.unlock();
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_TRUE(listener_->Events().empty());
    EXPECT_EQ(ts::ReadFileOrEmpty(dir_.File("y")), Pattern(1000));
    task->Stop(0);
  }
}

TEST_F(DownloadTest, DownloadObjectReleasedWhileRunningStopsItsEngineAndGoes) {
  ComPtr<ICarryInfo> info = NewDownload(server_.Url("/stall/100000/50000"), dir_.File("z"));
  ComPtr<IDownloadTask> task;
  ASSERT_EQ(info.As(&task), S_OK);
  ASSERT_EQ(task->Start(), S_OK);
  ASSERT_TRUE(listener_->WaitForBytes());
  task = nullptr;
  info = nullptr;  // notifications still queued keep it until they have run
  WaitUntilFilesAre({});
  EXPECT_TRUE(Files().empty());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(RefCount(listener_.Get()), 1u);  // the object is gone and let its listener go
}

// The engine on its own, subscribed through its connection point.
class DownloadEngineTest : public DownloadTest {
 protected:
  // An engine with `sink` subscribed, not yet started.
  ComPtr<IDownloadEngine> NewEngine(RecordingSink* sink) {
    ComPtr<IDownloadEngine> engine;
    EXPECT_EQ(
        Util::Com::CreateObjectByIID(IDownloadEngine::kIID, engine.ReleaseAndGetVoidAddress()),
        S_OK);
    Subscribe(engine.Get(), sink);
    return engine;
  }
  void Subscribe(IDownloadEngine* engine, RecordingSink* sink) {
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(ComPtr<IDownloadEngine>(engine).As(&container), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(IDownloadEvents::kIID, point.ReleaseAndGetAddressOf()),
              S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(static_cast<IDownloadEvents*>(sink), &cookie), S_OK);
  }
  void Begin(IDownloadEngine* engine, const std::string& url) {
    halcy::ScopedBstr url_text(halcy::Utf8ToUtf16(url));
    halcy::ScopedBstr path_text(halcy::Utf8ToUtf16(dir_.File("e.bin")));
    engine->SetUrl(url_text.Get());
    engine->SetFilePath(path_text.Get());
    EXPECT_EQ(engine->Start(), S_OK);
  }
  ComPtr<IDownloadEngine> StartEngine(const std::string& url, RecordingSink* sink) {
    ComPtr<IDownloadEngine> engine = NewEngine(sink);
    Begin(engine.Get(), url);
    return engine;
  }
};

TEST_F(DownloadEngineTest, ProgressComesAtMostTenTimesASecondPlusTheFinalOne) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  ComPtr<IDownloadEngine> engine = StartEngine(server_.Url("/bytes/4000000"), sink.Get());
  ASSERT_TRUE(sink->WaitForEnd());
  std::vector<Event> progress;
  for (const Event& e : sink->Events()) {
    if (e.kind == 'p') progress.push_back(e);
  }
  ASSERT_GE(progress.size(), 1u);
  EXPECT_EQ(progress.back().a, 4000000.0);
  for (size_t i = 1; i + 1 < progress.size(); ++i) {
    EXPECT_GE(progress[i].at - progress[i - 1].at, std::chrono::milliseconds(99)) << i;
    EXPECT_GE(progress[i].a, progress[i - 1].a);
  }
  EXPECT_EQ(engine->Stop(VARIANT_FALSE), S_OK);
}

TEST_F(DownloadEngineTest, MoreThanTheSizeCapFailsAndLeavesNoFile) {
  struct Row {
    int64_t cap;
    LONG end;
  } rows[] = {{5000, kDownloadComplete}, {4999, kDownloadFailed}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cap);
    ComPtr<host::CDownloadEngine> engine = halcy::MakeComObject<host::CDownloadEngine>();
    engine->set_max_bytes(row.cap);
    ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
    Subscribe(engine.Get(), sink.Get());
    Begin(engine.Get(), server_.Url("/bytes/5000"));
    ASSERT_TRUE(sink->WaitForEnd());
    std::vector<Event> events = sink->Events();
    EXPECT_EQ(events.back().a, row.end);
    if (row.end == kDownloadFailed) {
      EXPECT_EQ(events[events.size() - 2].error, kDownloadTooLarge);
      EXPECT_TRUE(Files().empty());
    } else {
      EXPECT_EQ(ts::ReadFileOrEmpty(dir_.File("e.bin")), Pattern(5000));
      fs::remove(dir_.File("e.bin"));
    }
  }
}

TEST_F(DownloadEngineTest, ReleasingARunningEngineEndsItSilently) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  ComPtr<IDownloadEngine> engine = StartEngine(server_.Url("/stall/100000/50000"), sink.Get());
  ASSERT_TRUE(sink->WaitForBytes());
  engine = nullptr;
  const size_t seen = sink->Events().size();
  WaitUntilFilesAre({});
  EXPECT_TRUE(Files().empty());
  EXPECT_EQ(sink->Events().size(), seen);
}

TEST_F(DownloadEngineTest, StopFromInsideAnEventDoesNotDeadlock) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  ComPtr<IDownloadEngine> engine = NewEngine(sink.Get());
  bool stopped = false;
  sink->on_event = [&] {
    if (!stopped && sink->Events().size() == 2) {  // connecting, receiving
      stopped = true;
      engine->Stop(VARIANT_FALSE);
      sink->Add(Seen('x'));  // Stop returned (and the test may go on)
    }
  };
  Begin(engine.Get(), server_.Url("/stall/100000/50000"));
  ASSERT_TRUE(sink->WaitFor([](const std::vector<Event>& events) { return events.size() >= 3; }));
  WaitUntilFilesAre({});
  EXPECT_TRUE(Files().empty());
  std::vector<Event> events = sink->Events();
  ASSERT_EQ(events.size(), 3u);  // connecting, receiving, then nothing from the engine
  EXPECT_EQ(events[1].a, kDownloadReceiving);
  EXPECT_EQ(events[2].kind, 'x');
  sink->on_event = nullptr;
}

TEST(ConnectionSinkListTest, CookiesAndRefusals) {
  halcy::ConnectionSinkList list(IDownloadEvents::kIID);
  ComPtr<RecordingSink> a = halcy::MakeComObject<RecordingSink>();
  ComPtr<RecordingSink> b = halcy::MakeComObject<RecordingSink>();
  ComPtr<RecordingListener> not_a_sink = halcy::MakeComObject<RecordingListener>();
  DWORD first = 0, second = 0, refused = 7;
  EXPECT_EQ(list.Advise(static_cast<IDownloadEvents*>(a.Get()), &first), S_OK);
  EXPECT_EQ(list.Advise(static_cast<IDownloadEvents*>(b.Get()), &second), S_OK);
  EXPECT_EQ(list.Advise(static_cast<ICarryListener*>(not_a_sink.Get()), &refused),
            CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(refused, 0u);
  EXPECT_EQ(RefCount(static_cast<ICarryListener*>(not_a_sink.Get())), 1u);

  // A sink that leaves during an event: the list was copied, nothing blocks.
  a->on_event = [&] { EXPECT_EQ(list.Unadvise(first), S_OK); };
  list.Fire<IDownloadEvents>([](IDownloadEvents* sink) { sink->OnStatusChange(1); });
  list.Fire<IDownloadEvents>([](IDownloadEvents* sink) { sink->OnStatusChange(2); });
  EXPECT_EQ(a->Events().size(), 1u);
  EXPECT_EQ(b->Events().size(), 2u);
  EXPECT_EQ(list.Unadvise(first), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(list.Unadvise(99), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(list.Unadvise(second), S_OK);
  EXPECT_EQ(RefCount(static_cast<IDownloadEvents*>(b.Get())), 1u);
  a->on_event = nullptr;
}

}  // namespace
