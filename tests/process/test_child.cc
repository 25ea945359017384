#include "process/test_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>

#include "ipc/ipc_message.h"
#include "ipc/ipc_message_values.h"
#include "platform/named_pipe.h"
#include "platform/strings.h"

namespace process_testing {
namespace {

using IPC::ValueType;

class ChildLog {
 public:
  explicit ChildLog(const char* path)
      : fd_(path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1) {}
  ~ChildLog() {
    if (fd_ >= 0) close(fd_);
  }
  void Line(const std::string& text) {
    const std::string line = text + "\n";
    if (fd_ >= 0 && write(fd_, line.data(), line.size()) < 0) std::abort();
  }

 private:
  const int fd_;
};

std::string OpenDescriptors() {
  std::string list;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return "?";
  const int own = dirfd(dir);
  std::vector<int> fds;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) fds.push_back(fd);
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  for (int fd : fds) list += (list.empty() ? "" : ",") + std::to_string(fd);
  return list;
}

std::vector<ValueType> ShapeToChild(uint32_t type) {
  constexpr ValueType S = ValueType::kString, I = ValueType::kInt, L = ValueType::kInt64;
  switch (type) {
    case 0x07000001:
    case 0x07000008:
    case 0x07000012:
      return {S, S};
    case 0x07000002:
      return {S};
    case 0x0700000F:
      return {S, L, S};
    case 0x07000011:
      return {S, I, S, S, I};
    default:
      return {};
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// "TYPE|s:text|i:5|l:7" as a message; null when it does not parse.
IPC::CMessage* MessageFromRecipe(const std::string& recipe) {
  std::vector<std::string> parts;
  std::stringstream in(recipe);
  for (std::string part; std::getline(in, part, '|');) parts.push_back(part);
  if (parts.empty()) return nullptr;
  auto* message = new IPC::CMessage(false, std::stoul(parts[0], nullptr, 16));
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string value = parts[i].substr(2);
    switch (parts[i][0]) {
      case 's':
        message->WriteString(halcy::Utf8ToUtf16(value));
        break;
      case 'i':
        message->WriteInt(std::stoi(value));
        break;
      default:
        message->WriteInt64(std::stoll(value));
        break;
    }
  }
  return message;
}

// Logs `message` and answers a "test.send"; false when the child should end (type 2).
bool Handle(int fd, const IPC::CMessage& message, ChildLog* log, const std::string& me) {
  if (message.type() == IPC::kMessageTypeHello) {
    log->Line(me + " hello");
    return true;
  }
  if (message.type() == IPC::kMessageTypeShutdown) return false;
  std::vector<IPC::MessageValue> values;
  size_t used = 0;
  IPC::ReadMessageValues(message, ShapeToChild(message.type()), &values, &used);
  char type[16];
  std::snprintf(type, sizeof(type), "0x%08X", message.type());
  std::string line = me + " " + type;
  for (const IPC::MessageValue& v : values) {
    line += " " +
            (v.type == ValueType::kString ? halcy::Utf16ToUtf8(v.text) : std::to_string(v.number));
  }
  if (used < message.size()) line += " +" + std::to_string(message.size() - used);
  log->Line(line);
  if (message.type() == 0x07000008 && values.size() == 2 && values[0].text == u"test.send") {
    std::unique_ptr<IPC::CMessage> reply(MessageFromRecipe(halcy::Utf16ToUtf8(values[1].text)));
    if (reply) WriteAll(fd, reply->data(), reply->size());
  }
  return true;
}

int Serve(int fd, ChildLog* log, const std::string& me) {
  IPC::CMessage hello(false, IPC::kMessageTypeHello);
  hello.WriteInt(static_cast<int32_t>(getpid()));
  if (!WriteAll(fd, hello.data(), hello.size())) return 6;
  std::string buffer;
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      log->Line(me + " exit closed");
      return 0;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    const char* p = buffer.data();
    const char* end = p + buffer.size();
    for (;;) {
      uint32_t header_size = 0;
      const char* next = IPC::FindMessageEnd(p, end, &header_size);
      if (!next) break;
      const IPC::CMessage message(p, header_size);
      p = next;
      if (!Handle(fd, message, log, me)) {
        log->Line(me + " exit shutdown");
        return 0;
      }
    }
    buffer.erase(0, static_cast<size_t>(p - buffer.data()));
  }
}

}  // namespace

int RunTestChildIfAsked(int argc, char** argv) {
  std::string channel;
  bool brindle = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--type=BrindleProcess") brindle = true;
    if (arg.starts_with("--channel=")) channel = arg.substr(10);
  }
  if (!brindle) return -1;
  const std::string inherited = OpenDescriptors();  // before the log adds one
  ChildLog log(std::getenv("PLEXORE_TEST_CHILD_LOG"));
  const std::string me = std::to_string(getpid());
  log.Line("start " + me + " " + (argc > 1 ? argv[1] : "") + " " + (argc > 2 ? argv[2] : "") +
           " fds=" + inherited);
  if (argc != 3 || channel.empty()) return 2;
  const std::string path = halcy::PipePathForName(halcy::Utf8ToUtf16(channel));
  const char* env_mode = std::getenv("PLEXORE_TEST_CHILD_MODE");
  const std::string_view mode = env_mode ? env_mode : "";
  if (mode == "hang") {
    std::this_thread::sleep_for(std::chrono::seconds(60));  // until killed
    return 4;
  }
  if (mode == "mute") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    struct stat st;
    while (stat(path.c_str(), &st) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    log.Line(me + " exit gone");
    return 3;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    log.Line(me + " exit unconnected");
    return 5;
  }
  const int status = Serve(fd, &log, me);
  close(fd);
  return status;
}

std::vector<std::string> ReadChildLog(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace process_testing
