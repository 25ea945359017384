// The update tracker end to end: a real extension manager on a throwaway data root starts it,
// its list requests and package downloads go to the loopback HTTP server through the proxy,
// and packages are unpacked and handed to the manager's install and update tasks.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <thread>

#include "extension/extension_mgr_test_util.h"
#include "platform/ini_file.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/loopback_server.h"
#include "support/zip_builder.h"
#include "update/extension_tracker.h"
#include "update/net_file_fetcher.h"
#include "update/tracker_support.h"
#include "update/xml_document.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using namespace Logic;
using extension_testing::Record;
using ListView = std::map<std::u16string, std::pair<LONG, LONG>>;  // id -> (state, type)

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  char text[2 * EVP_MAX_MD_SIZE + 1] = "";
  for (unsigned i = 0; i < length; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return text;
}

const std::string kFiles = "http://downloads.example.test/files/";
// A list reply of exactly kShortestListReply characters.
const std::string kShortList = R"({"force":{"list":[{"id":"a","url":"http://h/files/"}]}})";

template <class T>
halcy::CreatableClass Creatable() {
  return {[](REFIID iid, void** out) { return halcy::CreateComInstance<T>(nullptr, iid, out); }};
}

class TrackerTest : public extension_testing::ExtensionMgrFixture {
 protected:
  TrackerTest() {
    registrations_.PublishClass(ICarryInfo::kIID, Creatable<CCoCarryInfo>());
    registrations_.PublishClass(INetFileFetcher::kIID, Creatable<CCoNetFileFetcher>());
    ResetRequestQueryForTesting();
    ts::WriteFileOrDie(env_.browser_dir() + "/autoupdate.ini",
                       "[autoupdate]\nProductName=Demo Browser\n");
  }
  ~TrackerTest() override {
    if (mgr_) mgr_->UnInitialize();
    EXPECT_TRUE(host_.WaitIdle());
  }

  // Writes the tracker's settings (list address ".../files/list"), serves `list` there when it
  // is not empty and starts the manager on `records`.
  void Run(const std::string& list, const std::vector<extension_testing::StoreRecord>& records = {},
           int delay = 0) {
    ts::WriteFileOrDie(env_.browser_dir() + "/extensionMgrConfig.ini",
                       "[generalinfo]\ntrackerdelay=" + std::to_string(delay) +
                           "\n[extUpdate]\nurl=http://updates.example.test/files/list\n");
    if (!list.empty()) Serve("list", list);
    Start(records);
  }
  void Serve(const std::string& name, const std::string& bytes) {
    ts::WriteFileOrDie(files_.path() + "/" + name, bytes);
  }
  // A package of one extension folder holding its manifest and a page.
  std::string Package(const std::string& version) {
    return ts::BuildZip(
        {ts::ZipFile("ext/manifest.json", "{\"name\":\"n\",\"version\":\"" + version + "\"}"),
         ts::ZipFile("ext/page.html", "<p>")});
  }
  size_t Count(const std::string& path) {
    const std::vector<ts::RecordedRequest> all = server_.Requests();
    return std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.path == path; });
  }
  // Waits until both list replies were logged and everything they started has settled, then
  // reads the tracker's setup list on the extension-manager thread.
  ListView ServerListAfterReplies() {
    EXPECT_TRUE(ts::WaitUntil([&] {
      const std::vector<ts::LogLine> lines = log_.Lines();
      return std::count_if(lines.begin(), lines.end(), [](const ts::LogLine& line) {
               return line.text.find(u"extlist:task complete") == 0;
             }) >= 2;
    }));
    EXPECT_TRUE(host_.WaitIdle());
    ComPtr<IExtensionTracker> tracker = impl()->Tracker();
    ListView seen;
    host_.RunOn(Thread::kThreadExtensionManager, [&] {
      for (const auto& [id, item] : static_cast<CExtensionTracker*>(tracker.Get())->server_list())
        seen[id] = {item.state, item.type};
    });
    return seen;
  }
  bool Exists(const std::string& relative) { return fs::exists(UserExtensionsDir() + relative); }

  ts::ScopedTempDir files_;
  ts::ScopedEnv files_env_{"LOOPBACK_FILES_DIR", files_.path()};
  ts::ScopedEnv channel_{"HALCY_CHANNEL", "ch7"};
  ts::LoopbackServer server_;
  ts::ScopedLoopbackProxy proxy_{server_};
  ts::LogCapture log_;
};

// With a positive delay nothing is asked before the timer fires (a machine too slow to look in
// time relies on the arrival time); then both requests carry the query byte for byte, and their
// replies of kShortestListReply characters are dropped.
TEST_F(TrackerTest, ListRequestsWaitForTheTimerAndCarryTheQueryAndShortRepliesAreDropped) {
  ASSERT_EQ(kShortList.size(), kShortestListReply);
  const auto started = std::chrono::steady_clock::now();
  Run(kShortList, {}, 2500);
  ASSERT_TRUE(host_.WaitIdle());  // the timer is not due yet
  if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(2000)) {
    EXPECT_EQ(server_.Requests().size(), 0u);
  }
  ASSERT_TRUE(server_.WaitForRequests(2));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  std::vector<std::string> bodies;
  for (const ts::RecordedRequest& r : server_.Requests()) {
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.host, "updates.example.test");
    EXPECT_EQ(r.path, "/files/list");
    EXPECT_EQ(r.content_type, "application/x-www-form-urlencoded");
    EXPECT_EQ(r.content_length, std::to_string(r.body.size()));
    bodies.push_back(r.body);
  }
  std::sort(bodies.begin(), bodies.end());
  const std::string query =
      "sign_algorithm=rsa&comp_versions=1.0.0.0&updater_version=1.0&type=auto"
      "&product_name=Demo Browser&osver=" +
      halcy::Utf16ToUtf8(OsVersionText()) + "&browser_ver=0.0.0.0&tn=ch7&comp_names=";
  EXPECT_EQ(bodies, (std::vector<std::string>{query + "extsetup", query + "extupdate"}));
  struct utsname name;
  ASSERT_EQ(uname(&name), 0);
  unsigned major = 0, minor = 0;
  ASSERT_EQ(std::sscanf(name.release, "%u.%u", &major, &minor), 2);
  const std::string prefix = std::to_string(major) + "." + std::to_string(minor) + ".";
  EXPECT_EQ(OsVersionText().rfind(halcy::Utf8ToUtf16(prefix), 0), 0u);
  EXPECT_TRUE(ServerListAfterReplies().empty());
}

// One character more than kShortestListReply: the list is processed.
TEST_F(TrackerTest, ReplyOfFiftySixCharactersIsProcessed) {
  Run(kShortList + " ");
  EXPECT_EQ(ServerListAfterReplies().count(u"a"), 1u);
}

// Refuses every ProgID and records what it was asked, in order; the class goes to the host's.
class RecordingXmlClasses : public halcy::ComObjectRoot, public IXmlDocumentClasses {
 public:
  HALCY_BEGIN_INTERFACES(RecordingXmlClasses)
  HALCY_INTERFACE(RecordingXmlClasses, IXmlDocumentClasses)
  HALCY_END_INTERFACES()
  HRESULT CreateByProgId(LPCWSTR prog_id, REFIID, void** out) override {
    asked.push_back(prog_id);
    *out = nullptr;
    return static_cast<HRESULT>(0x80040154);
  }
  HRESULT CreateByClsid(REFCLSID clsid, REFIID iid, void** out) override {
    asked.push_back(u"class");
    return real->CreateByClsid(clsid, iid, out);
  }
  ComPtr<IXmlDocumentClasses> real;
  std::vector<std::u16string> asked;
};

// Each reply gets a document sought by every ProgID in order, then by its class; the result is
// the text of a root named "result" in any case.
TEST_F(TrackerTest, XmlReplyYieldsTheTextOfAResultRootFromADocumentSoughtInOrder) {
  ComPtr<RecordingXmlClasses> recorder = halcy::MakeComObject<RecordingXmlClasses>();
  ASSERT_EQ(S_OK, Util::Com::GetService(IXmlDocumentClasses::kIID,
                                        recorder->real.ReleaseAndGetVoidAddress()));
  host_.ReplaceService(IXmlDocumentClasses::kIID,
                       static_cast<IXmlDocumentClasses*>(recorder.Get()));
  const std::vector<std::u16string> order = {u"Msxml2.DOMDocument",     u"Msxml2.DOMDocument.3.0",
                                             u"Msxml2.DOMDocument.4.0", u"Msxml2.DOMDocument.5.0",
                                             u"Msxml2.DOMDocument.6.0", u"Msxml2.DOMDocument.7.0",
                                             u"Msxml.DOMDocument",      u"class"};
  for (const auto& [xml, payload] : std::map<std::u16string, std::u16string>{
           {u"<result>{\"a\":1}</result>", u"{\"a\":1}"},
           {u"<?xml version=\"1.0\"?><RESULT>x &amp; y</RESULT>", u"x & y"},
           {u"<ReSuLt><![CDATA[{\"b\":2}]]></ReSuLt>", u"{\"b\":2}"},
           {u"<other>{\"a\":1}</other>", u""},
           {u"<result>unclosed", u""}}) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(xml));
    recorder->asked.clear();
    EXPECT_EQ(ExtractXmlResult(xml), payload);
    EXPECT_EQ(recorder->asked, order);
  }
}

// Setup entries are filtered and their state and type defaulted. "pk" cannot reach the
// manager's own files (it lands in its own folder only); "good" matches its digest and is
// installed, "evil" does not and leaves nothing behind.
TEST_F(TrackerTest, SetupEntriesAreFilteredAndPackagesCheckedAndKeptInTheirFolder) {
  const std::string good = Package("2.0");
  for (const char* name : {"good.zip", "evil.zip"}) Serve(name, good);
  Serve("pk.zip", ts::BuildZip({ts::ZipFile("manifest.json", R"({"version":"1.0"})"),
                                ts::ZipFile("extdb_v2.json", "garbage"),
                                ts::ZipFile("../UnFinishTask.ini", "garbage")}));
  Run("{\"force\":{\"list\":["
      "{\"id\":\"future\",\"url\":\"http://h/files/f\",\"lowestbrowser\":\"0.0.0.1\"},"
      "{\"id\":\"old\",\"url\":\"http://h/files/o\",\"lowestbrowser\":\"0.0.0.0\"},"
      "{\"id\":\"plain\",\"url\":\"http://h/files/p\",\"state\":\"-1\",\"type\":-1},"
      "{\"id\":\"given\",\"url\":\"http://h/files/g\",\"state\":\"0\",\"type\":2},"
      "{\"id\":\"../x\",\"url\":\"http://h/files/x\"},"
      "{\"id\":\"bad\",\"url\":\"http://h/files/b\",\"sha256\":\"12\"},\"not an object\","
      "{\"id\":\"pk\",\"url\":\"" +
          kFiles + "pk.zip\"},{\"id\":\"good\",\"url\":\"" + kFiles + "good.zip\",\"sha256\":\"" +
          Sha256Hex(good) + "\"},{\"id\":\"evil\",\"url\":\"" + kFiles +
          "evil.zip\",\"sha256\":\"" + Sha256Hex(good + "x") + "\"}]}}",
      {Record(u"other")});
  ASSERT_TRUE(ts::WaitUntil([&] {
    return Agent(u"pk") && Agent(u"good") &&
           log_.Contains(u"extlist: package of 'evil' does not match its sha256, deleted");
  }));
  ListView seen = ServerListAfterReplies();
  for (const char16_t* id : {u"pk", u"good", u"evil"}) seen.erase(id);
  EXPECT_EQ(seen, (ListView{{u"old", {1, 0}}, {u"plain", {1, 0}}, {u"given", {0, 2}}}));
  EXPECT_EQ(Count("/files/f") + Count("/files/x") + Count("/files/b"), 0u);
  EXPECT_TRUE(log_.Contains(u"extlist: setup list: extension id '../x' skipped"));
  const host::ExtensionRecords records = StoredRecords();
  EXPECT_EQ(records.size(), 3u);  // the store still parses: other, pk and good
  EXPECT_EQ(records.count(u"evil"), 0u);
  EXPECT_EQ(ts::ReadFileOrEmpty(UserExtensionsDir() + "/pk/extdb_v2.json"), "garbage");
  EXPECT_FALSE(Exists("/UnFinishTask.ini"));
  EXPECT_FALSE(Exists("/pk/UnFinishTask.ini"));
  EXPECT_TRUE(Exists("/good/manifest.json"));
  EXPECT_FALSE(Exists("/evil"));
  EXPECT_FALSE(Exists("/downloadtemp/evil.zip"));
}

// The selected "sel" is installed with its state and the newer "upd" staged; on the next start
// "sel" is installed, so no download starts and the selection file goes.
TEST_F(TrackerTest, SelectionAndNewerUpdateAreInstalledAndAFileStartingNothingIsDeleted) {
  Serve("upd.zip", Package("1.10"));
  Serve("sel.zip", Package("1.0"));
  fs::create_directories(UserExtensionsDir());
  ts::WriteFileOrDie(UserExtensionsDir() + "/LocalSelectedExtensions.json",
                     "[{\"id\":\"sel\",\"url\":\"" + kFiles + "sel.zip\",\"state\":0}]");
  Run("{\"upd\":{\"version\":\"1.10\",\"url\":\"" + kFiles + "upd.zip" +
          "\"},\"same\":{\"version\":\"1.0\",\"url\":\"" + kFiles + "same.zip" + "\"}}",
      {Record(u"upd"), Record(u"same")});
  ASSERT_TRUE(ts::WaitUntil([&] {
    auto records = StoredRecords();
    return Agent(u"sel") && records.count(u"upd") &&
           records[u"upd"].directory.find(u"updatetemp") != std::u16string::npos;
  }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_NE(StoredRecords()[u"upd"].manifest.find(u"1.10"), std::u16string::npos);
  EXPECT_TRUE(Exists("/updatetemp/upd-1.10/manifest.json"));
  EXPECT_TRUE(Exists("/updatetemp/upd-1.10/page.html"));
  EXPECT_FALSE(Exists("/downloadtemp/upd.zip"));
  EXPECT_EQ(Count("/files/same.zip"), 0u);
  // Nothing but the staged folder is left in updatetemp.
  EXPECT_EQ(std::distance(fs::directory_iterator(UserExtensionsDir() + "/updatetemp"),
                          fs::directory_iterator()),
            1);
  LONG state = -5;
  Agent(u"sel")->GetState(&state);
  EXPECT_EQ(state, 0);
  mgr_->UnInitialize();
  ASSERT_TRUE(host_.WaitIdle());
  mgr_ = nullptr;
  Start({}, Thread::kThreadUI, false);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_FALSE(Exists("/LocalSelectedExtensions.json"));
  EXPECT_EQ(Count("/files/sel.zip"), 1u);
}

// Shipped "bi" 2.0 replaces the installed 1.0 (old folder kept, its library on the unload
// list); shipped "fresh" is copied in and installed; the user's version file follows.
TEST_F(TrackerTest, NewerBuiltinSetReplacesOlderCopiesAndTheUnloadListHoldsAPathOnce) {
  const std::string shipped = env_.browser_dir() + "/resource/userdata/localextensions";
  const std::string user = UserExtensionsDir();
  const std::string new_manifest = R"({"name":"bi","version":"2.0","librarypath":"bi.so"})";
  const std::string old_manifest = R"({"name":"bi","version":"1.0","librarypath":"old.so"})";
  const std::string v1 = R"({"dbversion":"1","dataversion":"1"})";
  const std::string v2 = R"({"dbversion":"2","dataversion":"2"})";
  for (const std::string& dir : {shipped + "/bi", shipped + "/fresh", user + "/bi"})
    fs::create_directories(dir);
  ts::WriteFileOrDie(shipped + "/localextensionversion.json", v2);
  ts::WriteFileOrDie(shipped + "/bi/manifest.json", new_manifest);
  ts::WriteFileOrDie(shipped + "/fresh/manifest.json", R"({"name":"fresh","version":"1.0"})");
  ts::WriteFileOrDie(shipped + "/extdb_v2.json",
                     extension_testing::StoreText(
                         {{u"bi", 1, 0, u"hcextdbpath/bi", halcy::Utf8ToUtf16(new_manifest)},
                          {u"fresh", 1, 0, u"hcextdbpath/fresh", u"{\"version\":\"1.0\"}"}}));
  ts::WriteFileOrDie(user + "/bi/manifest.json", old_manifest);
  ts::WriteFileOrDie(user + "/localextensionversion.json", v1);
  Start({{u"bi", 1, 0, u"hcextdbpath/bi", halcy::Utf8ToUtf16(old_manifest)}});
  ASSERT_TRUE(ts::WaitUntil([&] { return Agent(u"fresh") != nullptr; }));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(ts::ReadFileOrEmpty(user + "/bi/manifest.json"), new_manifest);
  EXPECT_EQ(ts::ReadFileOrEmpty(user + "/bibackups/manifest.json"), old_manifest);
  EXPECT_NE(StoredRecords()[u"bi"].manifest.find(u"2.0"), std::u16string::npos);
  EXPECT_TRUE(Exists("/fresh/manifest.json"));
  EXPECT_EQ(ts::ReadFileOrEmpty(user + "/localextensionversion.json"), v2);
  std::string unload;
  for (const auto& e : fs::recursive_directory_iterator(env_.appdata()))
    if (e.path().filename() == "extensionunloadlist.ini") unload = ts::ReadFileOrEmpty(e.path());
  EXPECT_NE(unload.find("old.so"), std::string::npos) << unload;
  EXPECT_TRUE(log_.Contains(u"exts need be updated!"));
  EXPECT_TRUE(log_.Contains(u"ext bi should be updated, update ext info"));
  // The list never holds a path twice, in any case.
  const std::u16string ini = halcy::Utf8ToUtf16(files_.path() + "/extensionunloadlist.ini");
  for (const char16_t* path : {u"C:\\Ext\\a.dll", u"c:\\ext\\A.DLL", u"C:\\Ext\\b.dll",
                               u"C:\\EXT\\B.dll", u"C:\\Ext\\a.dll"}) {
    AddToUnloadList(ini, path);
  }
  EXPECT_EQ(GetPrivateProfileIntW(u"listinfo", u"count", 0, ini.c_str()), 2u);
  char16_t text[64];
  GetPrivateProfileStringW(u"1", u"exepath", u"", text, 64, ini.c_str());
  EXPECT_EQ(std::u16string(text), u"C:\\Ext\\a.dll");
  GetPrivateProfileStringW(u"2", u"exepath", u"", text, 64, ini.c_str());
  EXPECT_EQ(std::u16string(text), u"C:\\Ext\\b.dll");
}

// Without "autoupdate.ini" the query is empty and that is logged; a stop during the download
// the list started leaves nothing half installed.
TEST_F(TrackerTest, WithoutAutoUpdateIniTheQueryIsEmptyAndAStopLeavesNothingHalfInstalled) {
  fs::remove(env_.browser_dir() + "/autoupdate.ini");
  Run("{\"force\":{\"list\":[{\"id\":\"slow\",\"url\":\"http://h/stall/100000/4000\"}]}}");
  ASSERT_TRUE(ts::WaitUntil([&] { return Count("/stall/100000/4000") == 1; }));
  for (const ts::RecordedRequest& r : server_.Requests()) {
    EXPECT_TRUE(r.path != "/files/list" || r.body == "&comp_names=extsetup" ||
                r.body == "&comp_names=extupdate")
        << r.body;
  }
  EXPECT_TRUE(log_.Contains(u"updating ext list failed reason: can't file autoupdate.ini file"));
  mgr_->UnInitialize();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(impl()->Tracker(), nullptr);
  EXPECT_FALSE(Exists("/slow"));
  EXPECT_FALSE(Exists("/downloadtemp/slow.zip"));
  EXPECT_EQ(StoredRecords().count(u"slow"), 0u);
  mgr_ = nullptr;
}

}  // namespace
