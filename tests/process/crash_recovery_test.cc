// The extension manager with its extension-DLL process for real: libraries sent to the child
// only when they stay inside their directory, the child's messages taking the manager's paths,
// and the recovery from crashes (kill -9 of the child).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "command/ext_cmd_host.h"
#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "extension/ui_ext_pt_mgr.h"
#include "host/service_registrations.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "process/process_test_util.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

namespace fs = std::filesystem;
using process_testing::ChildLogFile;
using process_testing::ProcessGone;
using process_testing::WaitUntil;

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

class StateListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(StateListener)
  HALCY_INTERFACE(StateListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override { return Add("ready"); }
  HRESULT OnLocalExtensionList(BSTR) override { return S_OK; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL running) override { return Add(running ? "up" : "down"); }
  HRESULT OnExtensionStateChanged(BSTR, LONG) override { return S_OK; }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  HRESULT Add(const char* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    return S_OK;
  }
  std::mutex mutex_;
  std::vector<std::string> events_;  // Guarded by mutex_
};

class BubbleRecorder : public halcy::ComObjectRoot, public Logic::IUIExtPtMgr {
 public:
  HALCY_BEGIN_INTERFACES(BubbleRecorder)
  HALCY_INTERFACE(BubbleRecorder, Logic::IUIExtPtMgr)
  HALCY_END_INTERFACES()

  HRESULT ShowPointBubble(BSTR point, LONG extension, BSTR text, LONG frame, LONG width,
                          LONG height) override {
    std::lock_guard<std::mutex> lock(mutex_);
    bubbles_.push_back(Text(point) + u"|" + halcy::Utf8ToUtf16(std::to_string(extension)) + u"|" +
                       Text(text) + u"|" + halcy::Utf8ToUtf16(std::to_string(frame)) + u"|" +
                       halcy::Utf8ToUtf16(std::to_string(width)) + u"|" +
                       halcy::Utf8ToUtf16(std::to_string(height)));
    return S_OK;
  }
  std::vector<std::u16string> Bubbles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bubbles_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> bubbles_;  // Guarded by mutex_
};

// Takes "test.ping" and answers it through the manager, as a command host answers.
class PingHost : public halcy::ComObjectRoot, public Logic::IExtCmdHost {
 public:
  HALCY_BEGIN_INTERFACES(PingHost)
  HALCY_INTERFACE(PingHost, Logic::IExtCmdHost)
  HALCY_END_INTERFACES()

  Logic::CExtensionMgrImpl* mgr = nullptr;  // set before registration
  HRESULT HandleCommand(BSTR id, BSTR command, BSTR arguments, LONG context) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(halcy::Utf16ToUtf8(Text(id) + u" " + Text(command) + u" " + Text(arguments)));
    }
    if (Text(command) != u"test.ping") return E_NOTIMPL;
    return mgr->PostToExtension(Text(id), u"test.pong", u"{\"ok\":1}", context);
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> seen_;  // Guarded by mutex_
};

struct Extension {
  std::string id;
  std::string name;
  int state;
  std::string library;  // "librarypath", or "" for a background page
  std::string file;     // the file to create below the extension's directory, or ""
};

// A browser directory whose executable is this test binary, a data root holding the user's
// extension store, and the manager started on them.
class ManagerWithChildTest : public ::testing::Test {
 protected:
  ManagerWithChildTest()
      : browser_env_("HALCY_BROWSER_DIR", browser_.path()),
        appdata_env_("HALCY_APPDATA", appdata_.path()) {
    Logic::ResetPathCachesForTesting();
    Logic::CExtensionMgrImpl::ResetDllCrashCountForTesting();
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    fs::create_symlink(std::string(exe, n > 0 ? static_cast<size_t>(n) : 0),
                       fs::path(browser_.path()) / fs::path(exe, exe + n).filename());
    testing_support::WriteFileOrDie(browser_.File("halcy_strings.txt"),
                                    "IDS_EXTENSION_SORRY=很抱歉，扩展\n");
    halcy::CreatableClass agents;
    agents.create = [](REFIID iid, void** out) {
      return halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, iid, out);
    };
    classes_.PublishClass(Logic::IExtensionAgent::kIID, std::move(agents));
  }
  ~ManagerWithChildTest() override { Logic::ResetPathCachesForTesting(); }

  void TearDown() override { Stop(); }

  // Uninitializes the manager (once) and checks that no child is left. A test that captures
  // the log stops first, so that nothing logs while its capture goes.
  void Stop() {
    if (!mgr_ || stopped_) return;
    stopped_ = true;
    mgr_->UnInitialize();
    EXPECT_TRUE(host_.WaitIdle());
    for (int pid : log_.Starts()) EXPECT_TRUE(ProcessGone(pid)) << pid;
  }

  fs::path UserExtensions() {
    std::u16string root;
    EXPECT_TRUE(Logic::GetDataRoot(&root));
    return fs::path(halcy::ToNativePath(root + u"SysData\\localextensions"));
  }

  // Writes the user's store and the extensions' directories.
  void Install(const std::vector<Extension>& extensions) {
    const fs::path root = UserExtensions();
    fs::create_directories(root);
    std::string store = "{\"format\":\"plexore-extdb\",\"version\":1,\"extensions\":[\n";
    for (size_t i = 0; i < extensions.size(); ++i) {
      const Extension& e = extensions[i];
      std::string manifest = "{\"name\":\"" + e.name + "\",\"version\":\"1.0\"";
      manifest += e.library.empty() ? ",\"background_page\":\"bg.html\""
                                    : ",\"librarypath\":\"" + e.library + "\"";
      manifest += "}";
      fs::create_directories(root / e.id);
      testing_support::WriteFileOrDie((root / e.id / "manifest.json").string(), manifest);
      if (!e.file.empty()) {
        fs::create_directories((root / e.id / e.file).parent_path());
        testing_support::WriteFileOrDie((root / e.id / e.file).string(), "not really a library");
      }
      store += "{\"id\":\"" + e.id + "\",\"state\":" + std::to_string(e.state) +
               ",\"flags\":0,\"directory\":\"hcextdbpath/" + e.id + "\",\"manifest\":" + manifest +
               "}" + (i + 1 < extensions.size() ? ",\n" : "\n");
    }
    testing_support::WriteFileOrDie((root / "extdb_v2.json").string(), store + "]}\n");
  }

  // Creates the manager, listens on the UI thread and switches the user in.
  void Start() {
    ASSERT_EQ(S_OK, Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                                               mgr_.ReleaseAndGetVoidAddress()));
    listener_ = halcy::MakeComObject<StateListener>();
    host_.RunOn(Thread::kThreadUI, [&] {
      EXPECT_EQ(S_OK, mgr_->AddListenerOnCallingThread(nullptr, listener_.Get()));
    });
    ASSERT_EQ(S_OK, mgr_->SwitchUser());
    ASSERT_TRUE(WaitUntil([&] { return !listener_->Events().empty(); }));
    ASSERT_TRUE(host_.WaitIdle());
  }

  Logic::CExtensionMgrImpl* impl() {
    return static_cast<Logic::CCoExtensionMgr*>(mgr_.Get())->impl();
  }

  // "0x07000001 <id> <resolved path of the library>".
  std::string LoadLine(const std::string& id, const std::string& file) {
    return "0x07000001 " + id + " " + fs::canonical(UserExtensions() / id / file).string();
  }

  bool Installed(const std::u16string& id) {
    halcy::ScopedBstr text(id);
    ComPtr<Logic::IExtensionAgent> agent;
    mgr_->GetExtensionAgent(text.Get(), agent.ReleaseAndGetAddressOf());
    return agent != nullptr;
  }

  testing_support::ScopedTempDir browser_, appdata_;
  testing_support::ScopedEnv browser_env_, appdata_env_;
  ChildLogFile log_;
  host::CServiceRegistrations classes_;
  testing_support::TestHost host_;
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<StateListener> listener_;
  bool stopped_ = false;
};

TEST_F(ManagerWithChildTest, FirstCrashRestartsAndReloadsEveryLibraryASecondShowsTheNotice) {
  ComPtr<BubbleRecorder> ui = halcy::MakeComObject<BubbleRecorder>();
  host_.ReplaceService(Logic::IUIExtPtMgr::kIID, static_cast<Logic::IUIExtPtMgr*>(ui.Get()));
  Install({{"crash-a", "Alpha", 1, "lib/alpha.so", "lib/alpha.so"},
           {"crash-b", "Beta", 1, "beta.so", "beta.so"},
           {"crash-page", "Pages", 1, "", ""}});
  Start();
  const std::vector<std::string> loads = {"hello", LoadLine("crash-a", "lib/alpha.so"),
                                          LoadLine("crash-b", "beta.so")};
  const int first = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(first, 3));
  EXPECT_EQ(loads, log_.LinesOf(first));

  ASSERT_EQ(0, kill(first, SIGKILL));
  const int second = log_.WaitForStart(2);
  ASSERT_NE(0, second);
  ASSERT_TRUE(log_.WaitForLines(second, 3));
  EXPECT_EQ(loads, log_.LinesOf(second));
  ASSERT_TRUE(WaitUntil([&] { return listener_->Events().size() >= 3; }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::string>{"ready", "down", "up"}), listener_->Events());
  EXPECT_TRUE(ProcessGone(first));

  ASSERT_EQ(0, kill(second, SIGKILL));
  ASSERT_TRUE(WaitUntil([&] { return !ui->Bubbles().empty(); }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(std::vector<std::u16string>{std::u16string(Logic::kToolbarPointId) +
                                        u"|0|很抱歉，扩展\"Alpha\"和\"Beta\"崩溃了，您可以在"
                                        u"\"选项-扩展应用\"中重启它们|-1|0|0"},
            ui->Bubbles());
  EXPECT_EQ((std::vector<std::string>{"ready", "down", "up", "down"}), listener_->Events());
  EXPECT_EQ(2u, log_.Starts().size());  // left down
  EXPECT_TRUE(ProcessGone(second));
}

TEST_F(ManagerWithChildTest, ALoneEnabledLibraryIsNamedInTheSingularInTheLogWithoutAToolbar) {
  testing_support::LogCapture log;
  Install({{"lone-a", "Alpha", 1, "a.so", "a.so"}, {"lone-b", "Beta", 0, "b.so", "b.so"}});
  Start();
  const int first = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(first, 2));  // hello and the enabled library only
  ASSERT_EQ(0, kill(first, SIGKILL));
  const int second = log_.WaitForStart(2);
  ASSERT_TRUE(log_.WaitForLines(second, 2));
  EXPECT_EQ((std::vector<std::string>{"hello", LoadLine("lone-a", "a.so")}), log_.LinesOf(second));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(0, kill(second, SIGKILL));
  const std::u16string notice = u"很抱歉，扩展\"Alpha\"崩溃了，您可以在\"选项-扩展应用\"中重启它";
  ASSERT_TRUE(WaitUntil([&] { return log.Contains(notice); }));
  EXPECT_TRUE(log.Contains(u"重新加载交互进程以及各个扩展的DLL\n"));
  Stop();
}

TEST_F(ManagerWithChildTest, OnlyRegularFilesInsideTheDirectoryWithNoLinkOnTheWayAreSent) {
  testing_support::LogCapture log;
  Install({{"path-good", "G", 1, "bin/good.so", "bin/good.so"},
           {"path-up", "U", 1, "../outside.so", ""},
           {"path-link-out", "O", 1, "link.so", ""},
           {"path-link-in", "I", 1, "in.so", "real/in.so"},
           {"path-dir", "D", 1, "sub", "sub/x"},
           {"path-missing", "M", 1, "none.so", ""}});
  const fs::path root = UserExtensions();
  testing_support::WriteFileOrDie((root / "outside.so").string(), "outside");
  fs::create_symlink(root / "outside.so", root / "path-link-out" / "link.so");
  fs::create_symlink("real/in.so", root / "path-link-in" / "in.so");
  Start();
  const int pid = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(pid, 2));
  ASSERT_TRUE(host_.WaitIdle());
  // The child gets the canonical path: no link even above the extension's directory.
  EXPECT_EQ((std::vector<std::string>{"hello", LoadLine("path-good", "bin/good.so")}),
            log_.LinesOf(pid));
  for (const char16_t* refused :
       {u"path-up", u"path-link-out", u"path-link-in", u"path-dir", u"path-missing"}) {
    EXPECT_TRUE(log.Contains(u"extMgr: extension '" + std::u16string(refused) + u"' in "))
        << halcy::Utf16ToUtf8(refused);
  }
  Stop();
}

TEST_F(ManagerWithChildTest, TheChildsMessagesTakeTheManagersPaths) {
  Install({{"msg-lib", "Lib", 1, "lib.so", "lib.so"}, {"msg-page", "Page", 1, "", ""}});
  Start();
  ComPtr<PingHost> ping = halcy::MakeComObject<PingHost>();
  ping->mgr = impl();
  ASSERT_EQ(S_OK, mgr_->RegisterCmdHost(ping.Get()));
  const int pid = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(pid, 2));
  // The test speaks to the child through named events: it answers "test.send" by sending what
  // the payload describes.
  auto child_sends = [&](const std::u16string& recipe) {
    halcy::ScopedBstr name(u"test.send"), payload(recipe);
    ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(name.Get(), payload.Get()));
    ASSERT_TRUE(WaitUntil([&] {
      for (const std::string& line : log_.LinesOf(pid)) {
        if (line == "0x07000008 test.send " + halcy::Utf16ToUtf8(recipe)) return true;
      }
      return false;
    }));
    ASSERT_TRUE(host_.WaitIdle());
  };
  // A command: through the command hosts, and the reply back as 0x07000011 with its context.
  child_sends(u"07000010|s:msg-lib|s:test.ping|s:{}|i:9");
  ASSERT_TRUE(WaitUntil(
      [&] { return log_.LinesOf(pid).back() == "0x07000011 msg-lib 9 test.pong {\"ok\":1} 0"; }));
  // A command in the name of an extension whose library was never loaded reaches no host.
  child_sends(u"07000010|s:msg-page|s:test.ping|s:{}|i:10");
  // A named event of the child is dispatched, and so comes back to it.
  child_sends(u"07000008|s:child.event|s:x");
  ASSERT_TRUE(WaitUntil([&] { return log_.LinesOf(pid).back() == "0x07000008 child.event x"; }));
  // Load states: anything but 0 changes nothing; 0 drops the extension, unless the child names
  // one whose library it was never given.
  child_sends(u"07000014|s:msg-lib|i:1");
  child_sends(u"07000014|s:msg-page|i:0");
  child_sends(u"07000006|s:msg-lib|i:0|i:0|i:0");  // not a message of the child's
  EXPECT_TRUE(Installed(u"msg-lib"));
  EXPECT_TRUE(Installed(u"msg-page"));
  child_sends(u"07000014|s:msg-lib|i:0");
  EXPECT_FALSE(Installed(u"msg-lib"));
  EXPECT_TRUE(Installed(u"msg-page"));
  EXPECT_EQ(std::vector<std::string>{"msg-lib test.ping {}"}, ping->Seen());
}

TEST_F(ManagerWithChildTest, EnableLoadsDisableUnloadsAndALoadedLibraryIsUnloadedBeforeItsReload) {
  Install({{"turn-a", "A", 1, "a.so", "a.so"}, {"turn-b", "B", 0, "b.so", "b.so"}});
  Start();
  const int pid = log_.WaitForStart(1);
  halcy::ScopedBstr a(u"turn-a"), b(u"turn-b");
  ASSERT_EQ(S_OK, mgr_->EnableExtension(b.Get()));
  ASSERT_EQ(S_OK, mgr_->DisableExtension(b.Get()));
  ASSERT_EQ(S_OK, mgr_->EnableExtension(a.Get()));  // loaded already
  ASSERT_TRUE(log_.WaitForLines(pid, 6));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::string>{"hello", LoadLine("turn-a", "a.so"),
                                      LoadLine("turn-b", "b.so"), "0x07000002 turn-b",
                                      "0x07000002 turn-a", LoadLine("turn-a", "a.so")}),
            log_.LinesOf(pid));
}

TEST_F(ManagerWithChildTest, AManagerReleasedWithoutUninitializeEndsItsChild) {
  Install({{"gone-lib", "Lib", 1, "lib.so", "lib.so"}});
  Start();
  const int pid = log_.WaitForStart(1);
  ASSERT_TRUE(log_.WaitForLines(pid, 2));
  mgr_ = nullptr;  // the host's reference on the manager must not keep either alive
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(ProcessGone(pid));
  EXPECT_EQ("exit shutdown", log_.LinesOf(pid).back());
}

}  // namespace
