#include "platform/event.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/iocp.h"
#include "platform/win32.h"

namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));  // a wait does not consume it
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 10));
  EXPECT_TRUE(CloseHandle(e));
}

TEST(EventTest, AutoResetReleasesOneWaitPerSignal) {
  HANDLE e = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
  CloseHandle(e);
}

TEST(EventTest, SignalFromAnotherThreadEndsAnInfiniteWait) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(e, INFINITE); });
  SetEvent(e);
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, result);
  CloseHandle(e);
}

TEST(EventTest, NamesAndWrongHandlesAreRefused) {
  EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, u"Global\\shutdown"));
  EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  EXPECT_FALSE(SetEvent(port));  // a port is not an event
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(port, 0));
  CloseHandle(port);
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(e);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(e, 0));
}

}  // namespace
