#include "thread/task.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "thread/thread_test_util.h"

namespace {

using thread_test::CProbe;

class TaskTest : public ::testing::Test {
 protected:
  // Runs and deletes a task, as a loop does.
  static void RunAndDelete(Thread::CTask* task) {
    ASSERT_NE(nullptr, task);
    task->Run();
    delete task;
  }
  std::atomic<int> destroyed_{0};
};

TEST_F(TaskTest, BoundArgumentsReachTheMethodInOrderForEveryTupleSize) {
  base::RefPtr<CProbe> probe(new CProbe(&destroyed_));
  RunAndDelete(Thread::NewTask(probe.get(), &CProbe::Nothing, u"&CProbe::Nothing"));
  RunAndDelete(Thread::NewTask(probe.get(), &CProbe::Record, u"&CProbe::Record", 7));
  RunAndDelete(Thread::NewTask(probe.get(), &CProbe::RecordPair, u"&CProbe::RecordPair", 40,
                               std::string("abc")));
  int a = -3;
  RunAndDelete(Thread::NewTask(probe.get(), &CProbe::Sum3, u"&CProbe::Sum3", a, 10u, 100LL));
  EXPECT_EQ((std::vector<int>{-1, 7, 43, 107}), probe->values());
}

TEST_F(TaskTest, ReferenceParameterWorksOnTheTasksOwnCopy) {
  base::RefPtr<CProbe> probe(new CProbe());
  std::string text = "ab";
  Thread::CTask* task = Thread::NewTask(probe.get(), &CProbe::Grow, u"&CProbe::Grow", text);
  text = "changed after posting";
  RunAndDelete(task);
  EXPECT_EQ((std::vector<int>{3}), probe->values());  // "ab!" from the copy taken at NewTask
  EXPECT_EQ("changed after posting", text);
}

TEST_F(TaskTest, NameIsTheLiteralItWasGiven) {
  base::RefPtr<CProbe> probe(new CProbe());
  const char16_t* name = u"&CExtensionMgrImpl::InstallExtension_BackThread";
  std::unique_ptr<Thread::CTask> task(Thread::NewTask(probe.get(), &CProbe::Nothing, name));
  EXPECT_EQ(name, task->name);
  std::unique_ptr<Thread::CTask> func(Thread::NewFuncTask([] {}));
  EXPECT_EQ(std::u16string(u"func"), func->name);
}

// A task holds a reference to its target until it is deleted, whether it ran or was dropped.
TEST_F(TaskTest, TaskKeepsItsTargetAliveUntilDeletedRunOrNot) {
  auto* probe = new CProbe(&destroyed_);
  base::RefPtr<CProbe> ref(probe);
  Thread::CTask* run = Thread::NewTask(probe, &CProbe::Record, u"&CProbe::Record", 1);
  Thread::CTask* dropped = Thread::NewTask(probe, &CProbe::Record, u"&CProbe::Record", 2);
  delete dropped;
  EXPECT_FALSE(probe->HasOneRef());  // `run` still holds one
  ref = nullptr;                     // the task's reference is the last one
  run->Run();
  EXPECT_EQ(0, destroyed_.load());
  EXPECT_EQ((std::vector<int>{1}), probe->values());  // the dropped task never called it
  delete run;
  EXPECT_EQ(1, destroyed_.load());
}

TEST_F(TaskTest, FuncTaskKeepsWhatItCapturedUntilDeleted) {
  base::RefPtr<CProbe> probe(new CProbe(&destroyed_));
  Thread::CTask* task = Thread::NewFuncTask([probe] { probe->Record(5); });
  CProbe* raw = probe.get();
  probe = nullptr;
  task->Run();
  EXPECT_EQ((std::vector<int>{5}), raw->values());
  EXPECT_EQ(0, destroyed_.load());
  delete task;
  EXPECT_EQ(1, destroyed_.load());
}

}  // namespace
