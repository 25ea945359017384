// The extension manager with its real extension-DLL process (main.cc) and real libraries:
// the libraries the child is given, the child's messages taking the manager's paths, and the
// recovery from crashes (kill -9 of the child).
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_listener.h"
#include "host/service_registrations.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "process/process_test_util.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

namespace fs = std::filesystem;
using process_testing::Children;
using process_testing::WaitForOnlyChild;
using process_testing::WaitUntil;

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table

// Records, in order, "ready" and the DLL process's states "up" and "down".
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

struct Extension {
  std::string id;
  std::string name;
  int state;
  std::string library;  // "librarypath", or "" for a background page
  const char* source;   // copied to the library's place; "": a text file there; null: nothing
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
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    fs::create_symlink(exe, fs::path(browser_.path()) / exe.filename());
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

  // Uninitializes the manager (once) and checks that no child is left.
  void Stop() {
    if (!mgr_) return;
    mgr_->UnInitialize();
    mgr_ = nullptr;
    EXPECT_TRUE(host_.WaitIdle());
    EXPECT_EQ(std::vector<int>{}, Children());
  }

  // Writes the user's store and the extensions' directories.
  void Install(const std::vector<Extension>& extensions) {
    std::string store = "{\"format\":\"plexore-extdb\",\"version\":1,\"extensions\":[\n";
    for (const Extension& e : extensions) {
      std::string manifest = "{\"name\":\"" + e.name + "\",\"version\":\"1.0\"";
      manifest += e.library.empty() ? ",\"background_page\":\"bg.html\"}"
                                    : ",\"librarypath\":\"" + e.library + "\"}";
      const fs::path file = extensions_ / e.id / e.library;
      fs::create_directories(file.parent_path());
      testing_support::WriteFileOrDie((extensions_ / e.id / "manifest.json").string(), manifest);
      if (e.source && *e.source) fs::copy_file(e.source, file);
      if (e.source && !*e.source) testing_support::WriteFileOrDie(file.string(), "text");
      store += std::string(store.back() == '\n' ? "" : ",\n") + "{\"id\":\"" + e.id +
               "\",\"state\":" + std::to_string(e.state) +
               ",\"flags\":0,\"directory\":" + "\"hcextdbpath/" + e.id +
               "\",\"manifest\":" + manifest + "}";
    }
    testing_support::WriteFileOrDie((extensions_ / "extdb_v2.json").string(), store + "\n]}\n");
  }

  // Creates the manager, listens on the UI thread and switches the user in.
  void Start() {
    ASSERT_EQ(S_OK, Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                                               mgr_.ReleaseAndGetVoidAddress()));
    host_.RunOn(Thread::kThreadUI, [&] {
      EXPECT_EQ(S_OK, mgr_->AddListenerOnCallingThread(nullptr, listener_.Get()));
    });
    ASSERT_EQ(S_OK, mgr_->SwitchUser());
    ASSERT_TRUE(WaitUntil([&] { return !listener_->Events().empty(); }));
    ASSERT_TRUE(host_.WaitIdle());
  }

  // The child's line for the load of `id`'s library `file` (its resolved path).
  std::string LoadLine(const std::string& id, const std::string& file) {
    return R"({"to":"dll","type":"0x07000001","params":[")" + id + "\",\"" +
           fs::canonical(extensions_ / id / file).string() + "\"]}";
  }

  bool Installed(const std::u16string& id) {
    halcy::ScopedBstr text(id);
    ComPtr<Logic::IExtensionAgent> agent;
    mgr_->GetExtensionAgent(text.Get(), agent.ReleaseAndGetAddressOf());
    return agent != nullptr;
  }

  process_testing::ChildOutput out_;
  // Before the threads, which may still log while a test ends.
  testing_support::LogCapture log_;
  testing_support::ScopedTempDir browser_, appdata_;
  testing_support::ScopedEnv browser_env_, appdata_env_;
  // Where the user's extensions have always been kept.
  const fs::path extensions_ = fs::path(appdata_.path()) / "halcy/browser/SysData/localextensions";
  host::CServiceRegistrations classes_;
  testing_support::TestHost host_;
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<StateListener> listener_ = halcy::MakeComObject<StateListener>();
};

TEST_F(ManagerWithChildTest, FirstCrashRestartsAndReloadsEveryLibraryASecondShowsTheNotice) {
  Install({{"crash-a", "Alpha", 1, "lib/alpha.so", PLEXORE_WEATHERDESK},
           {"crash-b", "Beta", 2, "beta.so", PLEXORE_CRASH_LIBRARY},  // enabled, not named
           {"crash-off", "Off", 0, "off.so", PLEXORE_WEATHERDESK},
           {"crash-page", "Pages", 1, "", nullptr}});
  Start();
  const std::vector<std::string> loads = {LoadLine("crash-a", "lib/alpha.so"),
                                          LoadLine("crash-b", "beta.so")};
  ASSERT_TRUE(WaitUntil([&] { return out_.Messages().size() >= 2; }));
  EXPECT_EQ(loads, out_.Messages());

  const int first = WaitForOnlyChild();
  ASSERT_NE(0, first);  // kill(0) would hit this whole process group
  ASSERT_EQ(0, kill(first, SIGKILL));
  const int second = WaitForOnlyChild(first);
  ASSERT_NE(0, second);
  ASSERT_TRUE(WaitUntil([&] { return out_.Messages().size() >= 4; }));
  EXPECT_EQ((std::vector<std::string>{loads[0], loads[1], loads[0], loads[1]}), out_.Messages());
  ASSERT_TRUE(WaitUntil([&] { return listener_->Events().size() >= 3; }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::string>{"ready", "down", "up"}), listener_->Events());

  std::mutex lines_lock;
  std::vector<std::string> ui_lines;
  host_.services().ui_log()->SetWriter([&](const std::string& line) {
    std::lock_guard<std::mutex> hold(lines_lock);
    ui_lines.push_back(line);
  });
  ASSERT_EQ(0, kill(second, SIGKILL));
  // The notice goes to a bubble on the toolbar, naming the lone enabled library.
  const std::string notice =
      "{\"to\":\"ui\",\"call\":\"ShowPointBubble\",\"args\":[\"185A0831-E83A-4a49-A9FE-"
      "2632A7D59888\",0,\"很抱歉，扩展\\\"Alpha\\\"崩溃了，您可以在\\\"选项-扩展应用\\\"中重启它\""
      ",-1,0,0]}";
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lines_lock);
    return !ui_lines.empty();
  }));
  ASSERT_TRUE(host_.WaitIdle());
  host_.services().ui_log()->SetWriter(nullptr);
  EXPECT_EQ(std::vector<std::string>{notice}, ui_lines);
  EXPECT_EQ((std::vector<std::string>{"ready", "down", "up", "down"}), listener_->Events());
  EXPECT_EQ(std::vector<int>{}, Children());  // left down
  EXPECT_EQ(4u, out_.Messages().size());
}

// Only a regular file inside the extension's directory, with no link on the way, is sent to the
// child, by its canonical path; enable loads, disable unloads, and a loaded library is unloaded
// before its reload.
TEST_F(ManagerWithChildTest, OnlySafeLibrariesReachTheChildAndTurnsLoadAndUnloadThem) {
  Install({{"msg-bad", "Bad", 1, "bad.so", ""},
           {"msg-dir", "Dir", 1, "sub", nullptr},
           {"msg-lib", "Lib", 1, "bin/lib.so", PLEXORE_WEATHERDESK},
           {"msg-link", "Link", 1, "link.so", nullptr},
           {"msg-link-in", "LinkIn", 1, "in.so", nullptr},
           {"msg-missing", "Missing", 1, "none.so", nullptr},
           {"msg-off", "Off", 0, "off.so", PLEXORE_WEATHERDESK},
           {"msg-up", "Up", 1, "../up.so", PLEXORE_WEATHERDESK}});
  fs::create_directories(extensions_ / "msg-dir/sub");
  fs::create_symlink(extensions_ / "msg-lib/bin/lib.so", extensions_ / "msg-link/link.so");
  fs::copy_file(PLEXORE_WEATHERDESK, extensions_ / "msg-link-in/real.so");
  fs::create_symlink("real.so", extensions_ / "msg-link-in/in.so");
  Start();
  // The child answers the load of the text file with 0x07000014 and 0, the other with 1.
  ASSERT_TRUE(WaitUntil([&] { return !Installed(u"msg-bad"); }));
  halcy::ScopedBstr name(u"weather.update"), payload(u"{}"), off(u"msg-off"), lib(u"msg-lib");
  ASSERT_EQ(S_OK, mgr_->DispatchNamedEvent(name.Get(), payload.Get()));
  // weatherdesk asks for the browser's version.
  ASSERT_TRUE(WaitUntil([&] {
    return log_.Contains(u"extid:msg-lib, command:extension.invoke.utility.getversion, args: {}");
  }));
  ASSERT_EQ(S_OK, mgr_->EnableExtension(off.Get()));
  ASSERT_EQ(S_OK, mgr_->DisableExtension(off.Get()));
  ASSERT_EQ(S_OK, mgr_->EnableExtension(lib.Get()));  // loaded already
  ASSERT_TRUE(WaitUntil([&] { return out_.Messages().size() >= 7; }));
  ASSERT_TRUE(host_.WaitIdle());
  const std::string unload = R"({"to":"dll","type":"0x07000002","params":[")";
  EXPECT_EQ((std::vector<std::string>{
                LoadLine("msg-bad", "bad.so"), LoadLine("msg-lib", "bin/lib.so"),
                R"({"to":"dll","type":"0x07000008","params":["weather.update","{}"]})",
                LoadLine("msg-off", "off.so"), unload + "msg-off\"]}", unload + "msg-lib\"]}",
                LoadLine("msg-lib", "bin/lib.so")}),
            out_.Messages());
  EXPECT_TRUE(Installed(u"msg-lib"));
  // Released without UnInitialize, the manager still ends its child, which leaves by itself.
  mgr_ = nullptr;
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(std::vector<int>{}, Children());
  EXPECT_FALSE(log_.Contains(u"did not end by itself"));
}

}  // namespace
