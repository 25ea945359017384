// The command line byte for byte and the child's kind handed to process creation.
#include "process/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process/child_process_launcher.h"
#include "process/dll_interaction_process_host.h"

namespace {

TEST(CommandLineTest, QuotesTheProgramSortsTheSwitchesAndQuotesLooseValuesAfterThem) {
  const struct {
    std::u16string program;
    std::vector<std::pair<std::u16string, std::u16string>> switches;  // in the order appended
    std::vector<std::u16string> loose;
    std::u16string expected;
  } cases[] = {
      {u"/a b/c ", {}, {}, u"\"/a b/c \""},
      {u"p",
       {{u"type", u"x"}, {u"channel", u"4242.0A1B2C3D.17"}, {u"type", u"BrindleProcess"}},
       {},
       u"\"p\" --channel=4242.0A1B2C3D.17 --type=BrindleProcess"},
      {u"p",
       {{u"z", u""}},
       {u"first", u"with blank"},
       u"\"p\" --z= -- \"first\" -- \"with blank\""},
      {u"p", {{u"a", u"x \t"}}, {}, u"\"p\" --a=x"},  // the line's end is trimmed
      {u"p", {}, {u"v"}, u"\"p\" -- \"v\""},
  };
  for (const auto& c : cases) {
    Logic::CCommandLine line(c.program);
    EXPECT_EQ(u"\"" + c.program + u"\"", line.GetCommandLineString());  // assembled again below
    for (const auto& [name, value] : c.switches) line.AppendSwitch(name, value);
    for (const std::u16string& value : c.loose) line.AppendLooseValue(value);
    EXPECT_EQ(c.expected, line.GetCommandLineString());
  }
}

TEST(ChildProcessKindTest, FirstKnownTypeDecides) {
  EXPECT_EQ(7, Logic::ChildProcessKind(u"\"b\" --type=render"));
  EXPECT_EQ(10, Logic::ChildProcessKind(u"\"b\" --type=nosafeboxrender"));  // not "=render"
  EXPECT_EQ(5, Logic::ChildProcessKind(u"\"b\" --kind=render"));
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
