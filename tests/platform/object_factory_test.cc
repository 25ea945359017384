#include "platform/object_factory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/string_list.h"
#include "support/temp_env.h"

namespace {

struct IGreeter : IUnknown {
  static constexpr IID kIID = MakeGuid("22222222-0000-0000-0000-000000000001");
  virtual int Greet() = 0;
};
struct IOther : IUnknown {
  static constexpr IID kIID = MakeGuid("22222222-0000-0000-0000-000000000002");
};

class CGreeter : public halcy::ComObjectRoot, public IGreeter {
 public:
  HALCY_BEGIN_INTERFACES(CGreeter)
  HALCY_INTERFACE(CGreeter, IGreeter)
  HALCY_END_INTERFACES()
  explicit CGreeter(int value = 1) : value_(value) {}
  int Greet() override { return value_; }

 private:
  int value_;
};

// Answers IOther only.
class COther : public halcy::ComObjectRoot, public IOther {
 public:
  HALCY_BEGIN_INTERFACES(COther)
  HALCY_INTERFACE(COther, IOther)
  HALCY_END_INTERFACES()
};

class ObjectFactoryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    halcy::SetService(IGreeter::kIID, nullptr);
    halcy::SetCreatableClass(IGreeter::kIID, {});
  }
};

// Looks `iid` up and gives the greeting of what was found, or the HRESULT when nothing was.
int Greet(HRESULT (*lookup)(REFIID, void**)) {
  void* out = reinterpret_cast<void*>(0x1);
  const HRESULT hr = lookup(IGreeter::kIID, &out);
  if (FAILED(hr)) return out == nullptr ? hr : 0;  // a failure also empties the out-pointer
  ComPtr<IGreeter> greeter;
  greeter.Attach(static_cast<IGreeter*>(out));
  return greeter->Greet();
}

TEST_F(ObjectFactoryTest, ServiceIsOneObjectPerIidReplacingReturnsThePreviousAndNullRemoves) {
  ComPtr<CGreeter> first = halcy::MakeComObject<CGreeter>(1);
  EXPECT_EQ(nullptr, halcy::SetService(IGreeter::kIID, static_cast<IGreeter*>(first.Get())));
  ComPtr<IGreeter> a, b;
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, a.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, b.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(a.Get(), b.Get());
  ComPtr<IUnknown> previous = halcy::SetService(
      IGreeter::kIID, static_cast<IGreeter*>(halcy::MakeComObject<CGreeter>(2).Get()));
  EXPECT_EQ(static_cast<IUnknown*>(static_cast<IGreeter*>(first.Get())), previous.Get());
  EXPECT_EQ(2, Greet(&Util::Com::GetService));
  halcy::SetService(IGreeter::kIID, nullptr);
  EXPECT_EQ(E_NOINTERFACE, Greet(&Util::Com::GetService));
  // A service that does not answer its own IID fails the same way.
  halcy::SetService(IGreeter::kIID, static_cast<IOther*>(halcy::MakeComObject<COther>().Get()));
  EXPECT_EQ(E_NOINTERFACE, Greet(&Util::Com::GetService));
  EXPECT_EQ(E_POINTER, Util::Com::GetService(IGreeter::kIID, nullptr));
  EXPECT_EQ(E_POINTER, Util::Com::CreateObjectByIID(IGreeter::kIID, nullptr));
}

TEST_F(ObjectFactoryTest, CreatableClassMakesANewObjectOnEveryCall) {
  int made = 0;
  halcy::SetCreatableClass(IGreeter::kIID, {[&made](REFIID iid, void** out) {
                             return halcy::CreateComInstance<CGreeter>(nullptr, iid, out, ++made);
                           }});
  EXPECT_EQ(1, Greet(&Util::Com::CreateObjectByIID));
  EXPECT_EQ(2, Greet(&Util::Com::CreateObjectByIID));
  halcy::SetCreatableClass(IGreeter::kIID, {});
  EXPECT_EQ(E_NOINTERFACE, Greet(&Util::Com::CreateObjectByIID));
  // A class known only by its CLSID is activated through the registry, where it is missing.
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv registry("HALCY_REGISTRY", dir.File("registry.reg"));
  halcy::CreatableClass entry;
  entry.clsid = MakeGuid("{0BADC1A5-0000-4000-8000-000000000001}");
  halcy::SetCreatableClass(IGreeter::kIID, entry);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Greet(&Util::Com::CreateObjectByIID));
}

TEST_F(ObjectFactoryTest, ConcurrentLookupsAndReplacementsAreSafe) {
  ComPtr<CGreeter> a = halcy::MakeComObject<CGreeter>(1);
  ComPtr<CGreeter> b = halcy::MakeComObject<CGreeter>(2);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        ComPtr<IGreeter> g;
        if (SUCCEEDED(Util::Com::GetService(IGreeter::kIID, g.ReleaseAndGetVoidAddress()))) {
          int v = g->Greet();
          if (v != 1 && v != 2) bad++;
        }
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    halcy::SetService(IGreeter::kIID, static_cast<IGreeter*>((i % 2 ? a : b).Get()));
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, bad.load());
}

TEST(StringListTest, IsANewListPerCreationKeepsAppendOrderAndRefusesBadIndexes) {
  ComPtr<IStringList> list, other;
  ASSERT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  for (const char16_t* s : {u"gamma", u"alpha", u"", u"beta"}) EXPECT_EQ(S_OK, list->Append(s));
  LONG count = -1;
  ASSERT_EQ(S_OK, list->GetCount(&count));
  std::vector<std::u16string> items;
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    EXPECT_EQ(S_OK, list->GetAt(i, item.Receive()));
    items.emplace_back(item.View());
  }
  EXPECT_EQ(items, (std::vector<std::u16string>{u"gamma", u"alpha", u"", u"beta"}));
  ASSERT_EQ(S_OK,
            Util::Com::CreateObjectByIID(IStringList::kIID, other.ReleaseAndGetVoidAddress()));
  other->GetCount(&count);
  EXPECT_EQ(0, count);  // each creation is a new list
  for (LONG bad : {-1, 4}) {
    BSTR item = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(E_INVALIDARG, list->GetAt(bad, &item)) << bad;
    EXPECT_EQ(nullptr, item);
  }
}

}  // namespace
