// process_test's entry. The test binary is also the extension process the DLL host launches (it
// launches the running executable): the real one of host/dll_child.h, or, while a test names a
// report file in PLEXORE_TEST_CHILD_LOG, a stand-in for what the real one cannot be made to do:
// it writes "<argv[1]> <argv[2]> fds=<open descriptors>" there and ends, or, when its channel's
// pipe exists, stays away from it for 20 s (until it is ended).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "host/dll_child.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"

namespace {

int RunStandInChild(int argc, char** argv) {
  const std::string first = argv[1];
  std::string report = first + " " + (argc > 2 ? argv[2] : "") + " fds=";
  for (int fd = 0, n = 0; fd < 1024; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) report += (n++ ? "," : "") + std::to_string(fd);
  }
  const std::string pipe =
      halcy::PipePathForName(halcy::Utf8ToUtf16(first.substr(first.find('=') + 1)));
  const bool stay = access(pipe.c_str(), F_OK) == 0;
  std::ofstream(std::getenv("PLEXORE_TEST_CHILD_LOG"), std::ios::app) << report << "\n";
  if (stay) sleep(20);
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (host::IsDllChildCommandLine(argc, argv)) {
    return std::getenv("PLEXORE_TEST_CHILD_LOG") ? RunStandInChild(argc, argv)
                                                 : host::RunDllChild(argc, argv);
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
