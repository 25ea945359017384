// Helpers of the common command host tests: a recording stand-in for the extension manager
// (every reply, front-end answer, delete and statistics record, with the thread it came from)
// and a fixture with the test host's threads, the host's browser model and a command host
// wired to the recorder. Used on the test's main thread; the recorder is filled from any.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "command/co_ext_common_cmd_host.h"
#include "command/extension_mgr_port.h"
#include "host/browser_model.h"
#include "support/test_host.h"

namespace command_testing {

struct SentReply {
  std::u16string extension_id;
  std::u16string command;
  std::u16string arguments;
  LONG request_context;
  DWORD thread_id;
};

struct FrontEndAnswer {
  std::u16string extension_id;
  std::u16string result;
  LONG number1;
  std::u16string text;
  LONG number2;
  LONG number3;
};

struct StatisticsRecord {
  std::u16string extension_id;
  LONG upload_type;
  std::u16string type;
  std::u16string content;
};

class RecordingMgrPort final : public Logic::ExtensionMgrPort {
 public:
  HRESULT SendToExtension(const std::u16string& extension_id, const std::u16string& command,
                          const std::u16string& arguments, LONG request_context) override;
  HRESULT SendResponseToFrontEnd(const std::u16string& extension_id, const std::u16string& result,
                                 LONG number1, const std::u16string& text, LONG number2,
                                 LONG number3) override;
  std::u16string BrowserVersion() override { return u"6.5.1.2"; }
  std::u16string ExtensionVersion(const std::u16string& extension_id) override;
  HRESULT DeleteExtension(const std::u16string& extension_id) override;
  HRESULT ReportSelfStatistics(const std::u16string& extension_id, LONG upload_type,
                               const std::u16string& type, const std::u16string& content) override;

  void SetExtensionVersion(const std::u16string& extension_id, const std::u16string& version);

  // Waits until `count` replies were sent; false after `limit`.
  bool WaitForReplies(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<SentReply> replies() const;
  std::vector<FrontEndAnswer> front_end_answers() const;
  std::vector<std::pair<std::u16string, DWORD>> deletes() const;
  std::vector<StatisticsRecord> statistics() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SentReply> replies_;                         // Guarded by mutex_
  std::vector<FrontEndAnswer> answers_;                    // Guarded by mutex_
  std::vector<std::pair<std::u16string, DWORD>> deletes_;  // Guarded by mutex_
  std::vector<StatisticsRecord> statistics_;               // Guarded by mutex_
  std::map<std::u16string, std::u16string> versions_;      // Guarded by mutex_
};

class CmdHostFixture : public ::testing::Test {
 protected:
  CmdHostFixture();
  ~CmdHostFixture() override;

  // HandleCommand on the extension-manager thread, as the manager calls it.
  HRESULT Command(const std::u16string& command, const std::u16string& arguments,
                  LONG request_context = 7, const std::u16string& extension_id = u"ext1");
  // Sends `command` and returns the one reply it produced (a failure when there is none or
  // there are more), whatever HandleCommand answered.
  SentReply OnlyReply(const std::u16string& command, const std::u16string& arguments);
  // All replies after every thread went idle.
  std::vector<SentReply> RepliesWhenIdle();

  host::CBrowserModel* model() { return host_.services().browser_model(); }
  // Frames 1 (tab 11) and 2 (tabs 21 and 22), the first tab of each active.
  void AddTwoFrames();

  testing_support::TestHost host_;
  std::shared_ptr<RecordingMgrPort> port_ = std::make_shared<RecordingMgrPort>();
  ComPtr<Logic::CCoExtCommonCmdHost> cmd_host_;
};

}  // namespace command_testing
