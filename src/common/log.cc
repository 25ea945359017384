#include "common/log.h"

#include <cstdarg>

#include "platform/log_controller.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace Logic {

void Log(int level, const char16_t* tag, const char16_t* format, ...) {
  halcy::ILogController* controller = GetLogController();
  if (!controller || !controller->IsEnabled(level, tag)) return;
  char16_t buffer[kLogBufferChars];
  va_list args;
  va_start(args, format);
  // A cut text is still written: losing the tail beats losing the line.
  _vsnwprintf_s(buffer, kLogBufferChars, _TRUNCATE, format, args);
  va_end(args);
  controller->Write(level, tag, buffer);
}

void LogLastError(const char16_t* function, int line, HRESULT hr) {
  DWORD error = GetLastError();
  Log(kLogFailure, u"assert;", u"error @ %s:%d (lasterror=%u, hr=0x%X)", function, line, error,
      static_cast<unsigned>(hr));
  SetLastError(error);
}

}  // namespace Logic
