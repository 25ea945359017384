#include <gtest/gtest.h>

#include <string>

#include "platform/bstr.h"
#include "platform/guid.h"

namespace {

constexpr GUID kSample = MakeGuid("{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}");

TEST(GuidTest, ParsesBracedAndBareFormsInEitherCaseAndRejectsMalformedTexts) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}", true},
      {"{d3a030a9-83d2-4E11-a2ba-e6ff91865f87}", true},
      {"D3A030A9-83D2-4E11-A2BA-E6FF91865F87", true},
      {"", false},
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865F8}", false},   // one digit short
      {"{D3A030A9-83D2-4e11-A2BAE-6FF91865F87}", false},  // misplaced dash
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865G87}", false},  // non-hex digit
      {"(D3A030A9-83D2-4e11-A2BA-E6FF91865F87)", false},  // wrong brackets
  };
  for (const auto& c : cases) {
    GUID g{};
    EXPECT_EQ(c.ok, halcy::ParseGuid(std::string_view(c.text), &g)) << c.text;
    if (c.ok) {
      EXPECT_EQ(kSample, g) << c.text;
    }
  }
}

TEST(GuidTest, PrintsUpperCaseBracedFormRoundTripsAndComparesEveryByte) {
  EXPECT_EQ(u"{D3A030A9-83D2-4E11-A2BA-E6FF91865F87}", halcy::GuidToString(kSample));
  GUID back{};
  ASSERT_TRUE(halcy::ParseGuid(halcy::GuidToString(kSample), &back));
  EXPECT_EQ(kSample, back);
  char16_t buffer[39];
  EXPECT_EQ(39, StringFromGUID2(kSample, buffer, 39));
  EXPECT_EQ(0, StringFromGUID2(kSample, buffer, 38));
  back.Data4[7] ^= 1;
  EXPECT_NE(kSample, back);
  EXPECT_TRUE(kSample < back || back < kSample);
}

TEST(BstrTest, KeepsLengthAndEmbeddedNulsAndIsAlwaysTerminated) {
  const char16_t text[] = {u'a', u'\0', u'b', u'\0', u'c'};
  halcy::ScopedBstr b;  // each Receive frees the string before
  *b.Receive() = SysAllocStringLen(text, 5);
  EXPECT_EQ(5u, SysStringLen(b.Get()));
  EXPECT_EQ(10u, SysStringByteLen(b.Get()));
  EXPECT_EQ(std::u16string(text, 5), b.View());
  EXPECT_EQ(u'\0', b.Get()[5]);
  *b.Receive() = SysAllocStringByteLen("abc", 3);  // odd byte length
  EXPECT_EQ(3u, SysStringByteLen(b.Get()));
  EXPECT_EQ(1u, SysStringLen(b.Get()));
  EXPECT_EQ(0, reinterpret_cast<const char*>(b.Get())[3]);
  *b.Receive() = SysAllocStringLen(nullptr, 3);  // zeroed
  EXPECT_EQ(std::u16string(3, u'\0'), b.View());
  *b.Receive() = SysAllocString(u"");
  ASSERT_NE(nullptr, b.Get());
  EXPECT_EQ(0u, SysStringLen(b.Get()));
  BSTR given = b.Release();
  EXPECT_EQ(nullptr, b.Get());
  SysFreeString(given);
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
}

}  // namespace
