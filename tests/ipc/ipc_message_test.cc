// Byte layout of IPC messages, payload encodings, the stream parser, reading payloads as typed
// values by shape, and the refusals of malformed input.
#include "ipc/ipc_message.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_message_values.h"

namespace IPC {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const CMessage& m) {
  const auto* p = reinterpret_cast<const uint8_t*>(m.data());
  return Bytes(p, p + m.size());
}

void AppendLE(Bytes* b, uint64_t v, int width = 4) {
  for (int i = 0; i < width; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A header as the peer writes it, followed by `payload`.
Bytes Wire(uint32_t type, uint32_t routing, uint32_t flags, Bytes payload, int64_t serial = 0) {
  Bytes b;
  for (uint32_t word : {static_cast<uint32_t>(payload.size()), type, routing, flags, 0u, 0u, 0u}) {
    AppendLE(&b, word);
  }
  if (flags & kMessageFlagSync) {
    AppendLE(&b, 0);
    AppendLE(&b, static_cast<uint64_t>(serial), 8);
  }
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

const char* Chars(const Bytes& b) { return reinterpret_cast<const char*>(b.data()); }

// An async header is 28 bytes: payload size, type, routing id, flags and three zero words. A
// sync one adds a zero word and a 64-bit serial; serials are consecutive over sync messages.
TEST(IpcMessageLayoutTest, HeadersAreByteExactAndSyncSerialsConsecutive) {
  CMessage async(false, 0x07000011);
  async.set_routing_id(5);
  EXPECT_EQ(BytesOf(async), Wire(0x07000011, 5, 0, {}));
  EXPECT_EQ(BytesOf(CMsgHello(0x1234)), Wire(kMessageTypeHello, 0, 0, {0x34, 0x12, 0, 0}));
  CMessage a(true, 0x07000002);
  CMessage not_sync(false, 10);  // takes no serial
  CMessage b(true, 10);
  EXPECT_EQ(BytesOf(a), Wire(0x07000002, 0, kMessageFlagSync, {}, a.serial_number()));
  EXPECT_GT(a.serial_number(), 0);
  EXPECT_EQ(not_sync.serial_number(), 0);
  EXPECT_EQ(b.serial_number(), a.serial_number() + 1);
  ASSERT_TRUE(b.MakeReplyTo(a.serial_number(), /*error=*/true));
  EXPECT_EQ(BytesOf(b), Wire(10, 0, kMessageFlagSync | kMessageFlagReply | kMessageFlagReplyError,
                             {}, a.serial_number()));
  EXPECT_FALSE(not_sync.MakeReplyTo(1, false));  // no room for a serial in a 28-byte header
}

TEST(IpcMessageLayoutTest, PayloadEncodingsByteForByte) {
  const struct {
    const char* name;
    void (*write)(CMessage*);
    Bytes payload;
  } cases[] = {
      {"int", [](CMessage* m) { m->WriteInt(-2); }, {0xFE, 0xFF, 0xFF, 0xFF}},
      {"uint", [](CMessage* m) { m->WriteUInt(0x01020304); }, {4, 3, 2, 1}},
      {"int64", [](CMessage* m) { m->WriteInt64(0x0102030405060708); }, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"empty string", [](CMessage* m) { m->WriteString(u""); }, {0, 0, 0, 0}},
      {"mixed, no padding",
       [](CMessage* m) {
         m->WriteInt(1);
         m->WriteString(u"\u00e9");
         m->WriteInt64(-1);
       },
       {1, 0, 0, 0, 1, 0, 0, 0, 0xE9, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"tuple members in order, a bool as an int",
       [](CMessage* m) {
         WriteTuple(m, hcbase::Tuple3<int32_t, std::u16string, bool>{3, u"ab", true});
       },
       {3, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 'b', 0, 1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMessage m(false, 7);
    c.write(&m);
    EXPECT_EQ(BytesOf(m), Wire(7, 0, 0, c.payload));
  }
}

TEST(IpcMessageLayoutTest, TupleReadsBackAndAShorterMessageIsRefused) {
  using Args = hcbase::Tuple3<int32_t, std::u16string, bool>;
  Args back{};
  ASSERT_TRUE(ReadTuple(CMessageWithTuple<Args>(false, 9, {3, u"ab", true}), &back));
  EXPECT_TRUE(back.a == 3 && back.b == u"ab" && back.c);
  using Shorter = hcbase::Tuple2<int32_t, std::u16string>;
  EXPECT_FALSE(ReadTuple(CMessageWithTuple<Shorter>(false, 9, {3, u"ab"}), &back));
}

TEST(IpcMessageLayoutTest, CopyOfBorrowedMessageOwnsExactlyItsBytes) {
  Bytes wire = Wire(3, 0, kMessageFlagSync, {0xDD, 0xCC, 0xBB, 0xAA}, 99);
  wire.push_back(0xEE);  // a byte of whatever follows in the receive buffer
  const CMessage borrowed(Chars(wire), kSyncMessageHeaderSize);
  auto copy = std::make_unique<CMessage>(borrowed);
  EXPECT_FALSE(copy->is_borrowed());
  wire.assign(wire.size(), 0);  // the receive buffer is reused
  EXPECT_EQ(copy->capacity(), 44);
  EXPECT_EQ(copy->serial_number(), 99);
  const char* it = nullptr;
  uint32_t v = 0;
  ASSERT_TRUE(copy->ReadUInt(&it, &v));
  EXPECT_EQ(v, 0xAABBCCDDu);
}

// One whole message and half of the next: the first is found, borrowing the bytes in place,
// and reads inside it stop at its own payload's end.
TEST(IpcFindNextMessageTest, OneAndAHalfMessagesYieldTheFirstWhoseReadsStopAtItsEnd) {
  CMessage a(false, 1);
  a.WriteInt(11);
  CMessage b(true, 2);
  b.WriteString(u"second");
  Bytes stream = BytesOf(a);
  const size_t first_size = stream.size();
  Bytes second = BytesOf(b);
  stream.insert(stream.end(), second.begin(), second.begin() + second.size() / 2);
  const char* start = Chars(stream);
  const char* end = start + stream.size();
  FoundMessage found = FindNextMessage(start, end);
  ASSERT_NE(found.message, nullptr);
  std::unique_ptr<CMessage> m(found.message);
  EXPECT_EQ(m->type(), 1u);
  EXPECT_TRUE(m->is_borrowed());
  EXPECT_EQ(found.next, start + first_size);
  const char* it = nullptr;
  int32_t v = 0;
  int64_t wide = 0;
  ASSERT_TRUE(m->ReadInt(&it, &v));
  EXPECT_FALSE(m->ReadInt(&it, &v));  // the next message's bytes are not ours
  EXPECT_EQ(v, 11);
  EXPECT_FALSE(m->ReadInt64(&(it = nullptr), &wide));  // 8 > 4 payload bytes
  FoundMessage rest = FindNextMessage(found.next, end);
  EXPECT_EQ(rest.message, nullptr);
  EXPECT_EQ(rest.next, nullptr);
}

TEST(IpcFindNextMessageTest, IncompleteInputsFindNothingAndAWholeSyncHeaderIsFound) {
  Bytes sync = Wire(1, 0, kMessageFlagSync, {}, 1);
  Bytes huge = Wire(1, 0, 0, {});
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;  // a payload near 4 GiB declared
  for (size_t length : {27, 39}) {               // under 28 bytes; a sync header cut short
    EXPECT_EQ(FindNextMessage(Chars(sync), Chars(sync) + length).message, nullptr) << length;
  }
  EXPECT_EQ(FindNextMessage(Chars(huge), Chars(huge) + huge.size()).message, nullptr);
  EXPECT_EQ(FindNextMessage(nullptr, nullptr).message, nullptr);
  std::unique_ptr<CMessage> whole(FindNextMessage(Chars(sync), Chars(sync) + 40).message);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->header_size(), 40u);
  EXPECT_EQ(whole->serial_number(), 1);
}

TEST(MessageValuesTest, ReadsEachTypeInOrderAndCountsTheBytesConsumed) {
  CMessage m(false, 0x07000011);
  m.WriteInt(-7);
  m.WriteInt64(int64_t{1} << 40);
  m.WriteInt(5);
  m.WriteUInt(0xFFFFFFFFu);
  m.WriteString(u"pagenotes");  // ends exactly at the payload's end
  std::vector<MessageValue> values;
  size_t used = 0;
  ASSERT_TRUE(ReadMessageValues(
      m,
      {ValueType::kInt, ValueType::kInt64, ValueType::kBool, ValueType::kUInt, ValueType::kString},
      &values, &used));
  ASSERT_EQ(5u, values.size());
  EXPECT_EQ(-7, values[0].number);
  EXPECT_EQ(int64_t{1} << 40, values[1].number);
  EXPECT_EQ(1, values[2].number);  // any non-zero int is true
  EXPECT_EQ(4294967295, values[3].number);
  EXPECT_EQ(u"pagenotes", values[4].text);
  EXPECT_EQ(m.size(), used);
  ASSERT_TRUE(ReadMessageValues(m, {}, &values, &used));
  EXPECT_EQ(m.header_size(), used);
}

// ---- refusals ----

TEST(MessageValuesTest, StopsAtTheFirstValueThatDoesNotFitAndKeepsWhatWasRead) {
  CMessage m(false, 1);
  m.WriteString(u"ab");
  m.WriteInt(3);
  std::vector<MessageValue> values;
  size_t used = 0;
  // An int64 needs 8 bytes where only 4 remain.
  EXPECT_FALSE(ReadMessageValues(m, {ValueType::kString, ValueType::kInt64}, &values, &used));
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ(u"ab", values[0].text);
  EXPECT_EQ(m.size() - 4, used);
}

TEST(MessageValuesTest, ParsesShapeWordsAndRefusesOthers) {
  const struct {
    const char* text;
    bool ok;
    std::vector<ValueType> shape;
  } cases[] = {
      {"int,uint,int64,bool,string",
       true,
       {ValueType::kInt, ValueType::kUInt, ValueType::kInt64, ValueType::kBool,
        ValueType::kString}},
      {"", false, {}},
      {"int,", false, {ValueType::kInt}},
      {"int,long", false, {ValueType::kInt}},
      {"Int", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<ValueType> shape;
    EXPECT_EQ(c.ok, ParseValueShape(c.text, &shape));
    EXPECT_EQ(c.shape, shape);
  }
}

TEST(IpcMessageRefusalTest, BorrowedMessageRefusesWrites) {
  Bytes wire = Wire(4, 0, 0, {});
  CMessage borrowed(Chars(wire), kMessageHeaderSize);
  EXPECT_TRUE(borrowed.is_borrowed());
  EXPECT_FALSE(borrowed.WriteInt(1));
  EXPECT_FALSE(borrowed.WriteString(u"a"));
  EXPECT_FALSE(borrowed.SetDispatchWhileBlocked());
  EXPECT_EQ(BytesOf(borrowed), Wire(4, 0, 0, {}));
}

// Each case: a payload, then a string read that must fail and leave iterator and output as
// they were.
TEST(IpcMessageRefusalTest, MalformedStringsFailWithoutConsuming) {
  const struct {
    const char* name;
    Bytes payload;
    int skip_ints;  // ints read successfully before the failing read
  } cases[] = {
      {"count larger than what remains", {3, 0, 0, 0, 'a', 0, 'b', 0}, 0},
      {"count whose double is negative", {0, 0, 0, 0x40}, 0},
      {"negative count that wraps to 2 bytes", {0x01, 0, 0, 0x80, 'a', 0}, 0},
      {"count cut short", {1, 0}, 0},
      {"string after an int, cut", {9, 0, 0, 0, 1, 0, 0, 0}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CMessage m(false, 1);
    m.WriteBytes(c.payload.data(), static_cast<uint32_t>(c.payload.size()));
    const char* it = nullptr;
    int32_t skipped;
    for (int i = 0; i < c.skip_ints; ++i) ASSERT_TRUE(m.ReadInt(&it, &skipped));
    const char* before = it;
    std::u16string out = u"untouched";
    EXPECT_FALSE(m.ReadString(&it, &out));
    EXPECT_EQ(it, before);
    EXPECT_EQ(out, u"untouched");
  }
}

TEST(IpcMessageRefusalTest, ForeignIteratorIsRefused) {
  CMessage m(false, 1);
  m.WriteInt(1);
  CMessage other(false, 1);
  other.WriteInt(2);
  const char* it = other.data() + 28;
  int32_t v = 0;
  EXPECT_FALSE(m.ReadInt(&it, &v));
  EXPECT_EQ(v, 0);
}

}  // namespace
}  // namespace IPC
