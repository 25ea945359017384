// The IPC message: one contiguous little-endian block, a fixed header followed by a payload of
// untagged values (32-bit integers, 64-bit integers, counted UTF-16 strings).
//
//   offset  0  payload_size        offset 16  reserved (0)
//   offset  4  type                offset 20  reserved (0)
//   offset  8  routing_id          offset 24  sender_routing_id (0)
//   offset 12  flags               synchronous only: 28 reserved (0), 32 serial_number (int64)
//
// The header is 28 bytes, or 40 when flag bit 0 (synchronous) is set. The peer process reads
// and writes the same bytes, so every offset and width here is fixed.
//
//   auto* msg = new IPC::CMessage(false, 0x07000011);
//   msg->WriteInt(42);
//   msg->WriteString(u"payload");
//   sender->Send(msg);  // the sender owns msg from here on
//
//   const char* it = nullptr;  // null means "the first payload byte"
//   int32_t value;
//   std::u16string text;
//   if (!msg.ReadInt(&it, &value) || !msg.ReadString(&it, &text)) return;  // malformed
//
// Thread-safety: a message is used by one thread at a time and moves between threads by
// ownership transfer. The serial-number counter is process-wide and guarded by its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {
class CWaitableEvent;
}

namespace IPC {

// Header layout.
constexpr uint32_t kMessageHeaderSize = 28;
constexpr uint32_t kSyncMessageHeaderSize = 40;

// Flag bits.
constexpr uint32_t kMessageFlagSync = 0x1;
constexpr uint32_t kMessageFlagReply = 0x2;
constexpr uint32_t kMessageFlagReplyError = 0x4;
constexpr uint32_t kMessageFlagDispatchWhileBlocked = 0x8;

// Message types the module itself defines.
constexpr uint32_t kMessageTypeHello = 1;
constexpr uint32_t kMessageTypeShutdown = 2;

// Owner of a message buffer (header first). `capacity` is -1 when the bytes are borrowed from
// a receive buffer; such a buffer is never written to nor freed.
class CSerialize {
 public:
  CSerialize() = default;
  virtual ~CSerialize();
  CSerialize(const CSerialize&) = delete;
  CSerialize& operator=(const CSerialize&) = delete;

 protected:
  char* buffer_ = nullptr;
  int32_t capacity_ = 0;
  uint32_t header_size_ = kMessageHeaderSize;
};

class CMessage : public CSerialize {
 public:
  // Anything that accepts messages for sending.
  class CSender {
   public:
    virtual ~CSender() = default;
    // Takes ownership of `message` whatever the result.
    virtual bool Send(CMessage* message) = 0;
  };

  // A new owned message: empty payload, `type` set, flag bit 0 and the next serial number
  // when `sync`. On allocation failure the message has no buffer and every write fails.
  CMessage(bool sync, uint32_t type);
  // A read-only message over `size` bytes at `data` (header first) that it does not own; the
  // bytes must outlive it. `size` must cover the header and the payload.
  CMessage(const char* data, uint32_t header_size);
  // An owned copy of exactly header + payload bytes.
  CMessage(const CMessage& other);
  // Takes over the buffer (owned or borrowed); `other` is left without one.
  CMessage(CMessage&& other) noexcept;
  CMessage& operator=(const CMessage&) = delete;
  ~CMessage() override;

  virtual uint32_t GetBaseHeaderSize() const;

  // Header fields.
  uint32_t payload_size() const { return GetHeaderWord(0); }
  uint32_t type() const { return GetHeaderWord(4); }
  uint32_t routing_id() const { return GetHeaderWord(8); }
  void set_routing_id(uint32_t id) { SetHeaderWord(8, id); }
  uint32_t flags() const { return GetHeaderWord(12); }
  uint32_t sender_routing_id() const { return GetHeaderWord(24); }
  // 0 for a message without flag bit 0.
  int64_t serial_number() const;

  bool is_sync() const { return (flags() & kMessageFlagSync) != 0; }
  bool is_reply() const { return (flags() & kMessageFlagReply) != 0; }
  bool is_reply_error() const { return (flags() & kMessageFlagReplyError) != 0; }
  bool should_dispatch_while_blocked() const {
    return (flags() & kMessageFlagDispatchWhileBlocked) != 0;
  }

  // Turns this synchronous message into the reply to the request with `serial` (flags sync
  // and reply, plus reply-error when `error`). False for a borrowed or non-synchronous message.
  bool MakeReplyTo(int64_t serial, bool error);
  // Sets flag bit 3 on an owned message.
  bool SetDispatchWhileBlocked();

  // The whole message as it goes on the wire.
  const char* data() const { return buffer_; }
  uint32_t header_size() const { return header_size_; }
  // header_size() + payload_size().
  size_t size() const;
  bool is_borrowed() const { return capacity_ == -1; }
  int32_t capacity() const { return capacity_; }

  // Each returns false only when the buffer cannot grow (or the message is borrowed).
  bool WriteBytes(const void* data, uint32_t length);
  bool WriteInt(int32_t value);
  bool WriteUInt(uint32_t value) { return WriteInt(static_cast<int32_t>(value)); }
  bool WriteInt64(int64_t value);
  bool WriteString(std::u16string_view value);

  // Each reads at `*iter` (null = first payload byte), advances it and returns true; on a
  // value that does not fit inside the payload returns false and leaves `*iter` and the
  // output untouched.
  bool ReadInt(const char** iter, int32_t* value) const;
  bool ReadUInt(const char** iter, uint32_t* value) const;
  bool ReadInt64(const char** iter, int64_t* value) const;
  bool ReadString(const char** iter, std::u16string* value) const;

  // Not on the wire: while a synchronous send waits for its reply, a signal on this event makes
  // the waiting thread run a nested message loop. Borrowed; null for the module's messages.
  base::CWaitableEvent* pump_messages_event() const { return pump_messages_event_; }
  void set_pump_messages_event(base::CWaitableEvent* event) { pump_messages_event_ = event; }

 protected:
  uint32_t GetHeaderWord(size_t offset) const;
  void SetHeaderWord(size_t offset, uint32_t value);

  int32_t reserved_ = 0;  // for derived classes; zero after construction

 private:
  bool ReadRaw(const char** iter, void* out, size_t length) const;
  bool Grow(size_t needed);

  base::CWaitableEvent* pump_messages_event_ = nullptr;
};

// The next serial number of the process-wide counter (the first call returns 1).
int64_t NextSerialNumber();

// The outcome of looking for one whole message at the start of a byte range.
struct FoundMessage {
  CMessage* message;  // owned by the caller; borrows the range's bytes; null when incomplete
  const char* next;   // the byte after the message; null when no message was found
};

// Finds the message that starts at `start`. With fewer than a whole message's bytes before
// `end` (or a null bound) returns {nullptr, nullptr}: the caller keeps the bytes and waits for
// more. Never reads outside [start, end).
FoundMessage FindNextMessage(const char* start, const char* end);

// The end of the whole message at `start` (and its header size in `*header_size`), or null
// when fewer than its bytes lie before `end`. The allocation-free core of FindNextMessage.
const char* FindMessageEnd(const char* start, const char* end, uint32_t* header_size);

// The total size (header + payload) that the header at `start` declares, or 0 when fewer than
// 28 bytes are available. Size arithmetic is 64-bit so a hostile length cannot wrap.
uint64_t DeclaredMessageSize(const char* start, const char* end);

}  // namespace IPC
