// URL match patterns: parse results and fields, setters, the text form, and matching.
#include "url/url_pattern.h"

#include <gtest/gtest.h>

#include <string>

#include "url/parsed_url.h"

namespace burl {
namespace {

using Result = URLPattern::ParseResult;

struct ParseCase {
  std::string pattern;
  Result result;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.pattern << '"'; }

class PatternParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(PatternParseTest, ReturnsResult) {
  URLPattern pattern(URLPattern::SCHEME_ALL);
  EXPECT_EQ(pattern.Parse(GetParam().pattern), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Results, PatternParseTest,
    testing::Values(
        ParseCase{"<all_urls>", URLPattern::PARSE_SUCCESS},
        ParseCase{"*://*/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"history", URLPattern::PARSE_ERROR_MISSING_SCHEME_SEPARATOR},
        ParseCase{"file", URLPattern::PARSE_ERROR_MISSING_SCHEME_SEPARATOR},
        ParseCase{"", URLPattern::PARSE_ERROR_MISSING_SCHEME_SEPARATOR},
        ParseCase{"<all_urls> ", URLPattern::PARSE_ERROR_MISSING_SCHEME_SEPARATOR},
        ParseCase{"http:foo/*", URLPattern::PARSE_ERROR_WRONG_SCHEME_TYPE},
        ParseCase{"chrome://x/*", URLPattern::PARSE_ERROR_WRONG_SCHEME_TYPE},
        ParseCase{"://x/*", URLPattern::PARSE_ERROR_WRONG_SCHEME_TYPE},
        ParseCase{"http://", URLPattern::PARSE_ERROR_EMPTY_HOST},
        ParseCase{"http:///a", URLPattern::PARSE_ERROR_EMPTY_HOST},
        ParseCase{"about:", URLPattern::PARSE_ERROR_EMPTY_HOST},
        ParseCase{"http://host", URLPattern::PARSE_ERROR_EMPTY_PATH},
        ParseCase{"http://*foo/*", URLPattern::PARSE_ERROR_INVALID_HOST_WILDCARD},
        ParseCase{"http://foo.*.com/*", URLPattern::PARSE_ERROR_INVALID_HOST_WILDCARD},
        ParseCase{"http://*.*/*", URLPattern::PARSE_ERROR_INVALID_HOST_WILDCARD},
        ParseCase{"http://*:80/*", URLPattern::PARSE_ERROR_INVALID_HOST_WILDCARD},
        ParseCase{"http://h:80/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://h:0/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://h:65535/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://h:65536/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:99999999999999999999/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:-1/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:+80/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://h:-0/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://h: 80/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:80 /*", URLPattern::PARSE_SUCCESS},  // trimmed with the component
        ParseCase{"http://h:8x/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"http://h:*/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"http://[::1]/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"hcbrowser://h:80/*", URLPattern::PARSE_ERROR_INVALID_PORT},  // no default
        ParseCase{"*://h:80/*", URLPattern::PARSE_ERROR_INVALID_PORT},
        ParseCase{"HTTP://h:80/*", URLPattern::PARSE_SUCCESS},
        ParseCase{"file:///foo*", URLPattern::PARSE_SUCCESS},
        ParseCase{"file://h:80/x", URLPattern::PARSE_SUCCESS},  // a file host is ignored
        ParseCase{"file://", URLPattern::PARSE_ERROR_EMPTY_HOST},
        ParseCase{"about:blank", URLPattern::PARSE_SUCCESS},
        ParseCase{"javascript:*", URLPattern::PARSE_SUCCESS}));

TEST(PatternParseTest, ResultTexts) {
  const char* expected[] = {"Success.",
                            "Missing scheme separator.",
                            "Invalid scheme.",
                            "Wrong scheme type.",
                            "Host can not be empty.",
                            "Invalid host wildcard.",
                            "Empty path.",
                            "Invalid port."};
  for (int i = 0; i <= 7; ++i) {
    EXPECT_STREQ(URLPattern::GetParseResultString(static_cast<Result>(i)), expected[i]);
  }
  EXPECT_STREQ(URLPattern::GetParseResultString(static_cast<Result>(8)), "");
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
    ASSERT_EQ(pattern.Parse(c.pattern), URLPattern::PARSE_SUCCESS);
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
  ASSERT_EQ(escaped.Parse("http://h/a?b\\c"), URLPattern::PARSE_SUCCESS);
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
      {URLPattern::SCHEME_ALL, "<all_urls>", URLPattern::PARSE_SUCCESS, URLPattern::SCHEME_ALL},
      {URLPattern::SCHEME_ALL, "*://*/*", URLPattern::PARSE_SUCCESS,
       URLPattern::SCHEME_HTTP | URLPattern::SCHEME_HTTPS},
      {URLPattern::SCHEME_HTTP, "*://a/*", URLPattern::PARSE_SUCCESS, URLPattern::SCHEME_HTTP},
      {URLPattern::SCHEME_HTTP, "https://a/*", URLPattern::PARSE_ERROR_INVALID_SCHEME, 0},
      {URLPattern::SCHEME_HTTP, "HTTP://a/*", URLPattern::PARSE_ERROR_INVALID_SCHEME, 0},
      {URLPattern::SCHEME_HTTP, "about:blank", URLPattern::PARSE_ERROR_INVALID_SCHEME, 0},
  };
  for (const auto& c : cases) {
    URLPattern pattern(c.mask);
    EXPECT_EQ(pattern.Parse(c.pattern), c.result) << c.pattern;
    if (c.result == URLPattern::PARSE_SUCCESS) {
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
  ASSERT_EQ(pattern.Parse("http://a.com/x"), URLPattern::PARSE_SUCCESS);
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
    ASSERT_EQ(pattern.Parse(c.pattern), URLPattern::PARSE_SUCCESS) << c.pattern;
    EXPECT_EQ(pattern.host(), c.host);
    EXPECT_EQ(pattern.GetAsString(), c.text);
    URLPattern again(URLPattern::SCHEME_ALL);
    ASSERT_EQ(again.Parse(pattern.GetAsString()), URLPattern::PARSE_SUCCESS);
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

struct MatchCase {
  std::string pattern;
  std::string url;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << '"' << c.pattern << "\" ~ \"" << c.url << '"';
}

class PatternMatchTest : public testing::TestWithParam<MatchCase> {};

TEST_P(PatternMatchTest, Matches) {
  const MatchCase& c = GetParam();
  URLPattern pattern(URLPattern::SCHEME_ALL);
  ASSERT_EQ(pattern.Parse(c.pattern), URLPattern::PARSE_SUCCESS);
  EXPECT_EQ(pattern.MatchesUrl(ParsedUrl(c.url)), c.matches);
}

INSTANTIATE_TEST_SUITE_P(AllUrls, PatternMatchTest,
                         testing::Values(MatchCase{"<all_urls>", "http://a/", true},
                                         MatchCase{"<all_urls>", "ftp://x:21/y", true},
                                         MatchCase{"<all_urls>", "file:///x", true},
                                         MatchCase{"<all_urls>", "mailto:x@y", true},
                                         MatchCase{"<all_urls>", "javascript:x", true},
                                         MatchCase{"<all_urls>", "ab.cd:80",
                                                   true}));  // even a rejected URL

INSTANTIATE_TEST_SUITE_P(
    SchemesAndHosts, PatternMatchTest,
    testing::Values(
        MatchCase{"*://*/*", "http://a/", true}, MatchCase{"*://*/*", "https://b:8080/x", true},
        MatchCase{"*://*/*", "ftp://a/", false}, MatchCase{"*://*/*", "file:///a", false},
        MatchCase{"*://*/*", "ab.cd:80", false},
        MatchCase{"http://*.google.com/*", "http://google.com/", true},
        MatchCase{"http://*.google.com/*", "http://www.google.com/x", true},
        MatchCase{"http://*.google.com/*", "http://a.b.google.com/", true},
        MatchCase{"http://*.google.com/*", "http://wwwgoogle.com/", false},
        // Subdomains must be at least two characters longer than the domain.
        MatchCase{"http://*.google.com/*", "http://.google.com/", false},
        MatchCase{"http://*.google.com/*", "https://www.google.com/", false},
        MatchCase{"http://*.google.com/*", "http://www.google.com.evil/", false},
        MatchCase{"http://google.com/*", "http://www.google.com/", false},
        MatchCase{"http://google.com/*", "http://GOOGLE.com/", true},
        MatchCase{"http://GOOGLE.com/*", "http://google.com/", true},
        MatchCase{"http://*.GOOGLE.com/*", "http://www.google.com/", false},
        MatchCase{"http://*/foo*", "http://1.2.3.4/foo", true},
        MatchCase{"http://*.0.0.1/*", "http://127.0.0.1/", false},  // IPv4
        MatchCase{"http://*.0.0.1/*", "http://x.0.0.1/", true},
        MatchCase{"http://127.0.0.1/*", "http://0x7f.1/", true},
        MatchCase{"HTTP://a/*", "http://a/", false}, MatchCase{"about:blank", "about:blank", true},
        MatchCase{"about:blank", "about:blank2", false},
        MatchCase{"javascript:*", "javascript:alert(1)", true}));

INSTANTIATE_TEST_SUITE_P(
    Ports, PatternMatchTest,
    testing::Values(MatchCase{"http://h:8080/*", "http://h:8080/x", true},
                    MatchCase{"http://h:8080/*", "http://h/x", false},
                    MatchCase{"http://h:8080/*", "http://h:80/x", false},
                    // The default port is dropped from the URL, so naming it never matches.
                    MatchCase{"http://h:80/*", "http://h/", false},
                    MatchCase{"http://h:80/*", "http://h:80/", false},
                    // A URL without a port reads as port 0.
                    MatchCase{"http://h:0/*", "http://h/", true},
                    MatchCase{"http://h:+81/*", "http://h:81/", false},
                    MatchCase{"http://h:*/*", "http://h:1234/", true},
                    MatchCase{"http://h/*", "http://h:1234/", true}));

INSTANTIATE_TEST_SUITE_P(
    Paths, PatternMatchTest,
    testing::Values(MatchCase{"file:///home/*", "file:///home/a", true},
                    MatchCase{"file:///home/*", "file://server/home/a", true},
                    MatchCase{"file:///home/*", "file:///etc/x", false},
                    MatchCase{"file://foo", "file:///foo", true},
                    MatchCase{"file://foo", "file:///foo/bar", false},
                    MatchCase{"file:///*", "http://a/", false},
                    MatchCase{"http://h/Foo*", "http://h/Foo", true},
                    MatchCase{"http://h/Foo*", "http://h/foo", false},
                    MatchCase{"http://h/a", "http://h/a?b#c", true},
                    MatchCase{"http://h/a?b", "http://h/ab", false},  // "?" is literal
                    MatchCase{"http://h/a?b", "http://h/a?b", false},
                    MatchCase{"http://h/a\\b", "http://h/ab", false},  // "\" is literal
                    MatchCase{"http://h/a/*/c", "http://h/a/b/x/c", true},
                    MatchCase{"http://h/*", "http://h", true},
                    MatchCase{"http://h/a/./b", "http://h/a/b", false},
                    MatchCase{"http://h/a/b", "http://h/a/./b", true}));

TEST(PatternMatchMaskTest, UrlSchemeMustPassTheMask) {
  URLPattern pattern(URLPattern::SCHEME_HTTP);
  ASSERT_EQ(pattern.Parse("*://h/*"), URLPattern::PARSE_SUCCESS);
  EXPECT_TRUE(pattern.MatchesUrl(ParsedUrl("http://h/")));
  EXPECT_FALSE(pattern.MatchesUrl(ParsedUrl("https://h/")));
}

}  // namespace
}  // namespace burl
