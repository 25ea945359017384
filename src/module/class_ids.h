// The module's identity and its twelve creatable classes: CLSIDs, ProgIDs and the interfaces
// each answers. Constant data, shared by the module (class table, registration) and by the
// browser stand-in, which activates the classes by CLSID.
#pragma once

#include "platform/win_types.h"

namespace Logic {

constexpr GUID kModuleGuid = MakeGuid("{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}");  // also the AppID
constexpr const char16_t* kModuleAppIdText = u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}";
constexpr const char16_t* kProjectName = u"plexore";  // string resource 100

struct InterfaceId {
  const char16_t* name;
  IID iid;
};

struct ClassId {
  const char16_t* name;  // class name; FriendlyName is the name followed by " Object"
  CLSID clsid;
  const char16_t* prog_id;  // ends in ".1"; the version-independent ProgID drops it
  InterfaceId interfaces[4];
  int interface_count;
};

// IIDs of the module's interfaces (the interface declarations carry the same values).
constexpr IID kIID_IExtensionMgr = MakeGuid("4D5201FA-D80B-457E-B43E-606AE29A7020");
constexpr IID kIID_IExtensionAgent = MakeGuid("0AC6713A-0BFD-4007-914C-12368389C9B2");
constexpr IID kIID_IExtensionAgentBase = MakeGuid("1DBFA54F-9F31-40DF-89AC-44978B9D1255");
constexpr IID kIID_IExtCommonCmdHost = MakeGuid("4664FA82-DF4B-497A-89D3-2CA000E7CFDC");
constexpr IID kIID_IExtCmdHost = MakeGuid("824048FF-8F86-4571-87CC-189F7250A057");
constexpr IID kIID_IExtensionNotifyMgr = MakeGuid("593F2D4F-AD4F-4619-8695-FF4C836BCFC4");
constexpr IID kIID_IExtensionContextMenuMgr = MakeGuid("35231C31-4F6A-41BC-B483-7560835E9EA2");
constexpr IID kIID_IExtMenuCmdHost = MakeGuid("A1B68DFE-1ABD-487F-89FA-D599234457B4");
constexpr IID kIID_IExtMenuCmdHostBase = MakeGuid("C6A0F0B0-5E9A-4FF5-AA53-8AD967C78ECB");
constexpr IID kIID_IPermissionMgr = MakeGuid("865D8133-EF99-4B18-91F9-64EB29EF8414");
constexpr IID kIID_IPermissionSet = MakeGuid("3AAC0EF7-120A-4E03-9A60-354F938C9BA7");
constexpr IID kIID_IExtensionTracker = MakeGuid("E78BBA16-EAA8-4E04-AE0B-1180F05B5EF2");
constexpr IID kIID_IExtensionAppGuild = MakeGuid("50ED98AE-AA5F-4B4A-B99D-192BAFE40196");
// The two further interfaces shared by the tracker and the install guide.
constexpr IID kIID_IExtServiceShared1 = MakeGuid("05D5E8EC-53FE-465A-9ACD-70A395DD5E8C");
constexpr IID kIID_IExtServiceShared2 = MakeGuid("67706C32-B5B1-4CFA-AD29-10B75286D4AF");
constexpr IID kIID_INetFileFetcher = MakeGuid("6E1BF21F-0028-45CA-BFC5-46F02E5CB0AD");
constexpr IID kIID_ICarryInfo = MakeGuid("14151F0F-A123-4D05-A63A-64C1A7FB9C94");
constexpr IID kIID_IDownloadTask = MakeGuid("F7EE56B7-592B-4919-8271-7039F964713A");
constexpr IID kIID_IProvideClassInfo = MakeGuid("B196B283-BAB4-101A-B69C-00AA00341D07");

// The class table in the module's own order, which registration follows.
inline constexpr ClassId kClassTable[] = {
    {u"CCoExtCommonCmdHost",
     MakeGuid("{56AC55E5-66D2-4373-B258-0B2EFC07DF2A}"),
     u"CCoExtCommonCmdHost.CCoExtCommonCmdHo.1",
     {{u"IExtCommonCmdHost", kIID_IExtCommonCmdHost}, {u"IExtCmdHost", kIID_IExtCmdHost}},
     2},
    {u"CExtensionTracker",
     MakeGuid("{D00AD333-A81E-4cba-B0B9-87DDAA067755}"),
     u"CExtensionTracker.CExtensionTracker.1",
     {{u"IExtensionTracker", kIID_IExtensionTracker},
      {u"{05D5E8EC-53FE-465A-9ACD-70A395DD5E8C}", kIID_IExtServiceShared1},
      {u"{67706C32-B5B1-4CFA-AD29-10B75286D4AF}", kIID_IExtServiceShared2}},
     3},
    {u"CCoExtensionAgent",
     MakeGuid("{2B932CCE-3458-4ef2-A64A-9C4EC12D6689}"),
     u"CCoExtensionAgent.CCoExtensionAgent.1",
     {{u"IExtensionAgent", kIID_IExtensionAgent},
      {u"{1DBFA54F-9F31-40DF-89AC-44978B9D1255}", kIID_IExtensionAgentBase}},
     2},
    {u"CExtensionAppGuild",
     MakeGuid("{0EEA8477-1F3C-41CD-B174-0EBB2D269EA5}"),
     u"CExtensionAppGuild.CExtensionAppGuild.1",
     {{u"IExtensionAppGuild", kIID_IExtensionAppGuild},
      {u"{05D5E8EC-53FE-465A-9ACD-70A395DD5E8C}", kIID_IExtServiceShared1},
      {u"{67706C32-B5B1-4CFA-AD29-10B75286D4AF}", kIID_IExtServiceShared2}},
     3},
    {u"CCoExtensionContextMenuMgr",
     MakeGuid("{F03A1F6E-95DB-434f-9399-F123CA5BD474}"),
     u"CCoExtensionContextMenuMgr.CCoExtensi.1",
     {{u"IExtensionContextMenuMgr", kIID_IExtensionContextMenuMgr}},
     1},
    {u"CCoExtensionMgr",
     MakeGuid("{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}"),
     u"CCoExtensionMgr.CCoExtensionMgr.1",
     {{u"IExtensionMgr", kIID_IExtensionMgr}},
     1},
    {u"CExtensionNotifyMgr",
     MakeGuid("{747B62FD-4869-4D2C-A80E-537CDC955039}"),
     u"CExtensionNotifyMgr.CExtensionNotifyM.1",
     {{u"IExtensionNotifyMgr", kIID_IExtensionNotifyMgr}},
     1},
    {u"CCoExtMenuCmdHost",
     MakeGuid("{4FDEBDCF-D94F-4527-A326-C988C4401BC4}"),
     u"CCoExtMenuCmdHost.CCoExtMenuCmdHost.1",
     {{u"IExtMenuCmdHost", kIID_IExtMenuCmdHost},
      {u"{C6A0F0B0-5E9A-4FF5-AA53-8AD967C78ECB}", kIID_IExtMenuCmdHostBase},
      {u"IExtCmdHost", kIID_IExtCmdHost}},
     3},
    {u"CCoPermissionMgr",
     MakeGuid("{4A0E7CB2-53FD-493d-A058-2B4328A9ACA1}"),
     u"CCoPermissionMgr.CCoPermissionMgr.1",
     {{u"IPermissionMgr", kIID_IPermissionMgr}},
     1},
    {u"CCoPermissionSet",
     MakeGuid("{314B7D8D-A9B2-4ceb-A491-BC37785FF5D3}"),
     u"CCoPermissionSet.CCoPermissionSet.1",
     {{u"IPermissionSet", kIID_IPermissionSet}},
     1},
    {u"CCoNetFileFetcher",
     MakeGuid("{F3894167-B7CD-4E54-8A3F-0F21F4B2D5BB}"),
     u"CCoNetFileFetcher.CCoNetFileFetcher.1",
     {{u"INetFileFetcher", kIID_INetFileFetcher}},
     1},
    {u"CCoCarryInfo",
     MakeGuid("{42467E5C-3542-4C2C-9CB0-C351AAD152E8}"),
     u"CCoCarryInfo.CCoCarryInfo.1",
     {{u"ICarryInfo", kIID_ICarryInfo},
      {u"{F7EE56B7-592B-4919-8271-7039F964713A}", kIID_IDownloadTask}},
     2},
};
constexpr int kClassCount = sizeof(kClassTable) / sizeof(kClassTable[0]);

}  // namespace Logic
