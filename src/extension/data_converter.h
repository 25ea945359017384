// The data converter: the browser's sibling program "Pellwick.exe" in the executable's
// directory, which converts user data left by older versions (for the extension database at
// start-up). It is started without a window as
//   <browser directory>\Pellwick.exe --action=<action> --type=<type> --dir="<directory>"
// and waited for; its exit code is not read.
//
//   RunDataConverter(u"convert", u"extension", extension_data_directory);
//
// Blocks the calling thread until the converter ends (or `cancel_event` is signalled). Safe
// from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace Logic {

inline constexpr char16_t kDataConverterName[] = u"Pellwick.exe";

// The command line for `action`, `type` and `directory`.
std::u16string BuildDataConverterCommandLine(std::u16string_view action, std::u16string_view type,
                                             std::u16string_view directory);

// Starts the converter and waits for its end without limit, or, with `cancel_event`, until
// whichever of the event and the process comes first. False when it could not be started.
bool RunDataConverter(std::u16string_view action, std::u16string_view type,
                      std::u16string_view directory, HANDLE cancel_event = nullptr);

}  // namespace Logic
