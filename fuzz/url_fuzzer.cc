// Fuzzes the URL canonicalizer. Properties checked on every input, read both as UTF-8 and as
// UTF-16 code units:
// - component records lie inside the canonical text;
// - canonicalizing the canonical text of a valid URL gives it back unchanged, still valid,
//   with the same component records and host kind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "url/parsed_url.h"

namespace {

void CheckRange(const burl::ParsedUrl& url, const burl::Component& c) {
  if (!c.is_present()) return;
  if (c.begin < 0 ||
      static_cast<size_t>(c.begin) + static_cast<size_t>(c.len) > url.spec().size()) {
    std::abort();
  }
}

void CheckUrl(const burl::ParsedUrl& url) {
  const burl::Parsed& p = url.parsed();
  for (const burl::Component* c :
       {&p.scheme, &p.username, &p.password, &p.host, &p.port, &p.path, &p.query, &p.ref}) {
    CheckRange(url, *c);
  }
  if (!url.valid()) return;
  burl::ParsedUrl again(std::string_view(url.spec()));
  if (!again.valid() || again.spec() != url.spec() || !(again.parsed() == url.parsed()) ||
      again.host_kind() != url.host_kind()) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckUrl(burl::ParsedUrl(std::string_view(reinterpret_cast<const char*>(data), size)));
  std::u16string wide;
  for (size_t i = 0; i + 1 < size; i += 2) {
    wide.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  CheckUrl(burl::ParsedUrl(std::u16string_view(wide)));
  return 0;
}
