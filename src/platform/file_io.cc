#include "platform/file_io.h"

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes_to_read, DWORD* bytes_read,
              OVERLAPPED* overlapped) {
  auto object = halcy::LookUpHandle<halcy::ReadWriteObject>(file);
  return object ? object->Read(buffer, bytes_to_read, bytes_read, overlapped) : FALSE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written,
               OVERLAPPED* overlapped) {
  auto object = halcy::LookUpHandle<halcy::ReadWriteObject>(file);
  return object ? object->Write(buffer, bytes_to_write, bytes_written, overlapped) : FALSE;
}

BOOL CancelIo(HANDLE file) {
  auto object = halcy::LookUpHandle<halcy::ReadWriteObject>(file);
  return object ? object->Cancel() : FALSE;
}
