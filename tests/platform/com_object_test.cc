#include "platform/com_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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
  ~CProbe() { ++g_destroyed; }
  int Alpha() override { return 1; }
  int BetaBase() override { return 2; }
  int Beta() override { return 3; }
  HRESULT FinalConstruct() { return fail_construct ? E_FAIL : S_OK; }
  static inline bool fail_construct = false;
};

// An outer object that aggregates a CProbe and forwards IAlpha to it.
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
  long ExtraLocks() const { return halcy::ThisComModule().GetLockCount() - base_locks_; }
  long base_locks_ = 0;
};

TEST_F(ComObjectTest, QueryInterfaceKeepsIdentityAnswersBasesAndRefusesTheRest) {
  ComPtr<IBeta> beta;
  ASSERT_EQ(S_OK, halcy::CreateComInstance<CProbe>(nullptr, IBeta::kIID,
                                                   beta.ReleaseAndGetVoidAddress()));
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
}

TEST_F(ComObjectTest, ObjectLocksModuleUntilLastReleaseAndAFailedConstructionFreesIt) {
  ComPtr<IAlpha> alpha;
  ASSERT_EQ(S_OK, halcy::CreateComInstance<CProbe>(nullptr, IAlpha::kIID,
                                                   alpha.ReleaseAndGetVoidAddress()));
  ComPtr<IAlpha> second = alpha;
  EXPECT_EQ(1, ExtraLocks());
  alpha.Reset();
  EXPECT_EQ(0, g_destroyed.load());
  second.Reset();
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(0, ExtraLocks());
  CProbe::fail_construct = true;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_FAIL, halcy::CreateComInstance<CProbe>(nullptr, IAlpha::kIID, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(2, g_destroyed.load());
  EXPECT_EQ(0, ExtraLocks());
}

TEST_F(ComObjectTest, AggregationNeedsIUnknownDelegatesToOuterAndKeepsInnerIdentity) {
  ComPtr<IBetaBase> outer_itf;
  ASSERT_EQ(S_OK, halcy::CreateComInstance<COuter>(nullptr, IBetaBase::kIID,
                                                   outer_itf.ReleaseAndGetVoidAddress()));
  auto* outer = static_cast<COuter*>(outer_itf.Get());
  IUnknown* outer_unknown = static_cast<IBetaBase*>(outer);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            halcy::CreateComInstance<CProbe>(outer_unknown, IAlpha::kIID, &out));
  EXPECT_EQ(nullptr, out);
  ASSERT_EQ(S_OK, halcy::CreateComInstance<CProbe>(outer_unknown, IUnknown::kIID,
                                                   outer->inner.ReleaseAndGetVoidAddress()));
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

TEST_F(ComObjectTest, ConcurrentAddRefReleaseFreesExactlyOnce) {
  ComPtr<IAlpha> alpha;
  ASSERT_EQ(S_OK, halcy::CreateComInstance<CProbe>(nullptr, IAlpha::kIID,
                                                   alpha.ReleaseAndGetVoidAddress()));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([p = alpha]() mutable {
      for (int i = 0; i < 10000; ++i) ComPtr<IAlpha> copy = p;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, g_destroyed.load());
  alpha.Reset();
  EXPECT_EQ(1, g_destroyed.load());
}

}  // namespace
