#include "extension/data_converter.h"

#include "common/log.h"
#include "common/paths.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace Logic {
namespace {

// Process handles do not take part in multi-object waits, so a cancellable wait alternates
// short waits on the two handles.
constexpr DWORD kCancelCheckMs = 20;

void WaitForConverter(HANDLE process, HANDLE cancel_event) {
  if (!cancel_event) {
    WaitForSingleObject(process, INFINITE);
    return;
  }
  while (WaitForSingleObject(process, kCancelCheckMs) == WAIT_TIMEOUT) {
    if (WaitForSingleObject(cancel_event, 0) != WAIT_TIMEOUT) return;
  }
}

}  // namespace

std::u16string BuildDataConverterCommandLine(std::u16string_view action, std::u16string_view type,
                                             std::u16string_view directory) {
  const std::u16string browser = GetBrowserDirectory();
  const std::u16string action_text(action), type_text(type);
  std::u16string line =
      halcy::StringPrintf(u"%s\\%s --action=%s --type=%s --dir=", browser.c_str(),
                          kDataConverterName, action_text.c_str(), type_text.c_str());
  line += u'"';
  line += directory;
  line += u'"';
  return line;
}

bool RunDataConverter(std::u16string_view action, std::u16string_view type,
                      std::u16string_view directory, HANDLE cancel_event) {
  std::u16string line = BuildDataConverterCommandLine(action, type, directory);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    LOG_ASSERT_LASTERROR(u"Logic::RunDataConverter", E_FAIL);
    return false;
  }
  WaitForConverter(info.hProcess, cancel_event);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace Logic
