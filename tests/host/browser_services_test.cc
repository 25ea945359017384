// The host's statistics, version, skin and user services, the creatable property set and
// parameter object, and their registration with the object factory.
#include "host/browser_services.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/paths.h"
#include "host/host_services.h"
#include "host/statistics_service.h"
#include "json/json_reader.h"
#include "module/browser_info_services.h"
#include "module/channel_info.h"
#include "module/extension_store.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_resources.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/threads.h"
#include "store_test_env.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"

namespace {

using host_testing::StoreTestEnv;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "the last line has no line feed";
  return lines;
}

// The line without its time member, which differs from run to run.
std::string WithoutTime(const std::string& line) {
  const std::string prefix = "{\"time\":\"";
  EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
  const size_t end = line.find("\",", prefix.size());
  EXPECT_EQ(24u, end - prefix.size()) << "time is not YYYY-MM-DDTHH:MM:SS.mmmZ: " << line;
  return "{" + line.substr(end + 2);
}

template <class I>
ComPtr<I> Create() {
  ComPtr<I> object;
  Util::Com::CreateObjectByIID(I::kIID, object.ReleaseAndGetVoidAddress());
  return object;
}

TEST(StatisticsServiceTest, EachCallAppendsOneReadableLineInOrder) {
  StoreTestEnv env;
  testing_support::TestHost host;
  ComPtr<Logic::IStatisticsService> stats = Logic::GetStatisticsService();
  ASSERT_TRUE(stats);
  ComPtr<Logic::IPropertySet> props = Create<Logic::IPropertySet>();
  ASSERT_TRUE(props);
  EXPECT_EQ(S_OK, props->SetValue(u"name", u"first"));
  EXPECT_EQ(S_OK, props->SetValue(u"AppId", u"demo"));
  EXPECT_EQ(S_OK, props->SetValue(u"name", u"My \"Ext\" \u4e2d"));  // keeps its place
  EXPECT_EQ(E_INVALIDARG, props->SetValue(u"", u"x"));
  ASSERT_EQ(S_OK, stats->RecordAction(u"Function", u"PluginEnable", 2, props.Get()));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"click", u"count", 1));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"click", u"count", 1));
  ASSERT_EQ(S_OK, stats->CountUserAction(u"UserAction", u"menu", u"count", 3));
  ASSERT_EQ(S_OK, stats->RecordAction(u"UserAction", u"UserExtensionState", 2, nullptr));

  const std::vector<std::string> lines =
      Lines(testing_support::ReadFileOrEmpty(env.SystemDataFile("statistics.jsonl")));
  const std::vector<std::string> expected = {
      "{\"category\":\"Function\",\"key\":\"PluginEnable\",\"kind\":2,\"properties\":"
      "{\"name\":\"My \\\"Ext\\\" \xe4\xb8\xad\",\"AppId\":\"demo\"}}",
      "{\"category\":\"UserAction\",\"action\":\"click\",\"counter\":\"count\","
      "\"increment\":1,\"total\":1}",
      "{\"category\":\"UserAction\",\"action\":\"click\",\"counter\":\"count\","
      "\"increment\":1,\"total\":2}",
      "{\"category\":\"UserAction\",\"action\":\"menu\",\"counter\":\"count\","
      "\"increment\":3,\"total\":3}",
      "{\"category\":\"UserAction\",\"key\":\"UserExtensionState\",\"kind\":2,"
      "\"properties\":{}}",
  };
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(expected[i], WithoutTime(lines[i]));
    EXPECT_TRUE(Logic::ParseJsonUtf8(lines[i])) << lines[i];
  }
  EXPECT_EQ(2, host.services().statistics_service()->Total(u"UserAction", u"click", u"count"));
}

TEST(PropertySetTest, ReadsBackInOrderAndRefusesOutOfRange) {
  ComPtr<host::CPropertySet> set = halcy::MakeComObject<host::CPropertySet>();
  set->SetValue(u"b", u"1");
  set->SetValue(u"a", nullptr);
  LONG count = 0;
  ASSERT_EQ(S_OK, set->GetCount(&count));
  ASSERT_EQ(2, count);
  halcy::ScopedBstr name, value;
  ASSERT_EQ(S_OK, set->GetAt(1, name.Receive(), value.Receive()));
  EXPECT_EQ(u"a", name.View());
  EXPECT_EQ(u"", value.View());
  EXPECT_EQ(E_INVALIDARG, set->GetAt(2, name.Receive(), value.Receive()));
  EXPECT_EQ(nullptr, name.Get());
}

TEST(HostServicesRegistrationTest, ServicesAndClassesComeAndGoWithTheHost) {
  StoreTestEnv env;
  EXPECT_FALSE(Logic::GetDatabaseService());
  EXPECT_FALSE(Create<Logic::IStoreParams>());
  {
    host::CHostServices services;
    ASSERT_TRUE(services.Start());
    EXPECT_TRUE(Logic::GetDatabaseService());
    EXPECT_TRUE(Logic::GetChannelInfo());
    EXPECT_TRUE(Logic::GetStatisticsService());
    EXPECT_TRUE(Logic::GetVersionService());
    EXPECT_TRUE(Logic::GetSkinService());
    EXPECT_TRUE(Logic::GetUserServiceManager());
    ComPtr<Logic::IStoreParams> params = Create<Logic::IStoreParams>();
    ASSERT_TRUE(params);
    params->SetRelativePath(u"a\\b.json");
    halcy::ScopedBstr path;
    ASSERT_EQ(S_OK, params->GetRelativePath(path.Receive()));
    EXPECT_EQ(u"a\\b.json", path.View());
    EXPECT_TRUE(Create<Logic::IPropertySet>());
  }
  EXPECT_FALSE(Logic::GetDatabaseService());
  EXPECT_FALSE(Logic::GetChannelInfo());
  EXPECT_FALSE(Create<Logic::IStoreParams>());
  EXPECT_FALSE(Create<Logic::IPropertySet>());
}

TEST(HostServicesRegistrationTest, TestHostsFakeUserServiceReplacesTheHostsOwn) {
  testing_support::TestHost host;
  ComPtr<Logic::IUserServiceManager> users = Logic::GetUserServiceManager();
  EXPECT_EQ(static_cast<Logic::IUserServiceManager*>(host.user_service()), users.Get());
  EXPECT_NE(static_cast<Logic::IUserServiceManager*>(host.services().user_service()), users.Get());
}

TEST(HostServicesRegistrationTest, ModuleClassesAreRegisteredByClsid) {
  halcy::CreatableClass before = halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, {});
  host::RegisterModuleClasses();
  halcy::CreatableClass entry =
      halcy::SetCreatableClass(Logic::IExtensionAgent::kIID, std::move(before));
  EXPECT_FALSE(entry.create);
  EXPECT_EQ(MakeGuid("{2B932CCE-3458-4ef2-A64A-9C4EC12D6689}"), entry.clsid);
}

TEST(VersionServiceTest, VersionFromTheEnvironmentOrTheDefault) {
  const struct {
    const char* variable;  // null: unset
    const char16_t* expected;
  } cases[] = {{"7.0.0.12", u"7.0.0.12"}, {"", u"6.5.1.2"}, {nullptr, u"6.5.1.2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable ? c.variable : "(unset)");
    if (c.variable) {
      setenv("HALCY_BROWSER_VERSION", c.variable, 1);
    } else {
      unsetenv("HALCY_BROWSER_VERSION");
    }
    ComPtr<host::CVersionService> service = halcy::MakeComObject<host::CVersionService>();
    halcy::ScopedBstr version;
    ASSERT_EQ(S_OK, service->GetBrowserVersion(version.Receive()));
    EXPECT_EQ(c.expected, version.View());
  }
  unsetenv("HALCY_BROWSER_VERSION");
}

TEST(SkinServiceTest, RemembersAndLogsPrefixes) {
  ComPtr<host::CSkinService> skin = halcy::MakeComObject<host::CSkinService>();
  testing_support::LogCapture log;
  EXPECT_EQ(S_OK, skin->RegisterPathPrefix(u"extskin:", u"C:\\data\\ext"));
  EXPECT_EQ(S_OK, skin->RegisterPathPrefix(u"extskin:", u"C:\\data\\ext2"));
  EXPECT_EQ(E_INVALIDARG, skin->RegisterPathPrefix(u"", u"x"));
  EXPECT_EQ(u"C:\\data\\ext2", skin->DirectoryOf(u"extskin:"));
  EXPECT_EQ(u"", skin->DirectoryOf(u"other:"));
  EXPECT_TRUE(log.Contains(u"skin: prefix extskin: registered for C:\\data\\ext"));
}

TEST(UserServiceTest, CurrentUserIsTheAccountAndRegistrationsAreKept) {
  halcy::SetUserNameForTesting(u"mallory");
  ComPtr<host::CUserServiceManager> users = halcy::MakeComObject<host::CUserServiceManager>();
  halcy::ScopedBstr name;
  LONG id = 0;
  ASSERT_EQ(S_OK, users->GetCurrentUser(name.Receive(), &id));
  EXPECT_EQ(u"mallory", name.View());
  EXPECT_EQ(1, id);
  halcy::SetUserNameForTesting(std::nullopt);

  ComPtr<host::CSkinService> listener = halcy::MakeComObject<host::CSkinService>();
  EXPECT_EQ(S_OK, users->RegisterListener(Logic::kIID_IUserChangeListener, 7, listener.Get(), 42));
  EXPECT_EQ(S_OK, users->RegisterListenerOnCallingThread(Logic::kIID_IUserChangeListener,
                                                         listener.Get()));
  EXPECT_EQ(E_POINTER, users->RegisterListener(Logic::kIID_IUserChangeListener, 1, nullptr, 1));
  auto records = users->Registrations();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(7, records[0].listener_id);
  EXPECT_EQ(42u, records[0].thread_id);
  EXPECT_EQ(0, records[1].listener_id);
  EXPECT_EQ(GetCurrentThreadId(), records[1].thread_id);
  records.clear();
  users->ClearRegistrations();
  EXPECT_TRUE(users->Registrations().empty());
}

// The files the browser ships beside its executable, checked in the build's bin folder (where
// plexore-host and this test live).
class ShippedFilesTest : public testing::Test {
 protected:
  ShippedFilesTest() : browser_dir_("HALCY_BROWSER_DIR", Bin()) {
    Logic::ResetPathCachesForTesting();
  }
  ~ShippedFilesTest() override { Logic::ResetPathCachesForTesting(); }

  static std::string Bin() {
    const std::string host = PLEXORE_HOST;
    return host.substr(0, host.rfind('/'));
  }

 private:
  testing_support::ScopedEnv browser_dir_;
};

TEST_F(ShippedFilesTest, SiblingModulesAndTheStringTableAreBesideTheHost) {
  EXPECT_TRUE(Logic::AreSiblingModulesPresent());
  EXPECT_EQ(u"\u672a\u77e5", Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN"));
}

TEST_F(ShippedFilesTest, DataConverterStandInAcceptsItsArgumentsAndExitsZero) {
  const std::string converter = Bin() + "/Pellwick.exe";
  std::string output;
  EXPECT_EQ(0, testing_support::RunCommand(
                   "'" + converter + "' --action=convert --type=extension --dir=\"/tmp/a b\"",
                   &output, true));
  EXPECT_EQ("", output);
  EXPECT_EQ(2, testing_support::RunCommand("'" + converter + "' --bogus", &output, true));
}

}  // namespace
