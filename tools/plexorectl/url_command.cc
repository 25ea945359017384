// plexorectl url URL...: canonicalizes each URL as the extension system does and writes one
// JSON object per URL with its validity, canonical text and components.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command.h"
#include "url/parsed_url.h"
#include "url/url_utf.h"

namespace plexorectl {
namespace {

int RunUrl(const std::vector<std::string>& args);

}  // namespace

extern const Command kUrlCommand = {
    "url",
    "URL...",
    "Canonicalize URLs and show their components",
    "Reads each URL as UTF-8 text and writes one line per URL:\n"
    "  "
    "{\"valid\":true,\"spec\":\"...\",\"scheme\":\"...\",\"username\":\"...\",\"password\":\"...\","
    "\n"
    "   \"host\":\"...\",\"port\":\"...\",\"path\":\"...\",\"query\":\"...\",\"ref\":\"...\"}\n"
    "A component the URL does not have is left out; one that is present but empty is \"\".\n"
    "Bytes of the canonical text that are not UTF-8 are shown as U+FFFD.\n"
    "\n"
    "Exit status: 0 when every URL was written (invalid ones say \"valid\":false), 2 for a\n"
    "wrong command line.\n",
    RunUrl,
};

namespace {

// Appends `text` as a JSON string: quotes, backslashes and control characters escaped,
// invalid UTF-8 replaced by U+FFFD.
void AppendJsonString(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  const auto end = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < end;) {
    const int32_t start = i;
    uint32_t c;
    if (!burl::ReadUtf8Char(text.data(), end, &i, &c)) {
      out->append("\xEF\xBF\xBD");
    } else if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out->append("\\u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xF]);
    } else {
      out->append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
  }
  out->push_back('"');
}

std::string DescribeUrl(const burl::ParsedUrl& url) {
  std::string json = url.valid() ? "{\"valid\":true,\"spec\":" : "{\"valid\":false,\"spec\":";
  AppendJsonString(url.spec(), &json);
  const std::pair<const char*, const burl::Component*> components[] = {
      {"scheme", &url.scheme()}, {"username", &url.username()}, {"password", &url.password()},
      {"host", &url.host()},     {"port", &url.port()},         {"path", &url.path()},
      {"query", &url.query()},   {"ref", &url.ref()},
  };
  for (const auto& [name, component] : components) {
    if (!component->is_present()) continue;
    json += ",\"";
    json += name;
    json += "\":";
    AppendJsonString(url.ComponentText(*component), &json);
  }
  json += "}\n";
  return json;
}

int RunUrl(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kUrlCommand, stdout);
    return kExitOk;
  }
  if (args.empty()) return UsageError(kUrlCommand, "no URL given");
  std::string output;
  for (const std::string& arg : args) output += DescribeUrl(burl::ParsedUrl(std::string_view(arg)));
  if (!WriteOutput(output)) {
    std::fputs("plexorectl url: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace
}  // namespace plexorectl
