// The image codecs that GDI+ offers the module: load an image file and save it in another
// format into memory. libgd does the work here.
//
// Files are recognised by their content, not their name: PNG, JPEG, GIF, BMP, WebP, TIFF, and
// ICO (its largest image, stored as PNG or as an uncompressed bitmap). Saving writes PNG (with
// its alpha channel), JPEG (default quality, alpha dropped), GIF (a palette is made for
// true-colour images) or uncompressed BMP. libgd's own diagnostics go to the log controller at
// level 16 with the tag "gdi;".
//
// Thread-safe: may be called from any thread.
#pragma once

#include <string>
#include <string_view>

namespace halcy {

enum class ImageFormat { kPng, kJpeg, kGif, kBmp };

// Loads the image file at `path` (Windows-style or native) and writes it in `format` to
// `*bytes`. False, with `*bytes` empty, when the file is missing or unreadable, its content is
// not an image of a known kind, or encoding fails.
bool ReencodeImageFile(std::u16string_view path, ImageFormat format, std::string* bytes);

}  // namespace halcy
