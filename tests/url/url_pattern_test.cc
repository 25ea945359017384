// URL match patterns: parse results and fields, setters, the text form, and matching.
#include "url/url_pattern.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(PatternParseTest, ReturnsResult) {
  // clang-format off
  const std::pair<std::string, Result> cases[] = {
      {"<all_urls>", kOk}, {"*://*/*", kOk}, {"history", kNoSeparator}, {"file", kNoSeparator},
      {"", kNoSeparator}, {"<all_urls> ", kNoSeparator}, {"http:foo/*", kWrongScheme},
      {"chrome://x/*", kWrongScheme}, {"://x/*", kWrongScheme}, {"http://", kEmptyHost},
      {"http:///a", kEmptyHost}, {"about:", kEmptyHost}, {"http://host", kEmptyPath},
      {"http://*foo/*", kBadWildcard}, {"http://foo.*.com/*", kBadWildcard},
      {"http://*.*/*", kBadWildcard}, {"http://*:80/*", kBadWildcard}, {"http://h:80/*", kOk},
      {"http://h:0/*", kOk}, {"http://h:65535/*", kOk}, {"http://h:65536/*", kBadPort},
      {"http://h:99999999999999999999/*", kBadPort}, {"http://h:-1/*", kBadPort},
      {"http://h:+80/*", kOk}, {"http://h:-0/*", kOk}, {"http://h: 80/*", kBadPort},
      {"http://h:80 /*", kOk},  // trimmed with the component
      {"http://h:8x/*", kBadPort}, {"http://h:/*", kBadPort}, {"http://h:*/*", kOk},
      {"http://[::1]/*", kBadPort},
      {"hcbrowser://h:80/*", kBadPort},  // no default
      {"*://h:80/*", kBadPort}, {"HTTP://h:80/*", kOk}, {"file:///foo*", kOk},
      {"file://h:80/x", kOk},  // a file host is ignored
      {"file://", kEmptyHost}, {"about:blank", kOk}, {"javascript:*", kOk},
  };
  // clang-format on
  for (const auto& [text, result] : cases) {
    URLPattern pattern(URLPattern::SCHEME_ALL);
    EXPECT_EQ(pattern.Parse(text), result) << text;
  }
}

TEST(PatternParseTest, ResultTexts) {
  std::string texts;
  for (int i = 0; i <= 8; ++i) {
    texts += URLPattern::GetParseResultString(static_cast<Result>(i)) + std::string("|");
  }
  EXPECT_EQ(texts,
            "Success.|Missing scheme separator.|Invalid scheme.|Wrong scheme type.|Host can not be "
            "empty.|Invalid host wildcard.|Empty path.|Invalid port.||");
}

// The fields a successful parse leaves, and the text written back from them.
TEST(PatternParseTest, SetsItsFieldsAndWritesThemBack) {
  const struct {
    const char* pattern;
    const char* scheme;
    bool subdomains;
    const char* host;
    const char* port;  // null: not checked
    const char* path;
    const char* text;  // null: not checked
  } cases[] = {
      {"<all_urls>", "*", true, "", nullptr, "/*", "<all_urls>"},
      {"*://*/*", "*", true, "", nullptr, "/*", nullptr},
      // Host components are trimmed and the wildcard dropped; "?" and "\" are escaped for the
      // matcher only.
      {"http:// * . Google .com:8080/a?b\\c", "http", true, "Google.com", "8080", "/a?b\\c",
       "http://*.Google.com:8080/a?b\\c"},
      {"file://server/share/*", "file", false, "", nullptr, "/share/*", "file:///share/*"},
      {"file://foo", "file", false, "", nullptr, "/foo", nullptr},
      {"about:blank", "about", false, "", nullptr, "blank", "about:blank"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    URLPattern pattern(URLPattern::SCHEME_ALL);
    ASSERT_EQ(pattern.Parse(c.pattern), kOk);
    EXPECT_EQ(pattern.match_all_urls(), std::string(c.pattern) == "<all_urls>");
    EXPECT_EQ(pattern.scheme(), c.scheme);
    EXPECT_EQ(pattern.match_subdomains(), c.subdomains);
    EXPECT_EQ(pattern.host(), c.host);
    if (c.port) {
      EXPECT_EQ(pattern.port(), c.port);
    }
    EXPECT_EQ(pattern.path(), c.path);
    if (c.text) {
      EXPECT_EQ(pattern.GetAsString(), c.text);
    }
  }
  URLPattern escaped(URLPattern::SCHEME_ALL);
  ASSERT_EQ(escaped.Parse("http://h/a?b\\c"), kOk);
  EXPECT_EQ(escaped.escaped_path(), "/a\\?b\\\\c");
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
      {URLPattern::SCHEME_HTTP, "HTTP://a/*", kBadScheme, 0},
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

TEST(PatternSetterTest, PortNeedsADefaultPortScheme) {
  URLPattern pattern(URLPattern::SCHEME_ALL);
  ASSERT_TRUE(pattern.SetScheme("file"));
  EXPECT_FALSE(pattern.SetPort("80"));
  EXPECT_EQ(pattern.port(), "*");
  EXPECT_TRUE(pattern.SetPort("*"));
  ASSERT_TRUE(pattern.SetScheme("ftp"));
  EXPECT_TRUE(pattern.SetPort("2121"));
  EXPECT_EQ(pattern.port(), "2121");
}

TEST(PatternSetterTest, SettersClearTheCachedText) {
  URLPattern pattern(URLPattern::SCHEME_ALL);
  ASSERT_EQ(pattern.Parse("http://a.com/x"), kOk);
  EXPECT_EQ(pattern.GetAsString(), "http://a.com/x");
  pattern.SetHost("b.com");
  EXPECT_EQ(pattern.GetAsString(), "http://b.com/x");
  pattern.SetMatchSubdomains(true);
  EXPECT_EQ(pattern.GetAsString(), "http://*.b.com/x");
  pattern.SetPath("/y");
  EXPECT_EQ(pattern.GetAsString(), "http://*.b.com/y");
  ASSERT_TRUE(pattern.SetPort("81"));
  EXPECT_EQ(pattern.GetAsString(), "http://*.b.com:81/y");
  pattern.SetMatchAllUrls(true);
  EXPECT_EQ(pattern.GetAsString(), "<all_urls>");
}

// Texts whose host ends up empty or ends in blanks must read back as the same pattern.
TEST(PatternSetterTest, OddHostsReadBack) {
  const struct {
    const char* pattern;
    const char* host;
    const char* text;
  } cases[] = {
      {"http://*.:81/*", "", "http://*.:81/*"},
      {"http://\f/x", "", "http://:*/x"},
      // The blanks stay in the host when the port is cut off after trimming.
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
}

TEST(PatternSchemeTest, StandardSchemeNames) {
  // The name is read the way the canonicalizer reads "<name>://www.xx.xx": a lone letter is
  // a drive letter (a file URL) and blanks before the scheme's end are removed.
  for (const char* name : {"*", "http", "HcBrowser", "gopher", "c", "ht tp"}) {
    EXPECT_TRUE(URLPattern::IsStandardSchemeName(name)) << name;
  }
  for (const char* name : {"mailto", "chrome", ""}) {
    EXPECT_FALSE(URLPattern::IsStandardSchemeName(name)) << name;
  }
}

TEST(PatternMatchTest, Matches) {
  // clang-format off
  const struct {
    std::string pattern, url;
    bool matches;
  } cases[] = {
      {"<all_urls>", "http://a/", true}, {"<all_urls>", "ftp://x:21/y", true},
      {"<all_urls>", "file:///x", true}, {"<all_urls>", "mailto:x@y", true},
      {"<all_urls>", "javascript:x", true},
      {"<all_urls>", "ab.cd:80", true},  // even a rejected URL
      {"*://*/*", "http://a/", true}, {"*://*/*", "https://b:8080/x", true},
      {"*://*/*", "ftp://a/", false}, {"*://*/*", "file:///a", false},
      {"*://*/*", "ab.cd:80", false}, {"http://*.google.com/*", "http://google.com/", true},
      {"http://*.google.com/*", "http://www.google.com/x", true},
      {"http://*.google.com/*", "http://a.b.google.com/", true},
      {"http://*.google.com/*", "http://wwwgoogle.com/", false},
      // Subdomains must be at least two characters longer than the domain.
      {"http://*.google.com/*", "http://.google.com/", false},
      {"http://*.google.com/*", "https://www.google.com/", false},
      {"http://*.google.com/*", "http://www.google.com.evil/", false},
      {"http://google.com/*", "http://www.google.com/", false},
      {"http://google.com/*", "http://GOOGLE.com/", true},
      {"http://GOOGLE.com/*", "http://google.com/", true},
      {"http://*.GOOGLE.com/*", "http://www.google.com/", false},
      {"http://*/foo*", "http://1.2.3.4/foo", true},
      {"http://*.0.0.1/*", "http://127.0.0.1/", false},  // IPv4
      {"http://*.0.0.1/*", "http://x.0.0.1/", true}, {"http://127.0.0.1/*", "http://0x7f.1/", true},
      {"HTTP://a/*", "http://a/", false}, {"about:blank", "about:blank", true},
      {"about:blank", "about:blank2", false}, {"javascript:*", "javascript:alert(1)", true},
      {"http://h:8080/*", "http://h:8080/x", true}, {"http://h:8080/*", "http://h/x", false},
      {"http://h:8080/*", "http://h:80/x", false},
      // The default port is dropped from the URL, so naming it never matches.
      {"http://h:80/*", "http://h/", false}, {"http://h:80/*", "http://h:80/", false},
      // A URL without a port reads as port 0.
      {"http://h:0/*", "http://h/", true}, {"http://h:+81/*", "http://h:81/", false},
      {"http://h:*/*", "http://h:1234/", true}, {"http://h/*", "http://h:1234/", true},
      {"file:///home/*", "file:///home/a", true}, {"file:///home/*", "file://server/home/a", true},
      {"file:///home/*", "file:///etc/x", false}, {"file://foo", "file:///foo", true},
      {"file://foo", "file:///foo/bar", false}, {"file:///*", "http://a/", false},
      {"http://h/Foo*", "http://h/Foo", true}, {"http://h/Foo*", "http://h/foo", false},
      {"http://h/a", "http://h/a?b#c", true},
      {"http://h/a?b", "http://h/ab", false},  // "?" is literal
      {"http://h/a?b", "http://h/a?b", false},
      {"http://h/a\\b", "http://h/ab", false},  // "\" is literal
      {"http://h/a/*/c", "http://h/a/b/x/c", true}, {"http://h/*", "http://h", true},
      {"http://h/a/./b", "http://h/a/b", false}, {"http://h/a/b", "http://h/a/./b", true},
  };
  // clang-format on
  for (const auto& c : cases) {
    URLPattern pattern(URLPattern::SCHEME_ALL);
    ASSERT_EQ(pattern.Parse(c.pattern), kOk) << c.pattern;
    EXPECT_EQ(pattern.MatchesUrl(ParsedUrl(c.url)), c.matches) << c.pattern << " ~ " << c.url;
  }
}

TEST(PatternMatchMaskTest, UrlSchemeMustPassTheMask) {
  URLPattern pattern(URLPattern::SCHEME_HTTP);
  ASSERT_EQ(pattern.Parse("*://h/*"), kOk);
  EXPECT_TRUE(pattern.MatchesUrl(ParsedUrl("http://h/")));
  EXPECT_FALSE(pattern.MatchesUrl(ParsedUrl("https://h/")));
}

}  // namespace
}  // namespace burl
