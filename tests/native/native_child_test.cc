// The extension-library process for real: the test plays the browser's end of the channel and
// starts `plexore-host --channel=ID --type=BrindleProcess`, which loads real libraries built
// against the SDK header (weatherdesk, the crash library and the probe fixtures).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "native/child_harness.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace native_test {
namespace {

namespace fs = std::filesystem;

TEST(NativeChildTest, HelloThenWeatherdeskRoundTripFromNamedEventToLoggedReply) {
  ChildHarness h;
  ASSERT_TRUE(h.Start(/*scenario_output=*/true)) << h.Diagnostics();
  EXPECT_EQ(h.pid(), Find(h.listener().received(), Incoming::kConnected)->Number(0));  // the hello
  // The descriptor the child inherited is gone; only the log file, the pipe and the standard
  // streams (and the event loops' own descriptors) remain.
  bool socket = false;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(h.pid()) + "/fd")) {
    const std::string target = fs::read_symlink(fd.path()).string();
    socket |= target.starts_with("socket:");
    EXPECT_NE(h.InheritedMarker(), target);
  }
  EXPECT_TRUE(socket);

  // The library as shipped in the built-in set, under its extension's directory.
  const std::string path = h.Install("weatherdesk", PLEXORE_SHIPPED_WEATHERDESK);
  ASSERT_EQ(1, h.Load(u"weatherdesk", path));
  h.Send(Msg(0x07000008).S(u"weather.update").S(u"{}"));
  ASSERT_TRUE(h.listener().WaitFor(0x07000010));
  const Incoming command = *Find(h.listener().received(), 0x07000010);
  ASSERT_TRUE(command.fits);
  EXPECT_EQ("weatherdesk", command.Text(0));
  EXPECT_EQ("extension.invoke.utility.getversion", command.Text(1));
  EXPECT_EQ("{}", command.Text(2));
  const int32_t context = static_cast<int32_t>(command.Number(3));

  // The browser's answer, as delivery to an extension without a background page sends it.
  h.Send(Msg(0x07000011)
             .S(u"weatherdesk")
             .I(context)
             .S(u"extension.response.utility.getversion")
             .S(u"{\"version\":\"6.5.1.2\"}")
             .I(0));
  h.Send(Msg(2));
  ASSERT_EQ(0, h.WaitForExitStatus());
  const std::string log = h.Log();
  EXPECT_NE(std::string::npos, log.find("weatherdesk: weatherdesk: browser version for request " +
                                        std::to_string(context) + ": {\"version\":\"6.5.1.2\"}"))
      << log;
  EXPECT_NE(std::string::npos, log.find("weatherdesk: weatherdesk: unloaded")) << log;
  // Scenario output: each message received, as the DLL-host recorder prints it.
  EXPECT_EQ(
      std::vector<std::string>({
          R"({"to":"dll","type":"0x07000001","params":["weatherdesk",")" + path + R"("]})",
          R"({"to":"dll","type":"0x07000008","params":["weather.update","{}"]})",
          R"({"to":"dll","type":"0x07000011","params":["weatherdesk",)" + std::to_string(context) +
              R"(,"extension.response.utility.getversion","{\"version\":\"6.5.1.2\"}",0]})",
      }),
      testing_support::SplitLines(h.Output()));
}

// Each case installs a probe (which announces itself from its load) behind a path the child
// must refuse, or a library it must not keep.
TEST(NativeChildTest, RefusedLibrariesAreReportedAsLoadFailuresAndNeverLoaded) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Diagnostics();
  const std::string probe = h.Install("real", PLEXORE_PROBE_LIBRARY);
  const fs::path root = h.root();
  fs::create_directories(root / "ext/dir.so");
  fs::create_directory_symlink(root / "ext/real", root / "ext/linkdir");
  fs::create_symlink(probe, root / "ext/link.so");
  testing_support::WriteFileOrDie((root / "ext/text.so").string(), "not a library");
  const struct {
    const char* id;
    std::string path;
  } kCases[] = {
      {"relative", "ext/real/probe.so"},
      {"dotdot", (root / "ext/dir.so/../real/probe.so").string()},
      {"dot", (root / "ext/./real/probe.so").string()},
      {"linkfile", (root / "ext/link.so").string()},
      {"linkdir", (root / "ext/linkdir/probe.so").string()},
      {"directory", (root / "ext/dir.so").string()},
      {"missing", (root / "ext/nothing.so").string()},
      {"notelf", (root / "ext/text.so").string()},
      {"noexport", h.Install("noexport", PLEXORE_MISSING_EXPORT_LIBRARY)},
      {"refuse", h.Install("refuse", PLEXORE_PROBE_LIBRARY)},  // its load returns 5
      {"", probe},                                             // no extension id
      {"hardlink", (root / "ext/hard.so").string()},           // "real"'s file, once it is loaded
  };
  // The file by its own path loads (with the browser's "\" before the file name), and a second
  // load of a loaded id changes nothing.
  std::string windows_style = probe;
  windows_style[windows_style.rfind('/')] = '\\';
  ASSERT_EQ(1, h.Load(u"real", windows_style));
  h.Send(Msg(0x07000001).S(u"real").S(halcy::Utf8ToUtf16(probe)));
  fs::create_hard_link(probe, root / "ext/hard.so");
  for (const auto& c : kCases) {
    EXPECT_EQ(0, h.Load(halcy::Utf8ToUtf16(c.id), c.path)) << c.id;
  }
  h.Send(Msg(0x07000007));  // a broadcast: reaches what is loaded
  ASSERT_TRUE(
      h.listener().WaitFor([](auto& in) { return NamedEventsIn(in, "probe.got").size() == 1; }));
  // Only "refuse" ran its load (and was refused); nothing else was ever loaded.
  EXPECT_EQ(std::vector<std::string>({"real", "refuse"}), h.listener().NamedEvents("probe.loaded"));
  const std::vector<std::string> got = h.listener().NamedEvents("probe.got");
  ASSERT_EQ(1u, got.size());
  EXPECT_TRUE(got[0].starts_with("real|") && got[0].ends_with("|07000007|")) << got[0];
  size_t reports = 0;
  for (const Incoming& m : h.listener().received()) reports += m.type == 0x07000014;
  EXPECT_EQ(std::size(kCases) + 1, reports);  // the repeated load is not answered
  h.Send(Msg(2));
  EXPECT_EQ(0, h.WaitForExitStatus());
}

TEST(NativeChildTest, MessagesReachOnlyTheLibrariesTheyConcernInArrivalOrderOnOneThread) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Diagnostics();
  for (const char* id : {"alpha", "beta", "gamma"}) {
    ASSERT_EQ(1, h.Load(halcy::Utf8ToUtf16(id), h.Install(id, PLEXORE_PROBE_LIBRARY))) << id;
  }
  h.Send(Msg(0x07000011).S(u"beta").I(-5).S(u"cmd").S(u"{\"k\":\"\u00fc\u20ac\U0001D11E\"}").I(0));
  h.Send(Msg(0x07000012).S(u"extension.notify.x").S(u"p"));
  h.Send(Msg(0x07000006).S(u"alpha").I(1).I(2).I(3));
  h.Send(Msg(0x07000003).S(u"gamma").L(1LL << 40).S(u"a").S(u"b").L(-1).L(2));
  h.Send(Msg(0x07000003).S(u"nobody").L(0).S(u"").S(u"").L(0).L(0));
  h.Send(Msg(0x0700000A).S(u"nobody").L(1).I(1).S(u"r"));  // not loaded: nobody
  h.Send(Msg(0x0700000D).S(u"gamma").L(3).L(0).I(1).S(u"q").S(u"i"));
  h.Send(Msg(0x0700000F).S(u"alpha").L(4).S(u"z"));
  h.Send(Msg(0x07000011).S(u"beta").I(1).S(u"cmd"));      // short: ignored
  h.Send(Msg(0x07000012).S(u"n").S(u"p").I(9));           // trailing bytes: ignored
  h.Send(Msg(0x07000005).S(u"alpha").L(0).L(0).S(u"c"));  // the child's own type
  h.Send(Msg(0x07000002).S(u"beta"));
  // A synchronous message is delivered like any other and then answered, so that its sender
  // does not wait out the time-out.
  bool answered = false;
  h.host().RunOn(Thread::kThreadExtensionManager, [&] {
    IPC::CMessage* reply = nullptr;
    answered = h.server()->SendSyncWithTimeout(Msg(0x07000007, /*sync=*/true).Release(), &reply,
                                               &h.listener(), 5000);
    delete reply;
  });
  EXPECT_TRUE(answered);
  const std::vector<std::string> expected = {
      "beta|07000011|s:beta,i:-5,s:cmd,s:{\"k\":\"\xC3\xBC\xE2\x82\xAC\xF0\x9D\x84\x9E\"},i:0",
      "alpha|07000012|s:extension.notify.x,s:p",
      "beta|07000012|s:extension.notify.x,s:p",
      "gamma|07000012|s:extension.notify.x,s:p",
      "alpha|07000006|s:alpha,i:1,i:2,i:3",
      "gamma|07000003|s:gamma,l:1099511627776,s:a,s:b,l:-1,l:2",
      "alpha|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "beta|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "gamma|07000003|s:nobody,l:0,s:,s:,l:0,l:0",
      "gamma|0700000D|s:gamma,l:3,l:0,i:1,s:q,s:i",
      "alpha|0700000F|s:alpha,l:4,s:z",
      "alpha|07000007|",
      "gamma|07000007|",
  };
  ASSERT_TRUE(h.listener().WaitFor([&](auto& in) {
    return NamedEventsIn(in, "probe.got").size() >= expected.size();
  })) << h.Log();
  // Each report is "ID|THREAD|TYPE|params": every call on the one library thread.
  std::vector<std::string> reports;
  std::set<std::string> threads;
  for (const std::string& p : h.listener().NamedEvents("probe.got")) {
    const size_t a = p.find('|'), b = p.find('|', a + 1);
    threads.insert(p.substr(a + 1, b - a - 1));
    reports.push_back(p.substr(0, a) + p.substr(b));
  }
  EXPECT_EQ(expected, reports);
  EXPECT_EQ(1u, threads.size());
  EXPECT_NE(std::string::npos, h.Log().find("probe: unloaded beta"));
  h.Send(Msg(2));
  EXPECT_EQ(0, h.WaitForExitStatus());
}

TEST(NativeChildTest, SendAcceptsOnlyTheTypesAndShapesALibraryMaySendForItsOwnId) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Diagnostics();
  ASSERT_EQ(1, h.Load(u"sender", h.Install("sender", PLEXORE_PROBE_LIBRARY)));
  // "TYPE KINDS [thread]" (see probe.c) and the result of the send; a message that was sent
  // reaches the browser with that type.
  const std::pair<const char*, int> kCases[] = {
      {"07000010 ossi", 1},    {"07000010 ossi thread", 1}, {"07000004 olssll", 1},
      {"07000005 olls", 1},    {"07000008 ss", 1},          {"07000009 lois", 1},
      {"0700000B olsiisi", 1}, {"0700000C ollis", 1},       {"0700000E olss", 1},
      {"07000010 ossl", 0},    {"07000010 oss", 0},         {"07000010 fssi", 0},
      {"07000009 lfis", 0},    {"07000010 nssi", 0},        {"07000010 ousi", 0},
      {"07000010 ossI", 0},    {"07000011 oissi", 0},       {"07000014 oi", 0},
      {"07000001 ss", 0},      {"07000099 .", 0},           {"07000007 .", 0},
  };
  size_t sent = 0;
  for (const auto& [spec, result] : kCases) {
    SCOPED_TRACE(spec);
    const size_t before = h.listener().received().size();
    h.Send(Msg(0x07000008).S(u"probe.send").S(halcy::Utf8ToUtf16(spec)));
    ASSERT_TRUE(h.listener().WaitFor(
        [&](auto& in) { return NamedEventsIn(in, "probe.sent").size() > sent; }));
    EXPECT_EQ("sender|" + std::to_string(result), h.listener().NamedEvents("probe.sent")[sent++]);
    // What reached the browser between the request and the report: the sent message alone.
    const std::vector<Incoming> in = h.listener().received();
    ASSERT_EQ(before + result + 1, in.size());
    if (result) {
      EXPECT_EQ(std::stoul(spec, nullptr, 16), in[before].type);
      EXPECT_TRUE(in[before].fits);
    }
  }
  // Byte for byte, the command: own id, "x", "x", 7.
  const Incoming command = *Find(h.listener().received(), 0x07000010);
  std::unique_ptr<IPC::CMessage> expected(
      Msg(0x07000010).S(u"sender").S(u"x").S(u"x").I(7).Release());
  EXPECT_EQ(std::string(expected->data() + expected->header_size(), expected->payload_size()),
            command.payload);
  h.Send(Msg(2));
  EXPECT_EQ(0, h.WaitForExitStatus());
}

// Type 2 and the channel's end both unload every library, the last loaded first, and end the
// process with status 0 (under the sanitizers also: no leak, no error at exit).
TEST(NativeChildTest, ShutdownOrTheChannelsEndUnloadsEveryLibraryLastFirstAndExitsZero) {
  for (const bool by_shutdown : {true, false}) {
    SCOPED_TRACE(by_shutdown ? "shutdown" : "channel closed");
    ChildHarness h;
    ASSERT_TRUE(h.Start()) << h.Diagnostics();
    ASSERT_EQ(1, h.Load(u"alpha", h.Install("alpha", PLEXORE_PROBE_LIBRARY)));
    ASSERT_EQ(1, h.Load(u"beta", h.Install("beta", PLEXORE_PROBE_LIBRARY)));
    by_shutdown ? h.Send(Msg(2)) : h.CloseServer();
    ASSERT_EQ(0, h.WaitForExitStatus());
    const std::string log = h.Log();
    const size_t alpha = log.find("probe: unloaded alpha");
    ASSERT_NE(std::string::npos, alpha) << log;
    EXPECT_LT(log.find("probe: unloaded beta"), alpha) << log;
  }
}

TEST(NativeChildTest, CrashLibraryBringsTheProcessDownWhenAsked) {
  ChildHarness h;
  ASSERT_TRUE(h.Start()) << h.Diagnostics();
  ASSERT_EQ(1, h.Load(u"crashy", h.Install("crashy", PLEXORE_CRASH_LIBRARY)));
  h.Send(Msg(0x07000008).S(u"weather.update").S(u"{}"));  // any other event: it stays up
  h.Send(Msg(0x07000008).S(u"crash.now").S(u"{}"));
  const int status = h.WaitForExitStatus();
  EXPECT_NE(-1, status);
  EXPECT_NE(0, status);  // killed by the signal (or, under ASan, its report's exit)
  EXPECT_TRUE(h.listener().WaitFor(Incoming::kError));
  EXPECT_NE(std::string::npos, h.Log().find("crash_on_request: crashing as asked"));
}

TEST(NativeChildTest, SwitchesInEitherOrderAreAcceptedAndAnyOtherCommandLineRefused) {
  ChildHarness h;
  ASSERT_TRUE(h.Start(false, {"--type=BrindleProcess", "--channel=" + h.channel_id()}));
  h.Send(Msg(2));
  EXPECT_EQ(0, h.WaitForExitStatus());
  const std::string id = "--channel=" + h.channel_id(), type = "--type=BrindleProcess";
  for (const std::string& args :
       {id, type, id + " --type=renderer", id + " " + type + " " + type, id + " " + id + " " + type,
        "--channel=1.0000abcd.5 " + type /* lower-case hex */,
        "--channel=1.000ABCD.5 " + type /* seven digits */, "--channel=../../x " + type}) {
    std::string out;
    EXPECT_EQ(2, testing_support::RunCommand(PLEXORE_HOST " " + args + " 2>/dev/null", &out))
        << args;
  }
}

TEST(NativeChildTest, ChannelThatCannotBeOpenedEndsTheProcessWithStatusOne) {
  ChildHarness h;
  h.CloseServer();  // nobody listens on the id any more
  ASSERT_TRUE(h.Start(false, {}, /*expect_hello=*/false));
  EXPECT_EQ(1, h.WaitForExitStatus());
}

}  // namespace
}  // namespace native_test
