// CCommandLine: the command line of a child process of the browser: the program, switches
// ("--name=value", kept sorted by name) and loose values, assembled into the one line that
// process creation takes.
//
//   CCommandLine line(u"C:\\halcy\\browser.exe");
//   line.AppendSwitch(u"type", u"BrindleProcess");
//   line.AppendSwitch(u"channel", u"4242.0A1B2C3D.17");
//   line.GetCommandLineString()
//       == u"\"C:\\halcy\\browser.exe\" --channel=4242.0A1B2C3D.17 --type=BrindleProcess"
//
// The line is rebuilt only after a change. Values are not quoted: the browser's own switch
// values never hold blanks. Loose values are written as `-- "value"`.
//
// Not thread-safe: one thread builds it; afterwards it may be read from any thread as long as
// nobody changes it (the launcher reads it on the process-launch thread).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Logic {

class CCommandLine {
 public:
  explicit CCommandLine(std::u16string program);

  // Sets switch `name` to `value` (replacing an earlier value) and marks the line changed.
  void AppendSwitch(const std::u16string& name, const std::u16string& value);
  // Appends a value that belongs to no switch.
  void AppendLooseValue(const std::u16string& value);

  std::u16string GetProgram() const { return program_; }
  // The quoted program, then " --name=value" for each switch in name order, then
  // " -- \"value\"" for each loose value; white space trimmed at both ends.
  const std::u16string& GetCommandLineString();

 private:
  std::u16string command_line_;  // the last assembly
  bool dirty_ = true;
  std::u16string program_;
  std::map<std::u16string, std::u16string> switches_;
  std::vector<std::u16string> loose_values_;
};

}  // namespace Logic
