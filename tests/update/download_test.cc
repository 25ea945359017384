// Downloads end to end: the module's download objects and fetcher on the host's real download
// engine, against the loopback HTTP server, with the listener on the extension-manager thread. Also
// the engine's own contract (progress rate, size cap, stop and release while running) and the sink
// list.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/download_engine.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/loopback_server.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "support/thread_gate.h"
#include "thread/thread_post.h"
#include "update/carry_info.h"
#include "update/net_file_fetcher.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using namespace Logic;
using Clock = std::chrono::steady_clock;
using Names = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr int kManager = Thread::kThreadExtensionManager;

template <class T>
ULONG RefCount(T* object) {  // the count after an AddRef and Release
  return object->AddRef(), object->Release();
}

struct Event {
  char kind;     // 's' status, 'p' progress, 'e' error, 'x' a mark of the test's own
  double a = 0;  // the status, or the bytes received
  HRESULT error = S_OK;
  ICarryInfo* info = nullptr;  // the object a listener call named
  DWORD thread = GetCurrentThreadId();
  Clock::time_point at = Clock::now();
};

bool IsEnd(const Event& e) {
  return e.kind == 's' && (e.a == kDownloadComplete || e.a == kDownloadFailed);
}
bool HasBytes(const Event& e) { return e.kind == 'p' && e.a > 0; }
bool IsMark(const Event& e) { return e.kind == 'x'; }

// The last two events: the final progress of `size` bytes and completion, or `error` and failure.
void ExpectEnd(const std::vector<Event>& events, double size, HRESULT error) {
  ASSERT_GE(events.size(), 3u);
  const Event& before = events[events.size() - 2];
  EXPECT_EQ(std::tuple(before.kind, before.a, before.error),
            std::tuple(error == S_OK ? 'p' : 'e', size, error));
  EXPECT_EQ(events.back().a, error == S_OK ? kDownloadComplete : kDownloadFailed);
}

// A download object's listener and an engine's sink in one: records each event with its thread and
// time under a lock; tests wait on conditions over what arrived.
class Recorder : public halcy::ComObjectRoot, public ICarryListener, public IDownloadEvents {
 public:
  HALCY_BEGIN_INTERFACES(Recorder)
  HALCY_INTERFACE(Recorder, ICarryListener)
  HALCY_INTERFACE(Recorder, IDownloadEvents)
  HALCY_END_INTERFACES()

  HRESULT OnCarryStatus(ICarryInfo* i, LONG s) override { return Add({'s', double(s), 0, i}); }
  HRESULT OnCarryProgress(ICarryInfo* i, double n, double) override { return Add({'p', n, 0, i}); }
  HRESULT OnCarryError(ICarryInfo* i, HRESULT error) override { return Add({'e', 0, error, i}); }
  HRESULT OnStatusChange(LONG status) override { return Add({'s', double(status)}); }
  HRESULT OnProgress(double n, double) override { return Add({'p', n}); }
  HRESULT OnError(HRESULT error) override { return Add({'e', 0, error}); }

  HRESULT Add(const Event& event) {
    std::unique_lock<std::mutex> lock(mutex_);
    events_.push_back(event);
    cv_.notify_all();
    lock.unlock();
    if (on_event) on_event();
    return S_OK;
  }
  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool WaitFor(const std::function<bool(const Event&)>& match) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, 20s,
                        [&] { return std::any_of(events_.begin(), events_.end(), match); });
  }
  std::function<void()> on_event;  // runs inside each event, on the caller's thread

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
};

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.ok()); }

  // A download object for `url` and `path` with a new `listener_`, set on the manager thread.
  ComPtr<CCoCarryInfo> NewDownload(const std::string& url, const std::string& path) {
    ComPtr<CCoCarryInfo> info = halcy::MakeComObject<CCoCarryInfo>();
    info->SetUrl(halcy::ScopedBstr(halcy::Utf8ToUtf16(url)).Get());
    info->SetFilePath(halcy::ScopedBstr(halcy::Utf8ToUtf16(path)).Get());
    listener_ = halcy::MakeComObject<Recorder>();
    OnManager([&] { return info->SetListener(listener_.Get()); });
    return info;
  }
  HRESULT OnManager(const std::function<HRESULT()>& call) { return host_.RunOn(kManager, call); }
  HRESULT AddTask(ICarryInfo* i) {
    return OnManager([&] { return fetcher_->AddTask(i); });
  }

  // An engine for `url` with a new `listener_` subscribed as its sink, not yet started.
  ComPtr<host::CDownloadEngine> NewEngine(const std::string& url) {
    auto engine = halcy::MakeComObject<host::CDownloadEngine>();
    listener_ = halcy::MakeComObject<Recorder>();
    DWORD cookie = 0;
    EXPECT_EQ(engine->Advise(static_cast<IDownloadEvents*>(listener_.Get()), &cookie), S_OK);
    engine->SetUrl(halcy::ScopedBstr(halcy::Utf8ToUtf16(url)).Get());
    engine->SetFilePath(halcy::ScopedBstr(halcy::Utf8ToUtf16(dir_.File("e.bin"))).Get());
    return engine;
  }

  // The names in the folder, sorted, each cut to `keep` characters.
  Names Files(size_t keep = std::string::npos) const {
    Names names;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string().substr(0, keep));
    std::sort(names.begin(), names.end());
    return names;
  }
  // The file system gives no signal; a worker thread ending on its own is watched by polling.
  bool FilesBecome(const Names& names, size_t keep = std::string::npos) const {
    const auto deadline = Clock::now() + 20s;
    while (Files(keep) != names && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return Files(keep) == names;
  }
  void ExpectAllOnManagerThread(ICarryInfo* info) {
    for (const Event& e : listener_->Events())
      EXPECT_EQ(std::pair(e.thread, e.info), std::pair(host_.ThreadId(kManager), info)) << e.kind;
  }

  // Direct connections only, whatever the environment says: nothing leaves 127.0.0.1.
  ts::ScopedEnv http_proxy_{"http_proxy", ""}, all_{"all_proxy", ""}, all_up_{"ALL_PROXY", ""};
  ts::TestHost host_;
  ts::LoopbackServer server_;
  ts::ScopedTempDir dir_;
  ComPtr<CCoNetFileFetcher> fetcher_ = halcy::MakeComObject<CCoNetFileFetcher>();
  ComPtr<Recorder> listener_;
};

TEST_F(DownloadTest, AddTaskRefusesMissingUrlOrPathAndKeepsNothing) {
  const std::pair<std::string, std::string> rows[] = {
      {"", dir_.File("x.bin")}, {"http://127.0.0.1:1/bytes/1", ""}, {"", ""}};
  for (const auto& [url, path] : rows) {
    SCOPED_TRACE(url + " | " + path);
    ComPtr<CCoCarryInfo> info = NewDownload(url, path);
    const ULONG before = RefCount(info.Get());
    EXPECT_EQ(AddTask(info.Get()), E_INVALIDARG);
    EXPECT_EQ(RefCount(info.Get()), before);
  }
  ComPtr<CCoCarryInfo> unset = halcy::MakeComObject<CCoCarryInfo>();
  EXPECT_EQ(fetcher_->AddTask(nullptr), E_INVALIDARG);
  halcy::ScopedBstr never_set;
  EXPECT_EQ(unset->GetUrl(never_set.Receive()), S_OK);
  EXPECT_EQ(never_set.Get(), nullptr);
  EXPECT_EQ(std::pair(unset->SetUrl(nullptr), unset->SetListener(nullptr)),
            std::pair(E_FAIL, E_FAIL));
  EXPECT_EQ(unset->GetStatus(nullptr), E_INVALIDARG);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(listener_->Events().empty());
  EXPECT_TRUE(Files().empty());
}

// Each download replaces the same existing target: whole, or not at all.
TEST_F(DownloadTest, DownloadEndsAsTheServerSaysAndTheTargetIsWholeOrUntouched) {
  const std::string port = std::to_string(server_.port());
  const std::string closed_port = std::to_string(ts::LoopbackServer().port());  // none listens
  const struct {
    std::string url;
    size_t size;
    HRESULT error;
  } rows[] = {
      {server_.Url("/bytes/300000"), 300000, S_OK},
      {server_.Url("/redirect-to/http%3A%2F%2F127.0.0.1%3A" + port + "%2Fbytes%2F5000"), 5000,
       S_OK},  // with a Windows path
      {server_.Url("/empty"), 0, S_OK},
      {"http://downloads.example.test/bytes/777", 777, S_OK},  // through the proxy
      {server_.Url("/status/404"), 0, HttpStatusError(404)},
      {"http://127.0.0.1:" + closed_port + "/bytes/10", 0, kDownloadCannotConnect},
      {"file:///etc/hostname", 0, kDownloadBadUrl},
      {server_.Url("/redirect-to/file%3A%2F%2F%2Fetc%2Fhostname"), 0, kDownloadBadUrl},
      // Through the proxy, so that the redirect to itself keeps reaching the loopback server.
      {"http://loop.example.test/loop", 0, kDownloadTooManyRedirects},
  };
  const std::string target = dir_.File("app.zip");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    const bool ok = row.error == S_OK;
    std::optional<ts::ScopedLoopbackProxy> proxy;
    if (row.url.find(".test/") != std::string::npos) proxy.emplace(server_);
    ts::WriteFileOrDie(target, "previous version");
    std::string path = target;
    if (row.size == 5000) std::replace(path.begin(), path.end(), '/', '\\');
    ComPtr<CCoCarryInfo> info = NewDownload(row.url, path);
    ASSERT_EQ(AddTask(info.Get()), S_OK);
    ASSERT_TRUE(listener_->WaitFor(IsEnd));
    std::vector<Event> events = listener_->Events();
    EXPECT_EQ(events.front().a, kDownloadConnecting);
    ExpectEnd(events, double(row.size), row.error);
    ExpectAllOnManagerThread(info.Get());
    EXPECT_EQ(ts::ReadFileOrEmpty(target), ok ? ts::LoopbackPattern(row.size) : "previous version");
    EXPECT_EQ(Files(), Names{"app.zip"});
    LONG status = 0;
    double received = -1, total = -1;
    EXPECT_EQ(info->GetStatus(&status) | info->GetReceived(&received) | info->GetTotal(&total),
              S_OK);
    EXPECT_EQ(std::tuple(double(status), received, total),
              std::tuple(events.back().a, double(row.size), double(row.size)));
    // The name the proxy was asked for.
    EXPECT_TRUE(!proxy || !ok || server_.Requests().back().host == "downloads.example.test");
    EXPECT_EQ(OnManager([&] { return fetcher_->RemoveTask(info.Get()); }), S_OK);
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(RefCount(info.Get()), 1u);  // no cycle through the engine and its sink
  }
}

// Three downloads at once, the fetcher's array growing from 1 to 2 to 4; the middle one, `b`, is
// stopped halfway, by name or with all the others.
TEST_F(DownloadTest, DownloadStoppedHalfwayLeavesNoFileSaysNothingMoreAndIsLetGo) {
  enum How { kRemove, kAbort, kRemoveAll, kAbortAll, kRemoveUnkept };
  for (How how : {kRemove, kAbort, kRemoveAll, kAbortAll, kRemoveUnkept}) {
    SCOPED_TRACE(how);
    std::vector<std::pair<ComPtr<CCoCarryInfo>, ComPtr<Recorder>>> runs;
    for (const char* name : {"a", "b", "c"}) {
      ComPtr<CCoCarryInfo> info = NewDownload(server_.Url("/stall/400000/100000"), dir_.File(name));
      const bool kept = how != kRemoveUnkept || name[0] != 'b';
      ASSERT_EQ(kept ? AddTask(info.Get()) : OnManager([&] { return info->Start(); }), S_OK);
      ASSERT_TRUE(listener_->WaitFor(HasBytes));
      runs.push_back({info, listener_});
    }
    EXPECT_EQ(Files(7), (Names{"a.part-", "b.part-", "c.part-"}));  // never the target's name
    ICarryInfo* b = runs[1].first.Get();
    listener_ = runs[1].second;
    size_t seen = 0;
    EXPECT_EQ(OnManager([&] {
                HRESULT hr = how == kRemove || how == kRemoveUnkept ? fetcher_->RemoveTask(b)
                             : how == kAbort                        ? fetcher_->AbortTask(b)
                             : how == kRemoveAll                    ? fetcher_->RemoveAllTasks()
                                                                    : fetcher_->AbortAllTasks();
                seen = listener_->Events().size();
                return hr;
              }),
              S_OK);
    const bool all = how == kRemoveAll || how == kAbortAll;
    // An aborted engine finishes on its own; its temporary file goes with it.
    EXPECT_TRUE(FilesBecome(all ? Names{} : Names{"a.part-", "c.part-"}, 7));
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(listener_->Events().size(), seen);
    LONG status = 0;
    b->GetStatus(&status);
    EXPECT_EQ(status, kDownloadStopped);
    ExpectAllOnManagerThread(b);
    EXPECT_EQ(RefCount(b), 1u);
    // `a` is kept by the fetcher unless all went (a notification on its way may hold it too).
    EXPECT_EQ(RefCount(runs[0].first.Get()) > 1, !all);
    EXPECT_EQ(OnManager([&] { return fetcher_->RemoveAllTasks(); }), S_OK);
    EXPECT_TRUE(Files().empty());
    ASSERT_TRUE(host_.WaitIdle());  // notifications queued before the stop hold their object
    for (const auto& run : runs) EXPECT_EQ(RefCount(run.first.Get()), 1u);
  }
}

TEST_F(DownloadTest, NotificationsStillQueuedWhenListenerGoesOrDownloadStopsAreDropped) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "Stop" : "ClearListener");
    ComPtr<CCoCarryInfo> info = NewDownload(server_.Url("/bytes/1000"), dir_.File("y"));
    ts::ThreadGate busy(kManager);  // every notification waits behind the task posted next
    Thread::PostTask(kManager,
                     Thread::NewFuncTask([&] { stop ? info->Stop(0) : info->ClearListener(); }));
    ASSERT_EQ(info->Start(), S_OK);
    ASSERT_TRUE(FilesBecome({"y"}));
    busy.Release();
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_TRUE(listener_->Events().empty());
    EXPECT_EQ(ts::ReadFileOrEmpty(dir_.File("y")), ts::LoopbackPattern(1000));
  }
}

TEST_F(DownloadTest, DownloadObjectReleasedWhileRunningStopsItsEngineAndGoes) {
  ComPtr<CCoCarryInfo> info = NewDownload(server_.Url("/stall/100000/50000"), dir_.File("z"));
  ASSERT_EQ(info->Start(), S_OK);
  ASSERT_TRUE(listener_->WaitFor(HasBytes));
  info = nullptr;  // notifications still queued keep it until they have run
  EXPECT_TRUE(FilesBecome({}));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(RefCount(listener_.Get()), 1u);  // the object is gone and let its listener go
}

TEST_F(DownloadTest, EngineKeepsTheSizeCapAndReportsProgressAtMostTenTimesASecond) {
  for (int64_t cap : {4000000, 3999999}) {
    SCOPED_TRACE(cap);
    ComPtr<host::CDownloadEngine> engine = NewEngine(server_.Url("/bytes/4000000"));
    engine->set_max_bytes(cap);
    ASSERT_EQ(engine->Start(), S_OK);
    ASSERT_TRUE(listener_->WaitFor(IsEnd));
    std::vector<Event> events = listener_->Events(), progress;
    for (const Event& e : events)
      if (e.kind == 'p') progress.push_back(e);
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
      // Stamped as the sink records them: a little scheduling slack below the 100 ms.
      EXPECT_GE(progress[i].at - progress[i - 1].at, 80ms) << i;
      EXPECT_GE(progress[i].a, progress[i - 1].a);
    }
    const bool whole = cap == 4000000;
    ExpectEnd(events, whole ? 4000000 : 0, whole ? S_OK : kDownloadTooLarge);
    EXPECT_EQ(Files(), whole ? Names{"e.bin"} : Names{});
    EXPECT_TRUE(ts::ReadFileOrEmpty(dir_.File("e.bin")) ==
                ts::LoopbackPattern(whole ? 4000000 : 0));
    fs::remove(dir_.File("e.bin"));
  }
}

TEST_F(DownloadTest, EngineStoppedInsideAnEventOrReleasedWhileRunningSaysNothingMore) {
  for (bool release : {false, true}) {
    SCOPED_TRACE(release ? "released" : "stopped inside an event");
    auto engine = NewEngine(server_.Url("/stall/100000/50000"));
    listener_->on_event = [&, stopped = false]() mutable {
      if (!release && !stopped && listener_->Events().size() == 2) {  // connecting, receiving
        stopped = true;
        engine->Stop(VARIANT_FALSE);
        listener_->Add({'x'});  // Stop returned (and the test may go on)
      }
    };
    ASSERT_EQ(engine->Start(), S_OK);
    ASSERT_TRUE(listener_->WaitFor(release ? HasBytes : IsMark));
    if (release) engine = nullptr;  // returns once no event is in progress
    if (release) listener_->Add({'x'});
    EXPECT_TRUE(FilesBecome({}));
    std::vector<Event> events = listener_->Events();
    EXPECT_EQ(events.back().kind, 'x');  // nothing from the engine once it has stopped
    EXPECT_TRUE(release || events.size() == 3u) << events.size();  // connecting, receiving, mark
  }
}

TEST(ConnectionSinkListTest, CookiesAndRefusals) {
  halcy::ConnectionSinkList list(IDownloadEvents::kIID);
  ComPtr<Recorder> a = halcy::MakeComObject<Recorder>(), b = halcy::MakeComObject<Recorder>();
  ComPtr<CCoCarryInfo> not_a_sink = halcy::MakeComObject<CCoCarryInfo>();
  DWORD first = 0, second = 0, refused = 7;
  EXPECT_EQ(list.Advise(static_cast<IDownloadEvents*>(a.Get()), &first), S_OK);
  EXPECT_EQ(list.Advise(static_cast<IDownloadEvents*>(b.Get()), &second), S_OK);
  EXPECT_EQ(list.Advise(static_cast<ICarryInfo*>(not_a_sink.Get()), &refused),
            CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ((std::vector<DWORD>{first, second, refused}), (std::vector<DWORD>{1, 2, 0}));
  EXPECT_EQ(RefCount(not_a_sink.Get()), 1u);
  // A sink that leaves during an event: the list was copied, nothing blocks.
  a->on_event = [&] { EXPECT_EQ(list.Unadvise(first), S_OK); };
  list.Fire<IDownloadEvents>([](IDownloadEvents* sink) { sink->OnStatusChange(1); });
  list.Fire<IDownloadEvents>([](IDownloadEvents* sink) { sink->OnStatusChange(2); });
  EXPECT_EQ(std::pair(a->Events().size(), b->Events().size()), std::pair(size_t(1), size_t(2)));
  EXPECT_EQ(list.Unadvise(first), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(list.Unadvise(second), S_OK);
  EXPECT_EQ(RefCount(b.Get()), 1u);
}

}  // namespace
