// The image codecs that GDI+ offers the module: decode an image held in memory and save it in
// another format into memory. libgd does the work here.
//
// Images are recognised by their content, not their name: PNG, JPEG, GIF, BMP, WebP, TIFF, and
// ICO (its largest image, stored as PNG or as an uncompressed bitmap). Saving writes PNG (with
// its alpha channel), JPEG (default quality, alpha dropped), GIF (a palette is made for
// true-colour images) or uncompressed BMP. libgd's own diagnostics go to the log controller at
// level 16 with the tag "gdi;".
//
// Decoding costs memory in proportion to the pixels, not to the bytes: a PNG of a few KiB may
// declare 20000 x 20000 pixels. The pixel size is therefore read from the header of every kind
// above (ReadImageSize) before anything is decoded, and an image that cannot be measured is not
// decoded at all.
//
// Thread-safe: may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halcy {

enum class ImageFormat { kPng, kJpeg, kGif, kBmp };

struct ImageSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// The pixel size `data`'s header declares, read without decoding: the PNG IHDR, the GIF
// logical screen together with its first image's frame, the BMP information header, the first
// JPEG frame header (SOFn), the WebP VP8, VP8L or VP8X header, the TIFF first directory's tags
// 256 and 257, and for an ICO the header of the image that would be decoded. False when the
// content is not of a known kind, the header is cut short or malformed, or a side is zero.
bool ReadImageSize(std::string_view data, ImageSize* size);

enum class ImageResult {
  kOk,
  kUnmeasurable,  // not of a known kind, or ReadImageSize cannot read its size
  kTooLarge,      // wider or higher than `max_side`; not decoded
  kUndecodable,   // measured, but the decoder refused it
  kUnencodable,   // decoded, but saving in the chosen format failed
};

// Decodes `data` and writes it in `format` to `*bytes` (emptied first; filled only on kOk).
// The image is measured first; one wider or higher than `max_side` pixels is refused without
// being decoded.
ImageResult ReencodeImage(std::string_view data, ImageFormat format, uint32_t max_side,
                          std::string* bytes);

}  // namespace halcy
