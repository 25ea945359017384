// The channel's carry-over buffer: the bytes of an incomplete message kept between reads.
// A plain growable byte block with the operations the channel uses; Detach hands the storage
// out so that new content may be assigned from inside the old one.
//
//   IPC::COverflowBuffer::Storage old = overflow.Detach();
//   overflow.Assign(tail, tail_length);  // `tail` may point into `old`
//   // `old` is freed here
//
// Not thread-safe: owned and used by one channel on the IPC thread.
#pragma once

#include <cstddef>
#include <vector>

namespace IPC {

class COverflowBuffer {
 public:
  using Storage = std::vector<char>;

  bool IsEmpty() const { return data_.empty(); }
  size_t GetLength() const { return data_.size(); }
  // Null when empty.
  const char* GetData() const { return data_.empty() ? nullptr : data_.data(); }
  void Append(const char* bytes, size_t count) { data_.insert(data_.end(), bytes, bytes + count); }
  Storage Detach() {
    Storage out;
    out.swap(data_);
    return out;
  }
  void Assign(const char* bytes, size_t count) { data_.assign(bytes, bytes + count); }
  void Clear() {
    data_.clear();
    data_.shrink_to_fit();  // a hostile peer's near-256 MiB is given back at once
  }

 private:
  Storage data_;
};

}  // namespace IPC
