#include "extension/routing_test_util.h"

namespace extension_testing {

StoreRecord RoutedExtension(const std::u16string& id, bool background_page,
                            const std::u16string& permissions) {
  StoreRecord record = Record(id);
  record.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"";
  if (background_page) record.manifest += u",\"background_page\":\"bg.html\"";
  record.manifest += u",\"permissions\":" + permissions + u"}";
  return record;
}

void RoutingFixture::Start(const std::vector<StoreRecord>& records, bool permission_mgr) {
  if (permission_mgr) {
    auto permissions = halcy::MakeComObject<Logic::CCoPermissionMgr>();
    host_.ReplaceService(Logic::IPermissionMgr::kIID,
                         static_cast<Logic::IPermissionMgr*>(permissions.Get()));
  }
  host_.ReplaceService(Logic::IFrontEndSinkService::kIID,
                       static_cast<Logic::IFrontEndSinkService*>(
                           halcy::MakeComObject<RecordingCore>(u"fe", journal_).Get()));
  ExtensionMgrFixture::Start(records);
  impl()->dll_host().Set(std::make_shared<RecordingDllSender>(journal_));
}

ComPtr<RecordingCore> RoutingFixture::AddCore(const std::u16string& extension_id, int owner_kind,
                                              LONG routing_handle) {
  auto core = halcy::MakeComObject<RecordingCore>(u"core:" + extension_id, journal_);
  const DWORD owner = host_.ThreadId(owner_kind);
  host_.RunOn(Thread::kThreadExtensionManager, [&] {
    impl()->InsertBKCoreInfoInExtMgrThread(ComPtr<Logic::IExtBackgroundCore>(core.Get()), owner, 0,
                                           0, extension_id, routing_handle);
  });
  return core;
}

ComPtr<RecordingCore> RoutingFixture::AddCmdHost(const std::u16string& name, HRESULT result) {
  auto host = halcy::MakeComObject<RecordingCore>(name, journal_, result);
  EXPECT_EQ(S_OK, mgr_->RegisterCmdHost(static_cast<Logic::IExtCmdHost*>(host.Get())));
  return host;
}

HRESULT RoutingFixture::Receive(const std::u16string& extension_id, const std::u16string& command,
                                const std::u16string& arguments, LONG request_context) {
  return host_.RunOn(Thread::kThreadExtensionManager, [&] {
    return impl()->ReceiveFromExtension(extension_id, command, arguments, request_context);
  });
}

std::vector<std::u16string> RoutingFixture::ReceiversOf(const std::u16string& command) {
  std::vector<std::u16string> receivers;
  for (const JournalEntry& entry : journal_->Entries()) {
    if (entry.name == command) receivers.push_back(entry.receiver);
  }
  return receivers;
}

}  // namespace extension_testing
