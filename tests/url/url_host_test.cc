// Hosts: the host table, percent decoding, international labels, IPv4 forms and IPv6, plus
// the Punycode encoder against the sample strings of RFC 3492.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "url/parsed_url.h"
#include "url/punycode.h"

namespace burl {
namespace {

using namespace std::string_literals;

constexpr HostKind kName = HostKind::kName;
constexpr HostKind kIPv4 = HostKind::kIPv4;
constexpr HostKind kIPv6 = HostKind::kIPv6;

TEST(HostTest, CanonicalizesHost) {
  const struct {
    std::string host;  // as written between "http://" and "/"
    std::string canonical;
    bool valid;
    HostKind kind;
  } cases[] = {
      // clang-format off
      {"Ab.CD", "ab.cd", true, kName}, {"a-b_c+d.e", "a-b_c+d.e", true, kName},
      {"a!b", "a%21b", true, kName},  // escaped, still valid
      {"a\"b$c&d*e=f{g}", "a%22b%24c%26d%2Ae%3Df%7Bg%7D", true, kName},
      {"a^b", "a%5Eb", false, kName},  // escaped and invalid
      {"a~b", "a%7Eb", false, kName}, {"a;b", "a%3Bb", false, kName},
      {"a\x01"s, "a%01", false, kName}, {"ex%41mple.com", "example.com", true, kName},
      {"a%20b", "a%20b", true, kName}, {"a%2eb", "a.b", true, kName},
      {"a%2Fb", "a%2Fb", false, kName}, {"a%25b", "a%25b", false, kName},
      {"a%00b", "a%00b", false, kName}, {"b\xC3\xBC" "cher.de", "xn--bcher-kva.de", true, kName},
      {"%62%C3%BC" "cher.de", "xn--bcher-kva.de", true, kName},
      {"www.m\xC3\xBCnchen.de", "www.xn--mnchen-3ya.de", true, kName},
      // ASCII letters are lowered after encoding; "Ü" itself is not case-folded.
      {"B\xC3\x9C" "CHER.de", "xn--bcher-2pa.de", true, kName},
      {"\xF0\x9F\x98\x80.x", "xn--e28h.x", true, kName}, {"\xC3\xA9..", "xn--9ca..", true, kName},
      // Converted, but the "%" left in the label is not a host character.
      {"b\xC3\xBC%ZZ", "xn--b%25zz-0ra", false, kName},
      {"%C3%28", "%C3%28", false, kName},  // invalid UTF-8 after decoding
      {"a\xC0\xAF", "a%C0%AF", false, kName},  // overlong form
      {"0x7f.1", "127.0.0.1", true, kIPv4}, {"0X7F.0.0.1", "127.0.0.1", true, kIPv4},
      {"2130706433", "127.0.0.1", true, kIPv4}, {"017700000001", "127.0.0.1", true, kIPv4},
      {"0177.0.0.01", "127.0.0.1", true, kIPv4}, {"1.2.3", "1.2.0.3", true, kIPv4},
      {"1.65535", "1.0.255.255", true, kIPv4}, {"1", "0.0.0.1", true, kIPv4},
      {"4294967295", "255.255.255.255", true, kIPv4},
      {"0xff.0xffffff", "255.255.255.255", true, kIPv4}, {"%31.2.3.4", "1.2.3.4", true, kIPv4},
      // Not addresses: they stay names.
      {"4294967296", "4294967296", true, kName}, {"1.16777216", "1.16777216", true, kName},
      {"0x100.1.1.1", "0x100.1.1.1", true, kName}, {"1.0x100.1.1", "1.0x100.1.1", true, kName},
      {"0x1ffffffff", "0x1ffffffff", true, kName}, {"256.1.1.1", "256.1.1.1", true, kName},
      {"1.2.3.4.5", "1.2.3.4.5", true, kName}, {"08.1.1.1", "08.1.1.1", true, kName},
      {"0x", "0x", true, kName}, {"1..2", "1..2", true, kName}, {"1.2.3.", "1.2.3.", true, kName},
      {"[2001:DB8:0:0:0:0:0:1]", "[2001:db8::1]", true, kIPv6}, {"[::1]", "[::1]", true, kIPv6},
      {"[::]", "[::]", true, kIPv6}, {"[1::]", "[1::]", true, kIPv6},
      {"[0001:02:3:4:5:6:7:8]", "[1:2:3:4:5:6:7:8]", true, kIPv6},
      {"[0:0:1:0:0:0:1:0]", "[0:0:1::1:0]", true, kIPv6},
      {"[1:0:0:2:0:0:3:4]", "[1::2:0:0:3:4]", true, kIPv6},
      {"[1:0:2:3:4:5:6:7]", "[1:0:2:3:4:5:6:7]", true, kIPv6},
      {"[::ffff:1.2.3.4]", "[::ffff:102:304]", true, kIPv6},
      {"[1::2::3]", "[1::2::3]", false, kName},
      {"[1:2:3:4:5:6:7:8:9]", "[1:2:3:4:5:6:7:8:9]", false, kName},
      {"[1:2:3:4:5:6:7]", "[1:2:3:4:5:6:7]", false, kName}, {"[g::1]", "[g::1]", false, kName},
      {"[12345::1]", "[12345::1]", false, kName}, {"[::1.2.3.256]", "[::1.2.3.256]", false, kName},
      {"[1:]", "[1:]", false, kName}, {"[::1", "[::1", false, kName},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.host));
    ParsedUrl url("http://" + c.host + "/p");
    EXPECT_EQ(url.HostText(), c.canonical);
    EXPECT_EQ(url.spec(), "http://" + c.canonical + "/p");
    EXPECT_EQ(url.valid(), c.valid);
    EXPECT_EQ(url.host_kind(), c.kind);
  }
}

// Where the host ends and the port begins. A colon outside brackets makes the host invalid:
// written back as "a:b" it would read as host "a" with port "b"; an unclosed bracket is all host.
TEST(HostPortTest, HostAndPortAreSplitOutsideBracketsOnly) {
  const struct {
    const char* url;
    bool valid;
    const char* host;
    const char* port;  // null: no port component
  } cases[] = {
      {"http://a:b:81/p", false, "a:b", "81"},
      {"http://[::1/p", false, "[::1", nullptr},
      {"http://[::1]:8080/x", true, "[::1]", "8080"},
  };
  for (const auto& c : cases) {
    ParsedUrl url(c.url);
    EXPECT_EQ(url.valid(), c.valid) << c.url;
    EXPECT_EQ(url.HostText(), c.host) << c.url;
    EXPECT_EQ(url.port().is_present(), c.port != nullptr) << c.url;
    EXPECT_EQ(url.PortText(), c.port ? c.port : "") << c.url;
  }
  EXPECT_EQ(ParsedUrl("http://[::1]:8080/x").spec(), "http://[::1]:8080/x");
  EXPECT_EQ(ParsedUrl("http://[::1]:80/x").spec(), "http://[::1]/x");
}

TEST(HostLabelLimitTest, LabelOf256BytesIsAcceptedAnd257Refused) {
  const std::string e_acute = "\xC3\xA9";
  ParsedUrl fits("http://" + std::string(248, 'a') + e_acute + ".com/");
  EXPECT_TRUE(fits.valid());
  EXPECT_EQ(fits.HostText().size(), 256u + 4u);
  EXPECT_EQ(fits.HostText().substr(0, 4 + 248), "xn--" + std::string(248, 'a'));

  ParsedUrl too_long("http://" + std::string(249, 'a') + e_acute + ".com/");
  EXPECT_FALSE(too_long.valid());
  EXPECT_EQ(too_long.HostText(), std::string(249, 'a') + "%C3%A9.com");

  std::string label, escaped;  // 300 characters, 600 bytes
  for (int i = 0; i < 300; ++i) {
    label += e_acute;
    escaped += "%C3%A9";
  }
  ParsedUrl far_too_long("http://" + label + "/");
  EXPECT_FALSE(far_too_long.valid());
  EXPECT_EQ(far_too_long.HostText(), escaped);
}

struct PunycodeCase {
  std::u32string input;
  std::string encoded;
};

TEST(PunycodeTest, EncodesRfc3492Samples) {
  const PunycodeCase cases[] = {
      // (A) Arabic (Egyptian)
      {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631"
       U"\u0628\u064A\u061F",
       "egbpdaj6bu4bxfgehfvwxn"},
      // (B) Chinese (simplified)
      {U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
      // (L) 3<nen>B<gumi><kinpachi><sensei>: mixed basic and non-basic code points
      {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
      {U"fa\u00DF", "fa-hia"},
      {U"\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", "9caaaaaaaaaa"},
  };
  for (const PunycodeCase& c : cases) {
    std::vector<uint32_t> points(c.input.begin(), c.input.end());
    std::string out;
    ASSERT_TRUE(PunycodeEncode(points.data(), points.size(), 256, &out));
    EXPECT_EQ(out, c.encoded);
  }
}

TEST(PunycodeTest, RefusesOutputBeyondTheLimit) {
  std::vector<uint32_t> points(10, 0xE9);  // encodes to 12 bytes
  std::string out;
  EXPECT_TRUE(PunycodeEncode(points.data(), points.size(), 12, &out));
  out.clear();
  EXPECT_FALSE(PunycodeEncode(points.data(), points.size(), 11, &out));
}

}  // namespace
}  // namespace burl
