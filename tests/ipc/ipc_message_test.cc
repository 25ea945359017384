// Byte layout of IPC messages, payload encodings and the stream parser.
#include "ipc/ipc_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_message_utils.h"

namespace IPC {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes BytesOf(const CMessage& m) {
  const auto* p = reinterpret_cast<const uint8_t*>(m.data());
  return Bytes(p, p + m.size());
}

void AppendLE32(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendLE64(Bytes* b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A header as the peer writes it.
Bytes Header(uint32_t payload, uint32_t type, uint32_t routing, uint32_t flags,
             int64_t serial = 0) {
  Bytes b;
  AppendLE32(&b, payload);
  AppendLE32(&b, type);
  AppendLE32(&b, routing);
  AppendLE32(&b, flags);
  AppendLE32(&b, 0);
  AppendLE32(&b, 0);
  AppendLE32(&b, 0);
  if (flags & kMessageFlagSync) {
    AppendLE32(&b, 0);
    AppendLE64(&b, static_cast<uint64_t>(serial));
  }
  return b;
}

const char* Chars(const Bytes& b) { return reinterpret_cast<const char*>(b.data()); }

// An async header is 28 bytes: payload size, type, routing id, flags and three zero words. A
// sync one adds a zero word and a 64-bit serial; serials are consecutive over sync messages.
TEST(IpcMessageLayoutTest, HeadersAreByteExactAndSyncSerialsConsecutive) {
  CMessage async(false, 0x07000011);
  async.set_routing_id(5);
  EXPECT_EQ(async.size(), 28u);
  EXPECT_EQ(BytesOf(async), Header(0, 0x07000011, 5, 0));
  EXPECT_EQ(async.serial_number(), 0);
  CMessage a(true, 0x07000002);
  CMessage not_sync(false, 10);  // takes no serial
  CMessage b(true, 10);
  ASSERT_EQ(a.size(), 40u);
  EXPECT_EQ(BytesOf(a), Header(0, 0x07000002, 0, kMessageFlagSync, a.serial_number()));
  EXPECT_GT(a.serial_number(), 0);
  EXPECT_EQ(b.serial_number(), a.serial_number() + 1);
}

struct PayloadCase {
  const char* name;
  void (*write)(CMessage*);
  Bytes payload;
};

Bytes Le(std::initializer_list<uint8_t> b) { return Bytes(b); }

TEST(IpcMessageLayoutTest, PayloadEncodingsByteForByte) {
  const PayloadCase cases[] = {
      {"int", [](CMessage* m) { m->WriteInt(-2); }, Le({0xFE, 0xFF, 0xFF, 0xFF})},
      {"uint", [](CMessage* m) { m->WriteUInt(0x01020304); }, Le({4, 3, 2, 1})},
      {"int64", [](CMessage* m) { m->WriteInt64(0x0102030405060708); },
       Le({8, 7, 6, 5, 4, 3, 2, 1})},
      {"empty string", [](CMessage* m) { m->WriteString(u""); }, Le({0, 0, 0, 0})},
      {"string", [](CMessage* m) { m->WriteString(u"A\u00e9"); },
       Le({2, 0, 0, 0, 'A', 0, 0xE9, 0})},
      {"surrogate pair", [](CMessage* m) { m->WriteString(u"\U0001F600"); },
       Le({2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE})},
      {"mixed, no padding",
       [](CMessage* m) {
         m->WriteInt(1);
         m->WriteString(u"x");
         m->WriteInt64(-1);
       },
       Le({1, 0, 0, 0, 1, 0, 0, 0, 'x', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
  };
  for (const PayloadCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMessage m(false, 7);
    c.write(&m);
    Bytes expected = Header(static_cast<uint32_t>(c.payload.size()), 7, 0, 0);
    expected.insert(expected.end(), c.payload.begin(), c.payload.end());
    EXPECT_EQ(BytesOf(m), expected);
  }
}

TEST(IpcMessageLayoutTest, HelloCarriesProcessIdAndRoutingZero) {
  CMsgHello hello(0x1234);
  Bytes expected = Header(4, kMessageTypeHello, 0, 0);
  AppendLE32(&expected, 0x1234);
  EXPECT_EQ(BytesOf(hello), expected);
}

TEST(IpcMessageLayoutTest, TupleMessageWritesMembersInOrder) {
  using Msg = CMessageWithTuple<hcbase::Tuple3<int32_t, std::u16string, bool>>;
  Msg m(false, 9, {3, u"ab", true});
  Bytes expected = Header(4 + 4 + 4 + 4, 9, 0, 0);
  for (uint8_t b : Le({3, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 'b', 0, 1, 0, 0, 0})) expected.push_back(b);
  EXPECT_EQ(BytesOf(m), expected);

  hcbase::Tuple3<int32_t, std::u16string, bool> back{};
  ASSERT_TRUE(ReadTuple(m, &back));
  EXPECT_EQ(back.a, 3);
  EXPECT_EQ(back.b, u"ab");
  EXPECT_TRUE(back.c);
}

TEST(IpcMessageLayoutTest, ReplyKeepsRequestSerialAndSetsFlags) {
  CMessage request(true, 3);
  CMessage reply(true, 3);
  ASSERT_TRUE(reply.MakeReplyTo(request.serial_number(), /*error=*/true));
  EXPECT_EQ(reply.flags(), kMessageFlagSync | kMessageFlagReply | kMessageFlagReplyError);
  EXPECT_EQ(reply.serial_number(), request.serial_number());
  CMessage async(false, 3);
  EXPECT_FALSE(async.MakeReplyTo(1, false));  // no room for a serial in a 28-byte header
}

TEST(IpcMessageGrowthTest, CapacityDoublesOrFitsWithMinimumOf64) {
  CMessage m(false, 1);
  EXPECT_EQ(m.capacity(), 64);
  std::string bytes(36, 'x');  // 28 + 36 = 64: still fits
  ASSERT_TRUE(m.WriteBytes(bytes.data(), 36));
  EXPECT_EQ(m.capacity(), 64);
  ASSERT_TRUE(m.WriteBytes("y", 1));  // 65 needed: twice the old capacity wins
  EXPECT_EQ(m.capacity(), 128);
  std::string big(1000, 'z');  // 1093 needed: more than twice 128
  ASSERT_TRUE(m.WriteBytes(big.data(), 1000));
  EXPECT_EQ(m.capacity(), 28 + 37 + 1000);
  EXPECT_EQ(m.payload_size(), 1037u);
  EXPECT_EQ(std::memcmp(m.data() + 28 + 37, big.data(), 1000), 0);  // old bytes were kept
  EXPECT_EQ(m.data()[28 + 36], 'y');
}

TEST(IpcMessageGrowthTest, BorrowedMessageRefusesWrites) {
  Bytes wire = Header(0, 4, 0, 0);
  CMessage borrowed(Chars(wire), kMessageHeaderSize);
  EXPECT_TRUE(borrowed.is_borrowed());
  EXPECT_FALSE(borrowed.WriteInt(1));
  EXPECT_FALSE(borrowed.WriteString(u"a"));
  EXPECT_EQ(BytesOf(borrowed), Header(0, 4, 0, 0));
}

TEST(IpcMessageReadTest, ValuesReadBackInOrder) {
  CMessage m(false, 1);
  m.WriteInt(-7);
  m.WriteInt64(1LL << 40);
  m.WriteString(u"");
  m.WriteString(u"hello");
  const char* it = nullptr;
  int32_t i = 0;
  int64_t l = 0;
  std::u16string empty = u"not empty", s;
  ASSERT_TRUE(m.ReadInt(&it, &i));
  ASSERT_TRUE(m.ReadInt64(&it, &l));
  ASSERT_TRUE(m.ReadString(&it, &empty));
  ASSERT_TRUE(m.ReadString(&it, &s));
  EXPECT_EQ(i, -7);
  EXPECT_EQ(l, 1LL << 40);
  EXPECT_EQ(empty, u"");
  EXPECT_EQ(s, u"hello");
  EXPECT_FALSE(m.ReadInt(&it, &i));  // nothing left
  EXPECT_EQ(i, -7);
}

// Each case: a payload, then a read that must fail and leave iterator and output untouched.
struct BadReadCase {
  const char* name;
  Bytes payload;
  int skip_ints;  // ints read successfully before the failing read
};

TEST(IpcMessageReadTest, MalformedValuesFailWithoutConsuming) {
  const BadReadCase cases[] = {
      {"count larger than what remains", Le({3, 0, 0, 0, 'a', 0, 'b', 0}), 0},
      {"count whose double is negative", Le({0, 0, 0, 0x40}), 0},
      {"negative count", Le({0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}), 0},
      {"count that wraps to 2 bytes", Le({0x01, 0, 0, 0x80, 'a', 0}), 0},
      {"count cut short", Le({1, 0}), 0},
      {"string after an int, cut", Le({9, 0, 0, 0, 1, 0, 0, 0}), 1},
  };
  for (const BadReadCase& c : cases) {
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

TEST(IpcMessageReadTest, ReadStopsAtPayloadEndEvenWithMoreBytesBehind) {
  CMessage first(false, 1);
  first.WriteInt(11);
  CMessage second(false, 2);
  second.WriteInt(22);
  Bytes stream = BytesOf(first);
  Bytes tail = BytesOf(second);
  stream.insert(stream.end(), tail.begin(), tail.end());

  FoundMessage found = FindNextMessage(Chars(stream), Chars(stream) + stream.size());
  ASSERT_NE(found.message, nullptr);
  std::unique_ptr<CMessage> m(found.message);
  const char* it = nullptr;
  int32_t v = 0;
  int64_t wide = 0;
  ASSERT_TRUE(m->ReadInt(&it, &v));
  EXPECT_EQ(v, 11);
  EXPECT_FALSE(m->ReadInt(&it, &v));                   // the next message's bytes are not ours
  EXPECT_FALSE(m->ReadInt64(&(it = nullptr), &wide));  // 8 > 4 payload bytes
}

TEST(IpcMessageReadTest, ForeignIteratorIsRefused) {
  CMessage m(false, 1);
  m.WriteInt(1);
  CMessage other(false, 1);
  other.WriteInt(2);
  const char* it = other.data() + 28;
  int32_t v = 0;
  EXPECT_FALSE(m.ReadInt(&it, &v));
  EXPECT_EQ(v, 0);
}

TEST(IpcMessageCopyTest, CopyOfBorrowedMessageOwnsExactlyItsBytes) {
  Bytes wire = Header(4, 3, 0, kMessageFlagSync, 99);
  AppendLE32(&wire, 0xAABBCCDD);
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

TEST(IpcFindNextMessageTest, OneAndAHalfMessagesYieldTheFirstAndPointAtTheSecond) {
  CMessage a(false, 1);
  a.WriteString(u"first");
  CMessage b(true, 2);
  b.WriteInt(5);
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

  FoundMessage rest = FindNextMessage(found.next, end);
  EXPECT_EQ(rest.message, nullptr);
  EXPECT_EQ(rest.next, nullptr);
}

TEST(IpcFindNextMessageTest, IncompleteInputsFindNothing) {
  Bytes sync_empty = Header(0, 1, 0, kMessageFlagSync, 1);
  Bytes huge = Header(0xFFFFFFFF, 1, 0, 0);
  struct Case {
    const char* name;
    const Bytes* bytes;
    size_t length;
  } cases[] = {
      {"under 28 bytes", &sync_empty, 27},
      {"sync header cut at 39", &sync_empty, 39},
      {"length near 4 GiB", &huge, huge.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FoundMessage f = FindNextMessage(Chars(*c.bytes), Chars(*c.bytes) + c.length);
    EXPECT_EQ(f.message, nullptr);
  }
  EXPECT_EQ(FindNextMessage(nullptr, nullptr).message, nullptr);
  FoundMessage whole = FindNextMessage(Chars(sync_empty), Chars(sync_empty) + 40);
  ASSERT_NE(whole.message, nullptr);
  EXPECT_EQ(whole.message->header_size(), 40u);
  EXPECT_EQ(whole.message->serial_number(), 1);
  delete whole.message;
}

}  // namespace
}  // namespace IPC
