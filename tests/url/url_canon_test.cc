// Canonical texts and validity of whole URLs: preparation, the four kinds of URL, and hostile
// input. Host details are in url_host_test.cc.
#include <gtest/gtest.h>

#include <string>

#include "url/parsed_url.h"

namespace burl {
namespace {

using namespace std::string_literals;

struct CanonCase {
  std::string input;
  std::string spec;
  bool valid;
};

void PrintTo(const CanonCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }

class CanonTest : public testing::TestWithParam<CanonCase> {};

TEST_P(CanonTest, ProducesCanonicalText) {
  const CanonCase& c = GetParam();
  ParsedUrl url(c.input);
  EXPECT_EQ(url.spec(), c.spec);
  EXPECT_EQ(url.valid(), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Preparation, CanonTest,
    testing::Values(CanonCase{"localhost:8080/x", "http://localhost:8080/x", true},
                    CanonCase{"LocalHost/x", "http://localhost/x", true},
                    CanonCase{"base.example:81/a", "http://base.example:81/a", true},
                    CanonCase{"ab.cd:80", "", false},       // "." before the colon: not a URL
                    CanonCase{"example.com/a", "", false},  // no colon at all
                    CanonCase{"ht\ttp://exa\nmple.com/\r", "http://example.com/", true},
                    CanonCase{"\r\n\t", "", false},  // nothing left after removing CR, LF and TAB
                    CanonCase{"  http://exa mple.com/a b", "http://example.com/a%20b", true},
                    CanonCase{"http://h/a b?c d", "http://h/a%20b?c%20d", true},
                    CanonCase{"C:\\Program Files\\x", "file:///C:/Program Files/x", true},
                    CanonCase{"c|/dir/f.txt", "file:///C:/dir/f.txt", true},
                    CanonCase{"\\\\server\\share\\f", "file://server/share/f", true},
                    CanonCase{"//server/share", "file://server/share", true},
                    // Blanks before a drive letter leave a one-letter scheme, which would read back
                    // as a drive: flagged invalid.
                    CanonCase{" C:\\x", "c:\\x", false}));

INSTANTIATE_TEST_SUITE_P(
    Standard, CanonTest,
    testing::Values(
        CanonCase{"HTTP://Ab.CD:80/a/./b/../c", "http://ab.cd/a/c", true},
        CanonCase{"http:example.com/a", "http://example.com/a", true},
        CanonCase{"http:\\\\h\\a\\b", "http://h/a/b", true},
        CanonCase{"http:///x", "http://x/", true}, CanonCase{"http://h", "http://h/", true},
        CanonCase{"http://h?q", "http://h/?q", true}, CanonCase{"http://h#f", "http://h/#f", true},
        CanonCase{"http://", "http:", false}, CanonCase{"http://?q", "http:/?q", false},
        CanonCase{"1http://h/", "1http://h/", false},  // scheme must start with a letter
        CanonCase{"ht%tp://h/", "ht%25tp://h/", false},
        CanonCase{"hcbrowser://Home/Page", "hcbrowser://home/Page", true},
        // User information.
        CanonCase{"http://user:p@ss:w@h/", "http://user:p%40ss%3Aw@h/", true},
        CanonCase{"http://@h/", "http://h/", true},
        CanonCase{"http://:pw@h/", "http://:pw@h/", true},
        CanonCase{"http://us;er@h/", "http://us%3Ber@h/", true},
        CanonCase{"http://\xC3\xA9:x@h/", "http://%C3%A9:x@h/", true},
        CanonCase{"http://\xC0\xAF@h/", "http://%C0%AF@h/", false},
        CanonCase{"http://u@/", "http://u@/", false},  // user information but no host
        // Ports.
        CanonCase{"http://h:/", "http://h/", true}, CanonCase{"http://h:0080/", "http://h/", true},
        CanonCase{"http://h:08080/", "http://h:8080/", true},
        CanonCase{"https://h:443/", "https://h/", true},
        CanonCase{"https://h:80/", "https://h:80/", true},
        CanonCase{"ftp://h:21/", "ftp://h/", true},
        CanonCase{"gopher://h:70/", "gopher://h/", true}, CanonCase{"ws://h:80/", "ws://h/", true},
        CanonCase{"wss://h:443/", "wss://h/", true},
        CanonCase{"hcbrowser://h:80/", "hcbrowser://h:80/", true},
        CanonCase{"http://h:65535/", "http://h:65535/", true},
        CanonCase{"http://h:65536/", "http://h:65536/", false},
        CanonCase{"http://h:99999999999999999999/", "http://h:99999999999999999999/", false},
        CanonCase{"http://h:8a/", "http://h:8a/", false},
        CanonCase{"http://:80/", "http:///", false}));

INSTANTIATE_TEST_SUITE_P(
    Path, CanonTest,
    testing::Values(CanonCase{"http://a/b/c/%2e%2E/d", "http://a/b/d", true},
                    CanonCase{"http://a/b/%2E/c", "http://a/b/c", true},
                    CanonCase{"http://a/b/.%2e", "http://a/", true},
                    CanonCase{"http://a/../../x", "http://a/x", true},  // never above the first "/"
                    CanonCase{"http://a/b/..", "http://a/", true},
                    CanonCase{"http://a/b/.", "http://a/b/", true},
                    CanonCase{"http://a/.b/..c/...", "http://a/.b/..c/...", true},
                    CanonCase{"http://a/x%2ey/.%2ez", "http://a/x%2ey/.%2ez", true},
                    CanonCase{"http://a/b\\..\\c", "http://a/c", true},
                    CanonCase{"http://a/%41%7e%2f%zz%", "http://a/A~%2f%zz%", true},
                    CanonCase{"http://a/%", "http://a/%", true},
                    // A decoded hex digit must not complete an escape with a lone "%" before it.
                    CanonCase{"http://a/%4%41", "http://a/%4%41", true},
                    CanonCase{"http://a/%%41B", "http://a/%%41B", true},
                    CanonCase{"http://a/%%47", "http://a/%G", true},
                    CanonCase{"http://a/ \"<>^`{|}", "http://a/%20%22%3C%3E%5E%60%7B%7C%7D", true},
                    CanonCase{"http://a/\x01\x7F\xC3\xA9", "http://a/%01%7F%C3%A9", true},
                    CanonCase{"http://a/!$&'()*+,:;=@[]-_~", "http://a/!$&'()*+,:;=@[]-_~", true},
                    CanonCase{"http://a/b\0c"s, "http://a/b%00c", false},
                    CanonCase{"http://a/b%00c", "http://a/b%00c", false}));

INSTANTIATE_TEST_SUITE_P(
    QueryAndFragment, CanonTest,
    testing::Values(CanonCase{"http://a/?q=a b<>\"\xC3\xA9&x='y'",
                              "http://a/?q=a%20b%3C%3E%22%C3%A9&x='y'", true},
                    CanonCase{"http://a/?%zz?/", "http://a/?%zz?/", true},
                    CanonCase{"http://a/?\0"s, "http://a/?%00", true},
                    CanonCase{"http://a/#f g\x01\xC3\xA9<\x7F", "http://a/#f g%01%C3%A9<\x7F",
                              true},
                    CanonCase{"http://a/#a\0b"s, "http://a/#ab", true},
                    CanonCase{"http://a/#?x#y", "http://a/#?x#y", true},
                    // A 0x80 byte becomes U+FFFD; the lost byte makes the URL invalid.
                    CanonCase{"http://a/#x\x80", "http://a/#x\xEF\xBF\xBD", false}));

INSTANTIATE_TEST_SUITE_P(
    File, CanonTest,
    testing::Values(CanonCase{"file:///home/user/a b.txt", "file:///home/user/a b.txt", true},
                    CanonCase{"FILE://HOST/X", "file://host/X", true},
                    CanonCase{"file://localhost/x", "file://localhost/x", true},
                    CanonCase{"file:C:/x", "file:///C:/x", true},
                    CanonCase{"file://c|\\x\\y", "file:///C:/x/y", true},
                    CanonCase{"file:///C|/x", "file:///C:/x", true},
                    CanonCase{"file:///C:", "file:///C:", true},
                    CanonCase{"file:///C:/a/../../b", "file:///b", true},
                    CanonCase{"file:/etc/passwd", "file://etc/passwd",
                              true},  // one slash: a host follows
                    CanonCase{"file:////server/share", "file://server/share", true},
                    CanonCase{"file:", "file:///", true}, CanonCase{"file://h", "file://h/", true},
                    CanonCase{"file:///a/%41<b>|", "file:///a/A<b>|", true},
                    CanonCase{"file:///a?b c#d e", "file:///a?b%20c#d e", true},
                    CanonCase{"file://ho st/x", "file://host/x", true},
                    CanonCase{"file://h%zz/x", "file://h%25zz/x", false},
                    // Canonical texts that would read back differently are invalid.
                    CanonCase{"file:///a/..//x", "file:////x", false},
                    CanonCase{"file:///a/../c|/x", "file:///c|/x", false}));

INSTANTIATE_TEST_SUITE_P(
    MailtoAndPath, CanonTest,
    testing::Values(CanonCase{"mailto:Joe@Example.COM?subject=Hi there",
                              "mailto:Joe@Example.COM?subject=Hi%20there", true},
                    CanonCase{"MAILTO:\xC3\xA9@x", "mailto:%C3%A9@x", true},
                    CanonCase{"mailto:a#b", "mailto:a#b", true},
                    CanonCase{"mailto:\xFF", "mailto:%FF", false},
                    CanonCase{"javascript:alert(1)", "javascript:alert(1)", true},
                    CanonCase{"JavaScript:X", "javascript:X", true},
                    CanonCase{"about:blank", "about:blank", true},
                    CanonCase{"foo:///a b", "foo:///a b", true},
                    CanonCase{"data:text/plain,a b", "data:text/plain,ab", true},
                    CanonCase{"foo:a\x01\xE2\x82\xAC", "foo:a%01%E2%82%AC", true},
                    CanonCase{"foo:\xC0\xAF", "foo:%C0%AF", false},         // overlong "/"
                    CanonCase{"foo:\xED\xA0\x80", "foo:%ED%A0%80", false},  // encoded surrogate
                    CanonCase{"foo:\xF4\x90\x80\x80", "foo:%F4%90%80%80", false},  // above U+10FFFF
                    CanonCase{"foo:\xE2\x82", "foo:%E2%82", false}));              // truncated

INSTANTIATE_TEST_SUITE_P(
    Hostile, CanonTest,
    testing::Values(CanonCase{"a", "", false},  // shorter than 2 bytes
                    CanonCase{"", "", false},
                    CanonCase{"%", "", false},   // lone "%", below the size bound
                    CanonCase{"%%", "", false},  // no scheme
                    CanonCase{"%zz", "", false}, CanonCase{"http://%/", "http://%25/", false},
                    CanonCase{"http://%zz/", "http://%25zz/", false}, CanonCase{"\0\0"s, "", false},
                    CanonCase{"http://a\0b/"s, "http://a%00b/", false},
                    CanonCase{"http://\xC0\xAFx/", "http://%C0%AFx/", false}));

TEST(CanonBoundsTest, AcceptsExactly4096Bytes) {
  std::string url = "http://a/" + std::string(4096 - 9, 'x');
  ASSERT_EQ(url.size(), 4096u);
  ParsedUrl ok(url);
  EXPECT_TRUE(ok.valid());
  EXPECT_EQ(ok.spec(), url);

  ParsedUrl too_long(url + "x");
  EXPECT_FALSE(too_long.valid());
  EXPECT_EQ(too_long.spec(), "");
  EXPECT_FALSE(too_long.scheme().is_present());
  // The length is counted before removing line breaks: 4097 bytes with one "\n" are refused.
  EXPECT_FALSE(ParsedUrl("http://a/\n" + std::string(4096 - 9, 'x')).valid());
}

TEST(CanonBoundsTest, CanonicalTextLongerThan4096BytesIsInvalid) {
  // 1400 escaped bytes make 4200 + 9 bytes: written out whole, but not readable again.
  std::string url = "http://a/" + std::string(1400, '\x01');
  ParsedUrl parsed(url);
  EXPECT_FALSE(parsed.valid());
  EXPECT_EQ(parsed.spec().size(), 9u + 1400u * 3u);
  EXPECT_EQ(parsed.spec().substr(parsed.spec().size() - 6), "%01%01");
}

TEST(CanonBoundsTest, GrowsPastTheInlineBufferWithoutLosingBytes) {
  // Every byte escapes to three: the output is far beyond the 512 inline bytes.
  std::string url = "http://a/";
  std::string expected = url;
  for (int i = 0; i < 1300; ++i) {
    char c = static_cast<char>(0x80 + i % 64);
    url.push_back(c);
    static constexpr char kHex[] = "0123456789ABCDEF";
    expected += '%';
    expected += kHex[(c >> 4) & 0xF];
    expected += kHex[c & 0xF];
  }
  ParsedUrl parsed(url);
  EXPECT_TRUE(parsed.valid());
  EXPECT_EQ(parsed.spec(), expected);
}

}  // namespace
}  // namespace burl
