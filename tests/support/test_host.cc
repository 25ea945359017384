#include "support/test_host.h"

#include <gtest/gtest.h>

#include "host/browser_thread.h"
#include "host/thread_service.h"
#include "platform/object_factory.h"
#include "thread/message_loop.h"
#include "thread/thread_service.h"

namespace testing_support {

TestHost::TestHost() {
  if (!services_.Start()) ADD_FAILURE() << "the test host's threads did not start";
}

TestHost::~TestHost() {
  replaced_.Restore();
  services_.Stop();
}

void TestHost::ReplaceService(REFIID iid, IUnknown* service) { replaced_.Publish(iid, service); }

DWORD TestHost::ThreadId(int kind) const {
  host::CBrowserThread* t = services_.thread(kind);
  return t ? t->thread_id() : 0;
}

Thread::CMessageLoop* TestHost::Loop(int kind) const {
  Thread::CMessageLoop* loop = nullptr;
  if (services_.thread_service()) services_.thread_service()->GetMessageLoop(kind, &loop);
  return loop;
}

bool TestHost::RunOnThread(int kind, const std::function<void()>& fn) {
  const bool ran = services_.RunOnThread(kind, fn);
  if (!ran) ADD_FAILURE() << "the task for thread kind " << kind << " was dropped";
  return ran;
}

bool TestHost::WaitIdle(std::chrono::milliseconds limit) { return services_.WaitIdle(limit); }

}  // namespace testing_support
