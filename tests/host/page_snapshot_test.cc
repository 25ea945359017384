// Page snapshots of the browser stand-in: the image is a real PNG of the page's text, hostile
// targets are refused before anything is written, and a tab's page renders on the UI thread
// and reports once to the sink it was given, keeping its identity while it is held.
#include "host/page_snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "host/browser_model.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/image_codec.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "thread/thread_service.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void ExpectPng(const std::string& bytes) {
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), bytes.substr(0, 8));
  EXPECT_EQ("IHDR", bytes.substr(12, 4));
  halcy::ImageSize size;
  ASSERT_TRUE(halcy::ReadImageSize(bytes, &size));
  EXPECT_EQ(static_cast<uint32_t>(host::kSnapshotWidth), size.width);
  EXPECT_EQ(static_cast<uint32_t>(host::kSnapshotHeight), size.height);
}

TEST(PageSnapshotTest, RenderedImageIsAPngOfTheRightSizeThatShowsTheText) {
  const std::string news = host::RenderPageSnapshotPng(u"News", u"https://news.example/");
  ExpectPng(news);
  // The text is really drawn: another title, another image; a title far too long still fits.
  EXPECT_NE(news, host::RenderPageSnapshotPng(u"Mail", u"https://news.example/"));
  ExpectPng(host::RenderPageSnapshotPng(std::u16string(5000, u'\x4E2D'), u""));
}

TEST(PageSnapshotTest, HostileTargetsAreRefusedWithAReason) {
  testing_support::ScopedTempDir dir;
  ASSERT_EQ(0, symlink("/etc/hostname", dir.File("link.png").c_str()));
  std::ofstream(dir.File("old.png")) << "old";
  struct Case {
    std::u16string target;
    const char* why;  // null: accepted
  } cases[] = {
      {halcy::Utf8ToUtf16(dir.File("new.png")), nullptr},
      {halcy::Utf8ToUtf16(dir.File("old.png")), nullptr},
      {u"page.png", "not an absolute path"},
      {u"", "not an absolute path"},
      {halcy::Utf8ToUtf16(dir.path() + "/../x/../page.png"), "holds a \"..\" component"},
      {halcy::Utf8ToUtf16(dir.File("missing/page.png")), "its directory does not exist"},
      {halcy::Utf8ToUtf16(dir.File("old.png/page.png")), "its directory does not exist"},
      {halcy::Utf8ToUtf16(dir.File("link.png")), "is a symbolic link"},
      {halcy::Utf8ToUtf16(dir.path()), "is not a regular file"},
      {halcy::Utf8ToUtf16(dir.path() + "/"), "names no file"},
      {halcy::Utf8ToUtf16(dir.File("a.png")) + u'\0' + u"b", "holds a NUL"},
      {u"/" + std::u16string(5000, u'a'), "too long"},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto path = host::CheckSnapshotTarget(c.target, &why);
    EXPECT_EQ(c.why == nullptr, path.has_value()) << halcy::Utf16ToUtf8(c.target);
    EXPECT_EQ(c.why ? c.why : "", why) << halcy::Utf16ToUtf8(c.target);
  }
  // Windows separators are taken as "/".
  EXPECT_EQ(dir.File("w.png"),
            host::CheckSnapshotTarget(halcy::Utf8ToUtf16(dir.path()) + u"\\w.png"));
}

// Records each report with the thread it came on.
class RecordingSink : public halcy::ComObjectRoot, public Logic::IPageSnapshotSink {
 public:
  HALCY_BEGIN_INTERFACES(RecordingSink)
  HALCY_INTERFACE(RecordingSink, Logic::IPageSnapshotSink)
  HALCY_END_INTERFACES()

  HRESULT OnSnapshotFinished(BOOL succeeded) override {
    std::lock_guard<std::mutex> hold(lock_);
    reports_.push_back({succeeded, GetCurrentThreadId()});
    changed_.notify_all();
    return S_OK;
  }
  struct Report {
    BOOL succeeded;
    DWORD thread;
  };
  std::vector<Report> WaitForReports(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, std::chrono::seconds(10), [&] { return reports_.size() >= count; });
    return reports_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Report> reports_;  // Guarded by lock_
};

class TabPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, model()->AddFrame(1));
    ASSERT_EQ(S_OK, model()->AddTab(1, 11, u"https://news.example/", u"News"));
    ASSERT_EQ(S_OK, model()->GetTabPage(11, page_.ReleaseAndGetAddressOf()));
    ASSERT_EQ(S_OK, page_->QueryInterface(Logic::IPageContent::kIID,
                                          content_.ReleaseAndGetVoidAddress()));
    ASSERT_EQ(S_OK, page_->QueryInterface(Logic::IPageSnapshotEvents::kIID,
                                          events_.ReleaseAndGetVoidAddress()));
  }
  host::CBrowserModel* model() { return host_.services().browser_model(); }
  HRESULT Start(RecordingSink* sink, const std::string& path) {
    events_->SetSnapshotSink(sink);
    halcy::ScopedBstr target(halcy::Utf8ToUtf16(path));
    return content_->StartSnapshot(0, target.Get());
  }

  testing_support::TestHost host_;
  testing_support::ScopedTempDir dir_;
  ComPtr<IUnknown> page_;
  ComPtr<Logic::IPageContent> content_;
  ComPtr<Logic::IPageSnapshotEvents> events_;
};

TEST_F(TabPageTest, SnapshotIsWrittenOnTheUIThreadAndReportedOnce) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  ASSERT_EQ(S_OK, Start(sink.Get(), dir_.File("page.png")));
  const auto reports = sink->WaitForReports(1);
  ASSERT_EQ(1u, reports.size());
  EXPECT_TRUE(reports[0].succeeded);
  EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), reports[0].thread);
  ExpectPng(ReadAll(dir_.File("page.png")));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, sink->WaitForReports(1).size());
}

TEST_F(TabPageTest, RefusedTargetWritesNothingAndReportsNothing) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  std::ofstream(dir_.File("outside.txt")) << "keep";
  ASSERT_EQ(0, symlink(dir_.File("outside.txt").c_str(), dir_.File("link.png").c_str()));
  EXPECT_EQ(E_INVALIDARG, Start(sink.Get(), dir_.File("link.png")));
  EXPECT_EQ(E_INVALIDARG, Start(sink.Get(), dir_.path() + "/sub/../page.png"));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ("keep", ReadAll(dir_.File("outside.txt")));
  EXPECT_TRUE(sink->WaitForReports(0).empty());
}

TEST_F(TabPageTest, ClosedTabReportsFailureAndBusyPageRefusesASecondStart) {
  ComPtr<RecordingSink> sink = halcy::MakeComObject<RecordingSink>();
  // The tab closes before the UI thread renders: the page can no longer be drawn.
  host_.RunOn(Thread::kThreadUI, [&] {
    EXPECT_EQ(S_OK, Start(sink.Get(), dir_.File("page.png")));
    EXPECT_EQ(E_FAIL, Start(sink.Get(), dir_.File("other.png")));
    EXPECT_EQ(S_OK, model()->CloseTab(11));
  });
  const auto reports = sink->WaitForReports(1);
  ASSERT_EQ(1u, reports.size());
  EXPECT_FALSE(reports[0].succeeded);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, sink->WaitForReports(1).size());
}

TEST_F(TabPageTest, PageKeepsItsIdentityWhileHeld) {
  ComPtr<IUnknown> again;
  ASSERT_EQ(S_OK, model()->GetTabPage(11, again.ReleaseAndGetAddressOf()));
  EXPECT_EQ(page_.Get(), again.Get());
  // Once every reference is gone the page leaves the table, and the tab gets a new one.
  page_ = nullptr;
  content_ = nullptr;
  events_ = nullptr;
  again = nullptr;
  ASSERT_EQ(S_OK, model()->GetTabPage(11, again.ReleaseAndGetAddressOf()));
  ComPtr<Logic::IBrowserPage> browser_page;
  EXPECT_EQ(S_OK, again->QueryInterface(Logic::IBrowserPage::kIID,
                                        browser_page.ReleaseAndGetVoidAddress()));
}

}  // namespace
