// Where the DLL-host slot sends a message: its sender first, else the browser's DLL-host
// service, else nowhere with one log line.
#include "extension/dll_host_slot.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/com_object.h"
#include "platform/object_factory.h"
#include "support/log_capture.h"

namespace {

class RecordingSender : public Logic::IDllHostSender {
 public:
  bool Send(IPC::CMessage* message) override {
    types.push_back(message->type());
    delete message;
    return true;
  }
  std::vector<uint32_t> types;
};

class RecordingService : public halcy::ComObjectRoot, public Logic::IExtensionDllHostService {
 public:
  HALCY_BEGIN_INTERFACES(RecordingService)
  HALCY_INTERFACE(RecordingService, Logic::IExtensionDllHostService)
  HALCY_END_INTERFACES()
  HRESULT ReceiveDllHostMessage(const IPC::CMessage* message) override {
    types.push_back(message->type());
    return answer;
  }
  std::vector<uint32_t> types;
  HRESULT answer = S_OK;
};

class DllHostSlotTest : public ::testing::Test {
 protected:
  void UseService() {
    service_ = halcy::MakeComObject<RecordingService>();
    previous_ = halcy::SetService(Logic::IExtensionDllHostService::kIID, service_.Get());
    replaced_ = true;
  }
  void TearDown() override {
    if (replaced_) halcy::SetService(Logic::IExtensionDllHostService::kIID, previous_.Get());
  }

  Logic::CDllHostSlot slot_;
  ComPtr<RecordingService> service_;
  ComPtr<IUnknown> previous_;
  bool replaced_ = false;
};

TEST_F(DllHostSlotTest, SenderTakesPrecedenceOverTheService) {
  UseService();
  auto sender = std::make_shared<RecordingSender>();
  slot_.Set(sender);
  EXPECT_TRUE(slot_.Send(new IPC::CMessage(false, 0x07000011)));
  EXPECT_EQ(std::vector<uint32_t>{0x07000011}, sender->types);
  EXPECT_TRUE(service_->types.empty());
}

TEST_F(DllHostSlotTest, EmptySlotHandsTheMessageToTheServiceWithoutTheDropLine) {
  UseService();
  testing_support::LogCapture log;
  EXPECT_TRUE(slot_.Send(new IPC::CMessage(false, 0x07000012)));
  service_->answer = E_FAIL;
  EXPECT_FALSE(slot_.Send(new IPC::CMessage(false, 0x07000008)));
  EXPECT_EQ((std::vector<uint32_t>{0x07000012, 0x07000008}), service_->types);
  EXPECT_TRUE(log.LinesWithTag(u"extMgr;").empty());
}

TEST_F(DllHostSlotTest, NeitherSenderNorServiceDropsWithOneLine) {
  previous_ = halcy::SetService(Logic::IExtensionDllHostService::kIID, nullptr);
  replaced_ = true;
  testing_support::LogCapture log;
  EXPECT_FALSE(slot_.Send(new IPC::CMessage(false, 0x0700000A)));
  std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"extMgr;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(u"extMgr: no extension DLL host, message 0x0700000A dropped", lines[0].text);
}

}  // namespace
