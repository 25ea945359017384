// CJsonValue: tags, payloads, and in-place editing through the mutable accessors.
#include "json/json_value.h"

#include <gtest/gtest.h>

#include "json/json_writer.h"

namespace Logic {
namespace {

// The tag numbers are stored in data and passed across interfaces: they may never change.
TEST(JsonValueTest, TagsKeepTheirFixedNumbers) {
  EXPECT_EQ(CJsonValue().type(), 0u);
  EXPECT_EQ(CJsonValue(u"s").type(), 1u);
  EXPECT_EQ(CJsonValue(true).type(), 2u);
  EXPECT_EQ(CJsonValue(1.5).type(), 3u);
  EXPECT_EQ(CJsonValue(CJsonValue::Array{}).type(), 4u);
  EXPECT_EQ(CJsonValue(CJsonValue::Object{}).type(), 5u);
}

TEST(JsonValueTest, ConstructorsPickTheRightTypeAndOtherFieldsStayEmpty) {
  // A char16_t literal must not decay to a pointer and turn into a bool.
  const CJsonValue text(u"abc");
  EXPECT_TRUE(text.IsString());
  EXPECT_EQ(text.GetString(), u"abc");
  EXPECT_FALSE(text.GetBool());
  EXPECT_EQ(text.GetNumber(), 0.0);
  EXPECT_TRUE(text.GetArray().empty() && text.GetObject().empty());
  EXPECT_EQ(CJsonValue(7).GetNumber(), 7.0);
  EXPECT_TRUE(CJsonValue(7).GetString().empty());
  EXPECT_TRUE(CJsonValue(static_cast<const char16_t*>(nullptr)).GetString().empty());
}

TEST(JsonValueTest, ContainersTakeOwnershipAndCanBeEditedInPlace) {
  CJsonValue::Object members;
  members[u"list"] = std::make_unique<CJsonValue>(CJsonValue::Array{});
  CJsonValue root(std::move(members));
  root.GetObject()[u"name"] = std::make_unique<CJsonValue>(u"x");
  root.GetObject().find(u"list")->second->GetArray().push_back(std::make_unique<CJsonValue>(2));
  // Replacing a member releases the old value (checked by the leak checker).
  root.GetObject()[u"name"] = std::make_unique<CJsonValue>(u"a string long enough to allocate");
  EXPECT_EQ(ToJsonString(root), u"{\"list\":[2],\"name\":\"a string long enough to allocate\"}");
}

}  // namespace
}  // namespace Logic
