#include "thread/message_pump_io.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/threads.h"
#include "thread/message_loop.h"
#include "thread/task.h"

namespace {

using Pump = Thread::CMessagePumpForIO;

// A handle whose overlapped operations the test completes by hand.
class CTestFile final : public halcy::KernelObject {};

struct Delivery {
  Pump::CIOContext* context;
  DWORD bytes;
  DWORD error;
  DWORD thread;
};

class CRecordingHandler : public Pump::CIOHandler {
 public:
  void OnIOCompleted(Pump::CIOContext* context, DWORD bytes, DWORD error) override {
    std::lock_guard<std::mutex> lock(mutex);
    deliveries.push_back({context, bytes, error, GetCurrentThreadId()});
    cv.notify_all();
  }
  std::vector<Delivery> Taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Delivery> deliveries;  // Guarded by mutex
};

class MessagePumpForIOTest : public ::testing::Test {
 protected:
  MessagePumpForIOTest() : pump_(new Pump()) {}
  ~MessagePumpForIOTest() override {
    for (HANDLE h : files_) CloseHandle(h);
  }

  // A new handle bound to the pump with `handler`; `object` receives the kernel object.
  CTestFile* NewFile(Pump::CIOHandler* handler) {
    auto* file = new CTestFile();
    HANDLE h = halcy::InsertHandle(file);
    files_.push_back(h);
    EXPECT_TRUE(pump_->RegisterIOHandler(h, handler));
    return file;
  }

  base::RefPtr<Pump> pump_;
  std::vector<HANDLE> files_;
  CRecordingHandler a_, b_;
  Pump::CIOContext ctx_a_{{}, &a_}, ctx_b_{{}, &b_}, ctx_b2_{{}, &b_};
};

// A completion reaches its handler with bytes and context; a failed one with its error and
// zero bytes. With nothing queued the wait times out with false.
TEST_F(MessagePumpForIOTest, CompletionReachesItsHandlerWithBytesOrError) {
  EXPECT_FALSE(pump_->WaitForIOCompletion(0, nullptr));
  EXPECT_FALSE(pump_->WaitForIOCompletion(20, nullptr));
  CTestFile* file = NewFile(&a_);
  Pump::CIOContext failed{{}, &a_};
  ASSERT_TRUE(halcy::PostCompletion(file, 42, &ctx_a_.overlapped, 0));
  ASSERT_TRUE(halcy::PostCompletion(file, 17, &failed.overlapped, ERROR_BROKEN_PIPE));
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  const std::vector<Delivery> got = a_.Taken();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(&ctx_a_, got[0].context);
  EXPECT_EQ(42u, got[0].bytes);
  EXPECT_EQ(0u, got[0].error);
  EXPECT_EQ(&failed, got[1].context);
  EXPECT_EQ(0u, got[1].bytes);
  EXPECT_EQ(DWORD{ERROR_BROKEN_PIPE}, got[1].error);
}

TEST_F(MessagePumpForIOTest, FilteredWaitDefersOthersAndALaterWaitDeliversThemFirst) {
  CTestFile* fa = NewFile(&a_);
  CTestFile* fb = NewFile(&b_);
  halcy::PostCompletion(fa, 1, &ctx_a_.overlapped, 0);
  halcy::PostCompletion(fb, 2, &ctx_b_.overlapped, 0);
  // Looking for b: a's completion comes first and is kept back.
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &b_));
  EXPECT_TRUE(a_.Taken().empty());
  EXPECT_TRUE(b_.Taken().empty());
  ASSERT_EQ(1u, pump_->completed_io.size());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &b_));
  ASSERT_EQ(1u, b_.Taken().size());
  EXPECT_EQ(2u, b_.Taken()[0].bytes);
  // A newer completion for b is in the port; the unfiltered wait gives a's kept one first.
  halcy::PostCompletion(fb, 3, &ctx_b2_.overlapped, 0);
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  ASSERT_EQ(1u, a_.Taken().size());
  EXPECT_EQ(1u, b_.Taken().size());
  EXPECT_TRUE(pump_->completed_io.empty());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  ASSERT_EQ(2u, b_.Taken().size());
  EXPECT_EQ(&ctx_b2_, b_.Taken()[1].context);
}

TEST_F(MessagePumpForIOTest, FilteredWaitTakesAKeptCompletionOfItsOwnHandler) {
  CTestFile* fa = NewFile(&a_);
  CTestFile* fb = NewFile(&b_);
  halcy::PostCompletion(fb, 5, &ctx_b_.overlapped, 0);
  halcy::PostCompletion(fa, 6, &ctx_a_.overlapped, 0);
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &a_));  // b's kept
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &a_));  // a's delivered
  ASSERT_EQ(1u, a_.Taken().size());
  EXPECT_TRUE(pump_->WaitForIOCompletion(0, &b_));  // from the kept list, no port needed
  ASSERT_EQ(1u, b_.Taken().size());
  EXPECT_EQ(5u, b_.Taken()[0].bytes);
}

TEST_F(MessagePumpForIOTest, WakeUpPacketClearsHaveWorkAndCallsNoHandler) {
  NewFile(&a_);
  pump_->ScheduleWork();
  pump_->ScheduleWork();
  pump_->ScheduleWork();
  EXPECT_EQ(1, pump_->have_work.load());
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, &a_));  // a filter does not keep it back
  EXPECT_EQ(0, pump_->have_work.load());
  EXPECT_TRUE(pump_->completed_io.empty());
  EXPECT_TRUE(a_.Taken().empty());
  EXPECT_FALSE(pump_->WaitForIOCompletion(0, nullptr));  // the burst queued one packet only
  pump_->ScheduleWork();
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
}

TEST_F(MessagePumpForIOTest, AbandonedContextIsDeletedAndNoHandlerIsCalled) {
  CTestFile* file = NewFile(&a_);
  // The handler went away with its read in flight: the pump owns the context now (ASan
  // reports a leak if it is not deleted).
  auto* abandoned = new Pump::CIOContext{{}, nullptr};
  halcy::PostCompletion(file, 8, &abandoned->overlapped, 0);
  EXPECT_TRUE(pump_->WaitForIOCompletion(1000, nullptr));
  EXPECT_TRUE(a_.Taken().empty());
}

TEST_F(MessagePumpForIOTest, HandleCanBeRegisteredOnlyOnce) {
  auto* file = new CTestFile();
  HANDLE h = halcy::InsertHandle(file);
  files_.push_back(h);
  EXPECT_TRUE(pump_->RegisterIOHandler(h, &a_));
  EXPECT_FALSE(pump_->RegisterIOHandler(h, &b_));
  EXPECT_FALSE(pump_->RegisterIOHandler(reinterpret_cast<HANDLE>(0x7777), &b_));
}

TEST(MessagePumpForIOThreadTest, TasksAndCompletionsRunOnTheLoopThread) {
  std::mutex m;
  std::condition_variable cv;
  Thread::CMessageLoop* loop = nullptr;
  Pump* pump = nullptr;
  DWORD loop_tid = 0;
  std::thread io([&] {
    base::RefPtr<Pump> p(new Pump());
    Thread::CMessageLoop l("IO", p.get());
    {
      std::lock_guard<std::mutex> lock(m);
      loop = &l;
      pump = p.get();
      loop_tid = GetCurrentThreadId();
    }
    cv.notify_all();
    l.Run();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return loop != nullptr; });
  }
  CRecordingHandler handler;
  Pump::CIOContext context{{}, &handler};
  auto* file = new CTestFile();
  HANDLE h = halcy::InsertHandle(file);
  // Registering happens on the IPC thread, as a channel does in Connect; the completion then
  // comes from this thread and must wake the sleeping pump.
  std::vector<DWORD> task_threads;
  bool registered = false;
  loop->PostTask(Thread::NewFuncTask([&] {
                   std::lock_guard<std::mutex> lock(m);
                   task_threads.push_back(GetCurrentThreadId());
                   registered = pump->RegisterIOHandler(h, &handler);
                   cv.notify_all();
                 }),
                 0);
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return !task_threads.empty(); });
  }
  EXPECT_TRUE(registered);
  if (registered) {
    halcy::PostCompletion(file, 9, &context.overlapped, 0);
    std::unique_lock<std::mutex> lock(handler.mutex);
    handler.cv.wait(lock, [&] { return !handler.deliveries.empty(); });
  }
  loop->PostTask(Thread::NewFuncTask([&] { loop->QuitNow(); }), 0);
  io.join();
  CloseHandle(h);
  ASSERT_EQ(1u, handler.deliveries.size());
  EXPECT_EQ(loop_tid, handler.deliveries[0].thread);
  EXPECT_EQ((std::vector<DWORD>{loop_tid}), task_threads);
}

}  // namespace
