// Feeds arbitrary bytes, cut into reads of arbitrary sizes, through the channel's receive
// path. Checks that every delivered message is exactly the next slice of the input (nothing
// read outside the received bytes, nothing skipped or invented), that what is neither
// delivered nor carried over is nothing, and that the carried-over bound is kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/ref_counted.h"
#include "ipc/ipc_channel.h"
#include "ipc/ipc_message.h"

namespace {

constexpr size_t kBound = 64 * 1024;  // small, so that inputs can reach it

void Check(bool condition) {
  if (!condition) std::abort();
}

// Follows the input as the channel consumes it.
class CheckingListener : public IPC::CChannel::CListener {
 public:
  CheckingListener(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  void OnMessageReceived(const IPC::CMessage& message) override {
    Check(message.size() <= size_ - offset_);
    Check(std::memcmp(message.data(), data_ + offset_, message.size()) == 0);
    Check(!(message.type() == IPC::kMessageTypeHello && message.routing_id() == 0));
    offset_ += message.size();
    ReadAll(message);
  }
  void OnChannelConnected(int32_t peer_pid) override {
    const char* at = reinterpret_cast<const char*>(data_ + offset_);
    const uint64_t total = IPC::DeclaredMessageSize(at, at + (size_ - offset_));
    Check(total != 0 && total <= size_ - offset_);
    int32_t expected = 0;
    uint32_t payload;
    std::memcpy(&payload, at, 4);
    const size_t header = total - payload;
    if (payload >= 4) std::memcpy(&expected, at + header, 4);
    Check(peer_pid == expected);
    offset_ += total;
  }
  void OnChannelError() override {}

  size_t offset() const { return offset_; }

 private:
  ~CheckingListener() override = default;

  // Reads the payload as a run of ints, int64s and strings; each read stays inside it.
  static void ReadAll(const IPC::CMessage& m) {
    const char* it = nullptr;
    for (int step = 0; step < 64; ++step) {
      int32_t i;
      int64_t l;
      std::u16string s;
      bool ok;
      switch (step % 3) {
        case 0:
          ok = m.ReadString(&it, &s);
          break;
        case 1:
          ok = m.ReadInt(&it, &i);
          break;
        default:
          ok = m.ReadInt64(&it, &l);
          break;
      }
      if (!ok && !m.ReadInt(&it, &i)) return;
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;  // bytes delivered so far (messages and hellos)
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes seed the read sizes; the rest is the stream.
  uint32_t seed = data[0] | (static_cast<uint32_t>(data[1]) << 8);
  data += 2;
  size -= 2;
  base::RefPtr<CheckingListener> listener(new CheckingListener(data, size));
  base::RefPtr<IPC::CChannel> channel(new IPC::CChannel(listener.get(), u"fuzz", 1));
  channel->set_max_carried_over_for_testing(kBound);

  size_t fed = 0;
  while (fed < size) {
    seed = seed * 1103515245u + 12345u;
    size_t read = 1 + (seed >> 8) % IPC::CChannel::kReadBufferSize;
    if (seed & 1) read = 1 + (seed >> 20) % 48;  // many tiny reads around header sizes
    if (read > size - fed) read = size - fed;
    const size_t carried_before = channel->carried_over_bytes();
    // A private copy: a read past the chunk's end is caught by the address sanitizer.
    std::string chunk(reinterpret_cast<const char*>(data + fed), read);
    const bool ok = channel->ReceiveBytesForTesting(chunk.data(), chunk.size());
    fed += read;
    if (!ok) {
      // Refused only past the bound, and then nothing is kept.
      Check(carried_before != 0 && carried_before > kBound - read);
      Check(channel->carried_over_bytes() == 0);
      return 0;
    }
    Check(channel->carried_over_bytes() <= kBound);
    // Everything fed is either delivered or carried over.
    Check(listener->offset() + channel->carried_over_bytes() == fed);
  }
  return 0;
}
