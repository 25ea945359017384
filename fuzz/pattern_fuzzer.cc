// Fuzzes URL match patterns and the glob matcher. The input is "<mask byte><pattern>\n<url>".
// Parsing and matching must never crash, and a parsed pattern's text form must parse again
// to the same result with the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "url/match_pattern.h"
#include "url/parsed_url.h"
#include "url/url_pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Mostly the mask the permission sets use, sometimes a mix of the four scheme bits.
  const int32_t mask = data[0] < 0xC0 ? burl::URLPattern::SCHEME_ALL : (data[0] & 0x0F);
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t newline = input.find('\n');
  std::string_view pattern_text = input.substr(0, newline);
  std::string_view url_text =
      newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

  burl::URLPattern pattern(mask);
  const burl::URLPattern::ParseResult result = pattern.Parse(pattern_text);
  if (result == burl::URLPattern::PARSE_SUCCESS) {
    burl::URLPattern again(mask);
    if (again.Parse(pattern.GetAsString()) != burl::URLPattern::PARSE_SUCCESS ||
        !(again == pattern)) {
      std::abort();
    }
  }
  burl::ParsedUrl url(url_text);
  const bool matches = pattern.MatchesUrl(url);
  // "<all_urls>" matches every URL whose scheme passes the mask.
  if (result == burl::URLPattern::PARSE_SUCCESS && pattern.match_all_urls() &&
      mask == burl::URLPattern::SCHEME_ALL && !matches) {
    std::abort();
  }
  burl::MatchPattern(url_text, pattern_text);
  return 0;
}
