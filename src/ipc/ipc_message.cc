#include "ipc/ipc_message.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/lock.h"

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and is copied as is");

namespace IPC {

namespace {

constexpr size_t kMinimumAllocation = 64;
constexpr size_t kSerialOffset = 32;

uint32_t LoadWord(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}

}  // namespace

int64_t NextSerialNumber() {
  static base::CLock lock;
  static int64_t counter = 0;  // Guarded by lock
  base::CAutoLock hold(lock);
  return ++counter;
}

CSerialize::~CSerialize() {
  if (capacity_ != -1) std::free(buffer_);
}

CMessage::CMessage(bool sync, uint32_t type) {
  header_size_ = sync ? kSyncMessageHeaderSize : kMessageHeaderSize;
  buffer_ = static_cast<char*>(std::calloc(kMinimumAllocation, 1));
  if (!buffer_) return;
  capacity_ = static_cast<int32_t>(kMinimumAllocation);
  SetHeaderWord(4, type);
  if (sync) {
    SetHeaderWord(12, kMessageFlagSync);
    const int64_t serial = NextSerialNumber();
    std::memcpy(buffer_ + kSerialOffset, &serial, sizeof(serial));
  }
}

CMessage::CMessage(const char* data, uint32_t header_size) {
  buffer_ = const_cast<char*>(data);  // never written: capacity -1 refuses every write
  capacity_ = -1;
  header_size_ = header_size;
}

CMessage::CMessage(const CMessage& other) : CSerialize() {
  header_size_ = other.header_size_;
  pump_messages_event_ = other.pump_messages_event_;
  const size_t total = other.size();
  if (total == 0) return;
  buffer_ = static_cast<char*>(std::malloc(total));
  if (!buffer_) return;
  std::memcpy(buffer_, other.buffer_, total);
  capacity_ = static_cast<int32_t>(total);
}

CMessage::CMessage(CMessage&& other) noexcept : CSerialize() {
  buffer_ = other.buffer_;
  capacity_ = other.capacity_;
  header_size_ = other.header_size_;
  pump_messages_event_ = other.pump_messages_event_;
  other.buffer_ = nullptr;
  other.capacity_ = 0;
}

CMessage::~CMessage() = default;

uint32_t CMessage::GetBaseHeaderSize() const { return kMessageHeaderSize; }

uint32_t CMessage::GetHeaderWord(size_t offset) const {
  return buffer_ ? LoadWord(buffer_ + offset) : 0;
}

void CMessage::SetHeaderWord(size_t offset, uint32_t value) {
  if (buffer_ && !is_borrowed()) std::memcpy(buffer_ + offset, &value, sizeof(value));
}

int64_t CMessage::serial_number() const {
  if (!buffer_ || !is_sync() || header_size_ < kSyncMessageHeaderSize) return 0;
  int64_t serial;
  std::memcpy(&serial, buffer_ + kSerialOffset, sizeof(serial));
  return serial;
}

bool CMessage::MakeReplyTo(int64_t serial, bool error) {
  if (!buffer_ || is_borrowed() || header_size_ != kSyncMessageHeaderSize) return false;
  uint32_t bits = kMessageFlagSync | kMessageFlagReply;
  if (error) bits |= kMessageFlagReplyError;
  SetHeaderWord(12, flags() | bits);
  std::memcpy(buffer_ + kSerialOffset, &serial, sizeof(serial));
  return true;
}

bool CMessage::SetDispatchWhileBlocked() {
  if (!buffer_ || is_borrowed()) return false;
  SetHeaderWord(12, flags() | kMessageFlagDispatchWhileBlocked);
  return true;
}

size_t CMessage::size() const {
  return buffer_ ? static_cast<size_t>(header_size_) + payload_size() : 0;
}

bool CMessage::Grow(size_t needed) {
  const size_t old_capacity = static_cast<size_t>(capacity_);
  if (needed <= old_capacity) return true;
  const size_t new_capacity = std::max({needed, old_capacity * 2, kMinimumAllocation});
  if (new_capacity > static_cast<size_t>(INT32_MAX)) return false;
  char* block = static_cast<char*>(std::malloc(new_capacity));
  if (!block) return false;
  std::memcpy(block, buffer_, old_capacity);
  std::free(buffer_);
  buffer_ = block;
  capacity_ = static_cast<int32_t>(new_capacity);
  return true;
}

bool CMessage::WriteBytes(const void* data, uint32_t length) {
  if (!buffer_ || is_borrowed()) return false;
  const uint32_t payload = payload_size();
  const size_t needed = static_cast<size_t>(header_size_) + payload + length;
  if (!Grow(needed)) return false;
  if (length != 0) std::memcpy(buffer_ + header_size_ + payload, data, length);
  SetHeaderWord(0, payload + length);
  return true;
}

bool CMessage::WriteInt(int32_t value) { return WriteBytes(&value, sizeof(value)); }

bool CMessage::WriteInt64(int64_t value) { return WriteBytes(&value, sizeof(value)); }

bool CMessage::WriteString(std::u16string_view value) {
  // The count and the characters go in one growth so that a failed write leaves no count
  // without its characters.
  const size_t bytes = value.size() * sizeof(char16_t);
  if (value.size() > static_cast<size_t>(INT32_MAX) / 2) return false;
  const size_t needed = static_cast<size_t>(header_size_) + payload_size() + 4 + bytes;
  if (!buffer_ || is_borrowed() || !Grow(needed)) return false;
  const int32_t count = static_cast<int32_t>(value.size());
  return WriteBytes(&count, sizeof(count)) &&
         WriteBytes(value.data(), static_cast<uint32_t>(bytes));
}

bool CMessage::ReadRaw(const char** iter, void* out, size_t length) const {
  if (!buffer_) return false;
  const char* begin = buffer_;
  const char* pos = *iter ? *iter : begin + header_size_;
  const char* end = begin + header_size_ + payload_size();
  // Compared as addresses so that an iterator from another buffer is refused, not followed.
  const auto p = reinterpret_cast<uintptr_t>(pos);
  if (p < reinterpret_cast<uintptr_t>(begin) || p > reinterpret_cast<uintptr_t>(end)) {
    return false;
  }
  if (length > static_cast<size_t>(end - pos)) return false;
  std::memcpy(out, pos, length);
  *iter = pos + length;
  return true;
}

bool CMessage::ReadInt(const char** iter, int32_t* value) const {
  int32_t v;
  if (!ReadRaw(iter, &v, sizeof(v))) return false;
  *value = v;
  return true;
}

bool CMessage::ReadUInt(const char** iter, uint32_t* value) const {
  uint32_t v;
  if (!ReadRaw(iter, &v, sizeof(v))) return false;
  *value = v;
  return true;
}

bool CMessage::ReadInt64(const char** iter, int64_t* value) const {
  int64_t v;
  if (!ReadRaw(iter, &v, sizeof(v))) return false;
  *value = v;
  return true;
}

bool CMessage::ReadString(const char** iter, std::u16string* value) const {
  const char* pos = *iter;
  int32_t count;
  if (!ReadRaw(&pos, &count, sizeof(count))) return false;
  // 2 × count taken as a signed 32-bit number, as the peer computes it; a negative count is
  // refused too, since its doubled value can wrap to a small positive size.
  const int32_t bytes = static_cast<int32_t>(static_cast<uint32_t>(count) * 2u);
  if (count < 0 || bytes < 0) return false;
  const char* end = buffer_ + header_size_ + payload_size();
  if (static_cast<size_t>(bytes) > static_cast<size_t>(end - pos)) return false;
  value->resize(static_cast<size_t>(bytes) / 2);
  if (bytes != 0) std::memcpy(value->data(), pos, static_cast<size_t>(bytes));
  *iter = pos + bytes;
  return true;
}

uint64_t DeclaredMessageSize(const char* start, const char* end) {
  if (!start || !end || end < start || end - start < static_cast<ptrdiff_t>(kMessageHeaderSize)) {
    return 0;
  }
  const uint32_t payload = LoadWord(start);
  const uint32_t flags = LoadWord(start + 12);
  const uint32_t header = (flags & kMessageFlagSync) ? kSyncMessageHeaderSize : kMessageHeaderSize;
  return static_cast<uint64_t>(header) + payload;
}

const char* FindMessageEnd(const char* start, const char* end, uint32_t* header_size) {
  const uint64_t total = DeclaredMessageSize(start, end);
  if (total == 0 || total > static_cast<uint64_t>(end - start)) return nullptr;
  *header_size =
      (LoadWord(start + 12) & kMessageFlagSync) ? kSyncMessageHeaderSize : kMessageHeaderSize;
  return start + total;
}

FoundMessage FindNextMessage(const char* start, const char* end) {
  uint32_t header = 0;
  const char* next = FindMessageEnd(start, end, &header);
  if (!next) return {nullptr, nullptr};
  auto* message = new (std::nothrow) CMessage(start, header);
  if (!message) return {nullptr, nullptr};
  return {message, next};
}

}  // namespace IPC
