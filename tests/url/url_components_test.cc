// Component records of parsed URLs: ranges, absent versus empty, host kinds, wide input.
#include <gtest/gtest.h>

#include <string>

#include "url/parsed_url.h"

namespace burl {
namespace {

TEST(ComponentsTest, RecordsEveryComponentOfAFullUrl) {
  ParsedUrl url("HTTP://User:Pw@Host.COM:8080/p/a?q=1#frag");
  ASSERT_TRUE(url.valid());
  EXPECT_EQ(url.spec(), "http://User:Pw@host.com:8080/p/a?q=1#frag");
  EXPECT_EQ(url.SchemeText(), "http");
  EXPECT_EQ(url.ComponentText(url.username()), "User");
  EXPECT_EQ(url.ComponentText(url.password()), "Pw");
  EXPECT_EQ(url.HostText(), "host.com");
  EXPECT_EQ(url.PortText(), "8080");
  EXPECT_EQ(url.PathText(), "/p/a");
  EXPECT_EQ(url.ComponentText(url.query()), "q=1");
  EXPECT_EQ(url.ComponentText(url.ref()), "frag");
  EXPECT_EQ(url.scheme(), Component(0, 4));
  EXPECT_EQ(url.username(), Component(7, 4));
  EXPECT_EQ(url.password(), Component(12, 2));
  EXPECT_EQ(url.host(), Component(15, 8));
  EXPECT_EQ(url.port(), Component(24, 4));
  EXPECT_EQ(url.path(), Component(28, 4));
  EXPECT_EQ(url.query(), Component(33, 3));
  EXPECT_EQ(url.ref(), Component(37, 4));
}

// Absent (length -1) versus empty components, and where each kind of URL puts its parts.
TEST(ComponentsTest, AbsentAndEmptyComponents) {
  constexpr Component kAbsent;  // only its absence is checked
  const struct {
    const char* url;
    Component Parsed::*field;
    Component expected;
  } cases[] = {
      {"http://h/", &Parsed::username, kAbsent},
      {"http://h/", &Parsed::password, kAbsent},
      {"http://h/", &Parsed::port, kAbsent},
      {"http://h/", &Parsed::query, kAbsent},
      {"http://h/", &Parsed::ref, kAbsent},
      {"http://h/", &Parsed::path, Component(8, 1)},
      {"http://h/?#", &Parsed::query, Component(10, 0)},
      {"http://h/?#", &Parsed::ref, Component(11, 0)},
      {"https://h:443/", &Parsed::port, kAbsent},  // the default port leaves none
      {"http://:pw@h/", &Parsed::username, Component(7, 0)},
      {"http://:pw@h/", &Parsed::password, Component(8, 2)},
      {"file:///C:/x", &Parsed::host, Component(7, 0)},
      {"file:///C:/x", &Parsed::path, Component(7, 5)},
      {"mailto:a@b?subject=x", &Parsed::host, kAbsent},
      {"mailto:a@b?subject=x", &Parsed::path, Component(7, 3)},
      {"mailto:a@b?subject=x", &Parsed::query, Component(11, 9)},
      {"javascript:a?b#c", &Parsed::path, Component(11, 5)},
      {"javascript:a?b#c", &Parsed::query, kAbsent},
      {"javascript:a?b#c", &Parsed::ref, kAbsent},
  };
  for (const auto& c : cases) {
    const ParsedUrl url(c.url);
    const Component& got = url.parsed().*c.field;
    if (c.expected.is_present()) {
      EXPECT_EQ(got, c.expected) << c.url;
    } else {
      EXPECT_FALSE(got.is_present()) << c.url;
    }
  }
  EXPECT_EQ(ParsedUrl("http://h/?#").spec(), "http://h/?#");
  EXPECT_EQ(ParsedUrl("file://127.0.0.1/").host_kind(), HostKind::kIPv4);
}

TEST(ComponentsTest, RejectedTextHasNoComponents) {
  ParsedUrl url("ab.cd:80");
  EXPECT_FALSE(url.valid());
  EXPECT_EQ(url.spec(), "");
  EXPECT_EQ(url.parsed(), Parsed());
  EXPECT_EQ(url.SchemeText(), "");
}

TEST(WideInputTest, ConvertsToUtf8AndKeepsOptions) {
  ParsedUrl url(std::u16string(u"http://b\u00FCcher.de/\u20AC"), 0x1234);
  EXPECT_TRUE(url.valid());
  EXPECT_EQ(url.spec(), "http://xn--bcher-kva.de/%E2%82%AC");
  EXPECT_EQ(url.options(), 0x1234);
}

TEST(WideInputTest, SurrogatePairsAndUnpairedSurrogates) {
  ParsedUrl pair(std::u16string(u"http://h/\U0001F600"));
  EXPECT_EQ(pair.spec(), "http://h/%F0%9F%98%80");
  std::u16string lone = u"http://h/x";
  lone.push_back(static_cast<char16_t>(0xD800));
  EXPECT_EQ(ParsedUrl(lone).spec(), "http://h/x%EF%BF%BD");
}

TEST(WideInputTest, SizeBoundCountsUtf8Bytes) {
  // File paths keep non-ASCII bytes as they are, so the output is as long as the input.
  // 8 + 1363 * 3 = 4097 UTF-8 bytes: too long, although far below 4096 UTF-16 units.
  EXPECT_FALSE(ParsedUrl(u"file:///" + std::u16string(1363, u'\u20AC')).valid());
  ParsedUrl fits(u"file:///" + std::u16string(1362, u'\u20AC'));  // 4094 bytes
  EXPECT_TRUE(fits.valid());
  EXPECT_EQ(fits.spec().size(), 4094u);
}

}  // namespace
}  // namespace burl
