// The install guide end to end: a real extension manager on a temporary data root, the host's
// threads, download engine, program tasks and pop-up, the loopback HTTP server for the probe
// and the packages, and /bin/sh scripts as setup programs.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "host/guild_popup.h"
#include "host/outstanding_work.h"
#include "host/program_task.h"
#include "platform/bstr.h"
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

// Polls `done` until it holds, for at most 20 s.
bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The pop-up's lines as the host prints them.
class PopupLines {
 public:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<std::string> All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const std::string& line : lines_) {
      if (line.find("\"progress\"") == std::string::npos) lines.push_back(line);
    }
    return lines;
  }
  // The message lines only (progress lines depend on timing).
  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> messages;
    for (const std::string& line : lines_) {
      if (line.find("\"text\"") != std::string::npos) messages.push_back(line);
    }
    return messages;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::string Popup(const std::string& text) {
  return "{\"to\":\"popup\",\"text\":\"" + text + "\"}";
}

class GuideTest : public extension_testing::ExtensionMgrFixture {
 protected:
  GuideTest() {
    auto popup = halcy::MakeComObject<host::CGuildPopup>(
        [lines = lines_](const std::string& line) { lines->Add(line); });
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
    probe_ = url;
    ts::WriteFileOrDie(ConfigPath(), "[guide]\nprobe=" + url + "\n");
  }
  std::string ConfigPath() const { return env_.browser_dir() + "/extensionMgrConfig.ini"; }

  // Starts the manager with placeholders that wait for their packages ("setuponline" 1). The
  // manager starts without the configuration file, so that it runs no guide of its own beside
  // the one a test makes with NewGuide, unless `with_managers_guide`.
  void StartWithPlaceholders(const std::vector<std::u16string>& ids,
                             bool with_managers_guide = false) {
    std::vector<extension_testing::StoreRecord> records;
    for (const std::u16string& id : ids) {
      auto record = extension_testing::Record(id);
      record.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\",\"setuponline\":\"1\"}";
      records.push_back(record);
    }
    if (!with_managers_guide) fs::remove(ConfigPath());
    Start(records);
    SetProbe(probe_);
  }

  ComPtr<CExtensionAppGuild> NewGuide() {
    auto guide = halcy::MakeComObject<CExtensionAppGuild>();
    EXPECT_EQ(S_OK, guide->SetExtensionMgr(mgr_.Get()));
    return guide;
  }

  // Serves `entries` as /files/<name> and returns its address.
  std::string Package(const std::string& name, const std::vector<ts::ZipFixtureEntry>& entries) {
    ts::WriteFileOrDie(files_.File(name), ts::BuildZip(entries));
    return server_.Url("/files/" + name);
  }

  void Install(CExtensionAppGuild* guide, const std::u16string& id, const std::string& url) {
    ASSERT_EQ(S_OK, guide->InstallByExId(halcy::ScopedBstr(id).Get(),
                                         halcy::ScopedBstr(halcy::Utf8ToUtf16(url)).Get()));
  }

  // Stop, where the manager calls it.
  HRESULT Stop(CExtensionAppGuild* guide) {
    return host_.RunOn(Thread::kThreadExtensionManager, [guide] { return guide->Stop(); });
  }

  bool WaitForMessages(size_t count) {
    return WaitUntil([&] { return lines_->Messages().size() >= count; }) && host_.WaitIdle();
  }

  size_t FileRequests() const {
    size_t n = 0;
    for (const auto& request : server_.Requests()) n += request.path.rfind("/files/", 0) == 0;
    return n;
  }

  size_t StallRequests() const {
    size_t n = 0;
    for (const auto& request : server_.Requests()) n += request.path.rfind("/stall/", 0) == 0;
    return n;
  }

  std::string TaskListPath() const { return UserExtensionsDir() + "/UnFinishTask.ini"; }

  ts::ScopedTempDir files_;
  ts::ScopedEnv files_env_{"LOOPBACK_FILES_DIR", files_.path()};
  ts::LoopbackServer server_;
  std::shared_ptr<PopupLines> lines_ = std::make_shared<PopupLines>();
  ts::LogCapture log_;
  std::string probe_;
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
  CUnFinishTaskList list(halcy::Utf8ToUtf16(dir.File("UnFinishTask.ini")));
  ASSERT_TRUE(list.Add({u"a", u"http://h/a.zip", 0}));
  ASSERT_TRUE(list.Add({u"b", u"http://h/b.zip", 1}));
  ASSERT_TRUE(list.Add({u"c", u"http://h/c.zip", 2}));
  EXPECT_EQ(2, list.Find(u"B"));
  EXPECT_EQ(0, list.Find(u"b", u"http://h/other.zip"));
  ASSERT_TRUE(list.Remove(u"b"));
  EXPECT_EQ(ts::ReadFileOrEmpty(dir.File("UnFinishTask.ini")),
            "[task]\r\ncount=2\r\n"
            "[1]\r\nurl=http://h/a.zip\r\ntimes=0\r\nid=a\r\n"
            "[2]\r\nurl=http://h/c.zip\r\ntimes=2\r\nid=c\r\n"
            "[3]\r\nurl=\r\ntimes=\r\nid=\r\n");
  UnFinishTask second;
  ASSERT_TRUE(list.GetEntry(2, &second));
  EXPECT_EQ(u"c", second.id);
  EXPECT_EQ(2, second.times);
  EXPECT_FALSE(list.GetEntry(3, &second));
  EXPECT_FALSE(list.Remove(u"b"));
  EXPECT_FALSE(list.Add({u"x", u"http://h/\nx", 0})) << "a line break would forge a key";
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
  EXPECT_TRUE(IsApplicationNumber(u"10001"));
  EXPECT_TRUE(IsApplicationNumber(u"99999"));
  EXPECT_TRUE(IsApplicationNumber(u"12345abc"));  // as _wtoi reads it
  EXPECT_TRUE(IsApplicationNumber(u" +10001"));
  EXPECT_FALSE(IsApplicationNumber(u"10000"));
  EXPECT_FALSE(IsApplicationNumber(u"100000"));
  EXPECT_FALSE(IsApplicationNumber(u"-10001"));
  EXPECT_FALSE(IsApplicationNumber(u"abc"));
}

TEST_F(GuideTest, RefusedWithoutTheConfigurationFile) {
  fs::remove(env_.browser_dir() + "/extensionMgrConfig.ini");
  auto guide = halcy::MakeComObject<CExtensionAppGuild>();
  EXPECT_EQ(E_FAIL, guide->SetExtensionMgr(nullptr));
}

TEST_F(GuideTest, NoNetworkShowsTheNetCheckAndStartsNoDownload) {
  ts::RefusingPort closed;
  SetProbe("http://127.0.0.1:" + std::to_string(closed.port()) + "/");
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  Install(guide.Get(), u"app.one", Package("one.zip", {ts::ZipFile("manifest.json", "{}")}));
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(std::vector<std::string>{Popup("net-check")}, lines_->Messages());
  EXPECT_EQ(0u, FileRequests());
  LONG count = -1;
  EXPECT_EQ(S_OK, guide->GetInstallCount(&count));
  EXPECT_EQ(0, count);
  EXPECT_TRUE(fs::is_empty(files_.path()) ||
              !fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.zip"));
}

bool HasStatistic(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

TEST_F(GuideTest, PackageWithoutSetupJsonGoesToTheManagersInstall) {
  struct Case {
    std::string manifest;
    std::string message;
    const char16_t* version;
    const char* statistic;
  };
  const std::vector<Case> cases = {
      // Refused by the manager: the placeholder's folder and record come back.
      {"[\"not an object\"]", "fail", u"1.0", "Abead"},
      {"{\"name\":\"app.one\",\"version\":\"2.0\"}", "ok", u"2.0", "InstallSuccess"},
  };
  StartWithPlaceholders({u"app.one"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest);
    lines_->Clear();
    ts::WriteFileOrDie(UserExtensionsDir() + "/app.one/old.txt", "placeholder");
    auto guide = NewGuide();
    Install(
        guide.Get(), u"app.one",
        Package("one.zip", {ts::ZipFile("manifest.json", c.manifest), ts::ZipFile("p.js", "x")}));
    ASSERT_TRUE(WaitForMessages(2));
    EXPECT_EQ((std::vector<std::string>{Popup("prepare"), Popup(c.message)}), lines_->Messages());
    halcy::ScopedBstr version;
    Agent(u"app.one")->GetVersion(version.Receive());
    EXPECT_EQ(std::u16string(c.version), version.View());
    const bool installed = c.message == "ok";
    EXPECT_EQ(installed ? c.manifest : "",
              ts::ReadFileOrEmpty(UserExtensionsDir() + "/app.one/manifest.json"));
    EXPECT_EQ(!installed, fs::exists(UserExtensionsDir() + "/app.one/old.txt"));
    EXPECT_FALSE(fs::exists(UserExtensionsDir() + "/.guide-old-app.one"));
    EXPECT_FALSE(fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.unpack"));
    EXPECT_FALSE(fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.zip"));
    LONG count = -1;
    guide->GetInstallCount(&count);
    EXPECT_EQ(installed ? 0 : 1, count) << "a failed install stays under way";
    EXPECT_TRUE(HasStatistic(StatisticsLines(), c.statistic));
    Stop(guide.Get());
  }
}

TEST_F(GuideTest, CancelStopsTheDownloadAndForgetsTheInstall) {
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  Install(guide.Get(), u"app.one", server_.Url("/stall/100000/10"));
  ASSERT_TRUE(WaitUntil([&] { return StallRequests() == 1; }));
  ASSERT_EQ(S_OK, guide->CancelInstall(halcy::ScopedBstr(u"app.one").Get()));
  ASSERT_TRUE(host_.WaitIdle());
  LONG count = -1;
  guide->GetInstallCount(&count);
  EXPECT_EQ(0, count);
  EXPECT_TRUE(HasStatistic(StatisticsLines(), "cancel"));
  Stop(guide.Get());
  EXPECT_TRUE(CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).ReadAll().empty());
}

TEST_F(GuideTest, FrontEndCommandOpensAWindowThenInstalls) {
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  const std::string url =
      Package("one.zip", {ts::ZipFile("manifest.json", "{\"name\":\"app.one\"}")});
  const std::u16string command =
      u"{\"id\":\"app.one\",\"url\":\"" + halcy::Utf8ToUtf16(url) + u"\"}";
  ASSERT_EQ(S_OK, guide->InstallFromFECommand(halcy::ScopedBstr(command).Get()));
  ASSERT_TRUE(WaitForMessages(2));
  EXPECT_EQ((std::vector<std::string>{"{\"to\":\"popup\",\"window\":\"hcbrowser://newtab/\"}",
                                      Popup("prepare"), Popup("ok")}),
            lines_->All());
  Stop(guide.Get());
}

TEST_F(GuideTest, SetupProgramGetsSplitParametersAndReportsItsEnd) {
  struct Case {
    int exit_code;
    std::vector<std::string> messages;
    const char16_t* log;
  };
  const std::vector<Case> cases = {
      {0, {Popup("prepare")}, u"OnProgressFinish,有任务执行成功 \n"},
      {3, {Popup("prepare"), Popup("fail")}, u"OnProgressError,有任务执行发生错误 \n"},
  };
  StartWithPlaceholders({u"app.one"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exit_code);
    lines_->Clear();
    auto guide = NewGuide();
    const std::string out = files_.File("args-" + std::to_string(c.exit_code));
    Install(guide.Get(), u"app.one",
            Package("setup.zip",
                    {ts::ZipFile("setup.json",
                                 SetupJson("bin/setup.sh", "one \\\"two words\\\" three\\\\\\\"q")),
                     ts::ZipFile("bin/setup.sh", SetupScript(out, c.exit_code))}));
    ASSERT_TRUE(WaitUntil([&] { return log_.Contains(c.log); }));
    ASSERT_TRUE(WaitForMessages(c.messages.size()));
    EXPECT_EQ(c.messages, lines_->Messages());
    EXPECT_EQ("one\ntwo words\nthree\"q\n", ts::ReadFileOrEmpty(out));
    LONG count = -1;
    guide->GetInstallCount(&count);
    EXPECT_EQ(c.exit_code == 0 ? 0 : 1, count) << "a failed setup stays under way";
    Stop(guide.Get());
  }
}

TEST_F(GuideTest, SetupProgramOutsideTheFolderIsRefused) {
  StartWithPlaceholders({u"app.one"});
  const std::string marker = files_.File("ran");
  ts::WriteFileOrDie(files_.File("evil.sh"), "#!/bin/sh\ntouch '" + marker + "'\n");
  fs::permissions(files_.File("evil.sh"), fs::perms::owner_all);
  ts::ZipFixtureEntry link = ts::ZipFile("link.sh", files_.File("evil.sh"));
  link.external_attributes = 0120777u << 16;
  const std::vector<std::vector<ts::ZipFixtureEntry>> packages = {
      {ts::ZipFile("setup.json", SetupJson("../../../../../../.." + files_.File("evil.sh"), ""))},
      {ts::ZipFile("setup.json", SetupJson(files_.File("evil.sh"), ""))},
      {ts::ZipFile("setup.json", SetupJson("link.sh", "")), link},
      {ts::ZipFile("setup.json", SetupJson("missing.sh", ""))},
      {ts::ZipFile("setup.json", "[\"not an object\"]")},
  };
  for (size_t i = 0; i < packages.size(); ++i) {
    SCOPED_TRACE(i);
    lines_->Clear();
    auto guide = NewGuide();
    Install(guide.Get(), u"app.one", Package("p" + std::to_string(i) + ".zip", packages[i]));
    ASSERT_TRUE(WaitForMessages(2));
    EXPECT_EQ((std::vector<std::string>{Popup("prepare"), Popup("fail")}), lines_->Messages());
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(fs::exists(UserExtensionsDir() + "/downloadtemp/app.one.unpack"));
    Stop(guide.Get());
  }
}

TEST_F(GuideTest, HostileIdsAndAddressesAreSkipped) {
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  const std::string url = Package("one.zip", {ts::ZipFile("manifest.json", "{}")});
  const std::vector<std::u16string> ids = {u"..",           u".", u"../x", u"a/b", u"extdb_v2.json",
                                           u"downloadtemp", u""};
  for (const std::u16string& id : ids) Install(guide.Get(), id, url);
  Install(guide.Get(), u"app.one", "file:///etc/passwd");
  Install(guide.Get(), u"unknown.app", url);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(lines_->Messages().empty());
  EXPECT_EQ(0u, FileRequests());
  for (const std::u16string& id : ids) {
    EXPECT_TRUE(log_.Contains(u"guide: install: id \"" + id + u"\" refused"))
        << halcy::Utf16ToUtf8(id);
  }
}

TEST_F(GuideTest, InterruptedInstallIsResumedAndDroppedAfterThreeAttempts) {
  StartWithPlaceholders({u"app.one"});
  const std::u16string url = halcy::Utf8ToUtf16(server_.Url("/stall/100000/10"));
  CUnFinishTaskList list(halcy::Utf8ToUtf16(TaskListPath()));
  // Entries without an address or for an id the manager does not know go at the start.
  ASSERT_TRUE(list.Save({{u"app.one", u"", 0}, {u"app.one", url, 0}, {u"gone", url, 0}}));
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    auto guide = NewGuide();
    guide->SetStartDelayForTesting(10);
    ASSERT_EQ(S_OK, guide->Start());
    ASSERT_TRUE(WaitUntil([&] { return StallRequests() >= static_cast<size_t>(attempt); }));
    ASSERT_TRUE(host_.WaitIdle());
    const auto entries = list.ReadAll();
    ASSERT_EQ(1u, entries.size()) << "the empty and the unknown entry were removed";
    EXPECT_EQ(u"app.one", entries[0].id);
    ASSERT_EQ(S_OK, Stop(guide.Get()));
    ASSERT_TRUE(host_.WaitIdle());
    const auto saved = list.ReadAll();
    if (attempt < 3) {
      ASSERT_EQ(1u, saved.size());
      EXPECT_EQ(url, saved[0].url);
      EXPECT_EQ(attempt, saved[0].times);
    } else {
      EXPECT_TRUE(saved.empty()) << "dropped after three attempts";
    }
  }
}

TEST_F(GuideTest, ApplicationNumberIsResumedWhileItsProgramIsMissing) {
  StartWithPlaceholders({u"10001"});  // no "regpath": its program is not on the machine
  const std::u16string url = halcy::Utf8ToUtf16(server_.Url("/stall/100000/10"));
  CUnFinishTaskList list(halcy::Utf8ToUtf16(TaskListPath()));
  ASSERT_TRUE(list.Save({{u"10001", url, 1}}));
  auto guide = NewGuide();
  guide->SetStartDelayForTesting(10);
  ASSERT_EQ(S_OK, guide->Start());
  ASSERT_TRUE(WaitUntil([&] { return StallRequests() == 1; }));
  ASSERT_TRUE(host_.WaitIdle());
  // The application is reported under its product name.
  const auto stats = StatisticsLines();
  EXPECT_TRUE(std::any_of(stats.begin(), stats.end(), [](const std::string& line) {
    return line.find("\"key\":\"HalcyReader\"") != std::string::npos &&
           line.find("\"Action\":\"Install\"") != std::string::npos;
  })) << ::testing::PrintToString(stats);
  ASSERT_EQ(S_OK, Stop(guide.Get()));
  const auto saved = list.ReadAll();
  ASSERT_EQ(1u, saved.size());
  EXPECT_EQ(2, saved[0].times);
}

TEST_F(GuideTest, StopSavesAnInstallStillDownloading) {
  StartWithPlaceholders({u"app.one"});
  auto guide = NewGuide();
  const std::string url = server_.Url("/stall/100000/10");
  Install(guide.Get(), u"app.one", url);
  ASSERT_TRUE(WaitUntil([&] { return StallRequests() == 1; }));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(S_OK, Stop(guide.Get()));
  const auto saved = CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).ReadAll();
  ASSERT_EQ(1u, saved.size());
  EXPECT_EQ(u"app.one", saved[0].id);
  EXPECT_EQ(halcy::Utf8ToUtf16(url), saved[0].url);
  EXPECT_EQ(0, saved[0].times);
}

// Records program reports with the thread each arrived on.
class ProgramListener : public halcy::ComObjectRoot, public IProgramTaskListener {
 public:
  HALCY_BEGIN_INTERFACES(ProgramListener)
  HALCY_INTERFACE(ProgramListener, IProgramTaskListener)
  HALCY_END_INTERFACES()

  struct Report {
    bool finished;
    LONG error;
    DWORD thread;
  };
  HRESULT OnProgressFinish(IProgramTask*) override { return Add({true, 0, GetCurrentThreadId()}); }
  HRESULT OnProgressError(IProgramTask*, LONG error) override {
    return Add({false, error, GetCurrentThreadId()});
  }
  std::vector<Report> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return reports_.size() >= count; });
    return reports_;
  }
  std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
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
  // A task for `program` with `params`, its listener set on the UI thread.
  ComPtr<IProgramTask> NewTask(const char16_t* program, const char16_t* params, LONG exit_rule) {
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
  ComPtr<IProgramTaskManager> manager_ = [] {
    ComPtr<IProgramTaskManager> manager;
    host::CProgramTaskManager::Create(IProgramTaskManager::kIID,
                                      manager.ReleaseAndGetVoidAddress());
    return manager;
  }();
};

TEST_F(ProgramTaskTest, ReportsHowEachProgramEndedOnTheListenersThread) {
  struct Case {
    const char16_t* program;
    const char16_t* params;
    LONG exit_rule;
    bool finished;
    LONG error;
  };
  const std::vector<Case> cases = {
      {u"/bin/true", u"", kProgramZeroExitIsSuccess, true, 0},
      {u"/bin/sh", u"-c \"exit 7\"", kProgramZeroExitIsSuccess, false, 7},
      {u"/bin/sh", u"-c \"exit 7\"", kProgramAnyExitIsSuccess, true, 0},
      {u"/bin/sh", u"-c \"kill -9 $$\"", kProgramAnyExitIsSuccess, false, -1},
      {u"/nonexistent/setup", u"", kProgramZeroExitIsSuccess, false, -1},
  };
  const DWORD ui = host_.ThreadId(Thread::kThreadUI);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.params));
    ASSERT_EQ(S_OK, manager_->AddTask(NewTask(c.program, c.params, c.exit_rule).Get()));
    const auto reports = listener_->WaitFor(i + 1);
    ASSERT_EQ(i + 1, reports.size());
    EXPECT_EQ(c.finished, reports[i].finished);
    EXPECT_EQ(c.error, reports[i].error);
    EXPECT_EQ(ui, reports[i].thread);
  }
  ASSERT_TRUE(host_.WaitIdle());
  LONG running = -1;
  manager_->GetRunningCount(&running);
  EXPECT_EQ(0, running);
}

TEST_F(ProgramTaskTest, RefusesForeignIncompleteAndRestartedTasks) {
  EXPECT_EQ(E_INVALIDARG, manager_->AddTask(nullptr));
  ComPtr<IProgramTask> bare;
  host::CProgramTask::Create(IProgramTask::kIID, bare.ReleaseAndGetVoidAddress());
  EXPECT_EQ(E_UNEXPECTED, manager_->AddTask(bare.Get())) << "no program, no listener";
  auto task = NewTask(u"/bin/true", u"", kProgramZeroExitIsSuccess);
  ASSERT_EQ(S_OK, manager_->AddTask(task.Get()));
  EXPECT_EQ(E_UNEXPECTED, manager_->AddTask(task.Get()));
  EXPECT_EQ(1u, listener_->WaitFor(1).size());
}

// A program is outstanding work until its report is on the way to the listener's thread, so a
// wait for no outstanding work followed by the threads' idle finds the report delivered.
TEST_F(ProgramTaskTest, ProgramIsOutstandingUntilItsReportIsPosted) {
  ts::ScopedTempDir dir;
  const std::string go = dir.File("go");
  ASSERT_TRUE(
      host::WaitForNoOutstandingWork(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
  const host::WorkCounts before = host::OutstandingWork();
  ASSERT_EQ(
      S_OK,
      manager_->AddTask(
          NewTask(
              u"/bin/sh",
              halcy::Utf8ToUtf16("-c \"while [ ! -e '" + go + "' ]; do sleep 0.01; done\"").c_str(),
              kProgramZeroExitIsSuccess)
              .Get()));
  EXPECT_EQ(1, host::OutstandingWork().programs);
  EXPECT_EQ(before.started + 1, host::OutstandingWork().started);
  EXPECT_FALSE(host::WaitForNoOutstandingWork(std::chrono::steady_clock::now() +
                                              std::chrono::milliseconds(20)));
  ts::WriteFileOrDie(go, "");
  ASSERT_TRUE(
      host::WaitForNoOutstandingWork(std::chrono::steady_clock::now() + std::chrono::seconds(20)));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, listener_->Reports().size()) << "the report was posted before the work ended";
}

TEST_F(ProgramTaskTest, ReleasingTheManagerEndsAProgramStillRunning) {
  ASSERT_EQ(S_OK,
            manager_->AddTask(NewTask(u"/bin/sleep", u"30", kProgramZeroExitIsSuccess).Get()));
  LONG running = 0;
  manager_->GetRunningCount(&running);
  EXPECT_EQ(1, running);
  const auto start = std::chrono::steady_clock::now();
  manager_ = nullptr;  // kills the program and joins its waiter
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  const auto reports = listener_->WaitFor(1);
  ASSERT_EQ(1u, reports.size());
  EXPECT_FALSE(reports[0].finished);
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
  // What the task list holds once the manager's guide ran its start: an entry without an
  // address goes then.
  void PutEntryWithoutAddress() {
    fs::create_directories(UserExtensionsDir());
    ASSERT_TRUE(CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).Save({{u"x", u"", 0}}));
  }
};

TEST_F(ManagersGuideTest, StartedOnlyWithTheConfigurationFile) {
  for (const bool configured : {false, true}) {
    SCOPED_TRACE(configured);
    PutEntryWithoutAddress();
    StartWithPlaceholders({u"app.one"}, configured);
    ComPtr<IExtensionAppGuild> held = impl()->Guild();
    EXPECT_EQ(configured, held != nullptr);
    ComPtr<IExtensionAppGuild> answered = Answered();
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered.Get(), Answered().Get()) << "one guide, made on first use";
    if (configured) {
      EXPECT_EQ(held.Get(), answered.Get());
      // Its start timer (5 s) runs the unfinished tasks: the entry without an address goes.
      EXPECT_TRUE(WaitUntil(
          [&] { return CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).GetCount() == 0; }));
    } else {
      EXPECT_EQ(1, CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).GetCount());
    }
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
    fs::remove(TaskListPath());
    StartWithPlaceholders({u"app.one"}, true);
    const size_t stalls = StallRequests();
    const std::string url = server_.Url("/stall/100000/10");
    ASSERT_EQ(S_OK, Answered()->InstallByExId(halcy::ScopedBstr(u"app.one").Get(),
                                              halcy::ScopedBstr(halcy::Utf8ToUtf16(url)).Get()));
    ASSERT_TRUE(WaitUntil([&] { return StallRequests() == stalls + 1; }));
    ASSERT_TRUE(host_.WaitIdle());
    if (uninitialize) mgr_->UnInitialize();
    mgr_ = nullptr;
    ASSERT_TRUE(host_.WaitIdle());
    const auto saved = CUnFinishTaskList(halcy::Utf8ToUtf16(TaskListPath())).ReadAll();
    ASSERT_EQ(1u, saved.size());
    EXPECT_EQ(u"app.one", saved[0].id);
    EXPECT_EQ(halcy::Utf8ToUtf16(url), saved[0].url);
    EXPECT_EQ(0, saved[0].times);
  }
}

TEST_F(ManagersGuideTest, ReinstallsAreReportedToTheGuideOnce) {
  StartWithPlaceholders({u"app.one", u"app.two"}, true);
  // Its own install: heard once, through its callback.
  ASSERT_EQ(S_OK, Answered()->InstallByExId(
                      halcy::ScopedBstr(u"app.one").Get(),
                      halcy::ScopedBstr(
                          halcy::Utf8ToUtf16(Package(
                              "one.zip", {ts::ZipFile("manifest.json", "{\"version\":\"2.0\"}")})))
                          .Get()));
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
