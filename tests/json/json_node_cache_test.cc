// The per-thread node caches: reuse on one thread, nodes that cross threads, thread exit.
#include "json/json_node_cache.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace Logic {
namespace {

using Cache = json_internal::BlockCache<sizeof(CJsonValue)>;

TEST(JsonNodeCacheTest, FreedNodeIsReusedOnTheSameThread) {
  if (!json_internal::kJsonNodeCacheEnabled) GTEST_SKIP() << "caching is off under ASan";
  void* first = Cache::Allocate();
  Cache::Free(first);
  void* second = Cache::Allocate();
  EXPECT_EQ(second, first);
  Cache::Free(second);
}

TEST(JsonNodeCacheTest, ManyMoreNodesThanTheCacheHoldsAreFreed) {
  // Twice the cache's budget: the surplus goes back to the allocator (the leak checker and
  // the allocator's own checks see every block exactly once).
  const size_t count = 2 * json_internal::kJsonNodeCacheBytes / sizeof(CJsonValue);
  std::vector<void*> blocks;
  for (size_t i = 0; i < count; ++i) blocks.push_back(Cache::Allocate());
  for (void* block : blocks) Cache::Free(block);
  for (size_t i = 0; i < count; ++i) blocks[i] = Cache::Allocate();
  // Blocks taken again from the cache and from the allocator are all distinct.
  EXPECT_EQ(count, std::set<void*>(blocks.begin(), blocks.end()).size());
  for (void* block : blocks) Cache::Free(block);
}

constexpr char16_t kDocument[] =
    u"{\"id\":\"abcdefghijklmnopabcdefghijklmnop\",\"list\":[1,2,3,{\"k\":\"a long string "
    u"value\"}],"
    u"\"on\":true}";

TEST(JsonNodeCacheTest, TreesBuiltOnOneThreadAreDestroyedOnAnother) {
  const std::u16string expected = ToJsonString(*ParseJson(kDocument));
  std::vector<std::unique_ptr<CJsonValue>> trees(200);
  std::thread builder([&trees] {
    for (auto& tree : trees) tree = ParseJson(kDocument);
  });
  builder.join();  // The builder's cache is drained as it ends.

  std::u16string rebuilt;
  std::thread consumer([&] {
    for (auto& tree : trees) {
      EXPECT_EQ(ToJsonString(*tree), expected);
      tree.reset();  // Into this thread's cache...
    }
    // ...from which these nodes are taken again.
    for (int i = 0; i < 200; ++i) rebuilt = ToJsonString(*ParseJson(kDocument));
  });
  consumer.join();
  EXPECT_EQ(rebuilt, expected);
}

// Text of an array of `outer` arrays of `inner` numbers each.
std::u16string NestedArrays(int outer, int inner) {
  std::u16string text = u"[";
  for (int i = 0; i < outer; ++i) {
    text += i ? u",[" : u"[";
    for (int j = 0; j < inner; ++j) {
      if (j) text += u',';
      text += static_cast<char16_t>(u'0' + (i + j) % 10);
    }
    text += u']';
  }
  return text + u"]";
}

// Large arrays hand their elements to the thread's node stack while they are destroyed, and
// the reader gathers elements there: nested large arrays grow that stack while outer ones
// still hold places on it, and a failed read leaves its elements there to be released.
TEST(JsonNodeCacheTest, NestedLargeArraysAreReadAndReleased) {
  const std::u16string text = NestedArrays(300, 200);
  for (int round = 0; round < 3; ++round) {
    auto value = ParseJson(text);
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(value->GetArray().size(), 300u);
    EXPECT_EQ(value->GetArray()[299]->GetArray().size(), 200u);
    EXPECT_EQ(ToJsonString(*value), text);
    // Cut off inside the last inner array: everything gathered so far must be released.
    EXPECT_EQ(ParseJson(text.substr(0, text.size() - 40)), nullptr);
  }
  // Destroyed on another thread, whose stack starts empty.
  auto value = ParseJson(text);
  std::thread([&value] { value.reset(); }).join();
  EXPECT_EQ(ToJsonString(*ParseJson(u"[1,[2]]")), u"[1,[2]]");
}

}  // namespace
}  // namespace Logic
