// Fixture base for the IPC tests that run channels on a test host: a private runtime directory
// for the pipes, the host's threads, a fresh channel id, raw sockets closed at the end, and a
// check that every handle the test opened is closed again. Used on the test's main thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ipc/ipc_test_util.h"
#include "platform/kernel_object.h"
#include "support/temp_env.h"
#include "support/test_host.h"

namespace ipc_test {

class IpcHostTest : public ::testing::Test {
 protected:
  void SetUp() override { handles_before_ = halcy::OpenHandleCountForTesting(); }
  // For TearDown, once the test's channels are released: the host goes idle, the raw sockets
  // are closed, and no handle may be left open.
  void CheckNothingLeft() {
    ASSERT_TRUE(host_.WaitIdle());
    for (int fd : fds_) close(fd);
    EXPECT_EQ(handles_before_, halcy::OpenHandleCountForTesting());
  }
  // Closes `fd` at the end of the test.
  int Track(int fd) {
    fds_.push_back(fd);
    return fd;
  }

  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv runtime_dir_{"XDG_RUNTIME_DIR", dir_.path()};
  testing_support::TestHost host_;
  size_t handles_before_ = 0;
  std::u16string id_ = UniqueChannelId();
  std::vector<int> fds_;
};

}  // namespace ipc_test
