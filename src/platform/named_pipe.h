// Named pipes as Unix stream sockets, with overlapped operations that complete on an I/O
// completion port.
//
// A pipe name is a channel id ("1234.01A2B3C4.5678"; a leading "\\.\pipe\" is accepted and
// dropped); its socket lives in the private pipe directory, $XDG_RUNTIME_DIR/halcy-pipes/ or
// else /tmp/halcy-pipes-<uid>/, created with mode 0700 and refused when it is not a directory
// of ours with that mode. The server end is one duplex instance: it listens until one client
// connects and then removes the name. The client end opens an existing name.
//
// Pipes are used only with overlapped I/O on a completion port: bind the handle with
// CreateIoCompletionPort first; every ConnectNamedPipe, ReadFile and WriteFile then either
// fails at once (FALSE with the error) or its completion arrives as a packet on the port,
// also when the call itself returned TRUE:
//   ConnectNamedPipe   FALSE with 997 (pending) or 535 (a client was already connected, no
//                      packet); the packet has 0 bytes.
//   ReadFile           the packet carries the bytes read; a peer that closed gives a packet
//                      with 0 bytes and error 109; a read on a pipe already seen closed fails
//                      at once with 109.
//   WriteFile          the packet comes once every byte is written; a closed peer fails with
//                      232.
//   CancelIo           pending operations complete with 995 and 0 bytes.
//   CloseHandle        cancels as CancelIo does, then closes the socket.
// At most one operation of each kind (connect or read, write) is in flight per pipe.
//
// Thread contract: the operations on one pipe, and its CloseHandle, run on the thread that
// waits on its port (the IPC thread), or while no thread waits there. Creating and opening
// pipes is safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_io.h"
#include "platform/kernel_object.h"
#include "platform/win_types.h"

// Open and pipe modes, flags and access rights that the channel uses.
constexpr DWORD PIPE_ACCESS_DUPLEX = 0x00000003;
constexpr DWORD FILE_FLAG_FIRST_PIPE_INSTANCE = 0x00080000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD PIPE_TYPE_BYTE = 0x0;
constexpr DWORD PIPE_READMODE_BYTE = 0x0;
constexpr DWORD PIPE_WAIT = 0x0;
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD SECURITY_SQOS_PRESENT = 0x00100000;
constexpr DWORD SECURITY_IDENTIFICATION = 0x00010000;
constexpr DWORD ERROR_INVALID_NAME = 123;

// ReadFile, WriteFile and CancelIo on pipes are those of platform/file_io.h.
BOOL ConnectNamedPipe(HANDLE pipe, OVERLAPPED* overlapped);

// The process id of the client connected to the server end `pipe`, as the kernel recorded it
// when that process connected (the socket's peer credentials, not anything the client says).
// FALSE with ERROR_PIPE_NOT_CONNECTED while no client is connected, ERROR_INVALID_PARAMETER on
// a client end, ERROR_INVALID_HANDLE for anything but a pipe.
BOOL GetNamedPipeClientProcessId(HANDLE pipe, ULONG* client_process_id);

namespace halcy {

// The pipe directory (created on first use), or "" when it cannot be made safely.
std::string PipeDirectory();
// The socket path of a pipe name, or "" when the name cannot name a pipe (empty, a path
// separator or NUL in it, ".", "..", or too long for a socket address).
std::string PipePathForName(std::u16string_view name);

// The server end: one instance, listening. Null with the last error set: ERROR_ACCESS_DENIED
// when a live server holds the name (a stale socket left by a dead process is replaced),
// ERROR_INVALID_NAME for a bad name, ERROR_PATH_NOT_FOUND when the directory is unusable.
HANDLE CreatePipeServer(std::u16string_view name);
// The client end. Null with ERROR_FILE_NOT_FOUND when no server listens under the name,
// ERROR_PIPE_BUSY when it is not accepting.
HANDLE OpenPipeClient(std::u16string_view name);

}  // namespace halcy
