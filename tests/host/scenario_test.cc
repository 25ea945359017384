// Runs `plexore-host run --scenario` for real and compares what each receiver printed, line for
// line. Lines of different receivers may interleave in any order, so they are compared per
// receiver, in the order each one received them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host_run.h"
#include "support/loopback_server.h"
#include "support/zip_builder.h"

namespace {

// The load of the shipped native library at start-up, as the extension process prints it.
constexpr char kWeatherdeskLoad[] =
    R"({"to":"dll","type":"0x07000001","params":["weatherdesk",)"
    R"("ROOT/appdata/halcy/browser/SysData/localextensions/weatherdesk/weatherdesk.so"]})";

class ScenarioTest : public host_testing::HostRunTest {
 protected:
  // Plays `lines`; `out` receives standard output, `err` standard error.
  int Play(const std::string& lines, std::string* out, std::string* err = nullptr,
           const std::string& env = "") {
    testing_support::WriteFileOrDie(dir_.File("s.jsonl"), lines);
    const int code = Host("run --scenario " + dir_.File("s.jsonl") + " 2>" + dir_.File("err.txt"),
                          out, env, false);
    if (err) *err = testing_support::ReadFileOrEmpty(dir_.File("err.txt"));
    // The data root varies from run to run; the lines name it as ROOT.
    for (size_t at; (at = out->find(dir_.path())) != std::string::npos;) {
      out->replace(at, dir_.path().size(), "ROOT");
    }
    return code;
  }
  // Standard output's lines grouped by the receiver named at the start of each line. The calls
  // on the browser's UI ("ui") are left out unless `with_ui`.
  static std::map<std::string, std::vector<std::string>> ByReceiver(const std::string& out,
                                                                    bool with_ui = false) {
    std::map<std::string, std::vector<std::string>> lines;
    for (const std::string& line : testing_support::SplitLines(out)) {
      const size_t end = line.find('"', 7);
      lines[line.compare(0, 7, "{\"to\":\"") == 0 ? line.substr(7, end - 7) : "?"].push_back(line);
    }
    if (!with_ui) lines.erase("ui");
    return lines;
  }
  // `out` without the lines of the calls on the browser's UI.
  static std::string WithoutUi(const std::string& out) {
    std::string kept;
    for (const std::string& line : testing_support::SplitLines(out)) {
      if (line.rfind("{\"to\":\"ui\"", 0) != 0) kept += line + "\n";
    }
    return kept;
  }
};

// Whether the ui line is a call of one of `names`.
bool UiCallIs(const std::string& line, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (line.find(std::string(R"("call":")") + name + "\"") != std::string::npos) return true;
  }
  return false;
}

std::string CoreNotify(const std::string& event, const std::string& details,
                       const std::string& to = "pagenotes") {
  return "{\"to\":\"" + to +
         "\",\"via\":\"core\",\"name\":\"hcbrowser.extension.notify\","
         "\"payload\":\"{ \\\"result\\\":\\\"ok\\\", \\\"content\\\":{\\\"eventname\\\":\\\"" +
         event + "\\\", \\\"eventdetails\\\":" + details + "}}\"}";
}

// Every change of the browser model reaches the DLL host and the background page, in order and
// with its details; a change that changes nothing (activating the active tab, full screen twice,
// a second logout) raises nothing.
TEST_F(ScenarioTest, BrowserEventsReachTheDllHostAndTheBackgroundPageInOrder) {
  std::string out;
  ASSERT_EQ(0, Play(R"({"op":"frame","id":1}
{"op":"tab","frame":1,"id":11,"url":"http://a.example/x","title":"A"}
{"op":"tab","frame":1,"id":12,"url":"http://b/","title":"B"}
{"op":"navigate","tab":12,"url":"http://c/"}
{"op":"activate","tab":12}
{"op":"activate","tab":12}
{"op":"close","tab":12}
{"op":"fullscreen","frame":1,"on":true}
{"op":"fullscreen","frame":1,"on":true}
{"op":"login","userid":"u1","user":"alice","cookie":"c=1","first":true}
{"op":"switchuser","old":"alice","new":"bob"}
{"op":"logout"}
{"op":"logout"}
{"op":"wait"}
{"op":"event","name":"weather.update","payload":""}
)",
                    &out))
      << out;
  const std::pair<std::string, std::string> notices[] = {
      {"ui.framecreate", R"({\r\n\"frame_id\":\"1\"})"},
      {"utility.addtab", R"({\r\n\"tab_id\":\"11\",\"frame_id\":\"1\"})"},
      {"utility.addtab", R"({\r\n\"tab_id\":\"12\",\"frame_id\":\"1\"})"},
      {"utility.urlchange",
       R"({\r\n\"old\":\"http://b/\",\"new\":\"http://c/\",\"tab_id\":\"12\"})"},
      {"utility.documentcomplete", R"({\r\n\"tab_id\":\"12\",\"url\":\"http://c/\"})"},
      {"utility.switchtab", R"({\r\n\"old\":\"11\",\"old_url\":\"http://a.example/x\",)"
                            R"(\"new\":\"12\",\"new_url\":\"http://c/\",\"flag\":\"0\"})"},
      {"utility.closetab",
       R"({\r\n\"tab_id\":\"12\",\"frame_id\":\"1\",\"url\":\"http://c/\",\"retaincore\":\"0\"})"},
      {"utility.switchtab", R"({\r\n\"old\":\"12\",\"old_url\":\"http://c/\",\"new\":\"11\",)"
                            R"(\"new_url\":\"http://a.example/x\",\"flag\":\"0\"})"},
      {"utility.isframefullscreen", R"({\r\n\"frame_id\":\"1\",\"status\":\"1\"})"},
      {"login.login",
       R"({\r\n\"userid\":\"u1\",\"user\":\"alice\",\"cookie\":\"c=1\",\"firstlogin\":\"1\"})"},
      {"login.switch", R"({\r\n\"old_user\":\"alice\",\"new_user\":\"bob\"})"},
      {"login.logout", R"({\r\n\"userid\":\"u1\",\"user\":\"bob\"})"},
  };
  auto lines = ByReceiver(out);
  EXPECT_EQ(3u, lines.size()) << out;
  // weatherdesk's library is loaded first; the answer to the command it sends on the named
  // event comes last (the scenario's end waits for the extension process to be on its channel).
  ASSERT_EQ(lines["dll"].size(), std::size(notices) + 4) << out;
  EXPECT_EQ(R"({"to":"dll","type":"0x07000011","params":["weatherdesk",1,)"
            R"("extension.response.utility.getversion",)"
            R"("{\r\n\"browserversion\":\"6.5.1.2\",\"version\":\"0.9.3\"}",0]})",
            lines["dll"].back());
  lines["dll"].pop_back();
  ASSERT_EQ(std::size(notices), lines["pagenotes"].size()) << out;
  // translatebar's background page hears the same browser notifications as pagenotes'.
  ASSERT_EQ(std::size(notices), lines["translatebar"].size()) << out;
  EXPECT_EQ(kWeatherdeskLoad, lines["dll"][0]);
  lines["dll"].erase(lines["dll"].begin());
  EXPECT_EQ(R"({"to":"dll","type":"0x07000007","params":[]})", lines["dll"][0]);
  for (size_t i = 0; i < std::size(notices); ++i) {
    const std::string event = "extension.notify." + notices[i].first;
    EXPECT_EQ(R"({"to":"dll","type":"0x07000012","params":[")" + event + "\",\"" +
                  notices[i].second + "\"]}",
              lines["dll"][i + 1]);
    EXPECT_EQ(CoreNotify(event, notices[i].second), lines["pagenotes"][i]);
    EXPECT_EQ(CoreNotify(event, notices[i].second, "translatebar"), lines["translatebar"][i]);
  }
  // A named event with an empty payload goes to the DLL host alone, as an empty string.
  EXPECT_EQ(R"({"to":"dll","type":"0x07000008","params":["weather.update",""]})",
            lines["dll"].back());
}

// The shipped tour plays to the end: its three queries are answered to pagenotes, the command of
// a group it lacks ("global") is answered by nobody, the front end's command makes the round
// trip, and its background page opens a popup, shows a bubble and navigates a tab. A query from
// translatebar, which lacks the "utility" group, reaches no host at all. translatebar opens its
// menu over its menu window, the pick reaches its background page, and its two context-menu
// items are listed.
TEST_F(ScenarioTest, ShippedTourPlaysToTheEnd) {
  const std::string tour = testing_support::ReadFileOrEmpty(PLEXORE_TOUR);
  ASSERT_FALSE(tour.empty());
  std::string out;
  ASSERT_EQ(0, Play(tour + R"({"op":"bp","ext":"translatebar","command":)"
                           R"("extension.invoke.utility.geturl","args":{"tab_id":11},"context":5})",
                    &out))
      << out;
  auto lines = ByReceiver(out, true);
  std::vector<std::string> answers;  // what pagenotes got besides the browser's notifications
  for (const std::string& line : lines["pagenotes"]) {
    if (line.find("extension.notify.") == std::string::npos) answers.push_back(line);
  }
  const std::vector<std::string> expected = {
      CoreNotify("extension.response.utility.geturl",
                 R"({\r\n\"url\":\"https://news.example/today\"})"),
      CoreNotify("extension.response.utility.gettitle", R"({\r\n\"title\":\"Inbox\"})"),
      CoreNotify("extension.response.utility.getallpages",
                 R"({ \"count\":\"2\",  \"framecount\":\"1\",\"list\":[{\"tab_id\":\"11\",)"
                 R"(\"frame_id\":\"1\"},{\"tab_id\":\"12\",\"frame_id\":\"1\"}]})"),
      CoreNotify("extension.invoke.fe.toLibAsync",
                 R"({\"fecmd\":{\"cmd\":\"savenote\",\"text\":\"read later\"}, )"
                 R"(\"fecmdContext\":\"1, notes-panel, 2, 3\"})"),

      CoreNotify("extension.response.ui.popframe",
                 R"({\"success\":\"1\", \"frame_id\":\"5001\" })"),
  };
  EXPECT_EQ(expected, answers);
  EXPECT_EQ(std::vector<std::string>{R"({"to":"fe","ext":"pagenotes","name":)"
                                     R"("extension.response.fe.toLibAsync","payload":)"
                                     R"("{\"count\":1,\"saved\":true}"})"},
            lines["fe"]);
  // The browser shows the popup (set up in order), navigates the tab and shows the bubble; the
  // navigation and the bubble come from different threads, so their order is free.
  const std::string popup = "hcbrowser://localextensions/pagenotes/background.html?v=1.2.0";
  // Left out here: the registrations of start-up and translatebar's button, menu and key,
  // which the other tests check.
  std::vector<std::string> ui;
  for (const std::string& line : lines["ui"]) {
    if (!UiCallIs(line, {"RegisterDescription", "AddPoint", "RegisterAccelerator", "SetListener",
                         "RemoveOrRefresh"})) {
      ui.push_back(line);
    }
  }
  // pagenotes' eleven lines come first (the tour waits after them), then weatherdesk's four;
  // translatebar's menu follows.
  ASSERT_GE(ui.size(), 15u) << out;
  EXPECT_EQ(std::vector<std::string>({R"({"to":"ui","call":"SetOwnerFrame","args":[5001,1]})",
                                      R"({"to":"ui","call":"SetMainWindow","args":[5001,1]})",
                                      R"({"to":"ui","call":"SetSize","args":[5001,320,240]})",
                                      R"({"to":"ui","call":"CreateFrameWindow","args":[5001]})",
                                      R"({"to":"ui","call":"Show","args":[5001,5]})"}),
            std::vector<std::string>(ui.begin(), ui.begin() + 5));
  EXPECT_EQ(R"({"to":"ui","call":"SetCaption","args":[5001,"Page Notes"]})", ui[6]);
  EXPECT_EQ(R"({"to":"ui","call":"Navigate","args":[5001,")" + popup + R"(",1,-1,0,0,2]})", ui[8]);
  std::sort(ui.begin() + 9, ui.begin() + 11);
  EXPECT_EQ(R"({"to":"ui","call":"ShowBubble","args":["185A0831-E83A-4a49-A9FE-2632A7D59888",)"
            R"("pagenotes",1,"bubble.html?v=1.2.0",5000,-1,200,80,-1]})",
            ui[9]);
  EXPECT_EQ(
      R"({"to":"ui","call":"TabNavigate","args":["pagenotes",11,"http://news.example/weather",1]})",
      ui[10]);
  // weatherdesk's page: opened in a new tab with its script, described, snapshotted into a
  // real PNG beside the library, and announced on its toolbar button.
  const std::string png =
      "ROOT/appdata/halcy/browser/SysData/localextensions/weatherdesk/forecast.png";
  EXPECT_EQ(
      (std::vector<std::string>{
          R"x({"to":"ui","call":"OpenUrl","args":[1,)x"
          R"x("hcbrowser://localextensions/weatherdesk/forecast.html",1,-1,2,0,2]})x",
          R"x({"to":"ui","call":"RunScript","args":[12,"showForecast()"]})x",
          R"x({"to":"ui","call":"StartSnapshot","args":[12,0,")x" + png + R"x("]})x",
          R"x({"to":"ui","call":"PostCommand","args":[)x"
          R"x("185A0831-E83A-4a49-A9FE-2632A7D59888","weatherdesk",1,0,"forecast-shown"]})x"}),
      std::vector<std::string>(ui.begin() + 11, ui.begin() + 15));
  std::vector<std::string> page_answers;
  for (const std::string& line : lines["dll"]) {
    if (line.find(R"("0x0700000D")") != std::string::npos ||
        line.find(R"("0x0700000A")") != std::string::npos) {
      page_answers.push_back(line);
    }
  }
  EXPECT_EQ(
      (std::vector<std::string>{
          R"x({"to":"dll","type":"0x0700000D","params":["weatherdesk",1,0,1,"forecast",)x"
          R"x("{\"title\":\"\",\"url\":\"hcbrowser://localextensions/weatherdesk/)x"
          R"x(forecast.html\"}"]})x",
          R"x({"to":"dll","type":"0x0700000A","params":["weatherdesk",1,1,")x" + png + R"x("]})x"}),
      page_answers);
  const std::string bytes =
      testing_support::ReadFileOrEmpty(dir_.path() + png.substr(std::string("ROOT").size()));
  EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), bytes.substr(0, 8));
  std::vector<std::string> picks;
  for (const std::string& line : lines["translatebar"]) {
    if (line.find("ui.selectmenu") != std::string::npos) picks.push_back(line);
  }
  EXPECT_EQ(std::vector<std::string>{CoreNotify("extension.notify.ui.selectmenu",
                                                R"({\t\t\t\t\t\t  \"menuid\":\"2\",)"
                                                R"(\t\t\t\t\t\t  \"menueventid\":\"1\")"
                                                R"(\t\t\t\t\t\t  })",
                                                "translatebar")},
            picks);
  // The menu is placed against translatebar's menu window, and the page of frame 1's active tab
  // (weatherdesk's page, opened last) hears that a menu opened over it.
  for (const char* shown : {R"({"to":"ui","call":"Show","args":[100,80,500,380,0]})",
                            R"({"to":"ui","call":"OnExtensionMenuShown","args":[12]})"}) {
    EXPECT_NE(std::find(lines["ui"].begin(), lines["ui"].end(), shown), lines["ui"].end())
        << shown << "\n"
        << out;
  }
  const std::string item = R"({\"condition\":\"%s\",\"contexttype\":\"%s\",)"
                           R"(\"extid\":\"translatebar\",\"iconpath\":\"icon.png\",)"
                           R"(\"menuid\":\"%s\",\"text\":\"%s\"})";
  auto fill = [&](const char* condition, const char* menu_id, const char* text) {
    std::string filled = item;
    for (const char* value : {condition, condition, menu_id, text}) {
      filled.replace(filled.find("%s"), 2, value);
    }
    return filled;
  };
  EXPECT_EQ(std::vector<std::string>{R"({"to":"contextmenu","json":"[)" +
                                     fill("selection", "0", "Translate selection") + "," +
                                     fill("page", "1", "Translate this page") + R"(]"})"},
            lines["contextmenu"]);
  EXPECT_EQ(6u, lines.size()) << "the DLL host, two background pages, the front end, the "
                                 "browser's UI and its context menus hear: "
                              << out;
}

// translatebar's toolbar button, its menu and its accelerator: the click and the menu click go
// to its background page as browser-action events, and the key press reaches it as the
// accelerator notification once the new frame carries the accelerator. (The same clicks for a
// library extension go out as IPC messages: ui_points_test.)
TEST_F(ScenarioTest, ClicksAndKeysReachTheExtensionThatOwnsThem) {
  std::string out;
  ASSERT_EQ(0, Play(R"({"op":"frame","id":1}
{"op":"click","ext":"translatebar","point":"toolbarui","url":"http://a/","tab":11,"frame":1,"left":false,"button":"b"}
{"op":"menuclick","ext":"translatebar","point":"8CC9336E-AD56-4cb8-8EC1-59BF6962AB6B","frame":1,"menu":2}
{"op":"key","keys":"ctrl+shift+y"}
{"op":"key","keys":"Ctrl+Shift+Q"}
{"op":"click","ext":"nobody","point":"toolbarui","url":"","tab":0,"frame":1,"left":true,"button":""}
)",
                    &out))
      << out;
  auto lines = ByReceiver(out, true);
  std::vector<std::string> translatebar;
  for (const std::string& line : lines["translatebar"]) {
    if (line.find("framecreate") == std::string::npos) translatebar.push_back(line);
  }
  // The accelerator's details are the browser's empty text, inserted as they are.
  EXPECT_EQ((std::vector<std::string>{
                CoreNotify("browserAction.onClicked",
                           R"({\"frame\":\"1\", \"LButton\":\"0\",\"extpt\":\"toolbarui\", )"
                           R"(\"url\":\"http://a/\", \"tab_id\":\"11\", \"btnname\":\"b\"})",
                           "translatebar"),
                CoreNotify("browserAction.onMenuClicked",
                           R"({\"frame\":\"1\",\"tabid\":\"0\",\"extpt\":\"appui\", )"
                           R"(\"menuID\":\"2\"})",
                           "translatebar"),
                CoreNotify("extension.notify.utility.accelerator", "", "translatebar")}),
            translatebar)
      << out;
  EXPECT_NE(std::string::npos,
            out.find(R"({"to":"ui","call":"RegisterAccelerator","args":[1,857,"translatebar"]})"))
      << out;
}

TEST_F(ScenarioTest, ABadLineStopsTheRunWithExitTwoNamingIt) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"op":"reload","tab":1})", "unknown op \"reload\""},
      {R"({"op":"wait")", "not a JSON object"},
      {R"({"tab":1})", "no \"op\" string"},
      {R"({"op":"navigate","tab":11})", "\"url\" must be a string"},
      {R"({"op":"frame","id":1.5})", "\"id\" must be an integer"},
      {R"({"op":"activate","tab":99})", "the browser model refused it"},
      {R"({"op":"click","ext":"x","point":"menubar","url":"","tab":0,"frame":1,"left":true,)"
       R"("button":""})",
       "\"point\" names no extension point"},
      {R"({"op":"menuclick","ext":"x","point":"toolbarui","frame":1})", "\"menu\" must be"},
      {R"({"op":"key"})", "\"keys\" must be a string"},
      {R"({"op":"selectmenu","menu":1,"event":2})", "no menu was shown"},
      {R"({"op":"selectmenu","menu":1})", "\"event\" must be an integer"},
  };
  for (const auto& [line, reason] : cases) {
    SCOPED_TRACE(line);
    std::string out, err;
    // Line 1 is played, blank line 2 is skipped, line 3 stops the run, line 4 is never played.
    EXPECT_EQ(
        2, Play("{\"op\":\"event\",\"name\":\"first\",\"payload\":\"x\"}\n\n" + std::string(line) +
                    "\n{\"op\":\"event\",\"name\":\"never\",\"payload\":\"\"}\n",
                &out, &err));
    EXPECT_NE(std::string::npos, err.find(std::string("plexore-host: scenario line 3: ") + reason))
        << err;
    EXPECT_EQ(std::string(kWeatherdeskLoad) +
                  "\n{\"to\":\"dll\",\"type\":\"0x07000008\",\"params\":[\"first\",\"x\"]}\n",
              WithoutUi(out));
  }
}

// The install guide played from a scenario, against a loopback server that serves packages.
// The host runs from a browser folder of its own (HALCY_BROWSER_DIR): the shipped files linked
// in, plus the "extensionMgrConfig.ini" that switches the guide on and points its network
// probe at the server.
class GuideScenarioTest : public ScenarioTest {
 protected:
  GuideScenarioTest() {
    namespace fs = std::filesystem;
    const fs::path shipped = fs::path(PLEXORE_HOST).parent_path();
    fs::create_directories(BrowserDir());
    for (const fs::directory_entry& entry : fs::directory_iterator(shipped)) {
      const std::string name = entry.path().filename().string();
      // A configuration left beside the build's executable is not linked: it would be
      // written through.
      if (name != "extensionMgrConfig.ini")
        fs::create_symlink(entry.path(), BrowserDir() + "/" + name);
    }
    testing_support::WriteFileOrDie(BrowserDir() + "/extensionMgrConfig.ini",
                                    "[guide]\nprobe=" + server_.Url("/empty") + "\n");
  }
  std::string BrowserDir() const { return dir_.File("browser"); }
  std::string Env() const { return "HALCY_BROWSER_DIR=" + BrowserDir(); }
  // An installed placeholder that waits for its package ("setuponline" 1).
  void Placeholder(const std::string& id) {
    std::string out;
    ASSERT_EQ(0, Host("install " +
                          Source(id, "{\"name\":\"" + id +
                                         "\",\"version\":\"1.0\",\"setuponline\":\"1\"}") +
                          " --id " + id,
                      &out, Env()))
        << out;
  }
  // A package of version 2.0, served as /files/<name>.
  void Package(const std::string& name) {
    testing_support::WriteFileOrDie(
        files_.File(name),
        testing_support::BuildZip({testing_support::ZipFile(
            "manifest.json", "{\"name\":\"" + name + "\",\"version\":\"2.0\"}")}));
  }
  // The pop-up's message for the string resource `name`, as the shipped texts give it.
  static std::string Message(const std::string& name) {
    const std::string texts = testing_support::ReadFileOrEmpty(
        (std::filesystem::path(PLEXORE_HOST).parent_path() / "halcy_strings.txt").string());
    for (const std::string& line : testing_support::SplitLines(texts)) {
      if (line.starts_with(name + "=")) {
        return R"({"to":"popup","text":")" + line.substr(name.size() + 1) + "\"}";
      }
    }
    ADD_FAILURE() << "no text for " << name;
    return "";
  }
  // The version column of `id` in `plexore-host list`.
  std::string Version(const std::string& id) {
    std::string out;
    EXPECT_EQ(0, Host("list", &out, Env())) << out;
    for (const std::string& row : testing_support::SplitLines(out)) {
      if (!row.starts_with(id + "\t")) continue;
      size_t at = 0;
      for (int column = 0; column < 3; ++column) at = row.find('\t', at) + 1;
      return row.substr(at, row.find('\t', at) - at);
    }
    return "";
  }

  testing_support::ScopedTempDir files_;
  testing_support::ScopedEnv files_env_{"LOOPBACK_FILES_DIR", files_.path()};
  testing_support::LoopbackServer server_;
  testing_support::ScopedLoopbackProxy proxy_{server_};
};

// "guide" installs a placeholder's package; "wait" lasts until the slow download of the first
// install has ended and its extension is installed, so the second install's messages follow
// the first's. The pop-up's lines come in order with the other lines of standard output.
TEST_F(GuideScenarioTest, GuideInstallsAndWaitLastsUntilTheSlowDownloadEnded) {
  ASSERT_TRUE(server_.ok());
  Placeholder("app.one");
  Placeholder("app.two");
  Package("one.zip");
  Package("two.zip");
  std::string out, err;
  ASSERT_EQ(0, Play(R"({"op":"guide","id":"app.one","url":")" + server_.Url("/slow/1500/one.zip") +
                        "\"}\n{\"op\":\"wait\"}\n" + R"({"op":"guide","id":"app.two","url":")" +
                        server_.Url("/files/two.zip") + "\"}\n{\"op\":\"wait\"}\n",
                    &out, &err, Env()))
      << out << err;
  std::vector<std::string> messages;  // the progress figures depend on timing
  auto lines = ByReceiver(out);
  for (const std::string& line : lines["popup"]) {
    if (line.find(R"("text":)") != std::string::npos) messages.push_back(line);
  }
  const std::string prepare = Message("IDS_HALCY_EXTENSIONGUILD_INSTALL_PREPARE");
  const std::string ok = Message("IDS_HALCY_EXTENSIONGUILD_INSTALL_OK");
  EXPECT_EQ((std::vector<std::string>{prepare, ok, prepare, ok}), messages) << out;
  EXPECT_EQ("2.0", Version("app.one"));
  EXPECT_EQ("2.0", Version("app.two"));
}

// A guide line needs an id and an address, and a guide at work: without the configuration file
// the line is refused rather than dropped.
TEST_F(GuideScenarioTest, GuideNeedsAnIdAnAddressAndAGuideAtWork) {
  for (const char* line : {R"({"op":"guide","id":"app.one"})", R"({"op":"guide","url":"x"})"}) {
    SCOPED_TRACE(line);
    std::string out, err;
    EXPECT_EQ(2, Play(std::string(line) + "\n", &out, &err, Env()));
    EXPECT_NE(std::string::npos, err.find("plexore-host: scenario line 1: \"")) << err;
  }
  std::filesystem::remove(BrowserDir() + "/extensionMgrConfig.ini");
  std::string out, err;
  EXPECT_EQ(2, Play(R"({"op":"guide","id":"app.one","url":"http://x/"})"
                    "\n",
                    &out, &err, Env()));
  EXPECT_NE(std::string::npos, err.find("scenario line 1: the install guide is not at work"))
      << err;
}

}  // namespace
