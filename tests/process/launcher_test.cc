// The child-process launcher with real processes, plain and through the platform library's
// restricted creation: creation on the process-launch thread, the outcome on the UI thread, the
// handle handed to the browser, and what the child inherits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "host/logic_global_service.h"
#include "platform/file_system.h"
#include "platform/hcsafe.h"
#include "platform/system_paths.h"
#include "platform/threads.h"
#include "process/child_process_launcher.h"
#include "process/process_test_util.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

using Context = Logic::CChildProcessLauncher::CContext;

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
};

class LauncherTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { halcy::SetHcsafeEnabledForTesting(GetParam()); }
  void TearDown() override { halcy::SetHcsafeEnabledForTesting(false); }
  size_t Registered() { return host_.services().logic_global_service()->ChildProcessCount(); }
  // Launches `line` and waits until the outcome has been handled on the UI thread.
  Context* Launch(const Logic::CCommandLine& line) {
    launcher_ = base::RefPtr<Logic::CChildProcessLauncher>(new Logic::CChildProcessLauncher(line));
    EXPECT_TRUE(launcher_->Launch(client_.get()));
    EXPECT_TRUE(process_testing::WaitUntil(
        [&] { return launcher_->context()->state() != Context::kLaunching; }));
    EXPECT_TRUE(host_.WaitIdle());
    return launcher_->context();
  }

  testing_support::TestHost host_;
  const size_t registered_ = Registered();
  base::RefPtr<RecordingClient> client_{new RecordingClient()};
  base::RefPtr<Logic::CChildProcessLauncher> launcher_;
};

TEST_P(LauncherTest, FailedCreationLeavesStateZeroAndNeverCallsTheClient) {
  Context* context = Launch(Logic::CCommandLine(u"/nonexistent/plexore-child"));
  EXPECT_EQ(Context::kIdle, context->state());
  EXPECT_EQ(0, client_->calls_.load());
  EXPECT_EQ(nullptr, context->process_info().hProcess);
  EXPECT_EQ(registered_, Registered());
}

TEST_P(LauncherTest, LaunchedChildIsReportedOnTheUIThreadAndInheritsOnlyTheStandardStreams) {
  process_testing::StandInChildren stand_in;  // its channel has no pipe: it ends at once
  const int inheritable = dup(2);             // no close-on-exec: a plain spawn would hand it over
  char16_t exe[MAX_PATH];
  Logic::CCommandLine line(std::u16string(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH)));
  line.AppendSwitch(u"type", u"BrindleProcess");
  line.AppendSwitch(u"channel", u"launcher-test-no-pipe");
  Context* context = Launch(line);
  close(inheritable);
  EXPECT_EQ(Context::kLaunched, context->state());
  EXPECT_EQ(1, client_->calls_.load());
  EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), client_->thread_.load());
  EXPECT_EQ(context->process_info().hProcess, client_->process_.load());
  EXPECT_EQ(registered_ + 1, Registered());
  if (GetParam()) {
    EXPECT_EQ(10, halcy::LastRestrictedProcessKindForTesting());
  }
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(context->process_info().hProcess, 20000));
  EXPECT_EQ("--channel=launcher-test-no-pipe --type=BrindleProcess fds=0,1,2\n",
            testing_support::ReadFileOrEmpty(stand_in.file));
}

INSTANTIATE_TEST_SUITE_P(PlainAndRestricted, LauncherTest, ::testing::Bool());

}  // namespace
