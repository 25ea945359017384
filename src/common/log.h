// Log: the module's one logging call, plus the "assert;" line for failed system calls.
//
//   Log(37, u"extMgr;", u"load extension %s, state %d", id.c_str(), state);
//   if (!ok) LOG_ASSERT_LASTERROR(u"base::CLock::CLock", 0);
//
// Formats are the system's own (see platform/strings.h: `%s` wide, `%S` narrow). The level and
// tag are checked before any formatting, and formatting uses a 2048-character stack buffer:
// longer text is cut. Safe from any thread; Log keeps no state of its own.
#pragma once

#include "platform/win_types.h"

namespace Logic {

// Levels the module uses.
constexpr int kLogTrace = 5;
constexpr int kLogDetail = 16;
constexpr int kLogProgress = 32;
constexpr int kLogEvent = 37;
constexpr int kLogFailure = 64;

constexpr int kLogBufferChars = 2048;

void Log(int level, const char16_t* tag, const char16_t* format, ...);

// Writes "error @ <function>:<line> (lasterror=%u, hr=0x%X)" under "assert;" at level 64 and
// sets the thread's last error back to what it was, so the caller's error handling still
// sees it.
void LogLastError(const char16_t* function, int line, HRESULT hr);

}  // namespace Logic

#define LOG_ASSERT_LASTERROR(function, hr) ::Logic::LogLastError((function), __LINE__, (hr))
