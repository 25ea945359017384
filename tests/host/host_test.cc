// Runs the real plexore-host against the real libplexore.so with a private registry.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/temp_env.h"

namespace {

using testing_support::RunCommand;

class HostTest : public ::testing::Test {
 protected:
  int Host(const std::string& args, std::string* out) {
    return RunCommand("HALCY_REGISTRY=" + dir_.File("registry.reg") +
                          " HALCY_APPDATA=" + dir_.path() + " " + PLEXORE_HOST + " " + args,
                      out, true);
  }
  testing_support::ScopedTempDir dir_;
};

TEST_F(HostTest, RegisterThenClassesActivatesAllTwelveAndCanUnload) {
  std::string out;
  ASSERT_EQ(0, Host("register", &out)) << out;
  EXPECT_EQ("DllRegisterServer: 0x00000000\n", out);
  ASSERT_EQ(0, Host("classes", &out)) << out;
  std::istringstream lines(out);
  std::string line;
  int classes = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("DllCanUnloadNow", 0) == 0) {
      EXPECT_EQ("DllCanUnloadNow: S_OK (0x00000000)", line);
    } else {
      ++classes;
      EXPECT_EQ(std::string::npos, line.find('!')) << line;  // every interface answered
      EXPECT_NE(std::string::npos, line.find("IProvideClassInfo")) << line;
    }
  }
  EXPECT_EQ(12, classes) << out;
  EXPECT_NE(std::string::npos, out.find("CCoExtensionContextMenuMgr.CCoExtensi.1"));
}

TEST_F(HostTest, ClassesWithoutRegistrationFailsClearly) {
  std::string out;
  EXPECT_NE(0, Host("classes", &out));
  EXPECT_NE(std::string::npos, out.find("0x80040154")) << out;  // REGDB_E_CLASSNOTREG
}

TEST_F(HostTest, UnregisterThenClassesFails) {
  std::string out;
  ASSERT_EQ(0, Host("register", &out)) << out;
  ASSERT_EQ(0, Host("unregister", &out)) << out;
  EXPECT_EQ("DllUnregisterServer: 0x00000000\n", out);
  EXPECT_NE(0, Host("classes", &out));
}

TEST_F(HostTest, MissingLibraryAndUnknownCommandAreReported) {
  std::string out;
  EXPECT_EQ(2, Host("--module /nonexistent/libplexore.so register", &out));
  EXPECT_NE(std::string::npos, out.find("cannot load /nonexistent/libplexore.so")) << out;
  EXPECT_EQ(2, Host("frobnicate", &out));
  EXPECT_NE(std::string::npos, out.find("unknown command")) << out;
}

}  // namespace
