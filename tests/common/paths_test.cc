#include "common/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/hcsafe.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/win32.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using testing_support::LogCapture;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Records every directory creation the platform performs while it lives (on this thread).
class CreationRecorder {
 public:
  CreationRecorder() {
    halcy::SetCreateDirectoryObserverForTesting([this](std::u16string_view path, bool virt) {
      paths.push_back(Utf16ToUtf8(path));
      virtualised.push_back(virt);
    });
  }
  ~CreationRecorder() { halcy::SetCreateDirectoryObserverForTesting(nullptr); }

  std::vector<std::string> paths;
  std::vector<bool> virtualised;
};

// Each test gets its own application-data folder and starts with empty caches.
class PathsTest : public ::testing::Test {
 protected:
  PathsTest() : appdata_env_("HALCY_APPDATA", appdata_.path()) {
    Logic::ResetPathCachesForTesting();
  }
  ~PathsTest() override {
    Logic::ResetPathCachesForTesting();
    halcy::SetUserNameForTesting(std::nullopt);
  }

  std::u16string Root() const { return Utf8ToUtf16(appdata_.path()) + u"\\halcy\\browser\\"; }
  std::string Native(const std::u16string& path) const { return halcy::ToNativePath(path); }

  ScopedTempDir appdata_;
  ScopedEnv appdata_env_;
};

TEST_F(PathsTest, HexOfUserNameIsUtf16BytesLowByteFirst) {
  EXPECT_EQ(u"61006200", Logic::HexOfUserName(u"ab"));
  EXPECT_EQ(u"", Logic::HexOfUserName(u""));
  EXPECT_EQ(u"2d4efd56", Logic::HexOfUserName(u"\u4e2d\u56fd"));
  EXPECT_EQ(u"3dd802de", Logic::HexOfUserName(u"\U0001F602"));  // surrogate pair, unit by unit
}

TEST_F(PathsTest, UserDirectoryOfAbEndsInPrefixAndHexAndExists) {
  std::u16string path;
  ASSERT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectoryUser, &path, 0, u"ab"));
  EXPECT_EQ(Root() + u"UserData\\0A73B7929C9546628F097CEEACA6E07961006200\\", path);
  EXPECT_TRUE(IsDirectory(Native(path)));

  std::u16string short_path;
  ASSERT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectoryUser, &short_path,
                                      Logic::kUserDataVariantShort, u"ab"));
  EXPECT_EQ(Root() + u"UserData\\61006200\\", short_path);
  EXPECT_TRUE(IsDirectory(Native(short_path)));
}

TEST_F(PathsTest, SystemDirectoryGetsTheSubPathAppended) {
  std::u16string path = u"localextensions";
  ASSERT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  EXPECT_EQ(Root() + u"SysData\\localextensions", path);
  EXPECT_TRUE(IsDirectory(appdata_.path() + "/halcy/browser/SysData"));
  // Only the data directory is created, not the sub path.
  EXPECT_FALSE(IsDirectory(appdata_.path() + "/halcy/browser/SysData/localextensions"));
}

TEST_F(PathsTest, MissingApplicationDataFolderIsCreatedAsWindowsAlwaysHasOne) {
  ScopedEnv missing("HALCY_APPDATA", appdata_.path() + "/new/appdata");
  std::u16string root;
  ASSERT_TRUE(Logic::GetDataRoot(&root));
  EXPECT_EQ(Utf8ToUtf16(appdata_.path()) + u"/new/appdata\\halcy\\browser\\", root);
  EXPECT_TRUE(IsDirectory(appdata_.path() + "/new/appdata"));
}

TEST_F(PathsTest, KindThreeLeavesThePathAloneAndCreatesNothing) {
  std::u16string path = u"untouched";
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectoryNone, &path, 0, u"ab"));
  EXPECT_EQ(u"untouched", path);
  EXPECT_FALSE(IsDirectory(appdata_.path() + "/halcy"));
}

TEST_F(PathsTest, UnobtainableApplicationDataFolderFailsEveryKindButThree) {
  testing_support::WriteFileOrDie(appdata_.path() + "/file", "in the way");
  ScopedEnv missing("HALCY_APPDATA", appdata_.path() + "/file/appdata");
  std::u16string root, path = u"keep";
  EXPECT_FALSE(Logic::GetDataRoot(&root));
  EXPECT_FALSE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  EXPECT_FALSE(Logic::GetDataDirectory(Logic::kDataDirectoryUser, &path, 0, u"ab"));
  EXPECT_EQ(u"keep", path);
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectoryNone, &path, 0, u"ab"));
}

TEST_F(PathsTest, DataRootIsKeptForTheProcess) {
  std::u16string first;
  ASSERT_TRUE(Logic::GetDataRoot(&first));
  ScopedTempDir other;
  ScopedEnv moved("HALCY_APPDATA", other.path());
  std::u16string second;
  ASSERT_TRUE(Logic::GetDataRoot(&second));
  EXPECT_EQ(first, second);
  Logic::ResetPathCachesForTesting();
  ASSERT_TRUE(Logic::GetDataRoot(&second));
  EXPECT_EQ(Utf8ToUtf16(other.path()) + u"\\halcy\\browser\\", second);
}

TEST_F(PathsTest, FailedCreationIsLoggedButStillAnswersThePath) {
  testing_support::WriteFileOrDie(appdata_.path() + "/halcy", "a file where a folder belongs");
  LogCapture capture;
  std::u16string path;
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  EXPECT_EQ(Root() + u"SysData\\", path);
  EXPECT_TRUE(capture.Contains(u"Create Dir(" + Root() + u"SysData\\) failed"));
  const auto lines = capture.LinesWithTag(u"oldlog;");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(64, lines.back().level);
}

TEST_F(PathsTest, CurrentUserDirectoryUsesTheAccountNameAndIsCached) {
  halcy::SetUserNameForTesting(u"ab");
  std::u16string path;
  ASSERT_TRUE(Logic::GetCurrentUserDataDirectory(&path));
  EXPECT_EQ(Root() + u"UserData\\0A73B7929C9546628F097CEEACA6E07961006200\\", path);
  EXPECT_TRUE(IsDirectory(Native(path)));
  halcy::SetUserNameForTesting(u"cd");  // the account name is kept for the process too
  std::u16string again;
  ASSERT_TRUE(Logic::GetCurrentUserDataDirectory(&again));
  EXPECT_EQ(path, again);
}

TEST_F(PathsTest, AccountNameLongerThanTheFirstBufferIsAskedForAgain) {
  // The user directory reads the name with a 512-character buffer first and relies on the
  // system saying how much it needs when that is too small.
  const std::u16string name = std::u16string(600, u'x');
  halcy::SetUserNameForTesting(name);
  std::u16string buffer(512, u'\0');
  DWORD size = 512;
  EXPECT_FALSE(GetUserNameW(buffer.data(), &size));
  EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
  EXPECT_EQ(601u, size);
  buffer.assign(size, u'\0');
  ASSERT_TRUE(GetUserNameW(buffer.data(), &size));
  EXPECT_EQ(601u, size);
  EXPECT_EQ(name, buffer.substr(0, 600));
}

TEST_F(PathsTest, CurrentUserDirectoryFailsWithoutAnAccountNameOrWhenItCannotBeCreated) {
  halcy::SetUserNameForTesting(u"");
  std::u16string keep = u"keep";
  EXPECT_FALSE(Logic::GetCurrentUserDataDirectory(&keep));
  EXPECT_EQ(u"keep", keep);
  Logic::ResetPathCachesForTesting();
  halcy::SetUserNameForTesting(u"ab");
  testing_support::WriteFileOrDie(appdata_.path() + "/halcy", "blocks the folder");
  LogCapture capture;
  std::u16string path;
  EXPECT_FALSE(Logic::GetCurrentUserDataDirectory(&path));
  EXPECT_TRUE(capture.Contains(u"Create Dir(" + Root() +
                               u"UserData\\0A73B7929C9546628F097CEEACA6E07961006200\\) (4) times "
                               u"failed"));
}

class CreateDirectoryRecursiveTest : public ::testing::Test {
 protected:
  std::u16string Base() const { return Utf8ToUtf16(dir_.path()); }
  ScopedTempDir dir_;
};

TEST_F(CreateDirectoryRecursiveTest, DepthFourCreatesFourMissingLevels) {
  CreationRecorder recorder;
  ASSERT_TRUE(Logic::CreateDirectoryRecursive(Base() + u"\\a\\b/c\\d", 4));
  EXPECT_TRUE(IsDirectory(dir_.path() + "/a/b/c/d"));
  const std::vector<std::string> expected = {dir_.path() + "\\a", dir_.path() + "\\a\\b",
                                             dir_.path() + "\\a\\b/c", dir_.path() + "\\a\\b/c\\d"};
  EXPECT_EQ(expected, recorder.paths);
}

TEST_F(CreateDirectoryRecursiveTest, FifthMissingLevelFailsAndCreatesNothing) {
  CreationRecorder recorder;
  EXPECT_FALSE(Logic::CreateDirectoryRecursive(Base() + u"\\a\\b\\c\\d\\e", 4));
  EXPECT_FALSE(IsDirectory(dir_.path() + "/a"));
  EXPECT_TRUE(recorder.paths.empty());
}

TEST_F(CreateDirectoryRecursiveTest, ExistingDirectoryCreatesNothingAndBadRequestsFail) {
  testing_support::WriteFileOrDie(dir_.path() + "/file", "x");
  CreationRecorder recorder;
  EXPECT_TRUE(Logic::CreateDirectoryRecursive(Base(), 0));
  EXPECT_TRUE(Logic::CreateDirectoryRecursive(Base() + u"\\\\//", 1));  // trailing separators
  EXPECT_TRUE(recorder.paths.empty());
  EXPECT_FALSE(Logic::CreateDirectoryRecursive(Base() + u"\\new", 0));
  EXPECT_FALSE(Logic::CreateDirectoryRecursive(u"relative-without-separator", 5));
  EXPECT_FALSE(IsDirectory(dir_.path() + "/new"));
  EXPECT_FALSE(Logic::CreateDirectoryRecursive(Base() + u"\\file\\sub", 2));  // a file in the way
}

TEST_F(CreateDirectoryRecursiveTest, PlatformLibraryCreatesWhenItsFileHookIsOn) {
  CreationRecorder recorder;
  halcy::SetHcsafeEnabledForTesting(true);
  const bool ok = Logic::CreateDirectoryRecursive(Base() + u"\\v\\w", 2);
  halcy::SetHcsafeEnabledForTesting(false);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(IsDirectory(dir_.path() + "/v/w"));
  EXPECT_EQ(std::vector<bool>({true, true}), recorder.virtualised);
}

constexpr const char* kSiblingModules[] = {"Quillon.dll", "Tollmark.dll", "Sarnet.dll",
                                           "plexore.dll", "Brindle.dll"};

class SiblingModulesTest : public ::testing::Test {
 protected:
  SiblingModulesTest() { Logic::ResetPathCachesForTesting(); }
  ~SiblingModulesTest() override { Logic::ResetPathCachesForTesting(); }
};

TEST_F(SiblingModulesTest, EachOfTheFiveModulesBesideTheBrowserIsRequired) {
  for (const char* missing :
       {"", "Quillon.dll", "Tollmark.dll", "Sarnet.dll", "plexore.dll", "Brindle.dll"}) {
    ScopedTempDir dir;
    ScopedEnv env("HALCY_BROWSER_DIR", dir.path());
    Logic::ResetPathCachesForTesting();
    for (const char* name : kSiblingModules) {
      if (std::string(name) != missing) testing_support::WriteFileOrDie(dir.File(name), "");
    }
    EXPECT_EQ(Utf8ToUtf16(dir.path()), Logic::GetBrowserDirectory());
    EXPECT_EQ(*missing == '\0', Logic::AreSiblingModulesPresent()) << missing;
  }
}

TEST_F(SiblingModulesTest, MissingModuleStaysMissingForTheProcess) {
  ScopedTempDir dir;
  ScopedEnv env("HALCY_BROWSER_DIR", dir.path());
  for (const char* name : kSiblingModules) {
    if (std::string(name) != "Brindle.dll") testing_support::WriteFileOrDie(dir.File(name), "");
  }
  EXPECT_FALSE(Logic::AreSiblingModulesPresent());
  testing_support::WriteFileOrDie(dir.File("Brindle.dll"), "");
  EXPECT_FALSE(Logic::AreSiblingModulesPresent());
  Logic::ResetPathCachesForTesting();
  EXPECT_TRUE(Logic::AreSiblingModulesPresent());
}

}  // namespace
