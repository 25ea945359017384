#include "base/lock.h"

#include "common/log.h"
#include "platform/win32.h"

namespace base {

namespace {
constexpr DWORD kSpinCount = 2000;
}  // namespace

CLock::CLock() {
  if (!InitializeCriticalSectionAndSpinCount(&section_, kSpinCount)) {
    // The line number is part of the log text that operators search for.
    Logic::LogLastError(u"base::CLock::CLock", 11, 0);
  }
}

CLock::~CLock() { DeleteCriticalSection(&section_); }

void CLock::Acquire() { EnterCriticalSection(&section_); }

void CLock::Release() { LeaveCriticalSection(&section_); }

}  // namespace base
