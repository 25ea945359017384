#include "update/zip_window_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Logic {
namespace {

struct WindowFile {
  int fd = -1;
  uint64_t size = 0;    // the file's size when opened
  uint64_t pos = 0;     // where the next read starts
  uint64_t start = 0;   // the file offset of window[0]
  size_t filled = 0;    // valid bytes in window
  bool failed = false;  // a read failed
  std::unique_ptr<char[]> window{new char[kZipReadWindow]};
};

// Reads up to `size` bytes at `offset`, retrying interrupted and short reads; -1 on an error.
ssize_t ReadAt(int fd, char* out, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

voidpf ZCALLBACK Open(voidpf, const void* filename, int mode) {
  if (!filename || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
    return nullptr;
  }
  const int fd = open(static_cast<const char*>(filename), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  auto* file = new WindowFile;
  file->fd = fd;
  file->size = static_cast<uint64_t>(info.st_size);
  return file;
}

uLong ZCALLBACK Read(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* file = static_cast<WindowFile*>(stream);
  char* out = static_cast<char*>(buffer);
  uLong done = 0;
  while (done < size) {
    if (file->pos >= file->start && file->pos < file->start + file->filled) {
      const size_t offset = static_cast<size_t>(file->pos - file->start);
      const size_t count = std::min<size_t>(size - done, file->filled - offset);
      memcpy(out + done, file->window.get() + offset, count);
      done += count;
      file->pos += count;
      continue;
    }
    const bool direct = size - done >= kZipReadWindow;
    const ssize_t got = direct ? ReadAt(file->fd, out + done, size - done, file->pos)
                               : ReadAt(file->fd, file->window.get(), kZipReadWindow, file->pos);
    if (got < 0) file->failed = true;
    if (got <= 0) break;
    if (direct) {
      done += static_cast<uLong>(got);
      file->pos += static_cast<uint64_t>(got);
    } else {
      file->start = file->pos;
      file->filled = static_cast<size_t>(got);
    }
  }
  return done;
}

uLong ZCALLBACK Write(voidpf, voidpf, const void*, uLong) { return 0; }

ZPOS64_T ZCALLBACK Tell(voidpf, voidpf stream) { return static_cast<WindowFile*>(stream)->pos; }

long ZCALLBACK Seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* file = static_cast<WindowFile*>(stream);
  uint64_t base = 0;
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      base = file->pos;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      base = file->size;
      break;
    default:
      return -1;
  }
  if (offset > UINT64_MAX - base) return -1;
  file->pos = base + offset;
  return 0;
}

int ZCALLBACK Close(voidpf, voidpf stream) {
  auto* file = static_cast<WindowFile*>(stream);
  const int result = close(file->fd);
  delete file;
  return result;
}

int ZCALLBACK Error(voidpf, voidpf stream) { return static_cast<WindowFile*>(stream)->failed; }

}  // namespace

void FillZipWindowFileFunctions(zlib_filefunc64_def* functions) {
  functions->zopen64_file = Open;
  functions->zread_file = Read;
  functions->zwrite_file = Write;
  functions->ztell64_file = Tell;
  functions->zseek64_file = Seek;
  functions->zclose_file = Close;
  functions->zerror_file = Error;
  functions->opaque = nullptr;
}

}  // namespace Logic
