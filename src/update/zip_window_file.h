// The file functions minizip reads a package through: a read-only file behind a window of
// kZipReadWindow bytes filled with pread, so that minizip's many small reads of headers (a byte
// or a few at a time) and its seeks between the central directory and the local headers are
// answered from memory, and a package no larger than the window costs one read in all. Reads
// as large as the window go straight to the caller's buffer.
//
//   zlib_filefunc64_def functions;
//   FillZipWindowFileFunctions(&functions);
//   unzFile file = unzOpen2_64(path.c_str(), &functions);
//
// Each opened stream belongs to the one thread that uses its unzFile; the functions keep no
// shared state.
#pragma once

#include <minizip/ioapi.h>

#include <cstddef>

namespace Logic {

inline constexpr size_t kZipReadWindow = 64 * 1024;

void FillZipWindowFileFunctions(zlib_filefunc64_def* functions);

}  // namespace Logic
