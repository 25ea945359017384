#include "host/dll_child.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/log.h"
#include "host/browser_thread.h"
#include "host/dll_messages.h"
#include "host/native_host_table.h"
#include "host/native_library.h"
#include "host/scenario_receivers.h"
#include "host/service_registrations.h"
#include "host/thread_service.h"
#include "ipc/ipc_channel_proxy.h"
#include "platform/com_object.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "thread/message_loop.h"
#include "thread/message_loop_proxy.h"
#include "thread/task.h"
#include "thread/thread_service.h"

namespace host {
namespace {

constexpr char16_t kTag[] = u"extDll;";
constexpr int kClientMode = 1;  // any mode but 0 opens the client end

// The browser starts this process with handles inherited; nothing of the browser's (its end of
// the channel above all) may stay reachable to a library.
void CloseInheritedDescriptors() {
  if (close_range(3, ~0U, 0) == 0) return;
  // A kernel without close_range: close what /proc lists, after the listing is done.
  std::vector<int> open;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != dirfd(dir)) open.push_back(fd);
    }
    closedir(dir);
  }
  for (int fd : open) close(fd);
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsChannelIdShape(std::string_view id) {
  const size_t first = id.find('.');
  const size_t second = first == std::string_view::npos ? first : id.find('.', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view address = id.substr(first + 1, second - first - 1);
  return IsDecimal(id.substr(0, first)) && IsDecimal(id.substr(second + 1)) &&
         address.size() == 8 && std::all_of(address.begin(), address.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// Runs `fn` on `loop` and waits for it; false when the task was dropped unrun.
bool RunOnLoop(Thread::CMessageLoop* loop, const std::function<bool()>& fn) {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false, result = false;
  loop->PostTask(Thread::NewFuncTask([&] {
                   const bool r = fn();
                   std::lock_guard<std::mutex> lock(mutex);
                   result = r;
                   done = true;
                   cv.notify_all();
                 }),
                 0);
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return done; });
  return result;
}

class CDllChild;

// What a library's host table points at. It outlives the library (it goes with the process
// object), so a call that comes after the unload finds `live` false and is refused.
struct CLibraryContext {
  CDllChild* child = nullptr;  // Constant after construction
  std::u16string id;           // Constant after construction
  std::atomic<bool> live{false};
  plexore_host table{};
};

int SendFromLibrary(void* context, unsigned type, const plexore_param* params, int count);
void LogFromLibrary(void* context, int level, const char* text);

class CDllChild : public IPC::CChannel::CListener {
 public:
  // `output` (null outside a scenario) is borrowed and outlives the process object.
  CDllChild(Thread::CMessageLoop* loop, CScenarioOutput* output)
      : loop_(loop->proxy()), output_(output) {}

  // Before the listener is registered; the proxy outlives every library.
  void set_proxy(IPC::CChannelProxy* proxy) { proxy_.store(proxy); }

  // CListener: all on the library thread.
  void OnMessageReceived(const IPC::CMessage& m) override;
  void OnChannelConnected(int32_t) override {}
  void OnChannelError() override { End(u"the channel closed"); }
  void GetListenerLoopProxy(Thread::CMessageLoopProxy** proxy) override {
    *proxy = loop_.get();
    (*proxy)->AddRef();
  }

  // Any thread. Takes ownership of `m`; false once the process is ending.
  bool SendToManager(IPC::CMessage* m) {
    IPC::CChannelProxy* proxy = proxy_.load();
    if (ending_.load() || !proxy) {
      delete m;
      return false;
    }
    return proxy->Send(m);
  }

  // Main thread: returns once a shutdown or the channel's end has unloaded every library.
  void WaitForEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return end_; });
  }

 private:
  struct Loaded {
    CLibraryContext* context;  // owned by contexts_
    std::unique_ptr<CNativeLibrary> library;
  };

  ~CDllChild() override = default;

  void Load(const IPC::CMessage& m);
  void Unload(const IPC::CMessage& m);
  void Deliver(const IPC::CMessage& m, const DllMessageInfo& info);
  void ReportLoad(const std::u16string& id, int32_t result);
  void End(const char16_t* why);
  // The loaded library of `id`, or loaded_.end().
  std::vector<Loaded>::iterator Find(std::u16string_view id) {
    return std::find_if(loaded_.begin(), loaded_.end(),
                        [&](const Loaded& l) { return l.context->id == id; });
  }

  base::RefPtr<Thread::CMessageLoopProxy> loop_;  // Constant after construction
  CScenarioOutput* const output_;
  std::atomic<IPC::CChannelProxy*> proxy_{nullptr};
  std::atomic<bool> ending_{false};
  // Library thread.
  std::vector<Loaded> loaded_;  // in load order
  std::vector<std::unique_ptr<CLibraryContext>> contexts_;
  bool ended_ = false;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool end_ = false;  // Guarded by mutex_
};

void CDllChild::OnMessageReceived(const IPC::CMessage& m) {
  if (ended_) return;
  if (output_ && m.type() >= kDllMsgLoadLibrary) output_->WriteLine(DllMessageLine(m));
  const DllMessageInfo* info = FindDllMessage(m.type());
  if (m.type() == IPC::kMessageTypeShutdown) {
    End(u"shutdown");
  } else if (m.type() == kDllMsgLoadLibrary) {
    Load(m);
  } else if (m.type() == kDllMsgUnloadLibrary) {
    Unload(m);
  } else if (info && info->to_child) {
    Deliver(m, *info);
  } else {
    Logic::Log(Logic::kLogDetail, kTag, u"extDll: message 0x%08X ignored", m.type());
  }
  if (m.is_sync() && !m.is_reply()) {
    auto* reply = new IPC::CMessage(true, m.type());
    reply->MakeReplyTo(m.serial_number(), false);
    reply->set_routing_id(m.routing_id());
    SendToManager(reply);
  }
}

void CDllChild::Load(const IPC::CMessage& m) {
  std::vector<IPC::MessageValue> values;
  if (!ReadDllMessage(m, &values)) {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: malformed load message ignored");
    return;
  }
  const std::u16string& id = values[0].text;
  const std::u16string& path = values[1].text;
  if (Find(id) != loaded_.end()) {
    Logic::Log(Logic::kLogProgress, kTag, u"extDll: %s is loaded already", id.c_str());
    return;
  }
  std::string why;
  std::unique_ptr<CNativeLibrary> library;
  if (id.empty()) {
    why = "no extension id";
  } else {
    library = CNativeLibrary::Open(halcy::ToNativePath(path), &why);
  }
  // One file opened twice is one library with one set of globals: a second extension may not
  // take over the first one's library (through a hard link, say).
  if (library && std::any_of(loaded_.begin(), loaded_.end(), [&](const Loaded& l) {
        return l.library->handle() == library->handle();
      })) {
    library.reset();
    why = "the file is loaded already for another extension";
  }
  auto context = std::make_unique<CLibraryContext>();
  context->child = this;
  context->id = id;
  context->table = {PLEXORE_NATIVE_ABI, context.get(), &SendFromLibrary, &LogFromLibrary};
  CLibraryContext* raw = context.get();
  contexts_.push_back(std::move(context));
  if (library) {
    raw->live.store(true);  // the library may send from inside its load
    const int result = library->Load(&raw->table, halcy::Utf16ToUtf8(id).c_str());
    if (result != 0) {
      raw->live.store(false);
      library.reset();
      why = "its load returned " + std::to_string(result);
    }
  }
  if (!library) {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: cannot load %s from %s: %S", id.c_str(),
               path.c_str(), why.c_str());
    ReportLoad(id, 0);
    return;
  }
  Logic::Log(Logic::kLogProgress, kTag, u"extDll: loaded %s from %s", id.c_str(), path.c_str());
  loaded_.push_back({raw, std::move(library)});
  ReportLoad(id, 1);
}

void CDllChild::Unload(const IPC::CMessage& m) {
  std::vector<IPC::MessageValue> values;
  if (!ReadDllMessage(m, &values)) {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: malformed unload message ignored");
    return;
  }
  auto it = Find(values[0].text);
  if (it == loaded_.end()) {
    Logic::Log(Logic::kLogDetail, kTag, u"extDll: %s is not loaded", values[0].text.c_str());
    return;
  }
  Loaded gone = std::move(*it);
  loaded_.erase(it);
  gone.library->Unload();
  gone.context->live.store(false);
  Logic::Log(Logic::kLogProgress, kTag, u"extDll: unloaded %s", gone.context->id.c_str());
}  // dlclose here, once the library is out of the table

void CDllChild::Deliver(const IPC::CMessage& m, const DllMessageInfo& info) {
  std::vector<IPC::MessageValue> values;
  if (!ReadDllMessage(m, &values)) {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: malformed message 0x%08X ignored", m.type());
    return;
  }
  std::vector<CNativeLibrary*> targets;
  auto one = values.empty() ? loaded_.end() : Find(values[0].text);
  if (info.recipients == DllRecipients::kOneExtension ||
      (info.recipients == DllRecipients::kOneOrAll && one != loaded_.end())) {
    if (one != loaded_.end()) targets.push_back(one->library.get());
  } else {
    for (Loaded& l : loaded_) targets.push_back(l.library.get());
  }
  if (targets.empty()) {
    Logic::Log(Logic::kLogDetail, kTag, u"extDll: no library for message 0x%08X", m.type());
  }
  for (CNativeLibrary* library : targets) {
    // Each library gets its own copy: none can change what the next one reads.
    CLibraryParams params(values);
    library->Message(m.type(), params.data(), params.count());
  }
}

void CDllChild::ReportLoad(const std::u16string& id, int32_t result) {
  auto* m = new IPC::CMessage(false, kDllMsgLibraryLoadState);
  m->WriteString(id);
  m->WriteInt(result);
  SendToManager(m);
}

void CDllChild::End(const char16_t* why) {
  if (ended_) return;
  ended_ = true;
  Logic::Log(Logic::kLogProgress, kTag, u"extDll: %s, unloading %d libraries", why,
             static_cast<int>(loaded_.size()));
  while (!loaded_.empty()) {  // the last loaded goes first
    Loaded& last = loaded_.back();
    last.library->Unload();
    last.context->live.store(false);
    loaded_.pop_back();
  }
  ending_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  end_ = true;
  cv_.notify_all();
}

int SendFromLibrary(void* context, unsigned type, const plexore_param* params, int count) {
  auto* library = static_cast<CLibraryContext*>(context);
  if (!library || !library->live.load()) return 0;
  std::string why;
  IPC::CMessage* m = BuildLibraryMessage(type, params, count, library->id, &why);
  if (!m) {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: %s: send of 0x%08X refused: %S",
               library->id.c_str(), type, why.c_str());
    return 0;
  }
  return library->child->SendToManager(m) ? 1 : 0;
}

void LogFromLibrary(void* context, int level, const char* text) {
  auto* library = static_cast<CLibraryContext*>(context);
  if (!library || !text) return;
  level = std::clamp(level, Logic::kLogTrace, Logic::kLogFailure);
  Logic::Log(level, kTag, u"%s: %s", library->id.c_str(), halcy::Utf8ToUtf16(text).c_str());
}

void PrintUsage() {
  std::fprintf(stderr,
               "usage: plexore-host --channel=ID --type=BrindleProcess\n"
               "  the extension-library process, started by the browser; ID is the channel\n"
               "  id \"PID.XXXXXXXX.N\" of the browser's end of the named pipe\n");
}

}  // namespace

bool IsDllChildCommandLine(int argc, char** argv) {
  if (argc < 2) return false;
  const std::string_view first = argv[1];
  return first.rfind("--channel=", 0) == 0 || first.rfind("--type=", 0) == 0;
}

bool ParseDllChildArguments(const std::vector<std::string>& args, std::string* channel_id,
                            std::string* error) {
  bool have_type = false, have_channel = false;
  for (const std::string& arg : args) {
    if (arg == "--type=BrindleProcess" && !have_type) {
      have_type = true;
    } else if (arg.rfind("--channel=", 0) == 0 && !have_channel) {
      have_channel = true;
      *channel_id = arg.substr(std::strlen("--channel="));
    } else {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
  }
  if (!have_type || !have_channel) {
    *error = "the extension-library process takes --channel=ID and --type=BrindleProcess";
    return false;
  }
  if (!IsChannelIdShape(*channel_id)) {
    *error = "'" + *channel_id + "' is not a channel id (PID.XXXXXXXX.N)";
    return false;
  }
  return true;
}

int RunDllChild(int argc, char** argv) {
  CloseInheritedDescriptors();
  std::string channel_id, error;
  if (!ParseDllChildArguments(std::vector<std::string>(argv + 1, argv + argc), &channel_id,
                              &error)) {
    std::fprintf(stderr, "plexore-host: %s\n", error.c_str());
    PrintUsage();
    return 2;
  }
  std::unique_ptr<CScenarioOutput> output;
  const char* scenario = std::getenv("PLEXORE_SCENARIO_OUTPUT");
  if (scenario && std::strcmp(scenario, "1") == 0)
    output = std::make_unique<CScenarioOutput>(stdout);

  ComPtr<CThreadService> threads = halcy::MakeComObject<CThreadService>();
  if (!threads) return 1;
  // The IPC classes find the current thread's loop through the registry service.
  CServiceRegistrations registrations;
  registrations.Publish(Thread::IThreadService::kIID,
                        static_cast<Thread::IThreadService*>(threads.Get()));
  registrations.Publish(Thread::IMessageLoopRegistry::kIID,
                        static_cast<Thread::IMessageLoopRegistry*>(threads.Get()));
  CBrowserThread ipc(Thread::kThreadIPC, "IPCThread", threads.Get());
  CBrowserThread libraries(Thread::kThreadExtensionManager, "NativeLibThread", threads.Get());
  if (!ipc.Start() || !libraries.Start()) return 1;
  Thread::CMessageLoop* ipc_loop = nullptr;
  Thread::CMessageLoop* library_loop = nullptr;
  threads->GetMessageLoop(Thread::kThreadIPC, &ipc_loop);
  threads->GetMessageLoop(Thread::kThreadExtensionManager, &library_loop);
  base::RefPtr<CDllChild> child(new CDllChild(library_loop, output.get()));
  std::unique_ptr<IPC::CChannelProxy> proxy;
  // Made on the IPC thread with the listener registered in the same task, so that the
  // registration is in place before the first read can deliver anything.
  const bool opened = RunOnLoop(ipc_loop, [&] {
    proxy =
        std::make_unique<IPC::CChannelProxy>(halcy::Utf8ToUtf16(channel_id), kClientMode, ipc_loop);
    if (!proxy->pipe_created()) return false;
    child->set_proxy(proxy.get());
    proxy->AddListener(child.get(), 0);
    return true;
  });
  if (opened) {
    Logic::Log(Logic::kLogProgress, kTag, u"extDll: process %d serving channel %S",
               static_cast<int>(getpid()), channel_id.c_str());
    child->WaitForEnd();
  } else {
    Logic::Log(Logic::kLogFailure, kTag, u"extDll: cannot open channel %S", channel_id.c_str());
  }
  if (proxy) proxy->Close();
  proxy.reset();
  libraries.Stop();
  ipc.Stop();
  return opened ? 0 : 1;
}

}  // namespace host
