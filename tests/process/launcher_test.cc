// The child-process launcher with real processes: creation on the process-launch thread, the
// outcome on the UI thread, the handle handed to the browser, and what the child inherits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "host/logic_global_service.h"
#include "platform/event.h"
#include "platform/hcsafe.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "process/child_process_launcher.h"
#include "process/process_test_util.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Logic::CChildProcessLauncher;
using process_testing::ChildLogFile;

class RecordingClient : public Logic::IChildProcessLauncherClient,
                        public base::CRefCountedThreadSafe<RecordingClient> {
 public:
  void AddRef() const override { base::CRefCountedThreadSafe<RecordingClient>::AddRef(); }
  void Release() const override { base::CRefCountedThreadSafe<RecordingClient>::Release(); }
  void OnProcessLaunched(HANDLE process) override {
    process_ = process;
    thread_ = GetCurrentThreadId();
    ++calls_;
  }
  std::atomic<int> calls_{0};
  std::atomic<HANDLE> process_{nullptr};
  std::atomic<DWORD> thread_{0};

 private:
  friend class base::CRefCountedThreadSafe<RecordingClient>;
  ~RecordingClient() override = default;
};

std::u16string RunningExecutable() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return halcy::Utf8ToUtf16(std::string(path, n > 0 ? static_cast<size_t>(n) : 0));
}

TEST(LauncherErrorTest, FailedCreationLeavesStateZeroAndNeverCallsTheClient) {
  testing_support::TestHost host;
  testing_support::LogCapture log;
  const size_t children = host.services().logic_global_service()->ChildProcessCount();
  Logic::CCommandLine line(u"/nonexistent/plexore-child");
  line.AppendSwitch(u"type", u"BrindleProcess");
  base::RefPtr<CChildProcessLauncher> launcher(new CChildProcessLauncher(line));
  base::RefPtr<RecordingClient> client(new RecordingClient());
  ASSERT_TRUE(launcher->Launch(client.get()));
  ASSERT_TRUE(launcher->context()->done_event()->TimedWait(10000));
  ASSERT_TRUE(host.WaitIdle());
  EXPECT_EQ(CChildProcessLauncher::CContext::kIdle, launcher->context()->state());
  EXPECT_EQ(0, client->calls_.load());
  EXPECT_EQ(nullptr, launcher->context()->process_info().hProcess);
  EXPECT_EQ(children, host.services().logic_global_service()->ChildProcessCount());
  EXPECT_TRUE(log.Contains(u"Check for Navigate Create RenderProcess Failed "));
}

// With the platform library on, the restricted creation runs and receives the child's kind.
class LauncherTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { halcy::SetHcsafeEnabledForTesting(GetParam()); }
  void TearDown() override { halcy::SetHcsafeEnabledForTesting(false); }
};

TEST_P(LauncherTest, LaunchedChildIsReportedOnTheUIThreadAndInheritsOnlyTheStandardStreams) {
  testing_support::TestHost host;
  ChildLogFile child_log;
  testing_support::ScopedEnv mute("PLEXORE_TEST_CHILD_MODE", "mute");  // ends at once: no pipe
  const int inheritable = dup(2);  // no close-on-exec: a plain spawn would hand it over
  ASSERT_GE(inheritable, 3);
  const size_t children = host.services().logic_global_service()->ChildProcessCount();
  Logic::CCommandLine line(RunningExecutable());
  line.AppendSwitch(u"type", u"BrindleProcess");
  line.AppendSwitch(u"channel", u"launcher-test-no-pipe");
  base::RefPtr<CChildProcessLauncher> launcher(new CChildProcessLauncher(line));
  base::RefPtr<RecordingClient> client(new RecordingClient());
  ASSERT_TRUE(launcher->Launch(client.get()));
  ASSERT_TRUE(process_testing::WaitUntil([&] { return client->calls_ > 0; }));
  ASSERT_TRUE(host.WaitIdle());
  close(inheritable);

  CChildProcessLauncher::CContext* context = launcher->context();
  EXPECT_EQ(CChildProcessLauncher::CContext::kLaunched, context->state());
  EXPECT_EQ(1, client->calls_.load());
  EXPECT_EQ(host.ThreadId(Thread::kThreadUI), client->thread_.load());
  EXPECT_EQ(context->process_info().hProcess, client->process_.load());
  EXPECT_EQ(children + 1, host.services().logic_global_service()->ChildProcessCount());
  if (GetParam()) {
    EXPECT_EQ(10, halcy::LastRestrictedProcessKindForTesting());
  }

  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(context->process_info().hProcess, 20000));
  const int pid = static_cast<int>(context->process_info().dwProcessId);
  EXPECT_EQ((std::vector<std::string>{"start " + std::to_string(pid) +
                                          " --channel=launcher-test-no-pipe --type=BrindleProcess "
                                          "fds=0,1,2",
                                      std::to_string(pid) + " exit gone"}),
            child_log.Lines());
}

INSTANTIATE_TEST_SUITE_P(PlainAndRestricted, LauncherTest, ::testing::Bool());

}  // namespace
