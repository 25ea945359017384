// Parsing and printing GUIDs in the braced registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
// Pure functions: safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace halcy {

// Accepts the braced form and, for convenience, the bare 36-character form; hex digits in
// either case. Anything else (wrong length, misplaced dash, non-hex digit) returns false.
bool ParseGuid(std::u16string_view text, GUID* out);
bool ParseGuid(std::string_view text, GUID* out);

// Upper-case braced form, as the registry holds it.
std::u16string GuidToString(const GUID& guid);
std::string GuidToNarrowString(const GUID& guid);

}  // namespace halcy

// The Win32 spellings used by the module's code.
HRESULT CLSIDFromString(LPCWSTR text, CLSID* out);  // E_INVALIDARG (CO_E_CLASSSTRING) on bad text
int StringFromGUID2(const GUID& guid, LPWSTR buffer, int chars);  // 39 incl. NUL, 0 if short
