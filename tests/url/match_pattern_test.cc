// The glob matcher: escapes, "?" and "*", UTF-8 characters, and the nesting limit.
#include "url/match_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace burl {
namespace {

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(GlobTest, Matches) {
  // clang-format off
  const struct {
    std::string text, pattern;
    bool matches;
  } cases[] = {
      {"", "", true}, {"a", "", false}, {"", "a", false}, {"", "*", true}, {"", "?", true},
      {"", "*?*", true}, {"", "*a", false}, {"abc", "abc", true}, {"abc", "abd", false},
      {"abc", "ab", false}, {"ab", "abc", false}, {"abc", "a*c", true}, {"ac", "a*c", true},
      {"abcbc", "a*bc", true}, {"abcbd", "a*bc", false}, {"abc", "a?c", true},
      {"ac", "a?c", true},  // "?" also matches nothing
      {"abbc", "a?c", false}, {"/foo/bar", "/foo/*", true}, {"/foo", "/foo/*", false},
      {"ABC", "abc", false}, {"a?c", "a\\?c", true}, {"abc", "a\\?c", false},
      {"ac", "a\\?c", false}, {"a*c", "a\\*c", true}, {"abc", "a\\*c", false},
      {"a\\c", "a\\\\c", true}, {"ac", "a\\\\c", false}, {"ab", "a\\b", true},
      {"a\\", "a\\", true},  // a trailing "\" stands for itself
      {"\xC3\xA9", "?", true},  // one character, two bytes
      {"\xC3\xA9\xC3\xA9", "?", false}, {"a\xE2\x82\xAC" "b", "a?b", true},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true},
      {"\xC3\xA9", "\xC3", false},  // half a sequence
      {"\xC3", "\xC3", false},  // invalid never matches
      {"x\xC3", "x*", true},  // wildcards pass over it
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

TEST(GlobHostileTest, ManyStarsAgainstLongTextFinish) {
  // Without remembering failures this is about 4000^15 attempts.
  const std::string text(4000, 'a');
  EXPECT_FALSE(MatchPattern(text, Repeat("*a", 15) + "*b"));
  EXPECT_TRUE(MatchPattern(text + "b", Repeat("*a", 15) + "*b"));
  EXPECT_FALSE(MatchPattern(text, Repeat("a?", 16) + "b"));
}

}  // namespace
}  // namespace burl
