// Canonical texts, validity and component records of whole URLs, hosts, and the Punycode
// encoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "url/parsed_url.h"
#include "url/punycode.h"

namespace burl {
namespace {

using namespace std::string_literals;

TEST(CanonTest, ProducesCanonicalText) {
  // clang-format off
  const struct {
    std::string input, spec;
    bool valid;
  } cases[] = {
      {"localhost:8080/x", "http://localhost:8080/x", true},
      {"LocalHost/x", "http://localhost/x", true},
      {"base.example:81/a", "http://base.example:81/a", true},
      // Not URLs: a "." before the colon, no colon at all, nothing left after CR, LF and TAB.
      {"ab.cd:80", "", false}, {"example.com/a", "", false}, {"\r\n\t", "", false},
      {"ht\ttp://exa\nmple.com/\r", "http://example.com/", true},
      {"  http://exa mple.com/a b", "http://example.com/a%20b", true},
      {"C:\\Program Files\\x", "file:///C:/Program Files/x", true},
      {"\\\\server\\share\\f", "file://server/share/f", true},
      // Blanks before a drive letter leave a one-letter scheme, read back as a drive: invalid.
      {" C:\\x", "c:\\x", false}, {"HTTP://Ab.CD:80/a/./b/../c", "http://ab.cd/a/c", true},
      {"http://h#f", "http://h/#f", true}, {"http://", "http:", false},
      {"http://?q", "http:/?q", false},
      // A scheme starts with a letter and holds no "%".
      {"1http://h/", "1http://h/", false}, {"ht%tp://h/", "ht%25tp://h/", false},
      {"http://user:p@ss:w@h/", "http://user:p%40ss%3Aw@h/", true},
      {"http://:pw@h/", "http://:pw@h/", true},
      {"http://\xC3\xA9:x@h/", "http://%C3%A9:x@h/", true},
      {"http://\x80@h/", "http://%80@h/", false},
      {"http://u@/", "http://u@/", false},  // user information but no host
      {"http://h:0080/", "http://h/", true}, {"https://h:443/", "https://h/", true},
      {"ftp://h:21/", "ftp://h/", true}, {"gopher://h:70/", "gopher://h/", true},
      {"ws://h:80/", "ws://h/", true}, {"wss://h:443/", "wss://h/", true},
      {"hcbrowser://h:80/", "hcbrowser://h:80/", true},
      {"http://h:65535/", "http://h:65535/", true},
      {"http://h:65536/", "http://h:65536/", false},
      {"http://h:99999999999999999999/", "http://h:99999999999999999999/", false},
      // Dot segments never climb above the first "/".
      {"http://a/b/.%2e", "http://a/", true}, {"http://a/../../x", "http://a/x", true},
      {"http://a/b/.", "http://a/b/", true}, {"http://a/.b/..c/...", "http://a/.b/..c/...", true},
      {"http://a/%41%7e%2f%zz%", "http://a/A~%2f%zz%", true},
      // A decoded hex digit must not complete an escape with a lone "%" before it.
      {"http://a/%4%41", "http://a/%4%41", true}, {"http://a/%%41B", "http://a/%%41B", true},
      {"http://a/%%47", "http://a/%G", true},
      {"http://a/b\0c"s, "http://a/b%00c", false}, {"http://a/b%00c", "http://a/b%00c", false},
      {"http://a/#f g\x01\xC3\xA9<\x7F", "http://a/#f g%01%C3%A9<\x7F", true},
      {"http://a/#a\0b"s, "http://a/#ab", true},
      // A 0x80 byte becomes U+FFFD; the lost byte makes the URL invalid.
      {"http://a/#x\x80", "http://a/#x\xEF\xBF\xBD", false},
      {"file:", "file:///", true}, {"file:///C:/a/../../b", "file:///b", true},
      {"file:///a?b c#d e", "file:///a?b%20c#d e", true},
      {"file://h%zz/x", "file://h%25zz/x", false},
      // Canonical texts that would read back differently are invalid.
      {"file:///a/..//x", "file:////x", false}, {"file:///a/../c|/x", "file:///c|/x", false},
      {"mailto:Joe@Example.COM?subject=Hi there", "mailto:Joe@Example.COM?subject=Hi%20there",
       true},
      {"mailto:\x80", "mailto:%80", false}, {"foo:a\x01\xE2\x82\xAC", "foo:a%01%E2%82%AC", true},
      // UTF-8: the smallest two-byte character, an overlong "/", an encoded surrogate, U+10FFFF
      // and the code point above it, a truncated sequence.
      {"foo:\xC2\x80", "foo:%C2%80", true}, {"foo:\xC0\xAF", "foo:%C0%AF", false},
      {"foo:\xED\xA0\x80", "foo:%ED%A0%80", false},
      {"foo:\xF4\x8F\xBF\xBF", "foo:%F4%8F%BF%BF", true},
      {"foo:\xF4\x90\x80\x80", "foo:%F4%90%80%80", false}, {"foo:\xE2\x82", "foo:%E2%82", false},
      // Shorter than 2 bytes; 2 bytes: a drive letter.
      {"a", "", false}, {"a:", "file:///A:", true},
      {"http://%/", "http://%25/", false}, {"http://\xC0\xAFx/", "http://%C0%AFx/", false},
  };
  // clang-format on
  for (const auto& c : cases) {
    ParsedUrl url(c.input);
    EXPECT_EQ(url.spec(), c.spec) << testing::PrintToString(c.input);
    EXPECT_EQ(url.valid(), c.valid) << testing::PrintToString(c.input);
  }
}

TEST(CanonBoundsTest, AcceptsExactly4096BytesInAndOut) {
  std::string url = "http://a/" + std::string(4096 - 9, 'x');
  EXPECT_EQ(ParsedUrl(url).spec(), url);
  EXPECT_TRUE(ParsedUrl(url).valid());
  ParsedUrl too_long(url + "x");
  EXPECT_FALSE(too_long.valid());
  EXPECT_EQ(too_long.spec(), "");
  // The length is counted before removing line breaks.
  EXPECT_FALSE(ParsedUrl("http://a/\n" + std::string(4096 - 9, 'x')).valid());
  // 1400 escaped bytes make 4200 + 9 bytes: written out whole, but not readable again.
  ParsedUrl escaped("http://a/" + std::string(1400, '\x01'));
  EXPECT_FALSE(escaped.valid());
  EXPECT_EQ(escaped.spec().size(), 9u + 1400u * 3u);
  EXPECT_EQ(escaped.spec().substr(escaped.spec().size() - 6), "%01%01");
}

TEST(WideInputTest, ConvertsToUtf8CountingUtf8Bytes) {
  ParsedUrl url(std::u16string(u"http://b\u00FCcher.de/\u20AC\U0010FFFF"), 0x1234);
  EXPECT_TRUE(url.valid());
  EXPECT_EQ(url.spec(), "http://xn--bcher-kva.de/%E2%82%AC%F4%8F%BF%BF");
  EXPECT_EQ(url.options(), 0x1234);
  std::u16string lone = u"http://h/x";
  lone.push_back(static_cast<char16_t>(0xD800));
  EXPECT_EQ(ParsedUrl(lone).spec(), "http://h/x%EF%BF%BD");
  // File paths keep non-ASCII bytes: 8 + 1363 * 3 = 4097 UTF-8 bytes are too long.
  EXPECT_FALSE(ParsedUrl(u"file:///" + std::u16string(1363, u'\u20AC')).valid());
  ParsedUrl fits(u"file:///" + std::u16string(1362, u'\u20AC'));
  EXPECT_TRUE(fits.valid());
  EXPECT_EQ(fits.spec().size(), 4094u);
}

TEST(HostTest, CanonicalizesHost) {
  constexpr HostKind kName = HostKind::kName, kIPv4 = HostKind::kIPv4, kIPv6 = HostKind::kIPv6;
  const struct {
    std::string host;  // as written between "http://" and "/"
    std::string canonical;
    bool valid;
    HostKind kind;
  } cases[] = {
      // clang-format off
      {"Ab.CD", "ab.cd", true, kName}, {"a!b", "a%21b", true, kName},  // escaped, still valid
      {"a^b", "a%5Eb", false, kName},  // escaped and invalid
      {"%62%C3%BC" "cher.de", "xn--bcher-kva.de", true, kName},
      // ASCII letters are lowered after encoding; "Ü" itself is not case-folded.
      {"B\xC3\x9C" "CHER.de", "xn--bcher-2pa.de", true, kName},
      {"\xF0\x9F\x98\x80.x", "xn--e28h.x", true, kName},
      // Converted, but the "%" left in the label is not a host character.
      {"b\xC3\xBC%ZZ", "xn--b%25zz-0ra", false, kName},
      {"%C3%28", "%C3%28", false, kName},  // invalid UTF-8 after decoding
      {"a\xC0\xAF", "a%C0%AF", false, kName},  // overlong form
      {"017700000001", "127.0.0.1", true, kIPv4}, {"1.65535", "1.0.255.255", true, kIPv4},
      {"4294967295", "255.255.255.255", true, kIPv4},
      {"0xff.0xffffff", "255.255.255.255", true, kIPv4},
      // Not addresses: they stay names.
      {"4294967296", "4294967296", true, kName}, {"1.16777216", "1.16777216", true, kName},
      {"0x100.1.1.1", "0x100.1.1.1", true, kName}, {"0x1ffffffff", "0x1ffffffff", true, kName},
      {"256.1.1.1", "256.1.1.1", true, kName}, {"1.2.3.4.5", "1.2.3.4.5", true, kName},
      {"08.1.1.1", "08.1.1.1", true, kName}, {"0x", "0x", true, kName},
      {"1..2", "1..2", true, kName},
      {"[2001:DB8:0:0:0:0:0:1]", "[2001:db8::1]", true, kIPv6},
      {"[::]", "[::]", true, kIPv6}, {"[1::]", "[1::]", true, kIPv6},
      {"[0:0:1:0:0:0:1:0]", "[0:0:1::1:0]", true, kIPv6},
      {"[1:0:0:2:0:0:3:4]", "[1::2:0:0:3:4]", true, kIPv6},
      {"[1:0:2:3:4:5:6:7]", "[1:0:2:3:4:5:6:7]", true, kIPv6},
      {"[1:2:3:4:5:6::7]", "[1:2:3:4:5:6:0:7]", true, kIPv6},
      {"[::ffff:1.2.3.4]", "[::ffff:102:304]", true, kIPv6},
      {"[1::2::3]", "[1::2::3]", false, kName}, {"[1:]", "[1:]", false, kName},
      {"[1:2:3:4:5:6:7:8:9]", "[1:2:3:4:5:6:7:8:9]", false, kName}, {"[::1", "[::1", false, kName},
      {"[1:2:3:4:5:6:7]", "[1:2:3:4:5:6:7]", false, kName}, {"[g::1]", "[g::1]", false, kName},
      {"[12345::1]", "[12345::1]", false, kName}, {"[::1.2.3.256]", "[::1.2.3.256]", false, kName},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.host));
    ParsedUrl url("http://" + c.host + "/p");
    EXPECT_EQ(url.spec(), "http://" + c.canonical + "/p");
    EXPECT_EQ(url.HostText(), c.canonical);
    EXPECT_EQ(url.valid(), c.valid);
    EXPECT_EQ(url.host_kind(), c.kind);
  }
}

// A colon outside brackets makes the host invalid: written back as "a:b" it would read as host
// "a" with port "b"; an unclosed bracket is all host.
TEST(HostTest, HostAndPortAreSplitOutsideBracketsOnly) {
  ParsedUrl colon("http://a:b:81/p");
  EXPECT_FALSE(colon.valid());
  EXPECT_EQ(colon.HostText(), "a:b");
  EXPECT_EQ(colon.PortText(), "81");
  ParsedUrl unclosed("http://[::1/p");
  EXPECT_FALSE(unclosed.valid());
  EXPECT_EQ(unclosed.HostText(), "[::1");
  EXPECT_FALSE(unclosed.port().is_present());
  EXPECT_EQ(ParsedUrl("http://[::1]:8080/x").spec(), "http://[::1]:8080/x");
}

TEST(HostTest, LabelOf256BytesIsAcceptedAnd257Refused) {
  const std::string e_acute = "\xC3\xA9";
  ParsedUrl fits("http://" + std::string(248, 'a') + e_acute + ".com/");
  EXPECT_TRUE(fits.valid());
  EXPECT_EQ(fits.HostText().substr(0, 4 + 248), "xn--" + std::string(248, 'a'));
  ParsedUrl too_long("http://" + std::string(249, 'a') + e_acute + ".com/");
  EXPECT_FALSE(too_long.valid());
  EXPECT_EQ(too_long.HostText(), std::string(249, 'a') + "%C3%A9.com");
}

TEST(PunycodeTest, EncodesRfc3492SamplesWithinTheLimit) {
  // clang-format off
  const std::pair<std::u32string, std::string> cases[] = {
      {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631"
       U"\u0628\u064A\u061F", "egbpdaj6bu4bxfgehfvwxn"},
      {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
      {U"hq\u2A05", "hq-eb0a"},  // a last digit equal to its threshold
  };
  // clang-format on
  for (const auto& [input, encoded] : cases) {
    std::vector<uint32_t> points(input.begin(), input.end());
    std::string out;
    ASSERT_TRUE(PunycodeEncode(points.data(), points.size(), 256, &out));
    EXPECT_EQ(out, encoded);
  }
  std::vector<uint32_t> points(10, 0xE9);  // encodes to 12 bytes
  std::string out;
  EXPECT_TRUE(PunycodeEncode(points.data(), points.size(), 12, &out));
  out.clear();
  EXPECT_FALSE(PunycodeEncode(points.data(), points.size(), 11, &out));
}

}  // namespace
}  // namespace burl
