// COM objects (identity, lifetime, aggregation), the service and class tables of the object
// factory, and the platform's string list.
#include "platform/com_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "support/temp_env.h"

HALCY_DEFINE_COM_MODULE()

namespace {

struct IAlpha : IUnknown {
  static constexpr IID kIID = MakeGuid("11111111-0000-0000-0000-000000000001");
  virtual int Alpha() = 0;
};
struct IBetaBase : IUnknown {
  static constexpr IID kIID = MakeGuid("11111111-0000-0000-0000-000000000002");
  virtual int BetaBase() = 0;
};
struct IBeta : IBetaBase {
  static constexpr IID kIID = MakeGuid("11111111-0000-0000-0000-000000000003");
  virtual int Beta() = 0;
};
constexpr IID kIID_Unanswered = MakeGuid("11111111-0000-0000-0000-0000000000FF");

std::atomic<int> g_destroyed{0};

class CProbe : public halcy::ComObjectRoot, public IAlpha, public IBeta {
 public:
  HALCY_BEGIN_INTERFACES(CProbe)
  HALCY_INTERFACE(CProbe, IAlpha)
  HALCY_INTERFACE(CProbe, IBeta)
  HALCY_INTERFACE(CProbe, IBetaBase)
  HALCY_END_INTERFACES()
  explicit CProbe(int value = 1) : value_(value) {}
  ~CProbe() { ++g_destroyed; }
  int Alpha() override { return value_; }
  int BetaBase() override { return 2; }
  int Beta() override { return 3; }
  HRESULT FinalConstruct() { return fail_construct ? E_FAIL : S_OK; }
  static inline bool fail_construct = false;

 private:
  int value_;
};

// Answers IBetaBase only; aggregates a CProbe as `inner` when a test makes one.
class COuter : public halcy::ComObjectRoot, public IBetaBase {
 public:
  HALCY_BEGIN_INTERFACES(COuter)
  HALCY_INTERFACE(COuter, IBetaBase)
  HALCY_END_INTERFACES()
  int BetaBase() override { return 20; }
  ComPtr<IUnknown> inner;
};

class ComObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_destroyed = 0;
    CProbe::fail_construct = false;
    base_locks_ = halcy::ThisComModule().GetLockCount();
  }
  void TearDown() override {
    halcy::SetService(IAlpha::kIID, nullptr);
    halcy::SetCreatableClass(IAlpha::kIID, {});
  }
  long ExtraLocks() const { return halcy::ThisComModule().GetLockCount() - base_locks_; }
  long base_locks_ = 0;
};

// A new T (aggregated by `outer` when given) through its interface I.
template <class T, class I>
ComPtr<I> Make(IUnknown* outer = nullptr) {
  ComPtr<I> p;
  EXPECT_EQ(S_OK, halcy::CreateComInstance<T>(outer, I::kIID, p.ReleaseAndGetVoidAddress()));
  return p;
}

// Looks IAlpha up and gives what its Alpha() says, or the HRESULT when nothing was found.
int AlphaOf(HRESULT (*lookup)(REFIID, void**)) {
  void* out = reinterpret_cast<void*>(0x1);
  const HRESULT hr = lookup(IAlpha::kIID, &out);
  if (FAILED(hr)) return out == nullptr ? hr : 0;  // a failure also empties the out-pointer
  ComPtr<IAlpha> alpha;
  alpha.Attach(static_cast<IAlpha*>(out));
  return alpha->Alpha();
}

TEST_F(ComObjectTest, QueryInterfaceKeepsIdentityAndTheObjectLocksTheModuleUntilLastRelease) {
  ComPtr<IBeta> beta = Make<CProbe, IBeta>();
  ComPtr<IAlpha> alpha;
  ComPtr<IUnknown> u1, u2;
  ComPtr<IBetaBase> base;
  ASSERT_EQ(S_OK, beta.As(&alpha));
  ASSERT_EQ(S_OK, beta.As(&u1));
  ASSERT_EQ(S_OK, alpha.As(&u2));
  EXPECT_EQ(u1.Get(), u2.Get());
  // A base interface is answered at the derived interface's pointer.
  ASSERT_EQ(S_OK, beta.As(&base));
  EXPECT_EQ(static_cast<void*>(base.Get()), static_cast<void*>(beta.Get()));
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, alpha->QueryInterface(kIID_Unanswered, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, ExtraLocks());
  beta.Reset();
  alpha.Reset();
  u1.Reset();
  u2.Reset();
  EXPECT_EQ(0, g_destroyed.load());
  base.Reset();
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(0, ExtraLocks());
}

TEST_F(ComObjectTest, FailedFinalConstructFreesTheObjectAndGivesNull) {
  CProbe::fail_construct = true;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_FAIL, halcy::CreateComInstance<CProbe>(nullptr, IAlpha::kIID, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(0, ExtraLocks());
}

TEST_F(ComObjectTest, AggregationNeedsIUnknownDelegatesToOuterAndKeepsInnerIdentity) {
  ComPtr<IBetaBase> outer_itf = Make<COuter, IBetaBase>();
  auto* outer = static_cast<COuter*>(outer_itf.Get());
  IUnknown* outer_unknown = outer_itf.Get();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            halcy::CreateComInstance<CProbe>(outer_unknown, IAlpha::kIID, &out));
  EXPECT_EQ(nullptr, out);
  outer->inner = Make<CProbe, IUnknown>(outer_unknown);
  // The inner's own unknown hands out its interfaces, whose QI reaches the outer.
  ComPtr<IAlpha> alpha;
  ComPtr<IUnknown> identity;
  ComPtr<IBetaBase> via_inner;
  ASSERT_EQ(S_OK, outer->inner.As(&alpha));
  ASSERT_EQ(S_OK, alpha.As(&identity));
  EXPECT_EQ(outer_unknown, identity.Get());
  ASSERT_EQ(S_OK, alpha.As(&via_inner));
  EXPECT_EQ(20, via_inner->BetaBase());
  alpha.Reset();
  identity.Reset();
  via_inner.Reset();
  outer->inner.Reset();
  EXPECT_EQ(1, g_destroyed.load());
}

TEST_F(ComObjectTest, ServiceIsOneObjectPerIidReplacingReturnsThePreviousAndNullRemoves) {
  ComPtr<CProbe> first = halcy::MakeComObject<CProbe>(1);
  EXPECT_EQ(nullptr, halcy::SetService(IAlpha::kIID, static_cast<IAlpha*>(first.Get())));
  ComPtr<IAlpha> a, b;
  ASSERT_EQ(S_OK, Util::Com::GetService(IAlpha::kIID, a.ReleaseAndGetVoidAddress()));
  ASSERT_EQ(S_OK, Util::Com::GetService(IAlpha::kIID, b.ReleaseAndGetVoidAddress()));
  EXPECT_EQ(a.Get(), b.Get());
  ComPtr<IUnknown> previous =
      halcy::SetService(IAlpha::kIID, static_cast<IAlpha*>(halcy::MakeComObject<CProbe>(2).Get()));
  EXPECT_EQ(static_cast<IUnknown*>(static_cast<IAlpha*>(first.Get())), previous.Get());
  EXPECT_EQ(2, AlphaOf(&Util::Com::GetService));
  halcy::SetService(IAlpha::kIID, nullptr);
  EXPECT_EQ(E_NOINTERFACE, AlphaOf(&Util::Com::GetService));
  // A service that does not answer its own IID fails the same way.
  halcy::SetService(IAlpha::kIID, static_cast<IBetaBase*>(halcy::MakeComObject<COuter>().Get()));
  EXPECT_EQ(E_NOINTERFACE, AlphaOf(&Util::Com::GetService));
  EXPECT_EQ(E_POINTER, Util::Com::GetService(IAlpha::kIID, nullptr));
  EXPECT_EQ(E_POINTER, Util::Com::CreateObjectByIID(IAlpha::kIID, nullptr));
}

TEST_F(ComObjectTest, CreatableClassMakesANewObjectOnEveryCall) {
  int made = 0;
  halcy::SetCreatableClass(IAlpha::kIID, {[&made](REFIID iid, void** out) {
                             return halcy::CreateComInstance<CProbe>(nullptr, iid, out, ++made);
                           }});
  EXPECT_EQ(1, AlphaOf(&Util::Com::CreateObjectByIID));
  EXPECT_EQ(2, AlphaOf(&Util::Com::CreateObjectByIID));
  halcy::SetCreatableClass(IAlpha::kIID, {});
  EXPECT_EQ(E_NOINTERFACE, AlphaOf(&Util::Com::CreateObjectByIID));
  // A class known only by its CLSID is activated through the registry, where it is missing.
  testing_support::ScopedTempDir dir;
  testing_support::ScopedEnv registry("HALCY_REGISTRY", dir.File("registry.reg"));
  halcy::CreatableClass entry;
  entry.clsid = MakeGuid("{0BADC1A5-0000-4000-8000-000000000001}");
  halcy::SetCreatableClass(IAlpha::kIID, entry);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, AlphaOf(&Util::Com::CreateObjectByIID));
}

TEST_F(ComObjectTest, ConcurrentServiceLookupsAndReplacementsAreSafeAndFreeEachObjectOnce) {
  ComPtr<CProbe> one = halcy::MakeComObject<CProbe>(1), two = halcy::MakeComObject<CProbe>(2);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const int v = AlphaOf(&Util::Com::GetService);
        if (v != 1 && v != 2 && v != E_NOINTERFACE) bad++;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    halcy::SetService(IAlpha::kIID, static_cast<IAlpha*>((i % 2 ? one : two).Get()));
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, bad.load());
  // The readers' references came and went on several threads; each object is freed once.
  halcy::SetService(IAlpha::kIID, nullptr);
  one.Reset();
  two.Reset();
  EXPECT_EQ(2, g_destroyed.load());
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
