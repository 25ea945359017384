// Where the DLL-host slot sends a message: its sender first, else the browser's DLL-host
// service, else nowhere with one log line.
#include "extension/dll_host_slot.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "host/service_registrations.h"
#include "platform/com_object.h"
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

TEST(DllHostSlotTest, SenderFirstThenTheServiceThenNowhereWithOneLine) {
  Logic::CDllHostSlot slot;
  ComPtr<RecordingService> service = halcy::MakeComObject<RecordingService>();
  host::CServiceRegistrations registrations;
  registrations.Publish(Logic::IExtensionDllHostService::kIID, service.Get());
  testing_support::LogCapture log;

  auto sender = std::make_shared<RecordingSender>();
  slot.Set(sender);
  EXPECT_TRUE(slot.Send(new IPC::CMessage(false, 0x07000011)));
  EXPECT_EQ(std::vector<uint32_t>{0x07000011}, sender->types);
  EXPECT_TRUE(service->types.empty());

  slot.Set(nullptr);
  EXPECT_TRUE(slot.Send(new IPC::CMessage(false, 0x07000012)));
  service->answer = E_FAIL;
  EXPECT_FALSE(slot.Send(new IPC::CMessage(false, 0x07000008)));
  EXPECT_EQ((std::vector<uint32_t>{0x07000012, 0x07000008}), service->types);
  EXPECT_TRUE(log.LinesWithTag(u"extMgr;").empty());

  registrations.Publish(Logic::IExtensionDllHostService::kIID, nullptr);
  EXPECT_FALSE(slot.Send(new IPC::CMessage(false, 0x0700000A)));
  const std::vector<testing_support::LogLine> lines = log.LinesWithTag(u"extMgr;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(32, lines[0].level);
  EXPECT_EQ(u"extMgr: no extension DLL host, message 0x0700000A dropped", lines[0].text);
}

}  // namespace
