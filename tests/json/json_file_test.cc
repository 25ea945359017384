// Reading whole UTF-8 files: byte-order mark, conversion to UTF-16, unreadable files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "json/utf8_text.h"

namespace Logic {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

class JsonFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/json_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes `bytes` to a file in the test directory and returns its UTF-16 path.
  std::u16string WriteFile(const std::string& name, const std::string& bytes) {
    std::ofstream file(dir_ + "/" + name, std::ios::binary);
    EXPECT_TRUE(file << bytes) << name;
    return DecodeUtf8ToUtf16(dir_ + "/" + name);
  }

  std::string dir_;
};

TEST_F(JsonFileTest, RoundTripsWithAndWithoutByteOrderMark) {
  const std::u16string text =
      u"{\"desc\":\"caf\u00e9 \u4e2d\u6587 \xD83D\xDE00\",\"list\":[1,0.5,\"a\\/b\"],\"on\":true}";
  const auto original = ParseJson(text);
  ASSERT_NE(original, nullptr);
  const std::string utf8 = EncodeUtf16ToUtf8(ToJsonString(*original));
  for (const std::string& prefix : {std::string(), std::string(kBom)}) {
    const auto read = ParseJsonFile(WriteFile("m.json", prefix + utf8));
    ASSERT_NE(read, nullptr) << prefix.size();
    EXPECT_EQ(ToJsonString(*read), ToJsonString(*original));
    EXPECT_EQ(read->GetObject().find(u"desc")->second->GetString(),
              u"caf\u00e9 \u4e2d\u6587 \xD83D\xDE00");
  }
}

TEST_F(JsonFileTest, OnlyOneLeadingByteOrderMarkIsDropped) {
  const std::string bom = kBom;
  for (const std::string& bytes :
       {bom + bom + "[1]", " " + bom + "[1]", bom, bom + " \n", bom.substr(3)}) {
    EXPECT_EQ(ParseJsonFile(WriteFile("m.json", bytes)), nullptr) << bytes.size();
  }
}

TEST_F(JsonFileTest, IllFormedUtf8BecomesReplacementCharacters) {
  const auto value = ParseJsonFile(WriteFile("bad.json",
                                             "[\"a\xFF"
                                             "b\xC3\",\"\xED\xA0\x80\"]"));
  ASSERT_NE(value, nullptr);
  const CJsonValue::Array& elements = value->GetArray();
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(elements[0]->GetString(),
            u"a\xFFFD"
            u"b\xFFFD");
  EXPECT_EQ(elements[1]->GetString(), u"\xFFFD\xFFFD\xFFFD");
}

TEST_F(JsonFileTest, BackslashSeparatorsAreAccepted) {
  std::filesystem::create_directory(dir_ + "/ext");
  WriteFile("ext/manifest.json", "{\"name\":\"x\"}");
  const auto value = ParseJsonFile(DecodeUtf8ToUtf16(dir_) + u"\\ext\\manifest.json");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(ToJsonString(*value), u"{\"name\":\"x\"}");
}

TEST_F(JsonFileTest, MissingOrUnreadableFilesGiveNull) {
  for (const std::string& path : {dir_ + "/missing.json", dir_, std::string()}) {
    EXPECT_EQ(ParseJsonFile(DecodeUtf8ToUtf16(path)), nullptr) << path;
  }
}

TEST_F(JsonFileTest, LargeFileIsReadWhole) {
  // Bigger than any single read, with a multi-byte character across every boundary.
  std::string bytes = "[";
  for (int i = 0; i < 40000; ++i) bytes += "\"\xE4\xB8\xAD\",";
  bytes += "0]";
  const auto value = ParseJsonFile(WriteFile("large.json", bytes));
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->GetArray().size(), 40001u);
  EXPECT_EQ(value->GetArray()[39999]->GetString(), u"\u4e2d");
}

TEST(JsonUtf8Test, ParseJsonUtf8DropsTheMarkLikeTheFileReader) {
  const auto value = ParseJsonUtf8(std::string(kBom) + "{\"k\":\"\xC3\xA9\"}");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(ToJsonString(*value), u"{\"k\":\"\u00e9\"}");
}

}  // namespace
}  // namespace Logic
