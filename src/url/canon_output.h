// burl::CanonOutput: the byte buffer the canonicalizer writes into. The first 512 bytes live
// inside the object, so a typical URL is canonicalized without touching the heap; beyond that
// the capacity doubles until the text fits. A capacity above 0x3FFFFFFF is refused and the
// byte that needed it is dropped.
// One buffer belongs to one canonicalization at a time; not safe to share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace burl {

class CanonOutput {
 public:
  static constexpr int32_t kInlineCapacity = 512;
  static constexpr int32_t kMaxCapacity = 0x3FFFFFFF;

  CanonOutput() = default;
  CanonOutput(const CanonOutput&) = delete;
  CanonOutput& operator=(const CanonOutput&) = delete;

  void push_back(char c) {
    if (length_ < capacity_) {
      data_[length_++] = c;
    } else if (Grow(length_ + 1)) {
      data_[length_++] = c;
    }
  }
  void Append(std::string_view text);
  void AppendEscaped(unsigned char byte);  // "%" and two upper-case hex digits
  void AppendDecimal(uint32_t value);      // no leading zeros

  int32_t length() const { return length_; }
  int32_t capacity() const { return capacity_; }
  const char* data() const { return data_; }
  char at(int32_t index) const { return data_[index]; }
  char back() const { return data_[length_ - 1]; }
  std::string_view view() const { return std::string_view(data_, length_); }
  std::string_view view(int32_t begin, int32_t len) const {
    return std::string_view(data_ + begin, len);
  }
  // Shortens the text to `length` bytes (no effect when it is already shorter).
  void Truncate(int32_t length) {
    if (length < length_) length_ = length;
  }
  void Clear() { length_ = 0; }

 private:
  // Makes room for `needed` bytes; false when that would pass kMaxCapacity.
  bool Grow(int64_t needed);

  char inline_[kInlineCapacity];
  std::unique_ptr<char[]> heap_;
  char* data_ = inline_;
  int32_t length_ = 0;
  int32_t capacity_ = kInlineCapacity;
};

}  // namespace burl
