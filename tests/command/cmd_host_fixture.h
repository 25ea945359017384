// The common command host's test fixture: a recording port in place of the extension manager
// and the test host's threads and browser model. Shared by the tests of tests/command.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "command/co_ext_common_cmd_host.h"
#include "command/extension_mgr_port.h"
#include "extension/ui_ext_pt_mgr.h"
#include "host/browser_model.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace command_testing {

struct SentReply {
  std::u16string extension_id, command, arguments;
  LONG request_context = 0;
  DWORD thread_id = 0;
};

inline std::u16string Num(long value) { return halcy::Utf8ToUtf16(std::to_string(value)); }

// Records what the host hands the manager: replies with the thread they were sent from, the
// other calls as one line of text each.
class RecordingMgrPort final : public Logic::ExtensionMgrPort {
 public:
  HRESULT SendToExtension(const std::u16string& id, const std::u16string& command,
                          const std::u16string& arguments, LONG context) override {
    std::lock_guard<std::mutex> hold(mutex_);
    replies_.push_back({id, command, arguments, context, GetCurrentThreadId()});
    cv_.notify_all();
    return S_OK;
  }
  HRESULT SendResponseToFrontEnd(const std::u16string& id, const std::u16string& result, LONG n1,
                                 const std::u16string& text, LONG n2, LONG n3) override {
    return Record(u"answer " + id + u" " + result + u" " + Num(n1) + u" " + text + u" " + Num(n2) +
                  u" " + Num(n3));
  }
  std::u16string BrowserVersion() override { return u"6.5.1.2"; }
  // The calling extension's version; empty stands for an extension that is not installed.
  std::u16string ExtensionVersion(const std::u16string&) override {
    std::lock_guard<std::mutex> hold(mutex_);
    return version_;
  }
  void set_version(std::u16string version) {
    std::lock_guard<std::mutex> hold(mutex_);
    version_ = std::move(version);
  }
  HRESULT DeleteExtension(const std::u16string& id) override { return Record(u"delete " + id); }
  HRESULT ReportSelfStatistics(const std::u16string& id, LONG type, const std::u16string& kind,
                               const std::u16string& content) override {
    return Record(u"statistics " + id + u" " + Num(type) + u" " + kind + u" " + content);
  }
  // The browser's own manager, as the real port hands it out.
  HRESULT GetUIExtPtMgr(Logic::IUIExtPtMgr** manager) override {
    return Util::Com::GetService(Logic::IUIExtPtMgr::kIID, reinterpret_cast<void**>(manager));
  }
  std::u16string ExtensionLocation(const std::u16string& id, const std::u16string& path) override {
    return u"hcbrowser://localextensions/" + id + u"/" + path;
  }
  std::u16string ExtensionDirectory(const std::u16string& id) override {
    std::lock_guard<std::mutex> hold(mutex_);
    return directory_ + u"\\" + id;
  }
  void set_directory(std::u16string directory) {
    std::lock_guard<std::mutex> hold(mutex_);
    directory_ = std::move(directory);
  }

  bool WaitForReplies(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, std::chrono::seconds(10), [&] { return replies_.size() >= count; });
  }
  std::vector<SentReply> replies() {
    std::lock_guard<std::mutex> hold(mutex_);
    return replies_;
  }
  std::vector<std::u16string> calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }

 private:
  HRESULT Record(std::u16string call) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(std::move(call));
    return S_OK;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SentReply> replies_;         // Guarded by mutex_
  std::vector<std::u16string> calls_;      // Guarded by mutex_
  std::u16string version_ = u"1.0.3";      // Guarded by mutex_
  std::u16string directory_ = u"C:\\ext";  // Guarded by mutex_
};

class CmdHostTest : public ::testing::Test {
 protected:
  CmdHostTest() {
    cmd_host_->impl().SetExtensionMgrPort(port_);
    host_.services().ui_log()->SetWriter([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(lines_mutex_);
      ui_lines_.push_back(line);
    });
  }
  ~CmdHostTest() override {
    host_.WaitIdle();  // queued tasks hold the host
    host_.services().ui_log()->SetWriter({});
  }
  // The {"to":"ui",...} lines the browser printed so far, once every thread is idle.
  std::vector<std::string> UiLines() {
    EXPECT_TRUE(host_.WaitIdle());
    std::lock_guard<std::mutex> hold(lines_mutex_);
    return ui_lines_;
  }

  // HandleCommand on the extension-manager thread, as the manager calls it.
  HRESULT Command(const std::u16string& command, const std::u16string& arguments, LONG context = 7,
                  const std::u16string& extension_id = u"ext1") {
    return host_.RunOn(Thread::kThreadExtensionManager, [&] {
      halcy::ScopedBstr id(extension_id), name(command), args(arguments);
      return cmd_host_->HandleCommand(id.Get(), name.Get(), args.Get(), context);
    });
  }
  std::vector<SentReply> RepliesWhenIdle() {
    EXPECT_TRUE(host_.WaitIdle());
    return port_->replies();
  }
  host::CBrowserModel* model() { return host_.services().browser_model(); }
  // Frames 1 (tab 11) and 2 (tabs 21 and 22), the first tab of each active.
  void AddTwoFrames() {
    ASSERT_EQ(S_OK, model()->AddFrame(1));
    ASSERT_EQ(S_OK, model()->AddTab(1, 11, u"http://one.example/", u"One"));
    ASSERT_EQ(S_OK, model()->AddFrame(2));
    ASSERT_EQ(S_OK, model()->AddTab(2, 21, u"http://two.example/a", u"Two A"));
    ASSERT_EQ(S_OK, model()->AddTab(2, 22, u"http://two.example/b", u"Two B"));
  }

  testing_support::TestHost host_;
  std::mutex lines_mutex_;
  std::vector<std::string> ui_lines_;  // Guarded by lines_mutex_
  std::shared_ptr<RecordingMgrPort> port_ = std::make_shared<RecordingMgrPort>();
  ComPtr<Logic::CCoExtCommonCmdHost> cmd_host_ = halcy::MakeComObject<Logic::CCoExtCommonCmdHost>();
};

}  // namespace command_testing
