#include <gtest/gtest.h>

#include <string>

#include "platform/bstr.h"
#include "platform/guid.h"

namespace {

constexpr GUID kSample = MakeGuid("{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}");

TEST(GuidTest, ParsesBracedAndBareFormsInEitherCase) {
  const char16_t* good[] = {u"{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}",
                            u"{d3a030a9-83d2-4E11-a2ba-e6ff91865f87}",
                            u"D3A030A9-83D2-4E11-A2BA-E6FF91865F87"};
  for (const char16_t* text : good) {
    GUID g{};
    EXPECT_TRUE(halcy::ParseGuid(std::u16string_view(text), &g));
    EXPECT_EQ(kSample, g);
  }
}

TEST(GuidTest, RejectsMalformedTexts) {
  const char* bad[] = {
      "",
      "{}",
      "{D3A030A9-83D2-4e11-A2BA-E6FF91865F8}",    // one digit short
      "{D3A030A9-83D2-4e11-A2BA-E6FF91865F877}",  // one digit long
      "{D3A030A9-83D2-4e11-A2BAE-6FF91865F87}",   // misplaced dash
      "{D3A030A9-83D2-4e11-A2BA-E6FF91865G87}",   // non-hex digit
      "D3A030A9-83D2-4e11-A2BA-E6FF91865F87}",    // brace on one side
      "(D3A030A9-83D2-4e11-A2BA-E6FF91865F87)",   // wrong brackets
      "{D3A030A9 83D2-4e11-A2BA-E6FF91865F87}",
      "{+3A030A9-83D2-4e11-A2BA-E6FF91865F87}",
  };
  for (const char* text : bad) {
    GUID g{};
    EXPECT_FALSE(halcy::ParseGuid(std::string_view(text), &g)) << text;
  }
}

TEST(GuidTest, PrintsUpperCaseBracedFormAndRoundTrips) {
  EXPECT_EQ(u"{D3A030A9-83D2-4E11-A2BA-E6FF91865F87}", halcy::GuidToString(kSample));
  GUID back{};
  ASSERT_TRUE(halcy::ParseGuid(halcy::GuidToString(kSample), &back));
  EXPECT_EQ(kSample, back);
  char16_t buffer[39];
  EXPECT_EQ(39, StringFromGUID2(kSample, buffer, 39));
  EXPECT_EQ(0, StringFromGUID2(kSample, buffer, 38));
}

TEST(GuidTest, ComparesByValue) {
  GUID a = kSample, b = kSample;
  EXPECT_EQ(a, b);
  b.Data4[7] ^= 1;
  EXPECT_NE(a, b);
  EXPECT_TRUE(a < b || b < a);
}

TEST(BstrTest, KeepsEmbeddedNulsAndLength) {
  const char16_t text[] = {u'a', u'\0', u'b', u'\0', u'c'};
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(5u, SysStringLen(b));
  EXPECT_EQ(10u, SysStringByteLen(b));
  EXPECT_EQ(std::u16string(text, 5), std::u16string(b, SysStringLen(b)));
  EXPECT_EQ(u'\0', b[5]);  // always terminated
  SysFreeString(b);
}

TEST(BstrTest, NullAndEmpty) {
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
  SysFreeString(nullptr);
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0u, SysStringLen(empty));
  SysFreeString(empty);
  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(nullptr, zeroed);
  EXPECT_EQ(3u, SysStringLen(zeroed));
  SysFreeString(zeroed);
}

TEST(BstrTest, OddByteLengthStillTerminated) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(3u, SysStringByteLen(b));
  EXPECT_EQ(1u, SysStringLen(b));
  EXPECT_EQ(0, reinterpret_cast<const char*>(b)[3]);
  SysFreeString(b);
}

TEST(BstrTest, ScopedBstrReleasesAndReceives) {
  halcy::ScopedBstr s(u"hello");
  EXPECT_EQ(u"hello", s.View());
  *s.Receive() = SysAllocString(u"other");
  EXPECT_EQ(u"other", s.View());
  BSTR given = s.Release();
  EXPECT_EQ(nullptr, s.Get());
  SysFreeString(given);
}

}  // namespace
