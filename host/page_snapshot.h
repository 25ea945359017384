// Page snapshots of the browser stand-in: a tab's page renders a PNG of its title and address
// (libgd) into a file a native library named, and reports the finished snapshot to the sink
// the module handed it (command/page_snapshot_sink.h).
//
// The target comes from an untrusted library, so it is checked before anything is written:
// an absolute path (after "\" became "/"), without a ".." component or a NUL, at most 4096
// bytes, whose parent directory exists and whose file, if present, is a regular file and not
// a symbolic link. The image is written beside the target and renamed into place.
//
//   CPageSnapshotter snapshots([model, tab] { return ReadTitleAndUrl(model, tab); });
//   snapshots.SetSink(sink);                // the module's sink for the next snapshot
//   HRESULT hr = snapshots.Start(u"/tmp/page.png");  // E_INVALIDARG: target refused
//   ... the UI thread renders, writes, then calls sink->OnSnapshotFinished(TRUE or FALSE)
//
// Threads: CPageSnapshotter may be used from any thread; the rendering runs as the task
// "&CPageSnapshotter::Render" on the UI thread, which calls the sink with no lock held. The
// free functions keep no state.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "command/page_snapshot_sink.h"
#include "platform/com.h"

namespace host {

inline constexpr int kSnapshotWidth = 640;
inline constexpr int kSnapshotHeight = 120;

// The native path of an acceptable target, or nothing with `why` (when given) saying why not.
std::optional<std::string> CheckSnapshotTarget(std::u16string_view target,
                                               std::string* why = nullptr);

// A kSnapshotWidth x kSnapshotHeight PNG showing `title` ("(untitled)" when empty) above `url`
// (characters outside Latin-1 drawn as "?", long texts cut). Empty when libgd fails.
std::string RenderPageSnapshotPng(std::u16string_view title, std::u16string_view url);

class CPageSnapshotter {
 public:
  struct PageText {
    std::u16string title;
    std::u16string url;
  };
  // Reads the page's title and address when the snapshot is rendered; nothing when the page
  // is gone (the snapshot then fails).
  using PageReader = std::function<std::optional<PageText>()>;

  explicit CPageSnapshotter(PageReader reader);

  // The sink for the snapshot started next; null clears it.
  void SetSink(Logic::IPageSnapshotSink* sink);
  // E_INVALIDARG for a refused target (logged), E_FAIL while a snapshot is under way or when
  // the task cannot be posted; S_OK once the rendering is posted to the UI thread.
  HRESULT Start(std::u16string_view target);

 private:
  struct State;
  // Renders and writes the image, then reports to `sink` (may be null). UI thread.
  static void Render(const std::shared_ptr<State>& state, const std::string& path,
                     Logic::IPageSnapshotSink* sink);

  const std::shared_ptr<State> state_;
};

}  // namespace host
