#include "url/canon_output.h"

#include <cstring>

namespace burl {

namespace {
constexpr char kHexUpper[] = "0123456789ABCDEF";
}  // namespace

void CanonOutput::Append(std::string_view text) {
  if (length_ + static_cast<int64_t>(text.size()) > capacity_ &&
      !Grow(length_ + static_cast<int64_t>(text.size()))) {
    // Not enough room can be had: keep what fits, byte by byte, as push_back would.
    for (char c : text) push_back(c);
    return;
  }
  std::memcpy(data_ + length_, text.data(), text.size());
  length_ += static_cast<int32_t>(text.size());
}

void CanonOutput::AppendEscaped(unsigned char byte) {
  push_back('%');
  push_back(kHexUpper[byte >> 4]);
  push_back(kHexUpper[byte & 0xF]);
}

void CanonOutput::AppendDecimal(uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) push_back(digits[--n]);
}

bool CanonOutput::Grow(int64_t needed) {
  int64_t capacity = capacity_ == 0 ? 16 : capacity_;
  while (capacity < needed) capacity *= 2;
  if (capacity > kMaxCapacity) return false;
  auto bigger = std::make_unique<char[]>(static_cast<size_t>(capacity));
  std::memcpy(bigger.get(), data_, static_cast<size_t>(length_));
  heap_ = std::move(bigger);
  data_ = heap_.get();
  capacity_ = static_cast<int32_t>(capacity);
  return true;
}

}  // namespace burl
