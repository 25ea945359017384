// IPC::CChannel: one end of a message channel over a named pipe with overlapped I/O. The server
// end (mode 0) creates the pipe and waits for its peer; the client end (any other mode) opens
// an existing pipe. The first message each end writes is the hello with its process id;
// messages queued before the connection follow it in order. Messages queued while a write is in
// flight go out together in the next write (copied into one block of up to kWriteBlockSize
// bytes; a larger message is written on its own from its own buffer). Incoming bytes are cut into
// messages (IPC::FindNextMessage) and handed to the listener; an incomplete tail is carried
// over to the next read, up to 256 MiB.
//
// The output queue holds at most kMaximumQueuedBytes bytes of messages (those waiting and those
// being written), so that a peer that stops reading cannot make it grow without end. A Send that
// would pass the bound is refused, and from then on every Send is refused: the peer never sees a
// stream with a message missing from its middle. The listener hears OnChannelError once, for
// that refusal or for any other failure, whichever comes first. After a refusal the messages
// queued before it are still written and reading goes on, until the owner closes the channel.
//
//   base::RefPtr<IPC::CChannel> channel(new IPC::CChannel(listener, u"1234.01A2B3C4.5678", 0));
//   if (!channel->CreatePipe()) { ... }     // the creating thread
//   // then, on the IPC thread:
//   channel->Connect();
//   channel->Send(message);
//
// A server end may be told which process it serves (set_peer_check): the client that connects
// is then checked, by the process id the kernel recorded for it, before the channel writes or
// reads anything; a refused client is disconnected and the channel fails.
//
// Thread contract: the constructor, set_peer_check and CreatePipe on the creating thread, before
// the channel is handed over; everything else on the IPC thread, whose I/O pump delivers every
// completion to OnIOCompleted. The listener is called on the IPC thread; after Close it hears
// nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/ref_counted.h"
#include "ipc/overflow_buffer.h"
#include "platform/win_types.h"
#include "thread/message_pump_io.h"

namespace Thread {
class CMessageLoop;
class CMessageLoopProxy;
}  // namespace Thread

namespace IPC {

class CMessage;

class CChannel : public Thread::CMessagePumpForIO::CIOHandler,
                 public base::CRefCountedThreadSafe<CChannel> {
 public:
  // Receives the channel's messages and state changes. The channel calls the first three
  // operations after AddRef/Release; the loop getters serve the channel proxy.
  class CListener : public base::CRefCountedThreadSafe<CListener> {
   public:
    virtual void AddRef() const { base::CRefCountedThreadSafe<CListener>::AddRef(); }
    virtual void Release() const { base::CRefCountedThreadSafe<CListener>::Release(); }
    // `message` is valid only during the call (it may borrow the receive buffer).
    virtual void OnMessageReceived(const CMessage& message) = 0;
    virtual void OnChannelConnected(int32_t peer_pid) = 0;
    virtual void OnChannelError() = 0;
    // The loop on which this listener wants its calls, or null.
    virtual Thread::CMessageLoop* GetListenerLoop() { return nullptr; }
    // Sets `*proxy` to that loop's proxy with one reference for the caller, or to null.
    virtual void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) { *proxy = nullptr; }

   protected:
    friend class base::CRefCountedThreadSafe<CListener>;
    virtual ~CListener() = default;
  };

  // Limits of the receive path.
  static constexpr size_t kReadBufferSize = 64 * 1024;
  static constexpr size_t kMaximumCarriedOver = 0x10000000;  // 256 MiB
  // Limits of the send path. The output queue holds at most kMaximumQueuedBytes bytes of
  // messages (waiting or being written; the hello counts too). That is far more than the peer
  // ever falls behind while it is alive and reading, yet a hung peer costs at most this much.
  static constexpr size_t kMaximumQueuedBytes = 0x4000000;  // 64 MiB
  // The most bytes of queued messages copied together into one write.
  static constexpr size_t kWriteBlockSize = 64 * 1024;

  // Decides on the IPC thread whether the process `process_id` that connected may stay.
  using PeerCheck = std::function<bool(DWORD process_id)>;

  // Takes a reference on `listener`; `mode` 0 makes the server end.
  CChannel(CListener* listener, const std::u16string& channel_id, int mode);

  // Server end, before the channel is handed over: every client is checked with `check` when
  // it connects. A client that is refused (or whose process cannot be told) is disconnected
  // with the log line "Pipe client refused, process id : %u\n" (level 64, "oldlog;"), and the
  // channel closes and reports OnChannelError. Ignored on a client end.
  void set_peer_check(PeerCheck check) { peer_check_ = std::move(check); }

  // Creates (server) or opens (client) the pipe and queues the hello. False when the pipe
  // cannot be had.
  bool CreatePipe();
  // Starts the channel on the IPC thread: registers the pipe with the thread's I/O pump, waits
  // for the client (server end) and starts reading and writing. False when the pipe cannot be
  // used; the caller reports that failure, and the channel then refuses every Send without
  // reporting one of its own.
  bool Connect();
  // Takes ownership of `message` whatever the result, and queues it; writes it unless a write is
  // in flight or the client has not connected yet (it then goes out with the next write). False
  // when the message is refused (destroyed at once): it would take the queue past its bound, the
  // channel has no pipe, it failed or it was closed. Also false when the message was queued but
  // its write could not be started. The channel reports a failure to the listener itself, once;
  // the caller does not report it again. The report may come from inside this call.
  bool Send(CMessage* message);
  // Cancels and waits for every operation in flight, closes the pipe and drops queued messages.
  void Close();

  void OnIOCompleted(Thread::CMessagePumpForIO::CIOContext* context, DWORD bytes_transferred,
                     DWORD error) override;

  // Runs the receive path over `size` (<= kReadBufferSize) bytes as if one read had returned
  // them: whole messages go to the listener, the tail is carried over. False when the carried
  // over data would pass the bound (it is then dropped). For tests and the fuzzer.
  bool ReceiveBytesForTesting(const char* data, size_t size);
  void set_max_carried_over_for_testing(size_t bytes) { max_carried_over_ = bytes; }
  void set_max_queued_bytes_for_testing(size_t bytes) { max_queued_bytes_ = bytes; }

  bool is_connected() const { return !waiting_connect_; }
  size_t queued_message_count() const { return output_queue_.size(); }
  // The bytes of every queued message, those being written included.
  size_t queued_bytes() const { return queued_bytes_; }
  size_t carried_over_bytes() const { return overflow_.GetLength(); }

 private:
  friend class base::CRefCountedThreadSafe<CChannel>;

  // The state of the overlapped read/connect or write in flight.
  struct CIOState {
    Thread::CMessagePumpForIO::CIOContext context;
    bool is_pending;
  };

  ~CChannel() override;

  bool ProcessConnection();
  // The peer check of a server end that a client has just connected to; on refusal the channel
  // is closed and the failure reported. True when the client may stay.
  bool AcceptPeer();
  bool ProcessIncomingMessages(Thread::CMessagePumpForIO::CIOContext* context, DWORD bytes_read);
  bool ProcessOutgoingMessages(Thread::CMessagePumpForIO::CIOContext* context, DWORD bytes_written);
  // Steps of the receive path over the first `bytes_read` bytes of input_buf_: parse, deliver,
  // carry the tail over. False when the carried-over bound would be passed.
  bool ParseInput(DWORD bytes_read);
  // Parses [start, end) and delivers every whole message; returns where the unparsed tail
  // begins.
  const char* DispatchMessages(const char* start, const char* end);
  bool StartRead();
  // Starts one write of the front of the queue: the front message alone, or as many queued
  // messages as fit in kWriteBlockSize copied into output_block_. False when it failed at once.
  bool StartWrite();
  // Tells the listener of the channel's failure unless it has been told already.
  void ReportError();

  CIOState input_state_;
  CIOState output_state_;
  HANDLE pipe_;
  CListener* listener_;  // one reference held
  const int mode_;
  const std::u16string pipe_name_;
  PeerCheck peer_check_;                // Constant once handed over
  std::deque<CMessage*> output_queue_;  // owned; the front ones are being written
  size_t queued_bytes_ = 0;             // the sum of the sizes in output_queue_
  size_t messages_in_flight_ = 0;       // how many of the front ones the pending write covers
  std::vector<char> output_block_;      // the bytes of a write that covers several messages
  char input_buf_[kReadBufferSize];
  COverflowBuffer overflow_;
  bool waiting_connect_;
  bool processing_incoming_ = false;
  size_t max_carried_over_ = kMaximumCarriedOver;
  size_t max_queued_bytes_ = kMaximumQueuedBytes;
  // Set once the listener has heard of a failure (or Connect's caller was left to report it);
  // every later Send is refused and no further failure is reported.
  bool failed_ = false;
  bool closed_ = false;  // Close has run: Sends are refused and nothing is reported
  // The pump the pipe is registered with, for Close to wait on.
  base::RefPtr<Thread::CMessagePumpForIO> pump_;
};

}  // namespace IPC
