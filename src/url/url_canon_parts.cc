#include "url/canon_output.h"
#include "url/char_tables.h"
#include "url/url_canon_internal.h"
#include "url/url_utf.h"

namespace burl {

namespace {

// Appends text[range] escaping every ASCII byte without `safe_class`; non-ASCII text is read
// as UTF-8 and written as escaped UTF-8. Returns false on invalid UTF-8.
bool AppendClassEscaped(const char* text, const Component& range, uint8_t safe_class,
                        CanonOutput* out) {
  bool valid = true;
  const int32_t end = range.end();
  for (int32_t i = range.begin; i < end;) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      valid &= AppendUtf8Escaped(text, end, &i, out);
    } else {
      if (HasClass(c, safe_class)) {
        out->push_back(static_cast<char>(c));
      } else {
        out->AppendEscaped(c);
      }
      ++i;
    }
  }
  return valid;
}

}  // namespace

bool CanonicalizeScheme(const char* text, const Component& scheme, CanonOutput* out,
                        Component* out_scheme) {
  const int32_t begin = out->length();
  bool valid = scheme.is_nonempty() && IsAsciiAlpha(static_cast<unsigned char>(text[scheme.begin]));
  for (int32_t i = scheme.begin; i < scheme.end(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (IsAsciiAlpha(c)) {
      out->push_back(AsciiToLower(static_cast<char>(c)));
    } else if (IsDecDigit(c) || c == '+' || c == '-' || c == '.') {
      out->push_back(static_cast<char>(c));
    } else {
      out->AppendEscaped(c);
      valid = false;
    }
  }
  *out_scheme = Component(begin, out->length() - begin);
  return valid;
}

bool CanonicalizeUserInfo(const char* text, const Component& username, const Component& password,
                          CanonOutput* out, Component* out_username, Component* out_password) {
  out_username->reset();
  out_password->reset();
  if (!username.is_nonempty() && !password.is_nonempty()) return true;
  bool valid = true;
  int32_t begin = out->length();
  if (username.is_nonempty()) valid &= AppendClassEscaped(text, username, kUserInfoSafe, out);
  *out_username = Component(begin, out->length() - begin);
  if (password.is_nonempty()) {
    out->push_back(':');
    begin = out->length();
    valid &= AppendClassEscaped(text, password, kUserInfoSafe, out);
    *out_password = Component(begin, out->length() - begin);
  }
  out->push_back('@');
  return valid;
}

bool CanonicalizePort(const char* text, const Component& port, int default_port, CanonOutput* out,
                      Component* out_port) {
  out_port->reset();
  if (!port.is_nonempty()) return true;
  int64_t value = 0;
  bool is_number = true;
  for (int32_t i = port.begin; i < port.end() && is_number; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    is_number = IsDecDigit(c);
    value = value * 10 + (c - '0');
    if (value > 65535) is_number = false;
  }
  if (is_number && value == default_port) return true;
  out->push_back(':');
  const int32_t begin = out->length();
  if (!is_number) {
    out->Append(std::string_view(text + port.begin, static_cast<size_t>(port.len)));
    *out_port = Component(begin, port.len);
    return false;
  }
  out->AppendDecimal(static_cast<uint32_t>(value));
  *out_port = Component(begin, out->length() - begin);
  return true;
}

void CanonicalizeQuery(const char* text, const Component& query, CanonOutput* out,
                       Component* out_query) {
  out_query->reset();
  if (!query.is_present()) return;
  out->push_back('?');
  const int32_t begin = out->length();
  const int32_t end = query.end();
  for (int32_t i = query.begin; i < end;) {
    // Safe runs are copied in one piece; queries are mostly made of them.
    int32_t run = i;
    while (run < end && HasClass(static_cast<unsigned char>(text[run]), kQuerySafe)) ++run;
    out->Append(std::string_view(text + i, static_cast<size_t>(run - i)));
    if (run < end) out->AppendEscaped(static_cast<unsigned char>(text[run++]));
    i = run;
  }
  *out_query = Component(begin, out->length() - begin);
}

bool CanonicalizeRef(const char* text, const Component& ref, CanonOutput* out, Component* out_ref) {
  out_ref->reset();
  if (!ref.is_present()) return true;
  bool valid = true;
  out->push_back('#');
  const int32_t begin = out->length();
  for (int32_t i = ref.begin; i < ref.end(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == 0) continue;
    if (c == 0x80) {
      out->Append("\xEF\xBF\xBD");
      valid = false;
    } else if (c < 0x20 || c > 0x80) {
      out->AppendEscaped(c);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  *out_ref = Component(begin, out->length() - begin);
  return valid;
}

bool AppendEscapedText(const char* text, const Component& range, CanonOutput* out,
                       Component* out_range) {
  const int32_t begin = out->length();
  bool valid = true;
  const int32_t end = range.end();
  for (int32_t i = range.begin; i < end;) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c <= 0x7F) {
      out->push_back(static_cast<char>(c));
      ++i;
    } else {
      valid &= AppendUtf8Escaped(text, end, &i, out);
    }
  }
  *out_range = Component(begin, out->length() - begin);
  return valid;
}

}  // namespace burl
