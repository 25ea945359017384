#include "url/parsed_url.h"

#include "url/canon_output.h"
#include "url/url_canon.h"
#include "url/url_utf.h"

namespace burl {

ParsedUrl::ParsedUrl(std::u16string_view url, int32_t options) : options_(options) {
  Init(WideToUtf8(url));
}

ParsedUrl::ParsedUrl(std::string_view url) { Init(url); }

void ParsedUrl::Init(std::string_view utf8) {
  CanonOutput out;
  valid_ = Canonicalize(utf8, &out, &parsed_, &host_kind_);
  spec_.assign(out.data(), static_cast<size_t>(out.length()));
}

std::string_view ParsedUrl::ComponentText(const Component& component) const {
  if (!component.is_nonempty()) return {};
  return std::string_view(spec_).substr(static_cast<size_t>(component.begin),
                                        static_cast<size_t>(component.len));
}

}  // namespace burl
