#include "command/cmd_host_test_util.h"

#include "platform/bstr.h"
#include "platform/threads.h"
#include "thread/thread_service.h"

namespace command_testing {

HRESULT RecordingMgrPort::SendToExtension(const std::u16string& extension_id,
                                          const std::u16string& command,
                                          const std::u16string& arguments, LONG request_context) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    replies_.push_back({extension_id, command, arguments, request_context, GetCurrentThreadId()});
  }
  cv_.notify_all();
  return S_OK;
}

HRESULT RecordingMgrPort::SendResponseToFrontEnd(const std::u16string& extension_id,
                                                 const std::u16string& result, LONG number1,
                                                 const std::u16string& text, LONG number2,
                                                 LONG number3) {
  std::lock_guard<std::mutex> hold(mutex_);
  answers_.push_back({extension_id, result, number1, text, number2, number3});
  return S_FALSE;
}

std::u16string RecordingMgrPort::ExtensionVersion(const std::u16string& extension_id) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = versions_.find(extension_id);
  return it == versions_.end() ? u"" : it->second;
}

HRESULT RecordingMgrPort::DeleteExtension(const std::u16string& extension_id) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    deletes_.emplace_back(extension_id, GetCurrentThreadId());
  }
  cv_.notify_all();
  return S_OK;
}

HRESULT RecordingMgrPort::ReportSelfStatistics(const std::u16string& extension_id, LONG upload_type,
                                               const std::u16string& type,
                                               const std::u16string& content) {
  std::lock_guard<std::mutex> hold(mutex_);
  statistics_.push_back({extension_id, upload_type, type, content});
  return S_OK;
}

void RecordingMgrPort::SetExtensionVersion(const std::u16string& extension_id,
                                           const std::u16string& version) {
  std::lock_guard<std::mutex> hold(mutex_);
  versions_[extension_id] = version;
}

bool RecordingMgrPort::WaitForReplies(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  return cv_.wait_for(hold, limit, [&] { return replies_.size() >= count; });
}

std::vector<SentReply> RecordingMgrPort::replies() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return replies_;
}

std::vector<FrontEndAnswer> RecordingMgrPort::front_end_answers() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return answers_;
}

std::vector<std::pair<std::u16string, DWORD>> RecordingMgrPort::deletes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return deletes_;
}

std::vector<StatisticsRecord> RecordingMgrPort::statistics() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return statistics_;
}

CmdHostFixture::CmdHostFixture() : cmd_host_(halcy::MakeComObject<Logic::CCoExtCommonCmdHost>()) {
  cmd_host_->impl().SetExtensionMgrPort(port_);
}

CmdHostFixture::~CmdHostFixture() {
  // Tasks still queued hold the host; let them finish before the threads go.
  host_.WaitIdle();
}

HRESULT CmdHostFixture::Command(const std::u16string& command, const std::u16string& arguments,
                                LONG request_context, const std::u16string& extension_id) {
  return host_.RunOn(Thread::kThreadExtensionManager, [&] {
    halcy::ScopedBstr id(extension_id);
    halcy::ScopedBstr name(command);
    halcy::ScopedBstr args(arguments);
    return cmd_host_->HandleCommand(id.Get(), name.Get(), args.Get(), request_context);
  });
}

SentReply CmdHostFixture::OnlyReply(const std::u16string& command,
                                    const std::u16string& arguments) {
  Command(command, arguments);  // the status is each test's own concern
  std::vector<SentReply> replies = RepliesWhenIdle();
  EXPECT_EQ(1u, replies.size()) << "replies to one command";
  return replies.empty() ? SentReply{} : replies.back();
}

std::vector<SentReply> CmdHostFixture::RepliesWhenIdle() {
  EXPECT_TRUE(host_.WaitIdle());
  return port_->replies();
}

void CmdHostFixture::AddTwoFrames() {
  ASSERT_EQ(S_OK, model()->AddFrame(1));
  ASSERT_EQ(S_OK, model()->AddTab(1, 11, u"http://one.example/", u"One"));
  ASSERT_EQ(S_OK, model()->AddFrame(2));
  ASSERT_EQ(S_OK, model()->AddTab(2, 21, u"http://two.example/a", u"Two A"));
  ASSERT_EQ(S_OK, model()->AddTab(2, 22, u"http://two.example/b", u"Two B"));
}

}  // namespace command_testing
