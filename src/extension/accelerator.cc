#include "extension/accelerator.h"

#include <vector>

namespace Logic {
namespace {

constexpr uint8_t kVkShift = 0x10;
constexpr uint8_t kVkControl = 0x11;
constexpr uint8_t kVkAlt = 0x12;
constexpr uint8_t kVkF1 = 0x70;
constexpr size_t kMaxParts = 4;

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

uint8_t VirtualKeyOfName(std::u16string_view name) {
  if (EqualsIgnoringCase(name, u"SHIFT")) return kVkShift;
  if (EqualsIgnoringCase(name, u"CTRL")) return kVkControl;
  if (EqualsIgnoringCase(name, u"ALT")) return kVkAlt;
  if (name.size() == 1) {
    const char16_t c = FoldAscii(name[0]);
    if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return static_cast<uint8_t>(c);
    return 0;
  }
  // "F1" to "F12".
  if ((name.size() == 2 || name.size() == 3) && FoldAscii(name[0]) == u'F' && name[1] >= u'1' &&
      name[1] <= u'9') {
    int number = name[1] - u'0';
    if (name.size() == 3) {
      if (name[1] != u'1' || name[2] < u'0' || name[2] > u'2') return 0;
      number = 10 + (name[2] - u'0');
    }
    return static_cast<uint8_t>(kVkF1 + number - 1);
  }
  return 0;
}

bool ParseAccelerator(std::u16string_view text, uint16_t* hotkey) {
  std::vector<std::u16string_view> parts;
  for (size_t start = 0;;) {
    const size_t plus = text.find(u'+', start);
    parts.push_back(text.substr(start, plus == std::u16string_view::npos ? plus : plus - start));
    if (plus == std::u16string_view::npos) break;
    start = plus + 1;
  }
  if (parts.size() > kMaxParts) return false;
  uint8_t modifiers = 0;
  uint8_t key = 0;
  for (std::u16string_view part : parts) {
    const uint8_t vk = VirtualKeyOfName(part);
    if (vk == kVkShift) {
      modifiers |= kHotKeyShift;
    } else if (vk == kVkControl) {
      modifiers |= kHotKeyControl;
    } else if (vk == kVkAlt) {
      modifiers |= kHotKeyAlt;
    } else {
      key = vk;
    }
  }
  if (key == 0) return false;
  *hotkey = static_cast<uint16_t>((modifiers << 8) | key);
  return true;
}

}  // namespace Logic
