#include "host/page_snapshot.h"

#include <gd.h>
#include <gdfontg.h>
#include <gdfontmb.h>
#include <sys/stat.h>

#include <mutex>
#include <utility>

#include "common/log.h"
#include "host/durable_file.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace host {
namespace {

constexpr size_t kMaxTargetBytes = 4096;
constexpr int kMargin = 16;

bool HasParentComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

bool Refuse(std::string* why, const char* reason) {
  if (why) *why = reason;
  return false;
}

// Whether `path` may receive the image; `why` says why not.
bool TargetAcceptable(const std::string& path, std::string* why) {
  if (path.empty() || path[0] != '/') return Refuse(why, "not an absolute path");
  if (path.size() > kMaxTargetBytes) return Refuse(why, "too long");
  if (path.find('\0') != std::string::npos) return Refuse(why, "holds a NUL");
  if (path.back() == '/') return Refuse(why, "names no file");
  if (HasParentComponent(path)) return Refuse(why, "holds a \"..\" component");
  const std::string parent = path.substr(0, path.rfind('/'));
  struct stat info;
  if (stat(parent.empty() ? "/" : parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Refuse(why, "its directory does not exist");
  }
  if (lstat(path.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) return Refuse(why, "is a symbolic link");
    if (!S_ISREG(info.st_mode)) return Refuse(why, "is not a regular file");
  }
  return true;
}

// At most `columns` characters of `text` as Latin-1 ("?" for anything beyond it), with "..."
// when cut.
std::string Latin1Line(std::u16string_view text, size_t columns) {
  std::string line;
  for (char16_t c : text) {
    if (line.size() == columns) {
      line.replace(columns - 3, 3, "...");
      break;
    }
    line.push_back(c >= 0x20 && c <= 0xFF ? static_cast<char>(c) : '?');
  }
  return line;
}

void DrawLine(gdImagePtr image, gdFontPtr font, int y, std::u16string_view text, int color) {
  const size_t columns = static_cast<size_t>((kSnapshotWidth - 2 * kMargin) / font->w);
  std::string line = Latin1Line(text, columns);
  gdImageString(image, font, kMargin, y, reinterpret_cast<unsigned char*>(line.data()), color);
}

}  // namespace

std::optional<std::string> CheckSnapshotTarget(std::u16string_view target, std::string* why) {
  if (target.find(u'\0') != std::u16string_view::npos) {
    if (why) *why = "holds a NUL";
    return std::nullopt;
  }
  std::string path = halcy::ToNativePath(target);
  if (!TargetAcceptable(path, why)) return std::nullopt;
  return path;
}

std::string RenderPageSnapshotPng(std::u16string_view title, std::u16string_view url) {
  gdImagePtr image = gdImageCreateTrueColor(kSnapshotWidth, kSnapshotHeight);
  if (!image) return {};
  const int paper = gdImageColorAllocate(image, 0xFF, 0xFF, 0xFF);
  const int band = gdImageColorAllocate(image, 0x2B, 0x57, 0x9A);
  const int ink = gdImageColorAllocate(image, 0x20, 0x20, 0x20);
  const int link = gdImageColorAllocate(image, 0x1A, 0x0D, 0xAB);
  gdImageFilledRectangle(image, 0, 0, kSnapshotWidth - 1, kSnapshotHeight - 1, paper);
  gdImageFilledRectangle(image, 0, 0, kSnapshotWidth - 1, 7, band);
  DrawLine(image, gdFontGetGiant(), 28, title.empty() ? u"(untitled)" : title, ink);
  DrawLine(image, gdFontGetMediumBold(), 64, url, link);
  int size = 0;
  void* bytes = gdImagePngPtr(image, &size);
  gdImageDestroy(image);
  if (!bytes) return {};
  std::string png(static_cast<const char*>(bytes), size > 0 ? static_cast<size_t>(size) : 0);
  gdFree(bytes);
  return png;
}

struct CPageSnapshotter::State {
  explicit State(PageReader r) : reader(std::move(r)) {}
  const PageReader reader;  // Constant after construction
  std::mutex lock;
  ComPtr<Logic::IPageSnapshotSink> sink;  // Guarded by lock; taken by the next start
  bool busy = false;                      // Guarded by lock
};

CPageSnapshotter::CPageSnapshotter(PageReader reader)
    : state_(std::make_shared<State>(std::move(reader))) {}

void CPageSnapshotter::SetSink(Logic::IPageSnapshotSink* sink) {
  ComPtr<Logic::IPageSnapshotSink> replaced(sink);
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    replaced.Swap(state_->sink);
  }
  // The previous sink is released here, with no lock held.
}

HRESULT CPageSnapshotter::Start(std::u16string_view target) {
  std::string why;
  std::optional<std::string> path = CheckSnapshotTarget(target, &why);
  if (!path) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"snapshot: target %s refused: %S",
               std::u16string(target).c_str(), why.c_str());
    return E_INVALIDARG;
  }
  ComPtr<Logic::IPageSnapshotSink> sink;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    if (state_->busy) return E_FAIL;
    state_->busy = true;
    sink = std::move(state_->sink);  // this snapshot's; the next start needs its own
  }
  // Rendered later, never inside Start: the caller may hold a lock the sink needs.
  Thread::CTask* task = Thread::NewFuncTask(
      [state = state_, file = std::move(*path), sink] { Render(state, file, sink.Get()); },
      u"&CPageSnapshotter::Render");
  if (task && Thread::PostTask(Thread::kThreadUI, task)) return S_OK;
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->busy = false;
  return E_FAIL;
}

void CPageSnapshotter::Render(const std::shared_ptr<State>& state, const std::string& path,
                              Logic::IPageSnapshotSink* sink) {
  bool written = false;
  if (std::optional<PageText> page = state->reader()) {
    const std::string png = RenderPageSnapshotPng(page->title, page->url);
    // Checked again: the directory may have changed since the start.
    written = !png.empty() && TargetAcceptable(path, nullptr) && ReplaceFileDurably(path, png);
  }
  {
    std::lock_guard<std::mutex> hold(state->lock);
    state->busy = false;
  }
  Logic::Log(Logic::kLogProgress, u"oldlog;", u"snapshot: %S %S", path.c_str(),
             written ? "written" : "failed");
  if (sink) sink->OnSnapshotFinished(written ? TRUE : FALSE);
}

}  // namespace host
