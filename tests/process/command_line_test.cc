// The child's command line byte for byte, the kind handed to process creation, and the shape of
// the channel id.
#include "process/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/strings.h"
#include "process/child_process_launcher.h"
#include "process/dll_interaction_process_host.h"

namespace {

using Logic::CCommandLine;

struct LineCase {
  const char* name;
  std::u16string program;
  std::vector<std::pair<std::u16string, std::u16string>> switches;  // in the order appended
  std::vector<std::u16string> loose;
  std::u16string expected;
};

TEST(CommandLineTest, AssemblesQuotedProgramSortedSwitchesAndLooseValues) {
  const LineCase cases[] = {
      {"program only", u"C:\\halcy\\browser.exe", {}, {}, u"\"C:\\halcy\\browser.exe\""},
      {"the DLL process: channel before type whatever the order appended",
       u"/opt/halcy/plexore-host",
       {{u"type", u"BrindleProcess"}, {u"channel", u"4242.0A1B2C3D.17"}},
       {},
       u"\"/opt/halcy/plexore-host\" --channel=4242.0A1B2C3D.17 --type=BrindleProcess"},
      {"a value set again replaces the first",
       u"p",
       {{u"b", u"1"}, {u"a", u"x y"}, {u"b", u"2"}},
       {},
       u"\"p\" --a=x y --b=2"},
      {"loose values after the switches, quoted",
       u"p",
       {{u"z", u""}},
       {u"first", u"with blank"},
       u"\"p\" --z= -- \"first\" -- \"with blank\""},
      {"blanks inside the program stay inside its quotes", u"/a b/c ", {}, {}, u"\"/a b/c \""},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    CCommandLine line(c.program);
    for (const auto& [name, value] : c.switches) line.AppendSwitch(name, value);
    for (const std::u16string& value : c.loose) line.AppendLooseValue(value);
    EXPECT_EQ(c.expected, line.GetCommandLineString());
    EXPECT_EQ(c.program, line.GetProgram());
  }
}

TEST(CommandLineTest, IsAssembledAgainAfterAChange) {
  CCommandLine line(u"p");
  line.AppendSwitch(u"type", u"fe");
  EXPECT_EQ(u"\"p\" --type=fe", line.GetCommandLineString());
  line.AppendSwitch(u"channel", u"1.00000001.2");
  EXPECT_EQ(u"\"p\" --channel=1.00000001.2 --type=fe", line.GetCommandLineString());
}

TEST(ChildProcessKindTest, FirstKnownTypeDecides) {
  const struct {
    const char16_t* line;
    int kind;
  } cases[] = {
      {u"\"b\" --type=render", 7},
      {u"\"b\" --type=nosafeboxrender", 10},  // "--type=render" does not occur in it
      {u"\"b\" --type=plugin_js", 8},
      {u"\"b\" --type=fe", 9},
      {u"\"b\" --type=broker", 10},
      {u"\"b\" --channel=1.2.3 --type=BrindleProcess", 10},
      {u"\"b\" --type=brindleprocess", 5},  // the match is case-sensitive
      {u"\"b\" --kind=render", 5},
      {u"", 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.kind, Logic::ChildProcessKind(c.line)) << halcy::Utf16ToUtf8(c.line);
  }
}

TEST(DllChannelIdTest, IsPidEightUpperHexDigitsOfTheAddressAndTheNumber) {
  EXPECT_EQ(u"4242.0A1B2C3D.17",
            Logic::MakeDllChannelId(4242, reinterpret_cast<void*>(0x0A1B2C3D), 17));
  EXPECT_EQ(u"7.000000AB.0", Logic::MakeDllChannelId(7, reinterpret_cast<void*>(0xAB), 0));
  // A 64-bit address keeps the 32-bit id's shape: its low eight digits.
  EXPECT_EQ(u"1.89ABCDEF.32767",
            Logic::MakeDllChannelId(1, reinterpret_cast<void*>(0x0123456789ABCDEFull), 32767));
}

}  // namespace
