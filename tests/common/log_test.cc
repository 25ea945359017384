#include "common/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/function_tracer.h"
#include "common/scope_timer.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/win32.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using testing_support::LogCapture;

TEST(LogTest, AssertLineCarriesErrorAndRestoresIt) {
  LogCapture capture;
  SetLastError(ERROR_ACCESS_DENIED);
  Logic::LogLastError(u"base::CLock::CLock", 11, E_FAIL);
  EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
  auto lines = capture.LinesWithTag(u"assert;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(64, lines[0].level);
  EXPECT_EQ(u"error @ base::CLock::CLock:11 (lasterror=5, hr=0x80004005)", lines[0].text);
}

TEST(LogTest, FunctionTracerWritesEntryAndExitAroundIndentedBody) {
  LogCapture capture;
  halcy::ILogController* controller = GetLogController();
  int depth_before = controller->IndentDepth();
  {
    Logic::CFunctionTracer trace(u"function;", u"IPC::CChannel::Connect", u"id=3");
    EXPECT_EQ(depth_before + 1, controller->IndentDepth());
  }
  EXPECT_EQ(depth_before, controller->IndentDepth());
  auto lines = capture.LinesWithTag(u"function;");
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(5, lines[0].level);
  EXPECT_EQ(u"IPC::CChannel::Connect(id=3) {", lines[0].text);
  EXPECT_EQ(u"} IPC::CChannel::Connect(id=3)", lines[1].text);
}

std::vector<LONGLONG> g_script;  // the counter's readings in order, at 1 GHz
size_t g_reads = 0;
LONGLONG ScriptedCounter() { return g_reads < g_script.size() ? g_script[g_reads++] : 0; }

class ScopeTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logic::CScopeTimer::ResetForTesting();
    g_reads = 0;
    halcy::SetPerformanceCounterForTesting(&ScriptedCounter);
  }
  void TearDown() override {
    halcy::SetPerformanceCounterForTesting(nullptr);
    Logic::CScopeTimer::ResetForTesting();
  }
  testing_support::ScopedTempDir dir_;
  testing_support::ScopedEnv registry_{"HALCY_REGISTRY", dir_.File("registry.reg")};
};

// With no flag in the registry the timers are on; only scopes longer than 1 ms are logged. The
// first timer of the process fixes the base that later readings are taken against.
TEST_F(ScopeTimerTest, OnlyScopesOverOneMillisecondWriteAPerfLine) {
  g_script = {5'000'000, 5'000'010, 5'000'010, 6'000'010, 6'000'020, 7'010'020};
  LogCapture capture;
  { Logic::CScopeTimer warmup("warmup", true); }
  { Logic::CScopeTimer timer("one millisecond", true); }
  { Logic::CScopeTimer timer("Logic::CDllInteractionProcessHost::Init:50", true); }
  const auto lines = capture.LinesWithTag(u"perf;");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(16, lines[0].level);
  EXPECT_EQ(u"PERFORMANCE(Logic::CDllInteractionProcessHost::Init:50) : 1.010000 ms",
            lines[0].text);
}

TEST_F(ScopeTimerTest, FlagZeroNeverReadsTheCounter) {
  ASSERT_EQ(ERROR_SUCCESS,
            halcy::RegWriteDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Halcy\\HalcyBrowser",
                                 u"PerformanceTestFlag", 0));
  {
    Logic::CScopeTimer timer("scope", true);
    timer.Stop();
    EXPECT_EQ(Logic::CScopeTimer::kNew, timer.state());
  }
  EXPECT_EQ(0, g_reads);  // so nothing could be measured or logged
}

}  // namespace
