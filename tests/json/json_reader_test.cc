// The reader: what it accepts and refuses, the values it builds, files, and the per-thread
// node caches its trees use.
#include "json/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json/json_node_cache.h"
#include "json/json_writer.h"
#include "json/utf8_text.h"
#include "support/temp_env.h"

namespace Logic {
namespace {

std::string Written(const std::unique_ptr<CJsonValue>& value) {
  return value ? EncodeUtf16ToUtf8(ToJsonString(*value)) : "(null)";
}

std::u16string Repeat(std::u16string_view piece, int count) {
  std::u16string text;
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

TEST(ReaderTest, ReadsAndWritesBackCompactly) {
  // clang-format off
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"[ \t\r\n ]", u"[]"}, {u"{ \r\n\t }", u"{}"}, {u" \n[1, 2 ,\t3 ]", u"[1,2,3]"},
      {u"{ \"a\" : [ ] , \"b\" : { } }", u"{\"a\":[],\"b\":{}}"}, {u"[[[]],[{}]]", u"[[[]],[{}]]"},
      {u"[nUlL,True,fALSE]", u"[null,true,false]"}, {u"1.05", u"1.05"}, {u"-0.5e2", u"-50"},
      {u"1E2", u"100"}, {u"1e+2", u"100"}, {u"1e-2", u"0.01"}, {u"-0", u"-0"}, {u"012", u"0"},
      {u"[0.5,-0.25]", u"[0.5,-0.25]"}, {u"[1e400,-1e400]", u"[null,null]"},
      {u"\"a\tb\"", u"\"a\\tb\""}, {u"\"\\uAaFf\"", u"\"\uAAFF\""}, {u"\"\\u0009\"", u"\"\\t\""},
      // Every escape decodes to one code unit; surrogates arrive as two escapes.
      {u"\"\\\"\\'\\/\\\\\\b\\f\\n\\r\\t\\uD83D\\uDE00\"",
       u"\"\\\"'\\/\\\\\\b\\f\\n\\r\\t\U0001F600\""},
      {u"{\"\":1}", u"{\"\":1}"},
      {u"{\"a\\u0000b\":1}", u"{\"a\\u0000b\":1}"}, {u"{\"b\":1,\"a\":2}", u"{\"a\":2,\"b\":1}"},
      {u"{\"a\":[1,2],\"b\":0,\"a\":{\"c\":3}}", u"{\"a\":{\"c\":3},\"b\":0}"},
      {u"{\"ab\":1,\"a\\u0062\":2}", u"{\"ab\":2}"}, {u"[1] x", u"[1]"}, {u"True1", u"true"}};
  // clang-format on
  for (const auto& [text, written] : cases) {
    EXPECT_EQ(Written(ParseJson(std::u16string(text))), EncodeUtf16ToUtf8(written))
        << EncodeUtf16ToUtf8(text);
  }
}

// strtod is correctly rounded; the reader must agree bit for bit, on and off its fast path.
TEST(ReaderTest, NumbersAreCorrectlyRounded) {
  std::istringstream texts(
      "0.1 123456789012345 9007199254740993 123456789012345678901234567890 "
      "2.2250738585072011e-308 5e-324 1.7976931348623157e308 1e22 1e23 1e-22 1e-23 8.589973e9 "
      "-7.2057594037927933e16 3.141592653589793238462643");
  for (std::string text; texts >> text;) {
    const auto value = ParseJson(DecodeUtf8ToUtf16(text));
    ASSERT_NE(value, nullptr) << text;
    EXPECT_EQ(value->GetNumber(), std::strtod(text.c_str(), nullptr)) << text;
  }
}

TEST(ReaderTest, OutOfRangeNumbersSaturate) {
  // clang-format off
  const std::pair<const char16_t*, double> cases[] = {
      {u"-1e400", -HUGE_VAL}, {u"-1e-400", -0.0},
      {u"0.0000000000000000000000000000000000001e-300", 0.0},
      {u"100000000000000000000000000000000000000e300", HUGE_VAL},
      {u"1e99999999999999999999999", HUGE_VAL}, {u"1e-99999999999999999999999", 0.0},
      {u"0e99999", 0.0}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    const auto value = ParseJson(text);
    ASSERT_NE(value, nullptr) << EncodeUtf16ToUtf8(text);
    EXPECT_EQ(value->GetNumber(), expected) << EncodeUtf16ToUtf8(text);
    EXPECT_EQ(std::signbit(value->GetNumber()), std::signbit(expected)) << EncodeUtf16ToUtf8(text);
  }
}

TEST(ReaderTest, TextEndsAtTheFirstNul) {
  EXPECT_EQ(ParseJson(std::u16string(u"[1,\0 2]", 7)), nullptr);
  EXPECT_EQ(ParseJson(std::u16string(u"\"a\0b\"", 5)), nullptr);
  EXPECT_EQ(Written(ParseJson(std::u16string(u"[1]\0garbage", 11))), "[1]");
  EXPECT_EQ(ParseJson(static_cast<const char16_t*>(nullptr)), nullptr);
}

// Arrays are gathered on a stack kept per thread: a failed read must not leave elements on it
// for the next read to pick up.
TEST(ReaderTest, FailedReadLeavesNothingForTheNext) {
  EXPECT_EQ(ParseJson(u"[1,[2,3,[4,"), nullptr);
  EXPECT_EQ(ParseJson(u"[[5,6],{\"a\":[7,8}]"), nullptr);
  EXPECT_EQ(Written(ParseJson(u"[9,[10]]")), "[9,[10]]");
}

TEST(ReaderErrorTest, RefusesMalformedText) {
  // clang-format off
  const char16_t* const cases[] = {
      u"", u" \t\r\n ", u"\f[]", u"\u00A0[]", u"]", u"[1,]", u"[1 2]", u"[,1]", u"{\"a\":1,}",
      u"{\"a\" 1}", u"{a:1}", u"{\"a\":1 \"b\":2}", u"{\"a\",1}", u"[", u"[1", u"{\"a\"",
      u"{\"a\":", u"[1}", u"{\"a\":1]", u"[{\"a\":[1,{\"b\":]}]", u"tru", u"fals", u"nul",
      u"[truex]", u"1e", u"1e+", u"-", u"1.", u"+1", u".5", u"[012]", u"[-012]", u"[00]",
      u"[0x10]", u"[NaN]", u"\"a\nb\"", u"\"\x01\"", u"\"\x1f\"", u"\"0123456789\x1f\"",
      u"\"\\x41\"", u"\"\\U0041\"", u"\"\\u004\"", u"\"\\u00g1\"", u"\"abc", u"\"abc\\",
      u"\"abc\\\"", u"'abc'", u"{\"key that is long enough to allocate\":\"value\\q\"}",
      u"{\"a\":[1],\"a\":[2],\"a\":[3"};
  // clang-format on
  for (const char16_t* text : cases) {
    EXPECT_EQ(ParseJson(std::u16string(text)), nullptr) << EncodeUtf16ToUtf8(text);
  }
}

TEST(ReaderErrorTest, NestingIsBoundedAndHostileNestingFailsSafely) {
  for (const int depth : {kJsonMaxDepth, kJsonMaxDepth + 1}) {
    const bool fits = depth == kJsonMaxDepth;
    EXPECT_EQ(ParseJson(Repeat(u"[", depth) + Repeat(u"]", depth)) != nullptr, fits) << depth;
    EXPECT_EQ(ParseJson(Repeat(u"{\"a\":", depth) + u"1" + Repeat(u"}", depth)) != nullptr, fits)
        << depth;
  }
  EXPECT_EQ(ParseJson(Repeat(u"[", 100000) + Repeat(u"]", 100000)), nullptr);
  EXPECT_EQ(ParseJson(Repeat(u"{\"\":", 100000)), nullptr);
}

std::u16string WriteFile(const testing_support::ScopedTempDir& dir, const std::string& name,
                         const std::string& bytes) {
  testing_support::WriteFileOrDie(dir.File(name), bytes);
  return DecodeUtf8ToUtf16(dir.File(name));
}

TEST(JsonFileTest, OneLeadingByteOrderMarkIsDroppedAndBadUtf8Replaced) {
  testing_support::ScopedTempDir dir;
  const std::string bom = "\xEF\xBB\xBF";
  const std::pair<std::string, const char*> cases[] = {
      {"[\"caf\xC3\xA9\"]", "[\"caf\xC3\xA9\"]"},
      {bom + "{\"k\":1}", "{\"k\":1}"},
      {"[\"a\xFF\xC3\",\"\xED\xA0\x80\"]",
       "[\"a\xEF\xBF\xBD\xEF\xBF\xBD\",\"\xEF\xBF\xBD\xEF\xBF"
       "\xBD\xEF\xBF\xBD\"]"},
      {bom + bom + "[1]", "(null)"},
      {" " + bom + "[1]", "(null)"},
      {bom, "(null)"}};
  for (const auto& [bytes, written] : cases) {
    EXPECT_EQ(Written(ParseJsonFile(WriteFile(dir, "m.json", bytes))), written) << bytes;
    EXPECT_EQ(Written(ParseJsonUtf8(bytes)), written) << bytes;
  }
}

TEST(JsonFileTest, BackslashSeparatorsAndLargeFilesAreRead) {
  testing_support::ScopedTempDir dir;
  std::filesystem::create_directory(dir.File("ext"));
  WriteFile(dir, "ext/manifest.json", "{\"name\":\"x\"}");
  EXPECT_EQ(Written(ParseJsonFile(DecodeUtf8ToUtf16(dir.path()) + u"\\ext\\manifest.json")),
            "{\"name\":\"x\"}");
  // Bigger than any single read, with a multi-byte character across every boundary.
  std::string bytes = "[";
  for (int i = 0; i < 40000; ++i) bytes += "\"\xE4\xB8\xAD\",";
  const auto value = ParseJsonFile(WriteFile(dir, "large.json", bytes + "0]"));
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->GetArray().size(), 40001u);
  EXPECT_EQ(value->GetArray()[39999]->GetString(), u"\u4e2d");
}

TEST(JsonFileTest, MissingOrUnreadableFilesGiveNull) {
  testing_support::ScopedTempDir dir;
  for (const std::string& path : {dir.File("missing.json"), dir.path(), std::string()}) {
    EXPECT_EQ(ParseJsonFile(DecodeUtf8ToUtf16(path)), nullptr) << path;
  }
}

TEST(JsonNodeCacheTest, FreedNodeIsReusedOnTheSameThread) {
  if (!json_internal::kJsonNodeCacheEnabled) GTEST_SKIP() << "caching is off under ASan";
  using Cache = json_internal::BlockCache<sizeof(CJsonValue)>;
  void* first = Cache::Allocate();
  Cache::Free(first);
  void* second = Cache::Allocate();
  EXPECT_EQ(second, first);
  Cache::Free(second);
}

TEST(JsonNodeCacheTest, TreesBuiltOnOneThreadAreDestroyedOnAnother) {
  static constexpr char16_t kDocument[] =
      u"{\"id\":\"abcdefghijklmnopabcdefghijklmnop\",\"list\":[1,2,3,{\"k\":\"a long string\"}]}";
  const std::string expected = Written(ParseJson(kDocument));
  std::vector<std::unique_ptr<CJsonValue>> trees(200);
  std::thread([&trees] {
    for (auto& tree : trees) tree = ParseJson(kDocument);
  }).join();  // The builder's cache is drained as it ends.
  std::string rebuilt;
  std::thread([&] {
    for (auto& tree : trees) {
      EXPECT_EQ(Written(tree), expected);
      tree.reset();  // Into this thread's cache, from which the nodes are taken again.
    }
    for (int i = 0; i < 200; ++i) rebuilt = Written(ParseJson(kDocument));
  }).join();
  EXPECT_EQ(rebuilt, expected);
}

// Large arrays hand their elements to the thread's node stack while they are destroyed, and
// the reader gathers elements there: nested large arrays grow that stack while outer ones
// still hold places on it, and a failed read leaves its elements there to be released.
TEST(JsonNodeCacheTest, NestedLargeArraysAreReadAndReleased) {
  std::u16string text = u"[";
  for (int i = 0; i < 300; ++i) {
    text += i ? u",[" : u"[";
    for (int j = 0; j < 200; ++j) text += (j ? u"," : u"") + std::u16string(1, u'0' + (i + j) % 10);
    text += u']';
  }
  text += u"]";
  for (int round = 0; round < 3; ++round) {
    auto value = ParseJson(text);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->GetArray()[299]->GetArray().size(), 200u);
    EXPECT_EQ(ToJsonString(*value), text);
    EXPECT_EQ(ParseJson(text.substr(0, text.size() - 40)), nullptr);
  }
  auto value = ParseJson(text);
  std::thread([&value] { value.reset(); }).join();  // on a thread whose stack starts empty
  EXPECT_EQ(Written(ParseJson(u"[1,[2]]")), "[1,[2]]");
}

}  // namespace
}  // namespace Logic
