// plexorectl ipc FILE [--shape TYPES]: decodes a byte stream of IPC messages as the channel cuts
// it: each message's header fields, its flags by name and its payload in hex, and with a shape
// the payload as typed values. Bytes left after the last whole message are reported as an
// incomplete message.

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "command.h"
#include "ipc/ipc_message.h"
#include "ipc/ipc_message_values.h"
#include "platform/strings.h"

namespace plexorectl {
namespace {

int RunIpc(const std::vector<std::string>& args);

}  // namespace

extern const Command kIpcCommand = {
    "ipc",
    "FILE [--shape TYPES]",
    "Decode a byte stream of IPC messages",
    "Reads FILE ('-' for standard input) as the bytes a channel receives and writes, for each\n"
    "whole message, its offset and size, the header fields (payload_size, type, routing_id,\n"
    "flags by name: sync, reply, reply-error, dispatch-while-blocked; sender_routing_id, and\n"
    "the serial number of a synchronous message) and the payload in hex. With --shape, a\n"
    "comma-separated list of int, uint, int64, bool and string, the payload is also read as\n"
    "those values in order, the way a message handler reads it; the list is used for every\n"
    "message but the hello, which is read as its process id. Bytes after the last whole\n"
    "message are reported as an incomplete message with their count.\n"
    "\n"
    "Exit status: 0 when the stream is whole messages that fit the shape, 1 when it ends in\n"
    "an incomplete message, a payload does not fit the shape or FILE cannot be read, 2 for a\n"
    "wrong command line.\n",
    RunIpc,
};

namespace {

using IPC::ValueType;

std::string FlagNames(uint32_t flags) {
  static const char* const kNames[] = {"sync", "reply", "reply-error", "dispatch-while-blocked"};
  std::string out;
  for (int bit = 0; bit < 4; ++bit) {
    if (!(flags & (1u << bit))) continue;
    if (!out.empty()) out += "|";
    out += kNames[bit];
  }
  const uint32_t unknown = flags & ~0xFu;
  if (unknown) {
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%X", unknown);
    out += (out.empty() ? "" : "|") + std::string(hex);
  }
  return out.empty() ? "none" : out;
}

std::string TypeName(uint32_t type) {
  if (type == IPC::kMessageTypeHello) return " (hello)";
  if (type == IPC::kMessageTypeShutdown) return " (shutdown)";
  return "";
}

// A quoted UTF-8 rendering with quotes, backslashes and control characters escaped.
std::string Quoted(const std::u16string& text) {
  std::string out = "\"";
  for (char c : halcy::Utf16ToUtf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof(esc), "\\x%02X", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void AppendHex(const char* data, size_t size, std::string* out) {
  for (size_t i = 0; i < size; ++i) {
    if (i % 16 == 0) *out += i == 0 ? "  payload" : "\n         ";
    char byte[4];
    std::snprintf(byte, sizeof(byte), " %02x", static_cast<unsigned char>(data[i]));
    *out += byte;
  }
  *out += size == 0 ? "  payload (empty)\n" : "\n";
}

// Appends the values of `shape` read from `m`; false when one does not fit or bytes remain.
bool AppendValues(const IPC::CMessage& m, const std::vector<ValueType>& shape, std::string* out) {
  std::vector<IPC::MessageValue> values;
  size_t used = 0;
  const bool fits = IPC::ReadMessageValues(m, shape, &values, &used);
  for (const IPC::MessageValue& v : values) {
    switch (v.type) {
      case ValueType::kInt:
        *out += "  int      " + std::to_string(v.number) + "\n";
        break;
      case ValueType::kUInt:
        *out += "  uint     " + std::to_string(v.number) + "\n";
        break;
      case ValueType::kInt64:
        *out += "  int64    " + std::to_string(v.number) + "\n";
        break;
      case ValueType::kBool:
        *out += std::string("  bool     ") + (v.number ? "true" : "false") + "\n";
        break;
      case ValueType::kString:
        *out += "  string   " + Quoted(v.text) + "\n";
        break;
    }
  }
  if (!fits) {
    *out += "  value " + std::to_string(values.size() + 1) + " does not fit the payload\n";
    return false;
  }
  if (used != m.size()) {
    *out += "  " + std::to_string(m.size() - used) + " payload bytes left after the shape\n";
    return false;
  }
  return true;
}

void AppendHeader(const IPC::CMessage& m, size_t index, size_t offset, std::string* out) {
  char text[512];
  std::snprintf(text, sizeof(text),
                "message %zu at offset %zu: %zu bytes\n"
                "  payload_size       %" PRIu32
                "\n"
                "  type               0x%08" PRIX32
                "%s\n"
                "  routing_id         %" PRIu32
                "\n"
                "  flags              0x%" PRIX32
                " %s\n"
                "  sender_routing_id  %" PRIu32 "\n",
                index, offset, m.size(), m.payload_size(), m.type(), TypeName(m.type()).c_str(),
                m.routing_id(), m.flags(), FlagNames(m.flags()).c_str(), m.sender_routing_id());
  *out += text;
  if (m.is_sync()) {
    std::snprintf(text, sizeof(text), "  serial_number      %" PRId64 "\n", m.serial_number());
    *out += text;
  }
}

// Decodes `bytes` into `out`; false when the stream does not decode cleanly.
bool Decode(const std::string& bytes, const std::vector<ValueType>& shape, std::string* out) {
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  bool clean = true;
  size_t index = 0;
  for (;;) {
    IPC::FoundMessage found = IPC::FindNextMessage(p, end);
    if (!found.message) break;
    std::unique_ptr<IPC::CMessage> m(found.message);
    AppendHeader(*m, ++index, static_cast<size_t>(p - bytes.data()), out);
    AppendHex(m->data() + m->header_size(), m->payload_size(), out);
    if (m->type() == IPC::kMessageTypeHello && m->routing_id() == 0) {
      // The hello has its own shape: the sender's process id.
      const char* it = nullptr;
      int32_t pid;
      if (m->ReadInt(&it, &pid)) *out += "  int      " + std::to_string(pid) + " (process id)\n";
    } else if (!shape.empty()) {
      clean &= AppendValues(*m, shape, out);
    }
    p = found.next;
  }
  const size_t left = static_cast<size_t>(end - p);
  if (left != 0) {
    const uint64_t declared = IPC::DeclaredMessageSize(p, end);
    *out += "incomplete message at offset " + std::to_string(p - bytes.data()) + ": " +
            std::to_string(left) + " bytes";
    *out += declared ? " of " + std::to_string(declared) + "\n" : " (shorter than a header)\n";
    clean = false;
  }
  *out += std::to_string(index) + (index == 1 ? " message\n" : " messages\n");
  return clean;
}

int RunIpc(const std::vector<std::string>& args) {
  if (IsHelpRequest(args)) {
    PrintCommandHelp(kIpcCommand, stdout);
    return kExitOk;
  }
  std::string path;
  std::vector<ValueType> shape;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--shape") {
      if (i + 1 == args.size() || !IPC::ParseValueShape(args[i + 1], &shape)) {
        return UsageError(kIpcCommand, "--shape needs a list of int, uint, int64, bool, string");
      }
      ++i;
    } else if (path.empty() && (args[i] == "-" || args[i][0] != '-')) {
      path = args[i];
    } else {
      return UsageError(kIpcCommand, "unexpected argument " + args[i]);
    }
  }
  if (path.empty()) return UsageError(kIpcCommand, "needs a FILE ('-' for standard input)");
  std::string bytes, error;
  if (!ReadInput(path, &bytes, &error)) {
    std::fprintf(stderr, "plexorectl ipc: %s\n", error.c_str());
    return kExitFailure;
  }
  std::string out;
  const bool clean = Decode(bytes, shape, &out);
  if (!WriteOutput(out)) {
    std::fputs("plexorectl ipc: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return clean ? kExitOk : kExitFailure;
}

}  // namespace
}  // namespace plexorectl
