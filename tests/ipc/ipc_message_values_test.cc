// Reading a payload as typed values by shape: each type's bytes, the stop at the first value
// that does not fit, and the count of bytes consumed.
#include "ipc/ipc_message_values.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/ipc_message.h"

namespace {

using IPC::MessageValue;
using IPC::ValueType;

TEST(MessageValuesTest, ReadsEachTypeInOrderAndCountsTheBytesConsumed) {
  IPC::CMessage m(false, 0x07000011);
  m.WriteString(u"pagenotes");
  m.WriteInt(-7);
  m.WriteInt64(int64_t{1} << 40);
  m.WriteInt(5);
  m.WriteUInt(0xFFFFFFFFu);
  m.WriteString(u"");
  std::vector<MessageValue> values;
  size_t used = 0;
  ASSERT_TRUE(IPC::ReadMessageValues(m,
                                     {ValueType::kString, ValueType::kInt, ValueType::kInt64,
                                      ValueType::kBool, ValueType::kUInt, ValueType::kString},
                                     &values, &used));
  ASSERT_EQ(6u, values.size());
  EXPECT_EQ(u"pagenotes", values[0].text);
  EXPECT_EQ(-7, values[1].number);
  EXPECT_EQ(int64_t{1} << 40, values[2].number);
  EXPECT_EQ(1, values[3].number);  // any non-zero int is true
  EXPECT_EQ(4294967295, values[4].number);
  EXPECT_EQ(u"", values[5].text);
  EXPECT_EQ(m.size(), used);
  // A shorter shape leaves bytes that the caller can see.
  ASSERT_TRUE(IPC::ReadMessageValues(m, {ValueType::kString}, &values, &used));
  EXPECT_EQ(m.header_size() + 4 + 18, used);
  ASSERT_TRUE(IPC::ReadMessageValues(m, {}, &values, &used));
  EXPECT_EQ(m.header_size(), used);
}

TEST(MessageValuesTest, StopsAtTheFirstValueThatDoesNotFitAndKeepsWhatWasRead) {
  IPC::CMessage m(false, 1);
  m.WriteString(u"ab");
  m.WriteInt(3);
  std::vector<MessageValue> values;
  size_t used = 0;
  // An int64 needs 8 bytes where only 4 remain.
  EXPECT_FALSE(IPC::ReadMessageValues(m, {ValueType::kString, ValueType::kInt64}, &values, &used));
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ(u"ab", values[0].text);
  EXPECT_EQ(m.size() - 4, used);
}

TEST(MessageValuesTest, ParsesShapeWords) {
  const struct {
    const char* text;
    bool ok;
    std::vector<ValueType> shape;
  } cases[] = {
      {"int,uint,int64,bool,string",
       true,
       {ValueType::kInt, ValueType::kUInt, ValueType::kInt64, ValueType::kBool,
        ValueType::kString}},
      {"string", true, {ValueType::kString}},
      {"", false, {}},
      {"int,", false, {ValueType::kInt}},
      {"int,long", false, {ValueType::kInt}},
      {"Int", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<ValueType> shape;
    EXPECT_EQ(c.ok, IPC::ParseValueShape(c.text, &shape));
    EXPECT_EQ(c.shape, shape);
  }
}

}  // namespace
