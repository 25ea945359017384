// An extension developer's path: a native library built with nothing but the SDK header and a
// C compiler, installed with plexore-host, loaded in the extension process, answering a named
// event with a command whose reply comes back to it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_env.h"

namespace {

using testing_support::RunCommand;
using testing_support::WriteFileOrDie;

constexpr char kLibrary[] = R"(#include <string.h>
#include "plexore/native_extension.h"
static const plexore_host* g_host;
static char g_id[128];
int plexore_extension_load(const plexore_host* host, const char* id) {
  if (host->abi != PLEXORE_NATIVE_ABI || strlen(id) >= sizeof g_id) return 1;
  g_host = host;
  strcpy(g_id, id);
  return 0;
}
void plexore_extension_message(unsigned type, const plexore_param* params, int count) {
  if (type != 0x07000008 || count != 2 || strcmp(params[0].text, "sdk.ping") != 0) return;
  plexore_param command[4] = {{PLEXORE_STRING, 0, g_id},
                              {PLEXORE_STRING, 0, "extension.invoke.utility.getversion"},
                              {PLEXORE_STRING, 0, "{}"},
                              {PLEXORE_INT, 42, 0}};
  g_host->send(g_host->context, 0x07000010, command, 4);
}
void plexore_extension_unload(void) { g_host = 0; }
)";

TEST(SdkInstallTest, ALibraryBuiltFromTheHeaderAloneIsInstalledLoadedAndAnswered) {
  testing_support::ScopedTempDir dir;
  const std::string source = dir.File("sdkext");
  std::filesystem::create_directories(source);
  WriteFileOrDie(source + "/sdk.c", kLibrary);
  WriteFileOrDie(
      source + "/manifest.json",
      R"({"name":"SDK","version":"1.0","librarypath":"sdk.so","permissions":["utility"]})");
  std::string out;
  ASSERT_EQ(0, RunCommand(std::string(PLEXORE_CC) + " -shared -fPIC -I" + PLEXORE_SDK_INCLUDE +
                              " -o " + source + "/sdk.so " + source + "/sdk.c",
                          &out, true))
      << out;
  const std::string host = "HALCY_REGISTRY=" + dir.File("registry.reg") + " " + PLEXORE_HOST;
  const std::string root = " --data-root " + dir.File("appdata");
  ASSERT_EQ(0, RunCommand(host + " install " + source + root, &out, true)) << out;
  WriteFileOrDie(dir.File("ping.jsonl"), R"({"op":"event","name":"sdk.ping","payload":""})");
  ASSERT_EQ(0, RunCommand(host + " run --scenario " + dir.File("ping.jsonl") + root, &out)) << out;
  const std::string copy = dir.File("appdata") + "/halcy/browser/SysData/localextensions/sdkext";
  EXPECT_NE(std::string::npos, out.find(R"({"to":"dll","type":"0x07000001","params":["sdkext",")" +
                                        copy + R"(/sdk.so"]})"))
      << out;
  EXPECT_NE(std::string::npos,
            out.find(R"({"to":"dll","type":"0x07000011","params":["sdkext",42,)"
                     R"("extension.response.utility.getversion","{\r\n\"browserversion\":)"
                     R"(\"6.5.1.2\",\"version\":\"1.0\"}",0]})"))
      << out;
}

}  // namespace
