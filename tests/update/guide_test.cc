// The install guide end to end: a real extension manager on a temporary data root, the host's
// threads, download engine, program tasks and pop-up, the loopback HTTP server for the probe
// and the packages, and /bin/sh scripts as setup programs.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "host/channel_info.h"
#include "host/guild_popup.h"
#include "host/outstanding_work.h"
#include "host/program_task.h"
#include "module/channel_info.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/refusing_port.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "support/zip_builder.h"
#include "thread/thread_service.h"
#include "update/extension_app_guild.h"
#include "update/unfinished_task_list.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using namespace Logic;

std::u16string U(const std::string& text) { return halcy::Utf8ToUtf16(text); }

// The pop-up's lines as the host prints them, from any thread.
struct PopupLines {
  // All but the progress lines, which depend on timing.
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [](const std::string& line) { return line.find("\"progress\"") == line.npos; });
    return kept;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
  }
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

std::string Popup(const std::string& text) {
  return "{\"to\":\"popup\",\"text\":\"" + text + "\"}";
}

bool HasStatistic(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

LONG InstallCount(CExtensionAppGuild* guide) {
  LONG count = -1;
  EXPECT_EQ(S_OK, guide->GetInstallCount(&count));
  return count;
}

class GuideTest : public extension_testing::ExtensionMgrFixture {
 protected:
  GuideTest() {
    auto popup = halcy::MakeComObject<host::CGuildPopup>([lines = lines_](const std::string& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->lines.push_back(line);
    });
    host_.ReplaceService(IGuildPopup::kIID, popup.Get());
    ts::WriteFileOrDie(env_.browser_dir() + "/halcy_strings.txt",
                       "IDS_HALCY_EXTENSIONGUILD_NET_CHECK=net-check\n"
                       "IDS_HALCY_EXTENSIONGUILD_INSTALL_PREPARE=prepare\n"
                       "IDS_HALCY_EXTENSIONGUILD_INSTALL_OK=ok\n"
                       "IDS_HALCY_EXTENSIONGUILD_INSTALL_FAIL=fail\n"
                       "IDS_HALCY_EXTENSIONGUILD_NET_ERROR=net-error\n");
    SetProbe(server_.Url("/empty"));
  }

  void SetProbe(const std::string& url) {
    ts::WriteFileOrDie(ConfigPath(), "[guide]\nprobe=" + url + "\n");
  }
  std::string ConfigPath() const { return env_.browser_dir() + "/extensionMgrConfig.ini"; }

  // Starts the manager with placeholders that wait for their packages ("setuponline" 1), without
  // the configuration file (so without a guide of its own) unless `with_managers_guide`.
  void StartWithPlaceholders(const std::vector<std::u16string>& ids,
                             bool with_managers_guide = false) {
    std::vector<extension_testing::StoreRecord> records;
    for (const std::u16string& id : ids) {
      records.push_back(extension_testing::Record(id));
      records.back().manifest =
          u"{\"name\":\"" + id + u"\",\"version\":\"1.0\",\"setuponline\":\"1\"}";
    }
    const std::string config = ts::ReadFileOrEmpty(ConfigPath());
    if (!with_managers_guide) fs::remove(ConfigPath());
    Start(records);
    ts::WriteFileOrDie(ConfigPath(), config);
  }

  ComPtr<CExtensionAppGuild> NewGuide(int start_delay_ms = -1) {
    lines_->Clear();
    auto guide = halcy::MakeComObject<CExtensionAppGuild>();
    EXPECT_EQ(S_OK, guide->SetExtensionMgr(mgr_.Get()));
    if (start_delay_ms >= 0) {
      guide->SetStartDelayForTesting(start_delay_ms);
      EXPECT_EQ(S_OK, guide->Start());
    }
    return guide;
  }

  // Serves `entries` as /files/<name> and returns its address.
  std::string Package(const std::string& name, const std::vector<ts::ZipFixtureEntry>& entries) {
    ts::WriteFileOrDie(files_.File(name), ts::BuildZip(entries));
    return server_.Url("/files/" + name);
  }

  void Install(IExtensionAppGuild* guide, const std::u16string& id, const std::string& url) {
    ASSERT_EQ(S_OK,
              guide->InstallByExId(halcy::ScopedBstr(id).Get(), halcy::ScopedBstr(U(url)).Get()));
  }

  // Stop, where the manager calls it.
  HRESULT Stop(CExtensionAppGuild* guide) {
    return host_.RunOn(Thread::kThreadExtensionManager, [guide] { return guide->Stop(); });
  }

  bool WaitForMessages(size_t count) {
    return ts::WaitUntil([&] { return lines_->Messages().size() >= count; }) && host_.WaitIdle();
  }

  size_t Requests(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& request : server_.Requests()) n += request.path.rfind(prefix, 0) == 0;
    return n;
  }
  bool WaitForStalls(size_t count) {
    return ts::WaitUntil([&] { return Requests("/stall/") >= count; }) && host_.WaitIdle();
  }

  CUnFinishTaskList Tasks() const {
    return CUnFinishTaskList(U(UserExtensionsDir() + "/UnFinishTask.ini"));
  }

  // The task list's entries as "id url times".
  std::vector<std::string> Saved() const {
    std::vector<std::string> saved;
    for (const UnFinishTask& t : Tasks().ReadAll()) {
      saved.push_back(halcy::Utf16ToUtf8(t.id + u" " + t.url) + " " + std::to_string(t.times));
    }
    return saved;
  }

  size_t CountStatistic(const std::string& text) const {
    const std::vector<std::string> lines = StatisticsLines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }

  ts::ScopedTempDir files_;
  ts::ScopedEnv files_env_{"LOOPBACK_FILES_DIR", files_.path()};
  ts::LoopbackServer server_;
  const std::string stall_ = server_.Url("/stall/100000/10");
  std::shared_ptr<PopupLines> lines_ = std::make_shared<PopupLines>();
  ts::LogCapture log_;
};

// A setup script that writes each argument it received on a line of `out`, then exits.
std::string SetupScript(const std::string& out, int exit_code) {
  return "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + out + "'\nexit " +
         std::to_string(exit_code) + "\n";
}

std::string SetupJson(const std::string& setup, const std::string& param) {
  return "{\"setup\":\"" + setup + "\",\"param\":\"" + param + "\"}";
}

TEST(GuideTaskListTest, RemovingTheMiddleOfThreeShiftsTheLastDown) {
  ts::ScopedTempDir dir;
  CUnFinishTaskList list(U(dir.File("UnFinishTask.ini")));
  ASSERT_TRUE(list.Save({{u"a", u"http://h/a.zip", 0}, {u"b", u"http://h/b.zip", 1}}));
  ASSERT_TRUE(list.Add({u"c", u"http://h/c.zip", 2}));
  EXPECT_EQ(2, list.Find(u"B"));
  EXPECT_EQ(0, list.Find(u"b", u"http://h/other.zip"));
  ASSERT_TRUE(list.Remove(u"b"));
  EXPECT_EQ(ts::ReadFileOrEmpty(dir.File("UnFinishTask.ini")),
            "[task]\r\ncount=2\r\n"
            "[1]\r\nurl=http://h/a.zip\r\ntimes=0\r\nid=a\r\n"
            "[2]\r\nurl=http://h/c.zip\r\ntimes=2\r\nid=c\r\n"
            "[3]\r\nurl=\r\ntimes=\r\nid=\r\n");
  UnFinishTask third;
  EXPECT_FALSE(list.GetEntry(3, &third));
  EXPECT_FALSE(list.Remove(u"b"));
  EXPECT_FALSE(list.Add({u"x", u"http://h/\nx", 0})) << "a line break would forge a key";
  // By index: a later entry of the same id goes, the earlier one stays.
  ASSERT_TRUE(list.Add({u"a", u"", 0}));
  ASSERT_TRUE(list.RemoveAt(3));
  ASSERT_EQ(list.ReadAll().size(), 2u);
  EXPECT_EQ(list.ReadAll()[0].url, u"http://h/a.zip");
  EXPECT_FALSE(list.RemoveAt(3));
}

TEST(GuideParametersTest, SplitLikeACommandLineWithoutAShell) {
  const std::vector<std::pair<std::u16string, std::vector<std::string>>> cases = {
      {u"", {}},
      {u"  a  b ", {"a", "b"}},
      {u"/S \"/D=C:\\Program Files\\x\"", {"/S", "/D=C:\\Program Files\\x"}},
      {u"\"\" x", {"", "x"}},
      {u"say\\\"hi; rm -rf /", {"say\"hi;", "rm", "-rf", "/"}},
      {u"$(id) `id` a|b", {"$(id)", "`id`", "a|b"}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(expected, host::SplitProgramParameters(text)) << halcy::Utf16ToUtf8(text);
  }
}

TEST(GuideIdTest, ApplicationNumbersAreTheDecimalRange) {
  // "12345abc" counts as _wtoi reads it.
  const std::u16string yes[] = {u"10001", u"99999", u"12345abc", u" +10001"},
                       no[] = {u"10000", u"100000", u"-10001", u"abc"};
  for (const auto& id : yes) EXPECT_TRUE(IsApplicationNumber(id)) << halcy::Utf16ToUtf8(id);
  for (const auto& id : no) EXPECT_FALSE(IsApplicationNumber(id)) << halcy::Utf16ToUtf8(id);
}

TEST(GuidePopupTest, PrintsOneEscapedJsonLinePerCall) {
  std::vector<std::string> lines;
  auto popup = halcy::MakeComObject<host::CGuildPopup>(
      [&lines](const std::string& line) { lines.push_back(line); });
  popup->ShowMessage(halcy::ScopedBstr(u"say \"hi\"\n").Get());
  popup->ShowProgress(halcy::ScopedBstr(u"42").Get());
  popup->OpenWindow(halcy::ScopedBstr(u"hcbrowser://newtab/").Get());
  EXPECT_EQ((std::vector<std::string>{"{\"to\":\"popup\",\"text\":\"say \\\"hi\\\"\\n\"}",
                                      "{\"to\":\"popup\",\"progress\":\"42\"}",
                                      "{\"to\":\"popup\",\"window\":\"hcbrowser://newtab/\"}"}),
            lines);
}

// Without the configuration file the guide refuses its manager and then says that it cannot
// install, rather than taking the request and dropping it.
TEST_F(GuideTest, RefusedWithoutTheConfigurationFile) {
  StartWithPlaceholders({u"app.one"});
  fs::remove(ConfigPath());
  auto guide = halcy::MakeComObject<CExtensionAppGuild>();
  EXPECT_EQ(E_FAIL, guide->SetExtensionMgr(mgr_.Get()));
  EXPECT_EQ(E_UNEXPECTED, guide->InstallByExId(halcy::ScopedBstr(u"app.one").Get(),
                                               halcy::ScopedBstr(U(stall_)).Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(0u, Requests("/stall/"));
}

TEST_F(GuideTest, NoNetworkShowsTheNetCheckAndStartsNoDownload) {
  ts::RefusingPort closed;
  SetProbe("http://127.0.0.1:" + std::to_string(closed.port()) + "/");
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  Install(guide.Get(), u"app.one", Package("one.zip", {ts::ZipFile("manifest.json", "{}")}));
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(std::vector<std::string>{Popup("net-check")}, lines_->Messages());
  EXPECT_EQ(0u, Requests("/files/"));
  EXPECT_EQ(0, InstallCount(guide.Get()));
  EXPECT_FALSE(fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.zip"));
}

// The refused package comes by InstallByExId, the good one by a front-end command, which opens
// a window first.
TEST_F(GuideTest, PackageWithoutSetupJsonGoesToTheManagersInstall) {
  const std::string window = "{\"to\":\"popup\",\"window\":\"hcbrowser://newtab/\"}";
  using Case = std::tuple<std::string, std::vector<std::string>, const char16_t*, const char*>;
  const std::string good = "{\"name\":\"app.one\",\"version\":\"2.0\"}";
  const std::vector<Case> cases = {
      // Refused by the manager: the placeholder's folder and record come back.
      {"[\"not an object\"]", {Popup("prepare"), Popup("fail")}, u"1.0", "Abead"},
      {good, {window, Popup("prepare"), Popup("ok")}, u"2.0", "InstallSuccess"},
  };

  StartWithPlaceholders({u"app.one"});
  const std::string dir = UserExtensionsDir();
  for (const auto& [manifest, messages, version, statistic] : cases) {
    SCOPED_TRACE(manifest);
    const bool installed = messages.back() == Popup("ok");
    ts::WriteFileOrDie(dir + "/app.one/old.txt", "placeholder");
    auto guide = NewGuide();
    const std::string url =
        Package("one.zip", {ts::ZipFile("manifest.json", manifest), ts::ZipFile("p.js", "x")});
    const std::u16string command = u"{\"id\":\"app.one\",\"url\":\"" + U(url) + u"\"}";
    ASSERT_EQ(S_OK, installed ? guide->InstallFromFECommand(halcy::ScopedBstr(command).Get())
                              : guide->InstallByExId(halcy::ScopedBstr(u"app.one").Get(),
                                                     halcy::ScopedBstr(U(url)).Get()));
    ASSERT_TRUE(WaitForMessages(messages.size()));
    EXPECT_EQ(messages, lines_->Messages());
    halcy::ScopedBstr got;
    Agent(u"app.one")->GetVersion(got.Receive());
    EXPECT_EQ(std::u16string(version), got.View());
    EXPECT_EQ(installed ? manifest : "", ts::ReadFileOrEmpty(dir + "/app.one/manifest.json"));
    EXPECT_EQ(!installed, fs::exists(dir + "/app.one/old.txt"));
    for (const char* left :
         {"/.guide-old-app.one", "/downloadtemp/app.one.unpack", "/downloadtemp/app.one.zip"}) {
      EXPECT_FALSE(fs::exists(dir + left)) << left;
    }
    EXPECT_EQ(installed ? 0 : 1, InstallCount(guide.Get())) << "a failed install stays under way";
    EXPECT_TRUE(HasStatistic(StatisticsLines(), statistic));
    Stop(guide.Get());
  }
}

// Hostile ids and addresses, and ids that are no placeholder, start nothing. Of two downloads
// under way, the cancelled one is forgotten and Stop saves the other.
TEST_F(GuideTest, HostileInstallsAreSkippedCancelForgetsAndStopSaves) {
  StartWithPlaceholders({u"app.one", u"app.two"});
  auto guide = NewGuide();
  const std::string url = Package("one.zip", {ts::ZipFile("manifest.json", "{}")});
  const std::vector<std::u16string> ids = {u"..",           u".", u"../x", u"a/b", u"extdb_v2.json",
                                           u"downloadtemp", u""};
  for (const std::u16string& id : ids) Install(guide.Get(), id, url);
  Install(guide.Get(), u"app.one", "file:///etc/passwd");
  Install(guide.Get(), u"unknown.app", url);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(lines_->Messages().empty());
  EXPECT_EQ(0u, Requests("/files/"));
  EXPECT_EQ(0, InstallCount(guide.Get()));
  for (const std::u16string& id : ids) {
    EXPECT_TRUE(log_.Contains(u"guide: install: id \"" + id + u"\" refused"))
        << halcy::Utf16ToUtf8(id);
  }
  Install(guide.Get(), u"app.one", stall_);
  Install(guide.Get(), u"app.two", stall_);
  ASSERT_TRUE(WaitForStalls(2));
  EXPECT_EQ(2, InstallCount(guide.Get()));
  ASSERT_EQ(S_OK, guide->CancelInstall(halcy::ScopedBstr(u"app.one").Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1, InstallCount(guide.Get()));
  EXPECT_TRUE(HasStatistic(StatisticsLines(), "cancel"));
  ASSERT_EQ(S_OK, Stop(guide.Get()));
  EXPECT_EQ(std::vector<std::string>{"app.two " + stall_ + " 0"}, Saved());
}

// Application 10001's "Install" report carries "FirstBar" only during the browser's first
// start, as counted in the cache store.
TEST_F(GuideTest, FirstBarOnlyDuringTheFirstBrowserStart) {
  StartWithPlaceholders({u"10001"});
  ComPtr<ICacheStore> cache;
  host_.services().channel_info()->GetCacheStore(cache.ReleaseAndGetAddressOf());
  ASSERT_TRUE(cache);
  const std::vector<std::pair<const char16_t*, bool>> cases = {
      {nullptr, false}, {u"1", true}, {u"2", false}, {u"1x", false}, {u"", false}};
  for (const auto& [counter, first_bar] : cases) {
    SCOPED_TRACE(counter ? halcy::Utf16ToUtf8(counter) : "no counter");
    ComPtr<IStringList> list;
    Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
    if (counter) list->Append(counter);
    ASSERT_EQ(S_OK, cache->WriteEntry(u"Pref_Browser_Start_Counter", list.Get()));
    const size_t installs = CountStatistic("\"Install\""), first_bars = CountStatistic("FirstBar");
    auto guide = NewGuide();
    Install(guide.Get(), u"10001", stall_);
    ASSERT_TRUE(ts::WaitUntil([&] { return CountStatistic("\"Install\"") > installs; }));
    EXPECT_EQ(first_bars + (first_bar ? 1 : 0), CountStatistic("FirstBar"));
    Stop(guide.Get());
  }
}

// A setup program inside the package gets its parameters split and reports how it ended; one
// outside the package's folder (by path or by link), missing, or named by a bad setup.json is
// never run.
TEST_F(GuideTest, SetupProgramRunsOnlyFromInsideThePackage) {
  StartWithPlaceholders({u"app.one"});
  const std::string marker = files_.File("ran"), evil = files_.File("evil.sh");
  ts::WriteFileOrDie(evil, "#!/bin/sh\ntouch '" + marker + "'\n");
  fs::permissions(evil, fs::perms::owner_all);
  ts::ZipFixtureEntry link = ts::ZipFile("link.sh", evil);
  link.external_attributes = 0120777u << 16;
  const std::string args = files_.File("args"), param = "one \\\"two words\\\" three\\\\\\\"q";
  auto setup = [&](int exit_code) {
    return std::vector<ts::ZipFixtureEntry>{
        ts::ZipFile("setup.json", SetupJson("bin/setup.sh", param)),
        ts::ZipFile("bin/setup.sh", SetupScript(args, exit_code))};
  };
  const std::vector<std::pair<std::vector<ts::ZipFixtureEntry>, const char16_t*>> cases = {
      {setup(0), u"OnProgressFinish,有任务执行成功 \n"},
      {setup(3), u"OnProgressError,有任务执行发生错误 \n"},
      {{ts::ZipFile("setup.json", SetupJson("../../../../../../.." + evil, ""))}, nullptr},
      {{ts::ZipFile("setup.json", SetupJson(evil, ""))}, nullptr},
      {{ts::ZipFile("setup.json", SetupJson("link.sh", "")), link}, nullptr},
      {{ts::ZipFile("setup.json", SetupJson("missing.sh", ""))}, nullptr},
      {{ts::ZipFile("setup.json", "[\"not an object\"]")}, nullptr},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const char16_t* log = cases[i].second;
    const bool ok = i == 0;
    fs::remove(args);
    auto guide = NewGuide();
    Install(guide.Get(), u"app.one", Package("p" + std::to_string(i) + ".zip", cases[i].first));
    ASSERT_TRUE(!log || ts::WaitUntil([&] { return log_.Contains(log); }));
    ASSERT_TRUE(WaitForMessages(ok ? 1 : 2));
    const std::vector<std::string> fail = {Popup("prepare"), Popup("fail")};
    EXPECT_EQ(ok ? std::vector<std::string>{Popup("prepare")} : fail, lines_->Messages());
    EXPECT_EQ(log ? "one\ntwo words\nthree\"q\n" : "", ts::ReadFileOrEmpty(args));
    EXPECT_TRUE(!log || InstallCount(guide.Get()) == (ok ? 0 : 1)) << "a failed setup stays";
    EXPECT_FALSE(!log && fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.unpack"));
    EXPECT_FALSE(fs::exists(marker));
    Stop(guide.Get());
  }
}

// Entries without an address or for an id the manager does not know go at the start; an
// application number is resumed while its program is missing (10001 has no "regpath") and is
// reported under its product name; each start is one more attempt, and the third is the last.
TEST_F(GuideTest, InterruptedInstallsAreResumedAndDroppedAfterThreeAttempts) {
  StartWithPlaceholders({u"app.one", u"10001"});
  const std::u16string url = U(stall_);
  ASSERT_TRUE(Tasks().Save(
      {{u"app.one", u"", 0}, {u"app.one", url, 0}, {u"gone", url, 0}, {u"10001", url, 1}}));
  const std::string s = " " + stall_ + " ";
  std::vector<std::string> listed = {"app.one" + s + "0", "10001" + s + "1"};
  // Per start: the downloads by then, and what its stop saves.
  const std::vector<std::pair<size_t, std::vector<std::string>>> starts = {
      {2, {"10001" + s + "2", "app.one" + s + "1"}}, {4, {"app.one" + s + "2"}}, {5, {}}};
  for (const auto& [downloads, saved] : starts) {
    SCOPED_TRACE(downloads);
    auto guide = NewGuide(10);
    ASSERT_TRUE(WaitForStalls(downloads));
    EXPECT_EQ(downloads, Requests("/stall/"));
    EXPECT_EQ(listed, Saved());
    ASSERT_EQ(S_OK, Stop(guide.Get()));
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(saved, Saved());
    listed = saved;
  }
  const auto stats = StatisticsLines();
  EXPECT_TRUE(std::any_of(stats.begin(), stats.end(), [](const std::string& line) {
    return line.find("\"key\":\"HalcyReader\"") != std::string::npos &&
           line.find("\"Action\":\"Install\"") != std::string::npos;
  })) << ::testing::PrintToString(stats);
}

// Records program reports with the thread each arrived on.
class ProgramListener : public halcy::ComObjectRoot, public IProgramTaskListener {
 public:
  HALCY_BEGIN_INTERFACES(ProgramListener)
  HALCY_INTERFACE(ProgramListener, IProgramTaskListener)
  HALCY_END_INTERFACES()

  using Report = std::tuple<bool, LONG, DWORD>;  // finished, error, thread
  HRESULT OnProgressFinish(IProgramTask*) override { return Add({true, 0, GetCurrentThreadId()}); }
  HRESULT OnProgressError(IProgramTask*, LONG error) override {
    return Add({false, error, GetCurrentThreadId()});
  }
  // The reports once there are `count` (or after 20 s); WaitFor(0) answers at once.
  std::vector<Report> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return reports_.size() >= count; });
    return reports_;
  }

 private:
  HRESULT Add(Report report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(report);
    cv_.notify_all();
    return S_OK;
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Report> reports_;
};

class ProgramTaskTest : public ::testing::Test {
 protected:
  ProgramTaskTest() {
    host::CProgramTaskManager::Create(IProgramTaskManager::kIID,
                                      manager_.ReleaseAndGetVoidAddress());
  }
  // A task for `program` with `params`, its listener set on the UI thread.
  ComPtr<IProgramTask> NewTask(const char16_t* program, const std::u16string& params,
                               LONG exit_rule = kProgramZeroExitIsSuccess) {
    ComPtr<IProgramTask> task;
    EXPECT_EQ(S_OK,
              host::CProgramTask::Create(IProgramTask::kIID, task.ReleaseAndGetVoidAddress()));
    task->SetProgram(halcy::ScopedBstr(program).Get());
    task->SetParameters(halcy::ScopedBstr(params).Get());
    task->SetOptions(exit_rule, kProgramNoTimeLimit);
    host_.RunOn(Thread::kThreadUI, [&] { EXPECT_EQ(S_OK, task->SetListener(listener_.Get())); });
    return task;
  }

  ts::TestHost host_;
  ComPtr<ProgramListener> listener_ = halcy::MakeComObject<ProgramListener>();
  ComPtr<IProgramTaskManager> manager_;
};

// Also refuses no task, one without program and listener, and one added a second time.
TEST_F(ProgramTaskTest, ReportsHowEachProgramEndedOnTheListenersThread) {
  EXPECT_EQ(E_INVALIDARG, manager_->AddTask(nullptr));
  ComPtr<IProgramTask> bare;
  host::CProgramTask::Create(IProgramTask::kIID, bare.ReleaseAndGetVoidAddress());
  EXPECT_EQ(E_UNEXPECTED, manager_->AddTask(bare.Get())) << "no program, no listener";
  using Case = std::tuple<const char16_t*, const char16_t*, LONG, bool, LONG>;
  const std::vector<Case> cases = {
      {u"/bin/true", u"", kProgramZeroExitIsSuccess, true, 0},
      {u"/bin/sh", u"-c \"exit 7\"", kProgramZeroExitIsSuccess, false, 7},
      {u"/bin/sh", u"-c \"exit 7\"", kProgramAnyExitIsSuccess, true, 0},
      {u"/bin/sh", u"-c \"kill -9 $$\"", kProgramAnyExitIsSuccess, false, -1},
      {u"/nonexistent/setup", u"", kProgramZeroExitIsSuccess, false, -1},
  };
  const DWORD ui = host_.ThreadId(Thread::kThreadUI);
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [program, params, exit_rule, finished, error] = cases[i];
    SCOPED_TRACE(halcy::Utf16ToUtf8(params));
    auto task = NewTask(program, params, exit_rule);
    ASSERT_EQ(S_OK, manager_->AddTask(task.Get()));
    EXPECT_EQ(E_UNEXPECTED, manager_->AddTask(task.Get()));
    const auto reports = listener_->WaitFor(i + 1);
    ASSERT_EQ(i + 1, reports.size());
    EXPECT_EQ(std::make_tuple(finished, error, ui), reports[i]);
  }
  ASSERT_TRUE(host_.WaitIdle());
  LONG running = -1;
  manager_->GetRunningCount(&running);
  EXPECT_EQ(0, running);
  EXPECT_EQ(cases.size(), listener_->WaitFor(0).size()) << "one report per task";
}

// A program is outstanding work until its report is on the way to the listener's thread, so a
// wait for no outstanding work followed by the threads' idle finds the report delivered.
TEST_F(ProgramTaskTest, ProgramIsOutstandingUntilItsReportIsPostedAndEndsWithItsManager) {
  ts::ScopedTempDir dir;
  const std::string go = dir.File("go");
  const auto in = [](auto duration) { return std::chrono::steady_clock::now() + duration; };
  ASSERT_TRUE(host::WaitForNoOutstandingWork(in(std::chrono::seconds(20))));
  const host::WorkCounts before = host::OutstandingWork();
  ASSERT_EQ(
      S_OK,
      manager_->AddTask(
          NewTask(u"/bin/sh", U("-c \"while [ ! -e '" + go + "' ]; do sleep 0.01; done\"")).Get()));
  EXPECT_EQ(1, host::OutstandingWork().programs);
  EXPECT_EQ(before.started + 1, host::OutstandingWork().started);
  EXPECT_FALSE(host::WaitForNoOutstandingWork(in(std::chrono::milliseconds(20))));
  ts::WriteFileOrDie(go, "");
  ASSERT_TRUE(host::WaitForNoOutstandingWork(in(std::chrono::seconds(20))));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, listener_->WaitFor(0).size()) << "the report was posted before the work ended";
  // Releasing the manager ends a program still running, with a report.
  ASSERT_EQ(S_OK, manager_->AddTask(NewTask(u"/bin/sleep", u"30").Get()));
  LONG running = 0;
  manager_->GetRunningCount(&running);
  EXPECT_EQ(1, running);
  const auto start = std::chrono::steady_clock::now();
  manager_ = nullptr;  // kills the program and joins its waiter
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const auto reports = listener_->WaitFor(2);
  ASSERT_EQ(2u, reports.size());
  EXPECT_FALSE(std::get<0>(reports[1]));
}

}  // namespace

// The manager's own guide: created, handed the manager and started at start-up when the
// configuration file exists, answered by GetExtensionAppGuild, stopped at shut-down.
class ManagersGuideTest : public GuideTest {
 protected:
  ComPtr<IExtensionAppGuild> Answered() {
    ComPtr<IExtensionAppGuild> guide;
    EXPECT_EQ(S_OK, mgr_->GetExtensionAppGuild(guide.ReleaseAndGetAddressOf()));
    return guide;
  }
};

TEST_F(ManagersGuideTest, StartedOnlyWithTheConfigurationFile) {
  for (const bool configured : {false, true}) {
    SCOPED_TRACE(configured);
    // An entry without an address, which the guide's start removes.
    fs::create_directories(UserExtensionsDir());
    ASSERT_TRUE(Tasks().Save({{u"x", u"", 0}}));
    StartWithPlaceholders({u"app.one"}, configured);
    ComPtr<IExtensionAppGuild> held = impl()->Guild();
    EXPECT_EQ(configured, held != nullptr);
    ComPtr<IExtensionAppGuild> answered = Answered();
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered.Get(), Answered().Get()) << "one guide, made on first use";
    EXPECT_EQ(configured ? held.Get() : answered.Get(), answered.Get());
    // The configured guide's start timer (5 s) runs the unfinished tasks.
    EXPECT_TRUE(ts::WaitUntil([&] { return Tasks().GetCount() == (configured ? 0 : 1); }));
    mgr_->UnInitialize();
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_FALSE(impl()->Guild()) << "released at shut-down";
    mgr_ = nullptr;
    ASSERT_TRUE(host_.WaitIdle());
  }
}

TEST_F(ManagersGuideTest, ShutDownSavesAnInstallStillDownloading) {
  // Uninitialize, and a manager released without one: both stop the guide.
  for (const bool uninitialize : {true, false}) {
    SCOPED_TRACE(uninitialize);
    fs::remove(UserExtensionsDir() + "/UnFinishTask.ini");
    StartWithPlaceholders({u"app.one"}, true);
    const size_t stalls = Requests("/stall/");
    Install(Answered().Get(), u"app.one", stall_);
    ASSERT_TRUE(WaitForStalls(stalls + 1));
    if (uninitialize) mgr_->UnInitialize();
    mgr_ = nullptr;
    ASSERT_TRUE(host_.WaitIdle());
    EXPECT_EQ(std::vector<std::string>{"app.one " + stall_ + " 0"}, Saved());
  }
}

TEST_F(ManagersGuideTest, ReinstallsAreReportedToTheGuideOnce) {
  StartWithPlaceholders({u"app.one", u"app.two"}, true);
  // Its own install: heard once, through its callback.
  Install(Answered().Get(), u"app.one",
          Package("one.zip", {ts::ZipFile("manifest.json", "{\"version\":\"2.0\"}")}));
  ASSERT_TRUE(WaitForMessages(2));
  EXPECT_EQ((std::vector<std::string>{Popup("prepare"), Popup("ok")}), lines_->Messages());
  // Reinstalls asked for by others (a failing one, then one that succeeds), and a fresh
  // install, which the guide does not hear of.
  lines_->Clear();
  EXPECT_EQ(E_FAIL, ExtensionMgrFixture::Install(u"app.two", ExtensionDir("bad", "[1]")));
  EXPECT_EQ(S_OK, ExtensionMgrFixture::Install(u"app.two", ExtensionDir("good", "{}")));
  EXPECT_EQ(S_OK, ExtensionMgrFixture::Install(u"app.new", ExtensionDir("new", "{}")));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::string>{Popup("fail"), Popup("ok")}), lines_->Messages());
  mgr_->UnInitialize();
  ASSERT_TRUE(host_.WaitIdle());
}
