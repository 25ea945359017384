// Wide formatting, UTF-8 conversion, GUID text and BSTRs.
#include "platform/strings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/bstr.h"
#include "platform/guid.h"
#include "platform/log_controller.h"

namespace {

using halcy::StringPrintf;

// Several conversions per row; the flags, widths and lengths that the module's texts use.
TEST(WideFormatTest, SystemFormatsAsWritten) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"ext:abc, x.y\n", StringPrintf(u"ext:%s, %s\n", u"abc", u"x.y")},
      {u"P(Init:50 \u4e2d) : 1.500000 ms",
       StringPrintf(u"P(%S) : %f ms", "Init:50 \xe4\xb8\xad", 1.5)},
      {u"[  42][42  ][0042] ff FF 0x1f 17 0x80004005",
       StringPrintf(u"[%4d][%-4d][%04d] %x %X %#x %o 0x%X", 42, 42, 42, 255, 255, 31, 15,
                    0x80004005u)},
      {u"-1 4294967295 9223372036854775807 -5 18446744073709551615",
       StringPrintf(u"%d %u %I64d %lld %llu", -1, 0xFFFFFFFFu, INT64_C(9223372036854775807), -5LL,
                    ~0ULL)},
      {u"100% x [   7] (null)",
       StringPrintf(u"100%% %c [%*d] %s", u'x', 4, 7, static_cast<const char16_t*>(nullptr))},
      {u"[ab        ][        ab] abc",
       StringPrintf(u"[%-10s][%10s] %.3s", u"ab", u"ab", u"abcdef")},
      {u"00000000DEADBEEF", StringPrintf(u"%p", reinterpret_cast<void*>(uintptr_t{0xDEADBEEF}))},
  };
  for (const auto& [expected, actual] : cases) EXPECT_EQ(expected, actual);
}

int CallTruncating(char16_t* buffer, size_t size, size_t count, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf_s(buffer, size, count, format, args);
  va_end(args);
  return n;
}

// _TRUNCATE writes what fits and reports the cut; a count limits the output, and a count
// beyond a buffer that cannot hold the text gives an empty string.
TEST(WideFormatTest, TruncationAndCountLimits) {
  // Buffer size, count, text; the result and what the buffer holds.
  const std::tuple<size_t, size_t, const char16_t*, int, const char16_t*> cases[] = {
      {8, _TRUNCATE, u"0123456789", -1, u"0123456"},
      {8, _TRUNCATE, u"0123456", 7, u"0123456"},
      {16, 3, u"abcdef", -1, u"abc"},
      {16, 3, u"ab", 2, u"ab"},
      {4, 10, u"abcdef", -1, u""},
      {4, 4, u"abcdef", -1, u""},  // a count equal to the buffer leaves no room for the end
      {4, 4, u"abc", 3, u"abc"}};
  for (const auto& [size, count, text, result, written] : cases) {
    std::vector<char16_t> buffer(size, u'#');  // exact size: overruns reach the sanitizer
    EXPECT_EQ(result, CallTruncating(buffer.data(), size, count, u"%s", text)) << size;
    EXPECT_EQ(std::u16string(written), std::u16string(buffer.data())) << size;
  }
}

TEST(Utf8Test, InvalidSequencesBecomeReplacementCharacters) {
  struct {
    const char* in;
    std::u16string out;
  } cases[] = {
      {"\x80", u"\uFFFD"},                      // stray continuation
      {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xe4\xb8", u"\uFFFD"},                  // truncated at the end
      {"\xe4\xb8x", u"\uFFFDx"},                // truncated before ASCII
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, halcy::Utf8ToUtf16(c.in)) << c.in;
}

constexpr GUID kSample = MakeGuid("{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}");

TEST(GuidTest, ParsesBracedAndBareFormsInEitherCaseAndRejectsMalformedTexts) {
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865F87}", true},
      {"{d3a030a9-83d2-4E11-a2ba-e6ff91865f87}", true},
      {"D3A030A9-83D2-4E11-A2BA-E6FF91865F87", true},
      {"", false},
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865F8}", false},   // one digit short
      {"{D3A030A9-83D2-4e11-A2BAE-6FF91865F87}", false},  // misplaced dash
      {"{D3A030A9-83D2-4e11-A2BA-E6FF91865G87}", false},  // non-hex digit
      {"(D3A030A9-83D2-4e11-A2BA-E6FF91865F87)", false},  // wrong brackets
  };
  for (const auto& c : cases) {
    GUID g{};
    EXPECT_EQ(c.ok, halcy::ParseGuid(std::string_view(c.text), &g)) << c.text;
    if (c.ok) {
      EXPECT_EQ(kSample, g) << c.text;
    }
  }
}

TEST(GuidTest, PrintsUpperCaseBracedFormRoundTripsAndComparesEveryByte) {
  EXPECT_EQ(u"{D3A030A9-83D2-4E11-A2BA-E6FF91865F87}", halcy::GuidToString(kSample));
  GUID back{};
  ASSERT_TRUE(halcy::ParseGuid(halcy::GuidToString(kSample), &back));
  EXPECT_EQ(kSample, back);
  char16_t buffer[39];
  EXPECT_EQ(39, StringFromGUID2(kSample, buffer, 39));
  EXPECT_EQ(0, StringFromGUID2(kSample, buffer, 38));
  back.Data4[7] ^= 1;
  EXPECT_NE(kSample, back);
  EXPECT_TRUE(kSample < back || back < kSample);
}

TEST(BstrTest, KeepsLengthAndEmbeddedNulsAndIsAlwaysTerminated) {
  const char16_t text[] = {u'a', u'\0', u'b', u'\0', u'c'};
  halcy::ScopedBstr b;  // each Receive frees the string before
  *b.Receive() = SysAllocStringLen(text, 5);
  EXPECT_EQ(5u, SysStringLen(b.Get()));
  EXPECT_EQ(10u, SysStringByteLen(b.Get()));
  EXPECT_EQ(std::u16string(text, 5), b.View());
  EXPECT_EQ(u'\0', b.Get()[5]);
  *b.Receive() = SysAllocStringByteLen("abc", 3);  // odd byte length
  EXPECT_EQ(3u, SysStringByteLen(b.Get()));
  EXPECT_EQ(1u, SysStringLen(b.Get()));
  EXPECT_EQ(0, reinterpret_cast<const char*>(b.Get())[3]);
  *b.Receive() = SysAllocStringLen(nullptr, 3);  // zeroed
  EXPECT_EQ(std::u16string(3, u'\0'), b.View());
  *b.Receive() = SysAllocString(u"");
  ASSERT_NE(nullptr, b.Get());
  EXPECT_EQ(0u, SysStringLen(b.Get()));
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
}

}  // namespace

namespace {

// An observer that holds the writing thread inside its call until released.
class HoldingObserver final : public halcy::LogObserver {
 public:
  void OnLogLine(int, std::u16string_view, std::u16string_view) override {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    returned_ = true;
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false;   // Guarded by mutex_
  bool released_ = false;  // Guarded by mutex_
  bool returned_ = false;  // Guarded by mutex_
};

TEST(LogControllerTest, RemoveObserverWaitsForACallStillRunningOnAnotherThread) {
  halcy::ILogController* log = halcy::GetLogController();
  HoldingObserver observer;
  log->AddObserver(&observer);
  std::thread writer([&] { log->Write(64, u"test;", u"held"); });
  {
    std::unique_lock<std::mutex> lock(observer.mutex_);
    observer.cv_.wait(lock, [&] { return observer.entered_; });
  }
  std::atomic<bool> removed{false};
  bool returned_before_removal_ended = false;
  std::thread remover([&] {
    log->RemoveObserver(&observer);
    std::lock_guard<std::mutex> lock(observer.mutex_);
    returned_before_removal_ended = observer.returned_;
    removed = true;
  });
  {
    // Removal must still be waiting while the call runs; give a broken one time to show.
    std::unique_lock<std::mutex> lock(observer.mutex_);
    observer.cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return removed.load(); });
    EXPECT_FALSE(removed.load());
    observer.released_ = true;
  }
  observer.cv_.notify_all();
  writer.join();
  remover.join();
  EXPECT_TRUE(returned_before_removal_ended);
}

}  // namespace
