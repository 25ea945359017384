// The channel's carry-over buffer: the bytes of an incomplete message kept between reads.
// A growable byte block with the operations the channel uses. Assign may take bytes from
// inside the buffer itself (the unparsed tail of its own content); the storage is kept for the
// next message unless it has grown large.
//
//   overflow.Append(read_bytes, n);
//   const char* tail = Parse(overflow.GetData(), ...);
//   overflow.Assign(tail, tail_length);  // `tail` may point into the buffer
//
// Not thread-safe: owned and used by one channel on the IPC thread.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace IPC {

class COverflowBuffer {
 public:
  // Storage above this is given back once the content is small again.
  static constexpr size_t kKeptCapacity = 64 * 1024;

  bool IsEmpty() const { return data_.empty(); }
  size_t GetLength() const { return data_.size(); }
  // Null when empty.
  const char* GetData() const { return data_.empty() ? nullptr : data_.data(); }
  void Append(const char* bytes, size_t count) { data_.insert(data_.end(), bytes, bytes + count); }
  // Replaces the content with `count` bytes at `bytes`, which may lie inside the content.
  void Assign(const char* bytes, size_t count) {
    if (count > kKeptCapacity / 2 || data_.capacity() <= kKeptCapacity) {
      if (!data_.empty() && bytes >= data_.data() && bytes <= data_.data() + data_.size()) {
        std::memmove(data_.data(), bytes, count);  // the tail of our own content
        data_.resize(count);
      } else {
        data_.assign(bytes, bytes + count);
      }
      return;
    }
    // Small content in a large block: copy it out and let the block go.
    std::vector<char> fresh(bytes, bytes + count);
    data_.swap(fresh);
  }
  void Clear() {
    data_.clear();
    data_.shrink_to_fit();  // a hostile peer's near-256 MiB is given back at once
  }

 private:
  std::vector<char> data_;
};

}  // namespace IPC
