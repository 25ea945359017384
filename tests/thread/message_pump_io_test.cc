// The IO pump's completion port: deliveries to handlers, filtered waits and wake-ups.
#include "thread/message_pump_io.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/threads.h"

namespace {

using Pump = Thread::CMessagePumpForIO;

// A handle whose overlapped operations the test completes by hand.
class CTestFile final : public halcy::KernelObject {};

struct Delivery {
  Pump::CIOContext* context;
  DWORD bytes;
  DWORD error;
};

class CRecordingHandler : public Pump::CIOHandler {
 public:
  void OnIOCompleted(Pump::CIOContext* context, DWORD bytes, DWORD error) override {
    deliveries.push_back({context, bytes, error});
  }
  std::vector<Delivery> deliveries;
};

class MessagePumpForIOTest : public ::testing::Test {
 protected:
  ~MessagePumpForIOTest() override {
    for (HANDLE h : files_) CloseHandle(h);
  }
  // A new handle, bound to the pump with `handler`.
  CTestFile* NewFile(Pump::CIOHandler* handler) {
    auto* file = new CTestFile();
    files_.push_back(halcy::InsertHandle(file));
    EXPECT_TRUE(pump_->RegisterIOHandler(files_.back(), handler));
    return file;
  }

  base::RefPtr<Pump> pump_{new Pump()};
  std::vector<HANDLE> files_;
  CRecordingHandler a_, b_;
  Pump::CIOContext ctx_a_{{}, &a_}, ctx_a2_{{}, &a_}, ctx_b_{{}, &b_}, ctx_b2_{{}, &b_};
};

TEST_F(MessagePumpForIOTest, CompletionReachesItsHandlerWithBytesOrError) {
  EXPECT_FALSE(pump_->WaitForIOCompletion(0, nullptr));
  CTestFile* file = NewFile(&a_);
  EXPECT_FALSE(pump_->RegisterIOHandler(files_.back(), &b_));  // bound once only
  ASSERT_TRUE(halcy::PostCompletion(file, 42, &ctx_a_.overlapped, 0));
  ASSERT_TRUE(halcy::PostCompletion(file, 17, &ctx_a2_.overlapped, ERROR_BROKEN_PIPE));
  // The handler went away with this one in flight: the pump deletes it (ASan reports a leak
  // otherwise) and calls nobody.
  ASSERT_TRUE(halcy::PostCompletion(file, 8, &(new Pump::CIOContext{{}, nullptr})->overlapped, 0));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  ASSERT_EQ(2u, a_.deliveries.size());
  EXPECT_EQ(&ctx_a_, a_.deliveries[0].context);
  EXPECT_EQ(42u, a_.deliveries[0].bytes);
  EXPECT_EQ(0u, a_.deliveries[0].error);
  EXPECT_EQ(&ctx_a2_, a_.deliveries[1].context);
  EXPECT_EQ(0u, a_.deliveries[1].bytes);  // a failed operation transferred nothing
  EXPECT_EQ(DWORD{ERROR_BROKEN_PIPE}, a_.deliveries[1].error);
}

TEST_F(MessagePumpForIOTest, FilteredWaitKeepsOtherHandlersCompletionsForALaterWait) {
  CTestFile* fa = NewFile(&a_);
  CTestFile* fb = NewFile(&b_);
  halcy::PostCompletion(fa, 1, &ctx_a_.overlapped, 0);
  halcy::PostCompletion(fb, 2, &ctx_b_.overlapped, 0);
  halcy::PostCompletion(fa, 3, &ctx_a2_.overlapped, 0);
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &b_));  // a's first is kept back
  EXPECT_TRUE(a_.deliveries.empty());
  EXPECT_TRUE(b_.deliveries.empty());
  ASSERT_EQ(1u, pump_->completed_io.size());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &b_));
  ASSERT_EQ(1u, b_.deliveries.size());
  EXPECT_EQ(2u, b_.deliveries[0].bytes);
  // a's own filtered wait takes the kept one before the newer one still in the port.
  EXPECT_TRUE(pump_->WaitForIOCompletion(0, &a_));
  ASSERT_EQ(1u, a_.deliveries.size());
  EXPECT_EQ(&ctx_a_, a_.deliveries[0].context);
  // Kept again behind a filter; the unfiltered wait then gives it ahead of b's newer one.
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &b_));
  halcy::PostCompletion(fb, 4, &ctx_b2_.overlapped, 0);
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  ASSERT_EQ(2u, a_.deliveries.size());
  EXPECT_EQ(&ctx_a2_, a_.deliveries[1].context);
  EXPECT_TRUE(pump_->completed_io.empty());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  ASSERT_EQ(2u, b_.deliveries.size());
  EXPECT_EQ(&ctx_b2_, b_.deliveries[1].context);
}

TEST_F(MessagePumpForIOTest, WakeUpPacketClearsHaveWorkAndCallsNoHandler) {
  NewFile(&a_);
  for (int i = 0; i < 3; ++i) pump_->ScheduleWork();
  EXPECT_EQ(1, pump_->have_work.load());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &a_));  // a filter does not keep it back
  EXPECT_EQ(0, pump_->have_work.load());
  EXPECT_TRUE(pump_->completed_io.empty());
  EXPECT_TRUE(a_.deliveries.empty());
  EXPECT_FALSE(pump_->WaitForIOCompletion(0, nullptr));  // the burst queued one packet only
  pump_->ScheduleWork();
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
}

}  // namespace
