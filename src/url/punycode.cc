#include "url/punycode.h"

#include <limits>

namespace burl {

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTMin = 1;
constexpr uint32_t kTMax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr uint32_t kMaxInt = std::numeric_limits<uint32_t>::max();

char EncodeDigit(uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26)); }

uint32_t Adapt(uint32_t delta, uint32_t num_points, bool first_time) {
  delta = first_time ? delta / kDamp : delta / 2;
  delta += delta / num_points;
  uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (((kBase - kTMin + 1) * delta) / (delta + kSkew));
}

// Writes `q` as a generalized variable-length integer under the current bias.
void EncodeVariableInt(uint32_t q, uint32_t bias, std::string* out) {
  for (uint32_t k = kBase;; k += kBase) {
    uint32_t t = k <= bias ? kTMin : (k >= bias + kTMax ? kTMax : k - bias);
    if (q < t) break;
    out->push_back(EncodeDigit(t + (q - t) % (kBase - t)));
    q = (q - t) / (kBase - t);
  }
  out->push_back(EncodeDigit(q));
}

}  // namespace

bool PunycodeEncode(const uint32_t* code_points, size_t count, size_t max_bytes, std::string* out) {
  const size_t start = out->size();
  uint32_t basic = 0;
  for (size_t i = 0; i < count; ++i) {
    if (code_points[i] < 0x80) {
      out->push_back(static_cast<char>(code_points[i]));
      ++basic;
    }
  }
  if (basic > 0) out->push_back('-');

  uint32_t n = kInitialN;
  uint32_t delta = 0;
  uint32_t bias = kInitialBias;
  uint32_t handled = basic;
  while (handled < count) {
    uint32_t m = kMaxInt;
    for (size_t i = 0; i < count; ++i) {
      if (code_points[i] >= n && code_points[i] < m) m = code_points[i];
    }
    if (m - n > (kMaxInt - delta) / (handled + 1)) return false;
    delta += (m - n) * (handled + 1);
    n = m;
    for (size_t i = 0; i < count; ++i) {
      uint32_t c = code_points[i];
      if (c < n && ++delta == 0) return false;
      if (c != n) continue;
      EncodeVariableInt(delta, bias, out);
      if (out->size() - start > max_bytes) return false;
      bias = Adapt(delta, handled + 1, handled == basic);
      delta = 0;
      ++handled;
    }
    ++delta;
    ++n;
  }
  return out->size() - start <= max_bytes;
}

}  // namespace burl
