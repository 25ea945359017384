// URL match patterns: parse results and fields, setters, the text form and matching, and the
// glob matcher underneath.
#include "url/url_pattern.h"

#include <gtest/gtest.h>

#include <string>

#include "url/match_pattern.h"
#include "url/parsed_url.h"

namespace burl {
namespace {

using Result = URLPattern::ParseResult;
constexpr Result kOk = URLPattern::PARSE_SUCCESS;
constexpr Result kNoSeparator = URLPattern::PARSE_ERROR_MISSING_SCHEME_SEPARATOR;
constexpr Result kBadScheme = URLPattern::PARSE_ERROR_INVALID_SCHEME;
constexpr Result kWrongScheme = URLPattern::PARSE_ERROR_WRONG_SCHEME_TYPE;
constexpr Result kEmptyHost = URLPattern::PARSE_ERROR_EMPTY_HOST;
constexpr Result kBadWildcard = URLPattern::PARSE_ERROR_INVALID_HOST_WILDCARD;
constexpr Result kEmptyPath = URLPattern::PARSE_ERROR_EMPTY_PATH;
constexpr Result kBadPort = URLPattern::PARSE_ERROR_INVALID_PORT;

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(PatternParseTest, ReturnsResult) {
  // clang-format off
  const std::pair<std::string, Result> cases[] = {
      {"<all_urls>", kOk}, {"history", kNoSeparator}, {"://x/*", kWrongScheme},
      {"http://", kEmptyHost}, {"http:///a", kEmptyHost}, {"file://", kEmptyHost},
      {"http://host", kEmptyPath}, {"http://foo.*.com/*", kBadWildcard},
      {"http://*.*/*", kBadWildcard}, {"http://*:80/*", kBadWildcard}, {"http://h:0/*", kOk},
      {"http://h:65535/*", kOk}, {"http://h:65536/*", kBadPort},
      {"http://h:99999999999999999999/*", kBadPort}, {"http://h:-1/*", kBadPort},
      {"http://h: 80/*", kBadPort}, {"http://h:8x/*", kBadPort}, {"http://h:/*", kBadPort},
      {"http://h:*/*", kOk},
      {"http://h:80 /*", kOk},  // trimmed with the component
      {"hcbrowser://h:80/*", kBadPort},  // no default
      {"*://h:80/*", kBadPort}, {"HTTP://h:80/*", kOk}, {"file:///foo*", kOk},
      {"file://h:80/x", kOk},  // a file host is ignored
      {"about:blank", kOk},
  };
  // clang-format on
  for (const auto& [text, result] : cases) {
    URLPattern pattern(URLPattern::SCHEME_ALL);
    EXPECT_EQ(pattern.Parse(text), result) << text;
  }
}

// <all_urls> leaves the mask alone; "*" narrows it to http and https; a mask refuses the
// schemes outside it.
TEST(PatternParseTest, SchemeMask) {
  const struct {
    int mask;
    const char* pattern;
    Result result;
    int mask_after;  // checked when the parse succeeds
  } cases[] = {
      {URLPattern::SCHEME_ALL, "<all_urls>", kOk, URLPattern::SCHEME_ALL},
      {URLPattern::SCHEME_ALL, "*://*/*", kOk, URLPattern::SCHEME_HTTP | URLPattern::SCHEME_HTTPS},
      {URLPattern::SCHEME_HTTP, "*://a/*", kOk, URLPattern::SCHEME_HTTP},
      {URLPattern::SCHEME_HTTP, "https://a/*", kBadScheme, 0},
      {URLPattern::SCHEME_HTTP, "about:blank", kBadScheme, 0},
  };
  for (const auto& c : cases) {
    URLPattern pattern(c.mask);
    EXPECT_EQ(pattern.Parse(c.pattern), c.result) << c.pattern;
    if (c.result == kOk) {
      EXPECT_EQ(pattern.valid_schemes(), c.mask_after) << c.pattern;
    }
  }
}

TEST(PatternSetterTest, SettersClearTheCachedText) {
  URLPattern pattern(URLPattern::SCHEME_ALL);
  ASSERT_EQ(pattern.Parse("http://a.com/x"), kOk);
  EXPECT_EQ(pattern.GetAsString(), "http://a.com/x");
  pattern.SetHost("b.com");
  pattern.SetMatchSubdomains(true);
  pattern.SetPath("/y");
  ASSERT_TRUE(pattern.SetPort("81"));
  EXPECT_EQ(pattern.GetAsString(), "http://*.b.com:81/y");
  pattern.SetMatchAllUrls(true);
  EXPECT_EQ(pattern.GetAsString(), "<all_urls>");
}

// The text written back from a parse, which must read back as the same pattern.
TEST(PatternParseTest, WritesBackTextThatReadsAsTheSamePattern) {
  const struct {
    const char* pattern;
    const char* host;
    const char* text;
  } cases[] = {
      {"<all_urls>", "", "<all_urls>"},
      // Host components are trimmed and the wildcard dropped.
      {"http:// * . Google .com:8080/a?b\\c", "Google.com", "http://*.Google.com:8080/a?b\\c"},
      {"file://server/share/*", "", "file:///share/*"},  // a file host is ignored
      {"about:blank", "", "about:blank"},
      // Hosts that end up empty or end in blanks.
      {"http://*.:81/*", "", "http://*.:81/*"},
      {"http://\f/x", "", "http://:*/x"},
      {"http://a  :*/x", "a  ", "http://a  :*/x"},
  };
  for (const auto& c : cases) {
    URLPattern pattern(URLPattern::SCHEME_ALL);
    ASSERT_EQ(pattern.Parse(c.pattern), kOk) << c.pattern;
    EXPECT_EQ(pattern.host(), c.host);
    EXPECT_EQ(pattern.GetAsString(), c.text);
    URLPattern again(URLPattern::SCHEME_ALL);
    ASSERT_EQ(again.Parse(pattern.GetAsString()), kOk);
    EXPECT_TRUE(again == pattern) << c.pattern;
  }
  URLPattern escaped(URLPattern::SCHEME_ALL);
  ASSERT_EQ(escaped.Parse("http://h/a?b\\c"), kOk);
  EXPECT_EQ(escaped.escaped_path(), "/a\\?b\\\\c");  // escaped for the matcher only
}

TEST(PatternMatchTest, Matches) {
  // clang-format off
  const struct {
    std::string pattern, url;
    bool matches;
  } cases[] = {
      {"<all_urls>", "ftp://x:21/y", true}, {"<all_urls>", "mailto:x@y", true},
      {"*://*/*", "http://a/", true}, {"*://*/*", "https://b:8080/x", true},
      {"*://*/*", "ftp://a/", false}, {"*://*/*", "file:///a", false},
      {"*://*/*", "ab.cd:80", false}, {"http://*.google.com/*", "http://google.com/", true},
      {"http://*.google.com/*", "http://www.google.com/x", true},
      {"http://*.google.com/*", "http://wwwgoogle.com/", false},
      // Subdomains must be at least two characters longer than the domain.
      {"http://*.google.com/*", "http://.google.com/", false},
      {"http://*.google.com/*", "https://www.google.com/", false},
      {"http://*.google.com/*", "http://www.google.com.evil/", false},
      {"http://google.com/*", "http://www.google.com/", false},
      {"http://*.GOOGLE.com/*", "http://www.google.com/", false},
      {"http://*.0.0.1/*", "http://127.0.0.1/", false},  // IPv4
      {"http://127.0.0.1/*", "http://0x7f.1/", true}, {"HTTP://a/*", "http://a/", false},
      {"about:blank", "about:blank", true}, {"http://h:8080/*", "http://h:80/x", false},
      // The default port is dropped from the URL, so naming it never matches.
      {"http://h:80/*", "http://h:80/", false},
      // A URL without a port reads as port 0.
      {"http://h:0/*", "http://h/", true}, {"http://h:+81/*", "http://h:81/", false},
      {"http://h:*/*", "http://h:1234/", true}, {"file:///home/*", "file:///home/a", true},
      {"file:///home/*", "file://server/home/a", true}, {"file://foo", "file:///foo", true},
      {"http://h/Foo*", "http://h/foo", false}, {"http://h/a", "http://h/a?b#c", true},
      {"http://h/a?b", "http://h/ab", false},  // "?" is literal
      {"http://h/a?b", "http://h/a?b", false},
      {"http://h/a\\b", "http://h/ab", false},  // "\" is literal
      {"http://h/a/*/c", "http://h/a/b/x/c", true}, {"http://h/a/b", "http://h/a/./b", true},
  };
  // clang-format on
  for (const auto& c : cases) {
    URLPattern pattern(URLPattern::SCHEME_ALL);
    ASSERT_EQ(pattern.Parse(c.pattern), kOk) << c.pattern;
    EXPECT_EQ(pattern.MatchesUrl(ParsedUrl(c.url)), c.matches) << c.pattern << " ~ " << c.url;
  }
}

TEST(GlobTest, Matches) {
  // clang-format off
  const struct {
    std::string text, pattern;
    bool matches;
  } cases[] = {
      {"", "", true}, {"a", "", false}, {"", "?", true}, {"abcbd", "a*bc", false},
      {"ac", "a?c", true},  // "?" also matches nothing
      {"/foo/bar", "/foo/*", true}, {"a?c", "a\\?c", true},
      {"a\\", "a\\", true},  // a trailing "\" stands for itself
      {"a\xE2\x82\xAC" "b", "a?b", true}, {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true},
      {"\xC3\xA9", "\xC3", false},  // half a sequence
      {"\xC0\xAF", "\xC0\xAF", false},  // overlong form
      // The k-th wildcard nests at depth k; depth 16 is the deepest attempt allowed.
      {std::string(16, 'a'), std::string(16, '?'), true},
      {std::string(17, 'a'), std::string(17, '?'), false},
      {std::string(16, 'a'), Repeat("*a", 16), true},
      {std::string(17, 'a'), Repeat("*a", 17), false},
      // Runs of "*" and "?" after a "*" count once.
      {std::string(16, 'a'), Repeat("*?*a", 16), true},
      // Literals before the first wildcard cost no depth.
      {std::string(20, 'a') + "b", std::string(20, 'a') + "*b", true},
  };
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(MatchPattern(c.text, c.pattern), c.matches)
        << testing::PrintToString(c.text) << " ~ " << testing::PrintToString(c.pattern);
  }
}

TEST(GlobTest, ManyStarsAgainstLongTextFinish) {
  // Without remembering failures this is about 4000^15 attempts.
  const std::string text(4000, 'a');
  EXPECT_FALSE(MatchPattern(text, Repeat("*a", 15) + "*b"));
  EXPECT_TRUE(MatchPattern(text + "b", Repeat("*a", 15) + "*b"));
  EXPECT_FALSE(MatchPattern(text, Repeat("a?", 16) + "b"));
}

}  // namespace
}  // namespace burl
