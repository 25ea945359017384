// ReadFile, WriteFile and CancelIo on the handle types that carry bytes. Each such type
// derives from halcy::ReadWriteObject; the calls find it behind the handle and forward.
// Named pipes (platform/named_pipe.h) are one; their contract says how each call completes.
//
// Thread-safe as far as the handle type allows (see its header).
#pragma once

#include "platform/kernel_object.h"
#include "platform/win_types.h"

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read,
              OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written,
               OVERLAPPED* overlapped);
BOOL CancelIo(HANDLE file);

namespace halcy {

class ReadWriteObject : public KernelObject {
 public:
  virtual BOOL Read(void* buffer, DWORD size, DWORD* bytes_read, OVERLAPPED* overlapped) = 0;
  virtual BOOL Write(const void* data, DWORD size, DWORD* bytes_written,
                     OVERLAPPED* overlapped) = 0;
  // Ends every operation in flight.
  virtual BOOL Cancel() = 0;
};

}  // namespace halcy
