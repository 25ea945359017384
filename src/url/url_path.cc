#include "url/url_path.h"

#include "url/canon_output.h"
#include "url/char_tables.h"

namespace burl {

namespace {

// Length of a dot at `i`: 1 written plainly, 3 written "%2e" or "%2E", 0 for anything else.
int DotLength(const char* s, int32_t i, int32_t end) {
  if (s[i] == '.') return 1;
  if (s[i] == '%' && end - i >= 3 && s[i + 1] == '2' && (s[i + 2] | 0x20) == 'e') return 3;
  return 0;
}

bool EndsSegment(const char* s, int32_t i, int32_t end) { return i == end || IsSlash(s[i]); }

// Removes the last segment of the output, which ends with "/", keeping everything up to and
// including the "/" at `root`.
void PopSegment(CanonOutput* out, int32_t root) {
  int32_t last = out->length() - 1;
  if (last <= root) return;
  int32_t i = last - 1;
  while (i > root && out->at(i) != '/') --i;
  out->Truncate(i + 1);
}

// Handles a dot at the start of a segment. Returns the input index to continue from.
int32_t HandleLeadingDot(const char* s, int32_t i, int32_t end, int dot, int32_t root,
                         CanonOutput* out) {
  int32_t j = i + dot;
  if (EndsSegment(s, j, end)) {  // "." : dropped together with its separator
    return j < end ? j + 1 : j;
  }
  int dot2 = DotLength(s, j, end);
  if (dot2 > 0 && EndsSegment(s, j + dot2, end)) {  // ".." : removes the previous segment
    PopSegment(out, root);
    int32_t k = j + dot2;
    return k < end ? k + 1 : k;
  }
  // Any other segment that starts with a dot: the dot is copied as it was written.
  for (int32_t k = i; k < j; ++k) out->push_back(s[k]);
  return j;
}

// True when writing `decoded` would turn a lone "%" already written into an escape that the
// next reading would decode ("%4%41" must not become "%4A").
bool WouldCompleteEscape(const CanonOutput& out, unsigned char decoded) {
  if (!IsHexDigit(decoded)) return false;
  const int32_t n = out.length();
  return (n >= 1 && out.at(n - 1) == '%') ||
         (n >= 2 && out.at(n - 2) == '%' && IsHexDigit(static_cast<unsigned char>(out.at(n - 1))));
}

}  // namespace

bool AppendPathRules(const char* text, int32_t begin, int32_t end, bool file_scheme, int32_t root,
                     CanonOutput* out) {
  bool valid = true;
  int32_t i = begin;
  while (i < end) {
    auto c = static_cast<unsigned char>(text[i]);
    uint8_t flags = kPathTable[c];
    if (!(flags & kPathExamine)) {
      // Plain runs are copied in one piece; paths are mostly made of them.
      int32_t run = i + 1;
      while (run < end && !(kPathTable[static_cast<unsigned char>(text[run])] & kPathExamine)) {
        ++run;
      }
      out->Append(std::string_view(text + i, static_cast<size_t>(run - i)));
      i = run;
      continue;
    }
    int dot = DotLength(text, i, end);
    if (dot > 0 && out->length() > 0 && out->back() == '/') {
      i = HandleLeadingDot(text, i, end, dot, root, out);
    } else if (c == '\\') {
      out->push_back('/');
      ++i;
    } else if (c == '%') {
      if (end - i >= 3 && IsHexDigit(static_cast<unsigned char>(text[i + 1])) &&
          IsHexDigit(static_cast<unsigned char>(text[i + 2]))) {
        auto decoded =
            static_cast<unsigned char>(HexValue(static_cast<unsigned char>(text[i + 1])) * 16 +
                                       HexValue(static_cast<unsigned char>(text[i + 2])));
        uint8_t decoded_flags = kPathTable[decoded];
        if ((decoded_flags & kPathDecode) && !WouldCompleteEscape(*out, decoded)) {
          out->push_back(static_cast<char>(decoded));
        } else {
          out->Append(std::string_view(text + i, 3));
          if (decoded_flags & kPathInvalid) valid = false;
        }
        i += 3;
      } else {
        out->push_back('%');
        ++i;
      }
    } else if (flags & kPathInvalid) {
      out->AppendEscaped(c);
      valid = false;
      ++i;
    } else if ((flags & kPathEscape) && !file_scheme) {
      out->AppendEscaped(c);
      ++i;
    } else {
      out->push_back(static_cast<char>(c));
      ++i;
    }
  }
  return valid;
}

}  // namespace burl
