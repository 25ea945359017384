// Canonical texts and validity of whole URLs: preparation, the four kinds of URL, and hostile
// input. Host details are in url_host_test.cc.
#include <gtest/gtest.h>

#include <string>

#include "url/parsed_url.h"

namespace burl {
namespace {

using namespace std::string_literals;

struct CanonCase {
  std::string input, spec;
  bool valid;
};

TEST(CanonTest, ProducesCanonicalText) {
  // clang-format off
  const CanonCase cases[] = {
      {"localhost:8080/x", "http://localhost:8080/x", true},
      {"LocalHost/x", "http://localhost/x", true},
      {"base.example:81/a", "http://base.example:81/a", true},
      {"ab.cd:80", "", false},  // "." before the colon: not a URL
      {"example.com/a", "", false},  // no colon at all
      {"ht\ttp://exa\nmple.com/\r", "http://example.com/", true},
      {"\r\n\t", "", false},  // nothing left after removing CR, LF and TAB
      {"  http://exa mple.com/a b", "http://example.com/a%20b", true},
      {"http://h/a b?c d", "http://h/a%20b?c%20d", true},
      {"C:\\Program Files\\x", "file:///C:/Program Files/x", true},
      {"c|/dir/f.txt", "file:///C:/dir/f.txt", true},
      {"\\\\server\\share\\f", "file://server/share/f", true},
      {"//server/share", "file://server/share", true},
      // Blanks before a drive letter leave a one-letter scheme, read back as a drive: invalid.
      {" C:\\x", "c:\\x", false}, {"HTTP://Ab.CD:80/a/./b/../c", "http://ab.cd/a/c", true},
      {"http:example.com/a", "http://example.com/a", true},
      {"http:\\\\h\\a\\b", "http://h/a/b", true}, {"http:///x", "http://x/", true},
      {"http://h", "http://h/", true}, {"http://h?q", "http://h/?q", true},
      {"http://h#f", "http://h/#f", true}, {"http://", "http:", false},
      {"http://?q", "http:/?q", false},
      {"1http://h/", "1http://h/", false},  // scheme must start with a letter
      {"ht%tp://h/", "ht%25tp://h/", false},
      {"hcbrowser://Home/Page", "hcbrowser://home/Page", true},
      // User information.
      {"http://user:p@ss:w@h/", "http://user:p%40ss%3Aw@h/", true},
      {"http://@h/", "http://h/", true}, {"http://:pw@h/", "http://:pw@h/", true},
      {"http://us;er@h/", "http://us%3Ber@h/", true},
      {"http://\xC3\xA9:x@h/", "http://%C3%A9:x@h/", true},
      {"http://\xC0\xAF@h/", "http://%C0%AF@h/", false},
      {"http://u@/", "http://u@/", false},  // user information but no host
      // Ports.
      {"http://h:/", "http://h/", true}, {"http://h:0080/", "http://h/", true},
      {"http://h:08080/", "http://h:8080/", true}, {"https://h:443/", "https://h/", true},
      {"https://h:80/", "https://h:80/", true}, {"ftp://h:21/", "ftp://h/", true},
      {"gopher://h:70/", "gopher://h/", true}, {"ws://h:80/", "ws://h/", true},
      {"wss://h:443/", "wss://h/", true}, {"hcbrowser://h:80/", "hcbrowser://h:80/", true},
      {"http://h:65535/", "http://h:65535/", true}, {"http://h:65536/", "http://h:65536/", false},
      {"http://h:99999999999999999999/", "http://h:99999999999999999999/", false},
      {"http://h:8a/", "http://h:8a/", false}, {"http://:80/", "http:///", false},
      {"http://a/b/c/%2e%2E/d", "http://a/b/d", true}, {"http://a/b/%2E/c", "http://a/b/c", true},
      {"http://a/b/.%2e", "http://a/", true},
      {"http://a/../../x", "http://a/x", true},  // never above the first "/"
      {"http://a/b/..", "http://a/", true}, {"http://a/b/.", "http://a/b/", true},
      {"http://a/.b/..c/...", "http://a/.b/..c/...", true},
      {"http://a/x%2ey/.%2ez", "http://a/x%2ey/.%2ez", true},
      {"http://a/b\\..\\c", "http://a/c", true},
      {"http://a/%41%7e%2f%zz%", "http://a/A~%2f%zz%", true}, {"http://a/%", "http://a/%", true},
      // A decoded hex digit must not complete an escape with a lone "%" before it.
      {"http://a/%4%41", "http://a/%4%41", true}, {"http://a/%%41B", "http://a/%%41B", true},
      {"http://a/%%47", "http://a/%G", true},
      {"http://a/ \"<>^`{|}", "http://a/%20%22%3C%3E%5E%60%7B%7C%7D", true},
      {"http://a/\x01\x7F\xC3\xA9", "http://a/%01%7F%C3%A9", true},
      {"http://a/!$&'()*+,:;=@[]-_~", "http://a/!$&'()*+,:;=@[]-_~", true},
      {"http://a/b\0c"s, "http://a/b%00c", false}, {"http://a/b%00c", "http://a/b%00c", false},
      {"http://a/?q=a b<>\"\xC3\xA9&x='y'", "http://a/?q=a%20b%3C%3E%22%C3%A9&x='y'", true},
      {"http://a/?%zz?/", "http://a/?%zz?/", true}, {"http://a/?\0"s, "http://a/?%00", true},
      {"http://a/#f g\x01\xC3\xA9<\x7F", "http://a/#f g%01%C3%A9<\x7F", true},
      {"http://a/#a\0b"s, "http://a/#ab", true}, {"http://a/#?x#y", "http://a/#?x#y", true},
      // A 0x80 byte becomes U+FFFD; the lost byte makes the URL invalid.
      {"http://a/#x\x80", "http://a/#x\xEF\xBF\xBD", false},
      {"file:///home/user/a b.txt", "file:///home/user/a b.txt", true},
      {"FILE://HOST/X", "file://host/X", true}, {"file://localhost/x", "file://localhost/x", true},
      {"file:C:/x", "file:///C:/x", true}, {"file://c|\\x\\y", "file:///C:/x/y", true},
      {"file:///C|/x", "file:///C:/x", true}, {"file:///C:", "file:///C:", true},
      {"file:///C:/a/../../b", "file:///b", true},
      {"file:/etc/passwd", "file://etc/passwd", true},  // one slash: a host follows
      {"file:////server/share", "file://server/share", true}, {"file:", "file:///", true},
      {"file://h", "file://h/", true}, {"file:///a/%41<b>|", "file:///a/A<b>|", true},
      {"file:///a?b c#d e", "file:///a?b%20c#d e", true}, {"file://ho st/x", "file://host/x", true},
      {"file://h%zz/x", "file://h%25zz/x", false},
      // Canonical texts that would read back differently are invalid.
      {"file:///a/..//x", "file:////x", false}, {"file:///a/../c|/x", "file:///c|/x", false},
      {"mailto:Joe@Example.COM?subject=Hi there",
       "mailto:Joe@Example.COM?subject=Hi%20there", true},
      {"MAILTO:\xC3\xA9@x", "mailto:%C3%A9@x", true}, {"mailto:a#b", "mailto:a#b", true},
      {"mailto:\xFF", "mailto:%FF", false}, {"javascript:alert(1)", "javascript:alert(1)", true},
      {"JavaScript:X", "javascript:X", true}, {"about:blank", "about:blank", true},
      {"foo:///a b", "foo:///a b", true}, {"data:text/plain,a b", "data:text/plain,ab", true},
      {"foo:a\x01\xE2\x82\xAC", "foo:a%01%E2%82%AC", true},
      {"foo:\xC2\x80", "foo:%C2%80", true},  // the smallest two-byte character
      {"foo:\xC0\xAF", "foo:%C0%AF", false},  // overlong "/"
      {"foo:\xED\xA0\x80", "foo:%ED%A0%80", false},  // encoded surrogate
      {"foo:\xF4\x90\x80\x80", "foo:%F4%90%80%80", false},  // above U+10FFFF
      {"foo:\xE2\x82", "foo:%E2%82", false},  // truncated
      {"a", "", false},  // shorter than 2 bytes
      {"a:", "file:///A:", true},  // 2 bytes: a drive letter
      {"", "", false},
      {"%", "", false},  // lone "%", below the size bound
      {"%%", "", false},  // no scheme
      {"%zz", "", false}, {"http://%/", "http://%25/", false},
      {"http://%zz/", "http://%25zz/", false}, {"\0\0"s, "", false},
      {"http://a\0b/"s, "http://a%00b/", false}, {"http://\xC0\xAFx/", "http://%C0%AFx/", false},
  };
  // clang-format on
  for (const CanonCase& c : cases) {
    ParsedUrl url(c.input);
    EXPECT_EQ(url.spec(), c.spec) << testing::PrintToString(c.input);
    EXPECT_EQ(url.valid(), c.valid) << testing::PrintToString(c.input);
  }
}

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
