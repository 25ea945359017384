// The information service's cache store: its journal file, cut lines, damage and compaction.
#include "host/cache_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/channel_info.h"
#include "platform/bstr.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "store_test_env.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace {

using host_testing::StoreTestEnv;
using Logic::ICacheStore;

ComPtr<ICacheStore> FreshCacheStore() {
  ComPtr<host::CChannelInfo> info = halcy::MakeComObject<host::CChannelInfo>();
  ComPtr<ICacheStore> store;
  EXPECT_EQ(S_OK, info->GetCacheStore(store.ReleaseAndGetAddressOf()));
  return store;
}

ComPtr<IStringList> ListOf(const std::vector<std::u16string>& values) {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, halcy::CreateStringList(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const std::u16string& v : values) list->Append(v.c_str());
  return list;
}

std::vector<std::string> Read(ICacheStore* store, const char16_t* name, LONG limit = 1000) {
  ComPtr<IStringList> list;
  if (FAILED(store->ReadEntry(name, limit, list.ReleaseAndGetAddressOf()))) return {"<missing>"};
  std::vector<std::string> out;
  LONG count = 0;
  list->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    list->GetAt(i, item.Receive());
    out.push_back(halcy::Utf16ToUtf8(item.View()));
  }
  return out;
}

using Strings = std::vector<std::string>;

TEST(CacheStoreTest, EntriesRoundTripAndSurviveAReopenAndBadArgumentsAreRefused) {
  StoreTestEnv env;
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    ASSERT_TRUE(store);
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"ext_a", u"ext_b"}).Get()));
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_a", ListOf({u"a", u"1", u"0", u"hcextdbpath/a",
                                                        u"{\"name\":\"A \\\"q\\\" \u4e2d\"}"})
                                                    .Get()));
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_b", ListOf({u"b", u"", u"", u"", u""}).Get()));
    // A later write replaces the entry as a whole.
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"ext_a"}).Get()));
    ASSERT_EQ(S_OK, store->WriteEntry(u"empty", ListOf({}).Get()));
  }
  ComPtr<ICacheStore> reopened = FreshCacheStore();
  const Strings a = {"a", "1", "0", "hcextdbpath/a", "{\"name\":\"A \\\"q\\\" \xe4\xb8\xad\"}"};
  EXPECT_EQ(Strings({"ext_a"}), Read(reopened.Get(), u"ext_list"));
  EXPECT_EQ(a, Read(reopened.Get(), u"ext_a"));
  EXPECT_EQ(Strings({"b", "", "", "", ""}), Read(reopened.Get(), u"ext_b"));
  EXPECT_EQ(Strings({}), Read(reopened.Get(), u"empty"));
  EXPECT_EQ(Strings({"<missing>"}), Read(reopened.Get(), u"ext_c"));
  // A size limit cuts the list.
  EXPECT_EQ(Strings({}), Read(reopened.Get(), u"ext_a", 0));
  EXPECT_EQ(Strings(a.begin(), a.begin() + 2), Read(reopened.Get(), u"ext_a", 2));
  EXPECT_EQ(a, Read(reopened.Get(), u"ext_a", 5));
  ComPtr<IStringList> list;
  EXPECT_EQ(E_INVALIDARG, reopened->ReadEntry(u"e", -1, list.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, reopened->ReadEntry(u"", 10, list.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, reopened->WriteEntry(nullptr, ListOf({}).Get()));
  EXPECT_EQ(E_POINTER, reopened->WriteEntry(u"e", nullptr));
}

TEST(CacheStoreTest, LineCutByACrashKeepsThePreviousValue) {
  StoreTestEnv env;
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    ASSERT_EQ(S_OK, store->WriteEntry(u"ext_list", ListOf({u"old"}).Get()));
  }
  const std::string path = env.SystemDataFile("cachestore.jsonl");
  std::string text = testing_support::ReadFileOrEmpty(path);
  testing_support::WriteFileOrDie(path, text + "{\"name\":\"ext_list\",\"values\":[\"ne");
  {
    ComPtr<ICacheStore> store = FreshCacheStore();
    EXPECT_EQ(Strings({"old"}), Read(store.Get(), u"ext_list"));
    // The cut line is gone before anything is appended behind it.
    ASSERT_EQ(S_OK, store->WriteEntry(u"other", ListOf({u"x"}).Get()));
  }
  ComPtr<ICacheStore> store = FreshCacheStore();
  EXPECT_EQ(Strings({"old"}), Read(store.Get(), u"ext_list"));
  EXPECT_EQ(Strings({"x"}), Read(store.Get(), u"other"));
}

TEST(CacheStoreTest, DamagedJournalIsMovedAsideAndReported) {
  StoreTestEnv env;
  const std::string path = env.SystemDataFile("cachestore.jsonl");
  const std::string damaged = "{\"name\":\"a\",\"values\":[]}\nnot json\n";
  testing_support::WriteFileOrDie(path, damaged);
  testing_support::LogCapture log;
  ComPtr<ICacheStore> store = FreshCacheStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(Strings({"<missing>"}), Read(store.Get(), u"a"));
  std::vector<std::string> aside;
  for (const auto& e : std::filesystem::directory_iterator(env.SystemDataFile(""))) {
    const std::string name = e.path().filename().string();
    if (name.rfind("cachestore.jsonl.corrupt-", 0) == 0) aside.push_back(name);
  }
  ASSERT_EQ(1u, aside.size());
  EXPECT_EQ(damaged, testing_support::ReadFileOrEmpty(env.SystemDataFile(aside[0])));
  ASSERT_EQ(1u, log.LinesWithTag(u"oldlog;").size());
  EXPECT_EQ(64, log.LinesWithTag(u"oldlog;")[0].level);
}

}  // namespace
