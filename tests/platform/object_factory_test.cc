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
    halcy::SetService(IOther::kIID, nullptr);
    halcy::SetCreatableClass(IGreeter::kIID, {});
  }
};

TEST_F(ObjectFactoryTest, ServiceIsOneObjectPerIidReplacingReturnsThePreviousAndNullRemoves) {
  ComPtr<CGreeter> first = halcy::MakeComObject<CGreeter>(1);
  ComPtr<CGreeter> second = halcy::MakeComObject<CGreeter>(2);
  EXPECT_EQ(nullptr, halcy::SetService(IGreeter::kIID, static_cast<IGreeter*>(first.Get())));
  ComPtr<IGreeter> a, b;
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, a.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, b.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(1, a->Greet());
  ComPtr<IUnknown> previous =
      halcy::SetService(IGreeter::kIID, static_cast<IGreeter*>(second.Get()));
  ComPtr<IUnknown> first_unknown;
  first.As(&first_unknown);
  EXPECT_EQ(first_unknown.Get(), previous.Get());
  ComPtr<IGreeter> now;
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, now.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(2, now->Greet());
  halcy::SetService(IGreeter::kIID, nullptr);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, Util::Com::GetService(IGreeter::kIID, &out));
  EXPECT_EQ(nullptr, out);
  // A service that does not answer its own IID fails the same way.
  ComPtr<COther> object = halcy::MakeComObject<COther>();
  halcy::SetService(IGreeter::kIID, static_cast<IOther*>(object.Get()));
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, Util::Com::GetService(IGreeter::kIID, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, Util::Com::GetService(IGreeter::kIID, nullptr));
  EXPECT_EQ(E_POINTER, Util::Com::CreateObjectByIID(IGreeter::kIID, nullptr));
}

TEST_F(ObjectFactoryTest, CreatableClassMakesANewObjectOnEveryCall) {
  std::atomic<int> made{0};
  halcy::SetCreatableClass(IGreeter::kIID, {[&made](REFIID iid, void** out) {
                             return halcy::CreateComInstance<CGreeter>(nullptr, iid, out, ++made);
                           }});
  ComPtr<IGreeter> a, b;
  ASSERT_EQ(S_OK, Util::Com::CreateObjectByIID(IGreeter::kIID, a.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, Util::Com::CreateObjectByIID(IGreeter::kIID, b.ReleaseAndGetVoidAddress()));
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(1, a->Greet());
  EXPECT_EQ(2, b->Greet());
  halcy::SetCreatableClass(IGreeter::kIID, {});
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, Util::Com::CreateObjectByIID(IGreeter::kIID, &out));
  EXPECT_EQ(nullptr, out);
  // A class known only by its CLSID is activated through the registry, where it is missing.
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv registry("HALCY_REGISTRY", dir.File("registry.reg"));
  halcy::CreatableClass entry;
  entry.clsid = MakeGuid("{0BADC1A5-0000-4000-8000-000000000001}");
  halcy::SetCreatableClass(IGreeter::kIID, entry);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, Util::Com::CreateObjectByIID(IGreeter::kIID, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ObjectFactoryTest, LookupFromInsideAServiceCallDoesNotDeadlock) {
  // A service whose QueryInterface looks up another service and registers a third.
  class CLookingUp : public halcy::ComObjectRoot, public IGreeter {
   public:
    HALCY_BEGIN_INTERFACES(CLookingUp)
    HALCY_INTERFACE(CLookingUp, IGreeter)
    HALCY_END_INTERFACES()
    int Greet() override {
      ComPtr<IOther> other;
      Util::Com::GetService(IOther::kIID, other.ReleaseAndGetVoidAddress());
      halcy::SetService(IOther::kIID, nullptr);
      return other ? 1 : 0;
    }
  };
  ComPtr<CLookingUp> service = halcy::MakeComObject<CLookingUp>();
  ComPtr<COther> other = halcy::MakeComObject<COther>();
  halcy::SetService(IGreeter::kIID, static_cast<IGreeter*>(service.Get()));
  halcy::SetService(IOther::kIID, static_cast<IOther*>(other.Get()));
  ComPtr<IGreeter> g;
  ASSERT_EQ(S_OK, Util::Com::GetService(IGreeter::kIID, g.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(1, g->Greet());
  EXPECT_EQ(0, g->Greet());  // the first call removed the other service
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

// ---- the string list ----

ComPtr<IStringList> NewList() {
  ComPtr<IStringList> list;
  EXPECT_EQ(S_OK, Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()));
  return list;
}

std::u16string At(IStringList* list, LONG index) {
  halcy::ScopedBstr item;
  if (FAILED(list->GetAt(index, item.Receive()))) return u"<failed>";
  return std::u16string(item.View());
}

TEST(StringListTest, IsANewListPerCreationKeepsAppendOrderAndRefusesBadArguments) {
  ComPtr<IStringList> list = NewList();
  ASSERT_TRUE(list);
  LONG count = -1;
  ASSERT_EQ(S_OK, list->GetCount(&count));
  EXPECT_EQ(0, count);
  for (const char16_t* s : {u"gamma", u"alpha", u"", u"beta"}) EXPECT_EQ(S_OK, list->Append(s));
  ASSERT_EQ(S_OK, list->GetCount(&count));
  EXPECT_EQ(4, count);
  std::vector<std::u16string> items;
  for (LONG i = 0; i < count; ++i) items.push_back(At(list.Get(), i));
  EXPECT_EQ(items, (std::vector<std::u16string>{u"gamma", u"alpha", u"", u"beta"}));
  ComPtr<IStringList> other = NewList();
  other->GetCount(&count);
  EXPECT_EQ(0, count);  // each creation is a new list
  for (LONG bad : {-1, 4, 100}) {
    BSTR item = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(E_INVALIDARG, list->GetAt(bad, &item)) << bad;
    EXPECT_EQ(nullptr, item);
  }
  EXPECT_EQ(E_POINTER, list->GetAt(0, nullptr));
  EXPECT_EQ(E_POINTER, list->GetCount(nullptr));
  EXPECT_EQ(E_POINTER, list->Append(nullptr));
  halcy::ScopedBstr item;
  ASSERT_EQ(S_OK, list->GetAt(0, item.Receive()));
  EXPECT_EQ(5u, SysStringLen(item.Get()));
}

}  // namespace
