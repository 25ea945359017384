#include "common/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/hcsafe.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using halcy::Utf8ToUtf16;
using testing_support::LogCapture;
using testing_support::ScopedEnv;
using testing_support::ScopedTempDir;

bool IsDirectory(std::u16string_view path) {
  struct stat st;
  return ::stat(halcy::ToNativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Each test gets its own application-data folder and starts with empty caches.
class PathsTest : public ::testing::Test {
 protected:
  PathsTest() { Logic::ResetPathCachesForTesting(); }
  ~PathsTest() override {
    Logic::ResetPathCachesForTesting();
    halcy::SetUserNameForTesting(std::nullopt);
  }

  ScopedTempDir appdata_;
  ScopedEnv appdata_env_{"HALCY_APPDATA", appdata_.path()};
  const std::u16string base_ = Utf8ToUtf16(appdata_.path()), root_ = base_ + u"\\halcy\\browser\\";
};

// The hex is of the name's UTF-16 units, low byte first (a low byte over 0x7f included).
TEST_F(PathsTest, UserDirectoryEndsInPrefixAndHexAndExistsWithItsMissingParents) {
  ScopedEnv missing("HALCY_APPDATA", appdata_.path() + "/new");
  const std::u16string root = base_ + u"/new\\halcy\\browser\\UserData\\";
  for (const auto& [variant, name] :
       {std::pair(0, u"0A73B7929C9546628F097CEEACA6E07961002d4ee900\\"),
        std::pair(Logic::kUserDataVariantShort, u"61002d4ee900\\")}) {
    std::u16string path;
    ASSERT_TRUE(
        Logic::GetDataDirectory(Logic::kDataDirectoryUser, &path, variant, u"a\u4e2d\u00e9"));
    EXPECT_EQ(root + name, path);
    EXPECT_TRUE(IsDirectory(path));
  }
}

TEST_F(PathsTest, UnobtainableApplicationDataFolderFailsEveryKindButNone) {
  testing_support::WriteFileOrDie(appdata_.path() + "/file", "in the way");
  ScopedEnv missing("HALCY_APPDATA", appdata_.path() + "/file/appdata");
  std::u16string root, path = u"keep";
  EXPECT_FALSE(Logic::GetDataRoot(&root));
  EXPECT_FALSE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  EXPECT_FALSE(Logic::GetDataDirectory(Logic::kDataDirectoryUser, &path, 0, u"ab"));
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectoryNone, &path, 0, u"ab"));
  EXPECT_EQ(u"keep", path);
}

// The sub path is appended to the system directory, which is answered even when it cannot be
// created.
TEST_F(PathsTest, SystemDirectoryGetsTheSubPathAppendedAndAFailedCreationIsLogged) {
  testing_support::WriteFileOrDie(appdata_.path() + "/halcy", "a file where a folder belongs");
  LogCapture capture;
  std::u16string path = u"localextensions";
  EXPECT_TRUE(Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u""));
  EXPECT_EQ(root_ + u"SysData\\localextensions", path);
  const auto lines = capture.LinesWithTag(u"oldlog;");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(u"Create Dir(" + root_ + u"SysData\\) failed", lines.back().text);
  EXPECT_EQ(64, lines.back().level);
}

TEST_F(PathsTest, CurrentUserDirectoryUsesTheAccountNameAndIsCached) {
  halcy::SetUserNameForTesting(u"ab");
  std::u16string path, again;
  ASSERT_TRUE(Logic::GetCurrentUserDataDirectory(&path));
  EXPECT_EQ(root_ + u"UserData\\0A73B7929C9546628F097CEEACA6E07961006200\\", path);
  EXPECT_TRUE(IsDirectory(path));
  halcy::SetUserNameForTesting(u"cd");  // the account name is kept for the process too
  ASSERT_TRUE(Logic::GetCurrentUserDataDirectory(&again));
  EXPECT_EQ(path, again);
}

// The name is read into 512 characters first; a longer one is asked for again at its size. Its
// folder name is then too long to create, which the log shows with the name's hex.
TEST_F(PathsTest, AccountNameLongerThanTheFirstBufferIsAskedForAgain) {
  halcy::SetUserNameForTesting(std::u16string(600, u'x'));
  LogCapture capture;
  std::u16string path, hex;
  EXPECT_FALSE(Logic::GetCurrentUserDataDirectory(&path));
  for (int i = 0; i < 100; ++i) hex += u"7800";
  EXPECT_TRUE(
      capture.Contains(u"Create Dir(" + root_ + u"UserData\\" + Logic::kUserDataPrefix + hex));
}

// Up to `depth` missing levels are made, each through the platform library when its file hook
// is on.
TEST_F(PathsTest, CreateDirectoryRecursiveCreatesUpToDepthMissingLevels) {
  EXPECT_FALSE(Logic::CreateDirectoryRecursive(base_ + u"\\a\\b\\c\\d\\e", 4));
  EXPECT_FALSE(IsDirectory(base_ + u"/a"));
  ASSERT_TRUE(Logic::CreateDirectoryRecursive(base_ + u"\\a\\b/c\\d", 4));
  EXPECT_TRUE(IsDirectory(base_ + u"/a/b/c/d"));
  std::vector<bool> virtualised;  // per directory created
  halcy::SetCreateDirectoryObserverForTesting(
      [&](std::u16string_view, bool virt) { virtualised.push_back(virt); });
  halcy::SetHcsafeEnabledForTesting(true);
  const bool ok = Logic::CreateDirectoryRecursive(base_ + u"\\v\\w", 2);
  halcy::SetHcsafeEnabledForTesting(false);
  halcy::SetCreateDirectoryObserverForTesting(nullptr);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(IsDirectory(base_ + u"/v/w"));
  EXPECT_EQ(std::vector<bool>({true, true}), virtualised);
}

// Each module beside the browser is required; the answer is kept for the process.
TEST_F(PathsTest, SiblingModulesAreAllRequiredAndAMissingOneStaysMissing) {
  const char* const modules[] = {"Quillon.dll", "Tollmark.dll", "Sarnet.dll", "plexore.dll",
                                 "Brindle.dll"};
  for (const char* missing : modules) {
    ScopedTempDir dir;
    ScopedEnv env("HALCY_BROWSER_DIR", dir.path());
    Logic::ResetPathCachesForTesting();
    for (const char* name : modules) {
      if (name != missing) testing_support::WriteFileOrDie(dir.File(name), "");
    }
    EXPECT_EQ(Utf8ToUtf16(dir.path()), Logic::GetBrowserDirectory());
    EXPECT_FALSE(Logic::AreSiblingModulesPresent()) << missing;
    testing_support::WriteFileOrDie(dir.File(missing), "");
    EXPECT_FALSE(Logic::AreSiblingModulesPresent()) << missing;
    Logic::ResetPathCachesForTesting();
    EXPECT_TRUE(Logic::AreSiblingModulesPresent()) << missing;
  }
}

}  // namespace
