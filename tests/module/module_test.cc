// The module's entry points in process: class objects, COM identity, unloading and the
// registry keys it writes and removes.
#include "module/module.h"

#include <gtest/gtest.h>

#include <string>

#include "module/class_ids.h"
#include "platform/guid.h"
#include "platform/registry.h"
#include "platform/win32.h"
#include "support/temp_env.h"

namespace {

using Logic::kClassTable;
using testing_support::ReadFileOrEmpty;

ComPtr<IClassFactory> FactoryFor(const CLSID& clsid) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(S_OK,
            DllGetClassObject(clsid, IClassFactory::kIID, factory.ReleaseAndGetVoidAddress()));
  return factory;
}

TEST(ClassObjectTest, UnknownClsidGivesClassNotAvailableAndNull) {
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            DllGetClassObject(MakeGuid("00000000-1111-2222-3333-444444444444"), IClassFactory::kIID,
                              &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, DllGetClassObject(kClassTable[0].clsid, IClassFactory::kIID, nullptr));
  for (int index : {-1, Logic::kClassCount}) {
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              Logic::CreateClassInstance(index, nullptr, IUnknown::kIID, &out));
  }
}

// Base interfaces answer at the pointer of their derived interface.
TEST(ClassObjectTest, BaseInterfacesShareTheDerivedPointer) {
  struct {
    int class_index;
    IID derived, base;
  } cases[] = {{2, Logic::kIID_IExtensionAgent, Logic::kIID_IExtensionAgentBase},
               {7, Logic::kIID_IExtMenuCmdHost, Logic::kIID_IExtMenuCmdHostBase}};
  for (const auto& c : cases) {
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, Logic::CreateClassInstance(c.class_index, nullptr, IUnknown::kIID,
                                               object.ReleaseAndGetVoidAddress()));
    ComPtr<IUnknown> derived, base;
    ASSERT_EQ(S_OK, object->QueryInterface(c.derived, derived.ReleaseAndGetVoidAddress()));
    ASSERT_EQ(S_OK, object->QueryInterface(c.base, base.ReleaseAndGetVoidAddress()));
    EXPECT_EQ(derived.Get(), base.Get());
  }
}

TEST(UnloadTest, CanUnloadOnlyWhenNoObjectLockOrFactoryReferenceLives) {
  ASSERT_EQ(S_OK, DllCanUnloadNow());
  ComPtr<IClassFactory> factory = FactoryFor(kClassTable[5].clsid);
  EXPECT_EQ(factory.Get(), FactoryFor(kClassTable[5].clsid).Get()) << "one factory per class";
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // a held factory keeps the module
  ComPtr<IUnknown> object;
  ASSERT_EQ(S_OK,
            factory->CreateInstance(nullptr, IUnknown::kIID, object.ReleaseAndGetVoidAddress()));
  factory.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // the object keeps it
  object.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  factory = FactoryFor(kClassTable[5].clsid);
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());  // the server lock keeps it
  factory = FactoryFor(kClassTable[5].clsid);
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  factory.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

class RegistrationTest : public ::testing::Test {
 protected:
  bool KeyExists(const std::u16string& path) {
    HKEY key = nullptr;
    const bool found =
        RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (found) RegCloseKey(key);
    return found;
  }
  std::u16string ReadString(const std::u16string& path, const std::u16string& name = u"") {
    std::u16string value;
    halcy::RegReadString(HKEY_CLASSES_ROOT, path, name, &value);
    return value;
  }
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv env_{"HALCY_REGISTRY", dir_.File("registry.reg")};
};

TEST_F(RegistrationTest, WritesTheKeysOfEveryClass) {
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(u"plexore", ReadString(u"AppID\\{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}"));
  EXPECT_EQ(u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}", ReadString(u"AppID\\plexore.DLL", u"AppID"));
  const std::u16string clsid = u"CLSID\\{56AC55E5-66D2-4373-B258-0B2EFC07DF2A}";
  EXPECT_EQ(u"CCoExtCommonCmdHost Object", ReadString(clsid));
  EXPECT_EQ(u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}", ReadString(clsid, u"AppID"));
  EXPECT_EQ(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo.1", ReadString(clsid + u"\\ProgID"));
  EXPECT_EQ(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo",
            ReadString(clsid + u"\\VersionIndependentProgID"));
  EXPECT_TRUE(KeyExists(clsid + u"\\Programmable"));
  EXPECT_EQ(u"free", ReadString(clsid + u"\\InprocServer32", u"ThreadingModel"));
  EXPECT_EQ(Logic::ModulePath(), ReadString(clsid + u"\\InprocServer32"));
  EXPECT_EQ(u"{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}", ReadString(clsid + u"\\TypeLib"));
  EXPECT_EQ(u"CCoExtCommonCmdHost Object", ReadString(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo.1"));
  EXPECT_EQ(u"{56AC55E5-66D2-4373-B258-0B2EFC07DF2A}",
            ReadString(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo.1\\CLSID"));
  EXPECT_EQ(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo.1",
            ReadString(u"CCoExtCommonCmdHost.CCoExtCommonCmdHo\\CurVer"));
  for (const Logic::ClassId& c : kClassTable) {
    EXPECT_TRUE(KeyExists(u"CLSID\\" + halcy::GuidToString(c.clsid) + u"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(c.prog_id));
  }
}

// Both keep the thread locale; a second registration changes nothing; the unregistration
// removes the class keys whole and keeps the AppID root and what others wrote there.
TEST_F(RegistrationTest, RegisterTwiceThenUnregister) {
  SetThreadLocale(0x0409);
  ASSERT_EQ(ERROR_SUCCESS,
            halcy::RegWriteString(HKEY_CLASSES_ROOT,
                                  u"AppID\\{0000AAAA-0000-0000-0000-000000000000}", u"", u"other"));
  ASSERT_EQ(S_OK, DllRegisterServer());
  const std::string first = ReadFileOrEmpty(dir_.File("registry.reg"));
  ASSERT_EQ(S_OK, DllRegisterServer());
  EXPECT_EQ(first, ReadFileOrEmpty(dir_.File("registry.reg")));
  EXPECT_EQ(0x0409u, GetThreadLocale());
  ASSERT_EQ(S_OK, DllUnregisterServer());
  EXPECT_EQ(0x0409u, GetThreadLocale());
  for (const Logic::ClassId& c : kClassTable) {
    EXPECT_FALSE(KeyExists(u"CLSID\\" + halcy::GuidToString(c.clsid)));
    EXPECT_FALSE(KeyExists(c.prog_id));
  }
  EXPECT_FALSE(KeyExists(u"AppID\\{E58D0007-3608-4A1C-8D4F-8E1AEE1FFA86}"));
  EXPECT_FALSE(KeyExists(u"AppID\\plexore.DLL"));
  EXPECT_EQ(u"other", ReadString(u"AppID\\{0000AAAA-0000-0000-0000-000000000000}"));
}

}  // namespace
