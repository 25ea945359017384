#include "ipc/ipc_channel.h"

#include <cstring>
#include <memory>

#include "common/log.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_utils.h"
#include "platform/hcsafe.h"
#include "platform/named_pipe.h"
#include "platform/threads.h"
#include "platform/win32.h"
#include "thread/message_loop.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace IPC {

namespace {

using Thread::CMessagePumpForIO;

// The channel's pipe parameters.
constexpr DWORD kServerOpenMode = 0x40080003;  // duplex, overlapped, first instance
constexpr DWORD kServerPipeMode = 0;           // byte stream, byte reads, blocking
constexpr DWORD kMaxInstances = 1;
constexpr DWORD kPipeBufferSize = 4096;
constexpr DWORD kDefaultTimeoutMs = 5000;
constexpr DWORD kClientAccess = 0xC0000000;  // read and write
constexpr DWORD kClientFlags = 0x40110000;   // overlapped, SQOS present, identification
constexpr DWORD kOpenExisting = 3;

bool PipeLibraryEnabled() { return CheckHcsafeEnable() && CheckHookEnable_pipe(); }

// Each pipe call goes through the platform library when it is switched on for pipes, else
// through the plain call; the library's error code becomes the thread's last error.
BOOL PipeConnect(HANDLE pipe, OVERLAPPED* overlapped) {
  if (!PipeLibraryEnabled()) return ConnectNamedPipe(pipe, overlapped);
  DWORD error = 0;
  BOOL ok = Internal_HC_ConnectNamedPipe(pipe, overlapped, &error);
  SetLastError(error);
  return ok;
}

BOOL PipeRead(HANDLE pipe, void* buffer, DWORD size, OVERLAPPED* overlapped) {
  if (!PipeLibraryEnabled()) return ReadFile(pipe, buffer, size, nullptr, overlapped);
  DWORD error = 0;
  BOOL ok = Internal_HC_ReadFile(pipe, buffer, size, nullptr, overlapped, &error);
  SetLastError(error);
  return ok;
}

BOOL PipeWrite(HANDLE pipe, const void* data, DWORD size, OVERLAPPED* overlapped) {
  if (!PipeLibraryEnabled()) return WriteFile(pipe, data, size, nullptr, overlapped);
  DWORD error = 0;
  BOOL ok = Internal_HC_WriteFile(pipe, data, size, nullptr, overlapped, &error);
  SetLastError(error);
  return ok;
}

void PipeCancel(HANDLE pipe) {
  if (!PipeLibraryEnabled()) {
    CancelIo(pipe);
    return;
  }
  DWORD error = 0;
  Internal_HC_CancelIo(pipe, &error);
  SetLastError(error);
}

void PipeClose(HANDLE pipe) {
  if (!PipeLibraryEnabled()) {
    CloseHandle(pipe);
    return;
  }
  DWORD error = 0;
  Internal_HC_CloseHandle(pipe, &error);
  SetLastError(error);
}

void LogChannel(int level, const char16_t* format) { Logic::Log(level, u"oldlog;", format); }

}  // namespace

CChannel::CChannel(CListener* listener, const std::u16string& channel_id, int mode)
    : input_state_{{OVERLAPPED{}, this}, false},
      output_state_{{OVERLAPPED{}, this}, false},
      pipe_(INVALID_HANDLE_VALUE),
      listener_(listener),
      mode_(mode),
      pipe_name_(channel_id),
      waiting_connect_(mode == 0) {
  if (listener_) listener_->AddRef();
}

CChannel::~CChannel() {
  Close();
  if (listener_) listener_->Release();
}

bool CChannel::CreatePipe() {
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"Create Pipe : \"%s\", Mode : %d\n",
             pipe_name_.c_str(), mode_);
  DWORD error = 0;
  if (mode_ == 0) {
    pipe_ = Internal_HC_CreateNamedPipeW(pipe_name_.c_str(), kServerOpenMode, kServerPipeMode,
                                         kMaxInstances, kPipeBufferSize, kPipeBufferSize,
                                         kDefaultTimeoutMs, nullptr, &error);
  } else {
    pipe_ = Internal_HC_CreateFileW(pipe_name_.c_str(), kClientAccess, 0, nullptr, kOpenExisting,
                                    kClientFlags, nullptr, &error);
  }
  SetLastError(error);
  if (pipe_ == INVALID_HANDLE_VALUE) {
    LogChannel(Logic::kLogFailure, u"Close Pipe failed\n");
    return false;
  }
  auto* hello = new CMsgHello(static_cast<int32_t>(GetCurrentProcessId()));
  hello->set_routing_id(0);
  output_queue_.push_back(hello);  // always the first message written
  queued_bytes_ += hello->size();
  return true;
}

bool CChannel::Connect() {
  LogChannel(Logic::kLogProgress, u"Connect Pipe\n");
  Thread::CMessageLoop* loop = Thread::CurrentMessageLoop();
  CMessagePumpForIO* pump = loop ? loop->pump_for_io() : nullptr;
  if (pipe_ == INVALID_HANDLE_VALUE || !pump || !pump->RegisterIOHandler(pipe_, this)) {
    failed_ = true;  // the caller reports it
    return false;
  }
  pump_ = base::RefPtr<CMessagePumpForIO>(pump);
  if (waiting_connect_) ProcessConnection();
  if (!input_state_.is_pending) {
    // The first read starts on a later turn of the loop.
    loop->PostTask(Thread::NewTask(this, &CChannel::OnIOCompleted, u"&CChannel::OnIOCompleted",
                                   &input_state_.context, 0u, 0u),
                   0);
  }
  if (!waiting_connect_) ProcessOutgoingMessages(nullptr, 0);
  return true;
}

bool CChannel::ProcessConnection() {
  input_state_.is_pending = false;
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  LogChannel(Logic::kLogProgress, u"Start wait for pipe connect\n");
  if (PipeConnect(pipe_, &input_state_.context.overlapped)) return false;
  switch (GetLastError()) {
    case ERROR_IO_PENDING:
      input_state_.is_pending = true;
      return true;
    case ERROR_PIPE_CONNECTED:
      if (!AcceptPeer()) return false;
      waiting_connect_ = false;
      return true;
    default:  // ERROR_NO_DATA (the pipe is closing) and everything else
      return false;
  }
}

bool CChannel::AcceptPeer() {
  if (mode_ != 0 || !peer_check_) return true;
  ULONG pid = 0;
  if (GetNamedPipeClientProcessId(pipe_, &pid) && peer_check_(pid)) return true;
  Logic::Log(Logic::kLogFailure, u"oldlog;", u"Pipe client refused, process id : %u\n", pid);
  Close();        // nothing was written to the stranger, nothing read from it
  ReportError();  // the one client this pipe admits is gone: the channel cannot serve
  return false;
}

bool CChannel::Send(CMessage* message) {
  // A refused message is destroyed before the listener is told of the failure.
  if (failed_ || closed_) {  // reported already, or closed by the owner: refused quietly
    delete message;
    return false;
  }
  if (pipe_ == INVALID_HANDLE_VALUE) {
    delete message;
    ReportError();  // the pipe was never had
    return false;
  }
  const size_t size = message->size();
  if (size > max_queued_bytes_ || queued_bytes_ > max_queued_bytes_ - size) {
    delete message;
    Logic::Log(Logic::kLogFailure, u"oldlog;",
               u"Output queue full (%I64u bytes queued, %I64u more refused), channel failed\n",
               static_cast<uint64_t>(queued_bytes_), static_cast<uint64_t>(size));
    // Refused for good: a later message must not reach the peer without this one.
    ReportError();
    return false;
  }
  output_queue_.push_back(message);
  queued_bytes_ += size;
  if (waiting_connect_ || output_state_.is_pending) return true;
  if (ProcessOutgoingMessages(nullptr, 0)) return true;
  ReportError();  // the write could not be started; the read side sees the pipe fail too
  return false;
}

void CChannel::ReportError() {
  if (failed_) return;
  failed_ = true;
  listener_->OnChannelError();
}

void CChannel::OnIOCompleted(CMessagePumpForIO::CIOContext* context, DWORD bytes_transferred,
                             DWORD error) {
  bool ok;
  if (context == &input_state_.context) {
    if (waiting_connect_) {
      if (!ProcessConnection()) return;
      if (!output_queue_.empty() && !output_state_.is_pending) ProcessOutgoingMessages(nullptr, 0);
      if (input_state_.is_pending) return;
    }
    const bool was_processing = processing_incoming_;
    processing_incoming_ = true;
    ok = ProcessIncomingMessages(context, bytes_transferred);
    processing_incoming_ = was_processing;
  } else {
    ok = ProcessOutgoingMessages(context, bytes_transferred);
  }
  if (!ok && pipe_ != INVALID_HANDLE_VALUE) {
    Logic::Log(Logic::kLogProgress, u"oldlog;", u"IO Error : 0x%x, BytesRead(%d)", error,
               bytes_transferred);
    Close();
    ReportError();  // nothing when a refused Send reported the failure already
  }
}

bool CChannel::ProcessIncomingMessages(CMessagePumpForIO::CIOContext* context, DWORD bytes_read) {
  if (input_state_.is_pending) {
    input_state_.is_pending = false;
    if (!context || bytes_read == 0) return false;  // the peer closed the pipe
  }
  // A read that finished while the channel closed is dropped: after Close the listener hears
  // nothing more.
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  if (bytes_read != 0 && !ParseInput(bytes_read)) return false;
  return StartRead();
}

bool CChannel::ParseInput(DWORD bytes_read) {
  const char* start;
  const char* end;
  if (overflow_.IsEmpty()) {
    // Whole messages are delivered straight from the read buffer.
    start = input_buf_;
    end = input_buf_ + bytes_read;
  } else {
    if (overflow_.GetLength() > max_carried_over_ - bytes_read) {
      overflow_.Clear();
      return false;
    }
    overflow_.Append(input_buf_, bytes_read);
    start = overflow_.GetData();
    end = start + overflow_.GetLength();
  }
  const char* tail = DispatchMessages(start, end);
  // The tail may lie inside the overflow storage; Assign copies it to the front.
  overflow_.Assign(tail, static_cast<size_t>(end - tail));
  return true;
}

bool CChannel::ReceiveBytesForTesting(const char* data, size_t size) {
  if (size == 0 || size > kReadBufferSize) return false;
  std::memcpy(input_buf_, data, size);
  return ParseInput(static_cast<DWORD>(size));
}

const char* CChannel::DispatchMessages(const char* start, const char* end) {
  const char* p = start;
  for (;;) {
    uint32_t header_size = 0;
    const char* next = FindMessageEnd(p, end, &header_size);
    if (!next) return p;
    // The message borrows the bytes in place for the length of the call.
    const CMessage message(p, header_size);
    p = next;
    if (message.routing_id() == 0 && message.type() == kMessageTypeHello) {
      LogChannel(Logic::kLogProgress, u"Receive Hello message\n");
      const char* it = nullptr;
      int32_t peer_pid = 0;
      if (!message.ReadInt(&it, &peer_pid)) peer_pid = 0;  // shorter than 4 bytes
      listener_->OnChannelConnected(peer_pid);
    } else {
      listener_->OnMessageReceived(message);
    }
  }
}

bool CChannel::StartRead() {
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  if (!PipeRead(pipe_, input_buf_, kReadBufferSize, &input_state_.context.overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  // Also when the read finished at once: its completion is still queued to the port.
  input_state_.is_pending = true;
  return true;
}

bool CChannel::ProcessOutgoingMessages(CMessagePumpForIO::CIOContext* context,
                                       DWORD bytes_written) {
  if (output_state_.is_pending) {
    output_state_.is_pending = false;
    if (!context || bytes_written == 0) {
      // The line number is part of the log text that operators search for.
      Logic::LogLastError(u"IPC::CChannel::ProcessOutgoingMessages", 348, 0);
      return false;
    }
    for (; messages_in_flight_ > 0; --messages_in_flight_) {
      queued_bytes_ -= output_queue_.front()->size();
      delete output_queue_.front();
      output_queue_.pop_front();
    }
  }
  if (output_queue_.empty()) return true;
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  return StartWrite();
}

bool CChannel::StartWrite() {
  // One write per batch: a system call per message costs far more than copying the bytes.
  const CMessage* front = output_queue_.front();
  const char* data = front->data();
  size_t size = front->size();
  size_t count = 1;
  if (output_queue_.size() > 1 && size + output_queue_[1]->size() <= kWriteBlockSize) {
    output_block_.clear();
    size = 0;
    for (count = 0; count < output_queue_.size(); ++count) {
      const CMessage* message = output_queue_[count];
      if (size + message->size() > kWriteBlockSize) break;
      output_block_.insert(output_block_.end(), message->data(), message->data() + message->size());
      size += message->size();
    }
    data = output_block_.data();
  }
  if (!PipeWrite(pipe_, data, static_cast<DWORD>(size), &output_state_.context.overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  messages_in_flight_ = count;
  output_state_.is_pending = true;
  return true;
}

void CChannel::Close() {
  LogChannel(Logic::kLogProgress, u"Close Pipe\n");
  if (input_state_.is_pending || output_state_.is_pending) PipeCancel(pipe_);
  if (pipe_ != INVALID_HANDLE_VALUE) {
    PipeClose(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }
  // Every completion still to come names this channel: take them all before it can go away.
  while ((input_state_.is_pending || output_state_.is_pending) && pump_) {
    pump_->WaitForIOCompletion(INFINITE, this);
  }
  closed_ = true;
  for (CMessage* message : output_queue_) delete message;
  output_queue_.clear();
  queued_bytes_ = 0;
  messages_in_flight_ = 0;
  output_block_.clear();
}

}  // namespace IPC
