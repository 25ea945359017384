// Keyboard accelerators declared in manifests ("accelerator": "Ctrl+Shift+F5") and the hot-key
// word the browser registers for them: low byte the Windows virtual-key code, high byte the
// modifier bits 1 SHIFT, 2 CTRL, 4 ALT.
//
//   uint16_t word;
//   ParseAccelerator(u"Ctrl+Shift+F5", &word);   // true, word == 0x0374
//
// The key names (51, matched without regard to case): SHIFT, CTRL, ALT, F1 to F12, A to Z and
// 0 to 9. Pure functions on a constant table: safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace Logic {

inline constexpr uint8_t kHotKeyShift = 1;
inline constexpr uint8_t kHotKeyControl = 2;
inline constexpr uint8_t kHotKeyAlt = 4;

// The virtual-key code of a key name, or 0 for a name that is not in the table.
uint8_t VirtualKeyOfName(std::u16string_view name);

// Splits `text` at "+": at most four parts. SHIFT, CTRL and ALT set their modifier bits; any
// other part sets the key (the last one wins, a name not in the table counting as key 0).
// False when there are more than four parts or no key in the end.
bool ParseAccelerator(std::u16string_view text, uint16_t* hotkey);

}  // namespace Logic
