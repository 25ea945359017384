// Paths a manifest names never lead outside the extension's directory: the summary's icon and
// options page, the UI points' icons and the background page are each ignored with one log line
// when they would, and icons are bounded in bytes and pixels.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "common/json_escape.h"
#include "extension/bk_core.h"
#include "extension/extension.h"
#include "extension/extension_mgr.h"
#include "extension/extension_paths.h"
#include "extension/web_view_service.h"
#include "extension_mgr_test_util.h"
#include "json/json_reader.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;
using testing_support::LogCapture;
using testing_support::LogLine;
using testing_support::ScopedTempDir;
using testing_support::WriteFileOrDie;

// The lines under `tag` that mention `needle`.
std::vector<LogLine> LinesAbout(const LogCapture& log, const std::u16string& tag,
                                const std::u16string& needle) {
  std::vector<LogLine> found;
  for (LogLine& line : log.LinesWithTag(tag)) {
    if (line.text.find(needle) != std::u16string::npos) found.push_back(std::move(line));
  }
  return found;
}

// Runs `work` on another thread. Should it still be running after ten seconds (stuck opening a
// FIFO), the FIFO is opened for writing to let it go, and the test fails.
template <class Work>
auto WithoutHanging(const std::string& fifo, Work work) {
  auto result = std::async(std::launch::async, work);
  if (result.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
    ADD_FAILURE() << "blocked on the FIFO " << fifo;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    result.wait();
    if (fd >= 0) ::close(fd);
  }
  return result.get();
}

TEST(ManifestPathTest, OnlyRelativePathsWithoutAWayOutAreInside) {
  const std::pair<const char16_t*, bool> cases[] = {
      {u"icon.png", true},
      {u"img/n.png", true},
      {u"img\\n.png", true},
      {u"a.b/c..d.png", true},
      {u"", false},
      {u"../x.png", false},
      {u"a/../../x.png", false},
      {u"..\\x.png", false},
      {u"..", false},
      {u"./x.png", false},
      {u"a/./x.png", false},
      {u"/etc/x.png", false},
      {u"\\x.png", false},
      {u"\\\\server\\share\\x.png", false},
      {u"C:\\x.png", false},
      {u"C:x.png", false},
      {u"x.png:stream", false},
      {u"a//x.png", false},
      {u"img/", false},
      {u"a\nb.png", false},
      {u"a\tb.png", false},
      {u"a\u007fb.png", false},
      {u"a\u0085b.png", false},
  };
  for (const auto& [path, inside] : cases) {
    EXPECT_EQ(inside, Logic::IsPathInsideExtension(path)) << Utf16ToUtf8(path);
  }
}

// root/outside.png and root/outside.html, and the extension's directory root/ext holding a
// valid icon and options page, a subfolder, a "C:" folder (so that "C:\x.png" would name a file
// were it taken as relative), links to the outside files and folder, FIFOs and folders under
// file names.
class ManifestFilesTest : public ::testing::Test {
 protected:
  ManifestFilesTest() : ext_(root_.path() + "/ext") {
    namespace fs = std::filesystem;
    for (const char* folder : {"img", "a", "C:", "dir.png", "dir.html"}) {
      fs::create_directories(ext_ + "/" + folder);
    }
    const std::string icon = MakeBmp(4, 4, 1, 2, 3);
    for (const std::string& file :
         {root_.File("outside.png"), ext_ + "/icon.png", ext_ + "/img/n.png", ext_ + "/C:/x.png"}) {
      WriteFileOrDie(file, icon);
    }
    WriteFileOrDie(root_.File("outside.html"), "<html></html>");
    WriteFileOrDie(ext_ + "/opt.html", "<html></html>");
    fs::create_symlink(root_.File("outside.png"), ext_ + "/link.png");
    fs::create_symlink(root_.File("outside.html"), ext_ + "/link.html");
    fs::create_directory_symlink(root_.path(), ext_ + "/linkdir");
    EXPECT_EQ(0, ::mkfifo(Fifo().c_str(), 0600));
    EXPECT_EQ(0, ::mkfifo((ext_ + "/fifo.html").c_str(), 0600));
    ext_record_.SetId(u"hostile");
  }

  std::string Fifo() const { return ext_ + "/fifo.png"; }
  std::u16string Dir() const { return Utf8ToUtf16(ext_); }
  // Each way out of the directory, for a file named `stem` plus `suffix`.
  std::vector<std::u16string> WaysOut(const std::u16string& suffix) const {
    return {u"../outside" + suffix,
            u"a/../../outside" + suffix,
            Utf8ToUtf16(root_.path()) + u"/outside" + suffix,
            u"C:\\x" + suffix,
            u"..\\outside" + suffix,
            u"link" + suffix,
            u"linkdir/outside" + suffix,
            u"fifo" + suffix,
            u"dir" + suffix,
            u"in\nvalid" + suffix};
  }

  // The summary's field `key`, the extension's manifest being `manifest`.
  std::u16string SummaryField(const std::u16string& manifest, const char16_t* key) {
    EXPECT_TRUE(ext_record_.SetManifest(manifest));
    const std::u16string summary =
        WithoutHanging(Fifo(), [this] { return ext_record_.BuildSummary(Dir(), true); });
    auto parsed = Logic::ParseJson(summary);
    if (!parsed || !parsed->IsObject()) return u"<not an object>";
    auto it = parsed->GetObject().find(std::u16string_view(key));
    return it == parsed->GetObject().end() ? u"<missing>" : it->second->GetString();
  }

  BrowserEnvironment env_;
  ScopedTempDir root_;
  std::string ext_;
  Logic::CExtension ext_record_;
};

std::u16string Member(const char16_t* key, const std::u16string& value) {
  return u"\"" + std::u16string(key) + u"\":\"" + Logic::EscapeJsonText(value) + u"\"";
}

TEST_F(ManifestFilesTest, AnIconOutsideTheDirectoryIsEmptyWithOneLine) {
  for (const std::u16string& path : WaysOut(u".png")) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    LogCapture log;
    EXPECT_EQ(u"", SummaryField(u"{" + Member(u"main_icon", path) + u"}", u"icon"));
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(64, lines[0].level);
    EXPECT_NE(std::u16string::npos, lines[0].text.find(u"'hostile'"));
    EXPECT_NE(std::u16string::npos, lines[0].text.find(u"main_icon"));
    EXPECT_NE(std::u16string::npos, lines[0].text.find(Logic::EscapeJsonText(path)));
  }
}

TEST_F(ManifestFilesTest, AnIconInsideIsInlinedWithoutALine) {
  for (const std::u16string path : {u"icon.png", u"img/n.png", u"img\\n.png"}) {
    LogCapture log;
    const std::u16string icon = SummaryField(u"{" + Member(u"main_icon", path) + u"}", u"icon");
    EXPECT_EQ(u"data:image/png;base64,", icon.substr(0, 22)) << Utf16ToUtf8(path);
    EXPECT_TRUE(log.LinesWithTag(u"ext;").empty());
  }
}

TEST_F(ManifestFilesTest, IconsOverTheCapsAreRefusedWithOneLine) {
  WriteFileOrDie(ext_ + "/big.bmp", MakeBmp(700, 520, 9, 9, 9));  // 1 092 054 bytes
  WriteFileOrDie(ext_ + "/wide.bmp", MakeBmp(1025, 1, 9, 9, 9));
  WriteFileOrDie(ext_ + "/tall.bmp", MakeBmp(1, 1025, 9, 9, 9));
  WriteFileOrDie(ext_ + "/edge.bmp", MakeBmp(1024, 2, 9, 9, 9));
  const struct {
    const char16_t* file;
    const char16_t* reason;  // in the log line; null when the icon is used
  } cases[] = {
      {u"big.bmp", u"1 MiB"},
      {u"wide.bmp", u"1024 x 1024"},
      {u"tall.bmp", u"1024 x 1024"},
      {u"edge.bmp", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.file));
    LogCapture log;
    const std::u16string icon = SummaryField(u"{" + Member(u"main_icon", c.file) + u"}", u"icon");
    const std::vector<LogLine> lines = log.LinesWithTag(u"ext;");
    if (!c.reason) {
      EXPECT_EQ(u"data:image/bmp;base64,", icon.substr(0, 22));
      EXPECT_TRUE(lines.empty());
      continue;
    }
    EXPECT_EQ(u"", icon);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::u16string::npos, lines[0].text.find(c.reason)) << Utf16ToUtf8(lines[0].text);
    EXPECT_NE(std::u16string::npos, lines[0].text.find(c.file));
  }
}

TEST_F(ManifestFilesTest, AnOptionsPageOutsideTheDirectoryIsEmptyWithOneLine) {
  std::vector<std::u16string> paths = WaysOut(u".html");
  paths.push_back(u"a/../../outside.html#general");
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    LogCapture log;
    EXPECT_EQ(u"", SummaryField(u"{" + Member(u"options_page", path) + u"}", u"optionpage"));
    const std::vector<LogLine> lines = LinesAbout(log, u"ext;", u"options_page");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1u, log.LinesWithTag(u"ext;").size());
    EXPECT_NE(std::u16string::npos, lines[0].text.find(u"'hostile'"));
  }
  LogCapture log;
  std::u16string dir = Dir();  // as the summary writes it, with backslashes
  std::replace(dir.begin(), dir.end(), u'/', u'\\');
  EXPECT_EQ(
      dir + u"\\opt.html#general",
      SummaryField(u"{" + Member(u"options_page", u"opt.html#general") + u"}", u"optionpage"));
  EXPECT_TRUE(log.LinesWithTag(u"ext;").empty());
}

// A string at `group`/`name` of a point's JSON text.
std::u16string Icon(const std::u16string& json, const char16_t* group, const char16_t* name) {
  auto value = Logic::ParseJson(json);
  if (!value || !value->IsObject()) return u"<not an object>";
  auto g = value->GetObject().find(std::u16string_view(group));
  if (g == value->GetObject().end()) return u"<no group>";
  auto n = g->second->GetObject().find(std::u16string_view(name));
  return n == g->second->GetObject().end() ? u"<no name>" : n->second->GetString();
}

TEST_F(ManifestFilesTest, AUiPointIconOutsideTheDirectoryIsDroppedWithOneLine) {
  std::vector<std::u16string> paths = WaysOut(u".png");
  paths.push_back(u":");  // a path that is also JSON structure
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(Utf16ToUtf8(path));
    ASSERT_TRUE(ext_record_.SetManifest(
        u"{\"addressui\":{\"icongroup\":{" + Member(u"normal", path) + u"," +
        Member(u"press", u"img/n.png") + u"," + Member(u"hover", u"missing.png") +
        u"}},\"toolbarui\":{\"icongroup\":{" + Member(u"normal", u"icon.png") +
        u"},\"animation_icon\":{" + Member(u"path", path) + u"}}}"));
    LogCapture log;
    const auto points = WithoutHanging(Fifo(), [this] { return ext_record_.BuildUIPoints(Dir()); });
    ASSERT_EQ(2u, points.size());
    const std::u16string& toolbar = points[0].second;
    const std::u16string& address = points[1].second;
    EXPECT_EQ(u"", Icon(address, u"icongroup", u"normal"));
    EXPECT_EQ(Dir() + u"\\img/n.png", Icon(address, u"icongroup", u"press"));
    EXPECT_EQ(Dir() + u"\\missing.png", Icon(address, u"icongroup", u"hover"));
    EXPECT_EQ(Dir() + u"\\icon.png", Icon(toolbar, u"icongroup", u"normal"));
    EXPECT_EQ(u"", Icon(toolbar, u"animation_icon", u"path"));
    EXPECT_EQ(2u, log.LinesWithTag(u"ext;").size());
    EXPECT_EQ(1u, LinesAbout(log, u"ext;", u"addressui/icongroup/normal").size());
    EXPECT_EQ(1u, LinesAbout(log, u"ext;", u"toolbarui/animation_icon/path").size());
  }
}

// --- The background page ---

struct Navigations {
  std::mutex mutex;
  std::vector<std::string> addresses;  // Guarded by mutex
};

class FakeCore : public halcy::ComObjectRoot,
                 public Logic::IExtWebViewCore,
                 public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(FakeCore)
  HALCY_INTERFACE(FakeCore, Logic::IExtWebViewCore)
  HALCY_INTERFACE(FakeCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()
  explicit FakeCore(Navigations* log) : log_(log) {}
  HRESULT Navigate(BSTR address) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->addresses.push_back(Utf16ToUtf8(Text(address)));
    return S_OK;
  }
  HRESULT GetReportedValues(LONG*, LONG*) override { return S_OK; }
  HRESULT GetRoutingHandle(LONG*) override { return S_OK; }
  HRESULT DeliverMessage(BSTR, BSTR) override { return S_OK; }

 private:
  Navigations* log_;
};

class FakeWebView : public halcy::ComObjectRoot,
                    public Logic::IExtWebViewService,
                    public Logic::IExtWebViewFactory,
                    public Logic::IExtWebViewHost {
 public:
  HALCY_BEGIN_INTERFACES(FakeWebView)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewService)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewFactory)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewHost)
  HALCY_END_INTERFACES()
  explicit FakeWebView(Navigations* log) : log_(log) {}
  HRESULT GetViewFactory(LONG, Logic::IExtWebViewFactory** factory) override {
    return QueryInterface(Logic::IExtWebViewFactory::kIID, reinterpret_cast<void**>(factory));
  }
  HRESULT GetWebViewHost(Logic::IExtWebViewHost** host) override {
    return QueryInterface(Logic::IExtWebViewHost::kIID, reinterpret_cast<void**>(host));
  }
  HRESULT CreateCore(LONG, LONG, LONG, Logic::IExtWebViewCore** core) override {
    ComPtr<FakeCore> made = halcy::MakeComObject<FakeCore>(log_);
    return made->QueryInterface(Logic::IExtWebViewCore::kIID, reinterpret_cast<void**>(core));
  }

 private:
  Navigations* log_;
};

class BackgroundPagePathTest : public ExtensionMgrFixture {};

TEST_F(BackgroundPagePathTest, APageOutsideTheDirectoryIsNotStartedWithOneLine) {
  Navigations navigations;
  ComPtr<FakeWebView> web_view = halcy::MakeComObject<FakeWebView>(&navigations);
  host_.ReplaceService(Logic::IExtWebViewService::kIID,
                       static_cast<Logic::IExtWebViewService*>(web_view.Get()));
  InstallFakes();
  CreateDatabaseFile();
  const std::pair<const char16_t*, const char16_t*> pages[] = {
      {u"good", u"bg/main.html?x=1#top"},
      {u"up", u"../x.html"},
      {u"escaped", u"%2e%2E/x.html"},
      {u"absolute", u"/etc/x.html"},
      {u"drive", u"C:\\x.html"},
      {u"back", u"bg\\..\\..\\x.html"},
      {u"link", u"page.html"},
      {u"fifo", u"page.html"},
      {u"folder", u"page.html"},
  };
  std::vector<StoreRecord> records;
  for (const auto& [id, page] : pages) {
    StoreRecord record = Record(id, 1);
    record.manifest = u"{\"name\":\"n\"," + Member(u"background_page", page) + u"}";
    records.push_back(record);
  }
  PutRecords(records);
  const std::string dir = UserExtensionsDir();
  WriteFileOrDie(env_.appdata() + "/outside.html", "<html></html>");
  std::filesystem::create_symlink(env_.appdata() + "/outside.html", dir + "/link/page.html");
  ASSERT_EQ(0, ::mkfifo((dir + "/fifo/page.html").c_str(), 0600));
  std::filesystem::create_directories(dir + "/folder/page.html");

  LogCapture log;
  ComPtr<Logic::IExtensionMgr> mgr = NewMgr();
  ComPtr<RecordingListener> listener = ListenOn(mgr.Get(), Thread::kThreadExtensionManager);
  SwitchAndWait(mgr.Get(), listener.Get(), 2);
  ASSERT_TRUE(host_.WaitIdle());
  {
    std::lock_guard<std::mutex> lock(navigations.mutex);
    EXPECT_EQ(std::vector<std::string>{"hcbrowser://localextensions/good/bg/main.html?x=1#top"},
              navigations.addresses);
  }
  const std::vector<LogLine> lines = LinesAbout(log, u"extMgr;", u"background_page");
  EXPECT_EQ(std::size(pages) - 1, lines.size());
  for (const auto& [id, page] : pages) {
    const std::u16string quoted = u"'" + std::u16string(id) + u"'";
    const size_t expected = quoted == u"'good'" ? 0 : 1;
    EXPECT_EQ(expected, std::count_if(lines.begin(), lines.end(),
                                      [&](const LogLine& line) {
                                        return line.text.find(quoted) != std::u16string::npos;
                                      }))
        << Utf16ToUtf8(id);
  }
}

}  // namespace
}  // namespace extension_testing
