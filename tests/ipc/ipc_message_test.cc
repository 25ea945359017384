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
      {"string", [](CMessage* m) { m->WriteString(u"A\u00e9"); }, {2, 0, 0, 0, 'A', 0, 0xE9, 0}},
      {"surrogate pair",
       [](CMessage* m) { m->WriteString(u"\U0001F600"); },
       {2, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE}},
      {"mixed, no padding",
       [](CMessage* m) {
         m->WriteInt(1);
         m->WriteString(u"x");
         m->WriteInt64(-1);
       },
       {1, 0, 0, 0, 1, 0, 0, 0, 'x', 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
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

TEST(IpcMessageLayoutTest, TupleReadsBackAndStopsAtTheFirstMemberThatDoesNotFit) {
  using Args = hcbase::Tuple3<int32_t, std::u16string, bool>;
  CMessageWithTuple<Args> m(false, 9, {3, u"ab", true});
  Args back{};
  ASSERT_TRUE(ReadTuple(m, &back));
  EXPECT_EQ(back.a, 3);
  EXPECT_EQ(back.b, u"ab");
  EXPECT_TRUE(back.c);
  CMessageWithTuple<hcbase::Tuple2<int32_t, std::u16string>> shorter(false, 9, {3, u"ab"});
  EXPECT_FALSE(ReadTuple(shorter, &back));
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

TEST(IpcMessageCopyTest, CopyOfBorrowedMessageOwnsExactlyItsBytes) {
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

TEST(IpcFindNextMessageTest, IncompleteInputsFindNothing) {
  Bytes sync_empty = Wire(1, 0, kMessageFlagSync, {}, 1);
  Bytes huge = Wire(1, 0, 0, {});
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;  // a payload near 4 GiB declared
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
    EXPECT_EQ(FindNextMessage(Chars(*c.bytes), Chars(*c.bytes) + c.length).message, nullptr);
  }
  EXPECT_EQ(FindNextMessage(nullptr, nullptr).message, nullptr);
  std::unique_ptr<CMessage> whole(
      FindNextMessage(Chars(sync_empty), Chars(sync_empty) + 40).message);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->header_size(), 40u);
  EXPECT_EQ(whole->serial_number(), 1);
}

// ---- refusals ----

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
      {"negative count", {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}, 0},
      {"count that wraps to 2 bytes", {0x01, 0, 0, 0x80, 'a', 0}, 0},
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
