// How a page reports a finished snapshot. IPageContent::StartSnapshot only starts one; the
// page renders it later and then tells the sink that was handed to it, through the page's
// IPageSnapshotEvents, just before the start:
//
//   ComPtr<IPageSnapshotEvents> events;  // queried on the page object
//   events->SetSnapshotSink(sink);       // the sink for the snapshot started next
//   content->StartSnapshot(value, target);
//   ... later, on a thread of the page's choosing: sink->OnSnapshotFinished(TRUE)
//
// The page calls the sink at most once per started snapshot, never from inside StartSnapshot
// (the caller may hold a lock there), and lets go of it afterwards. A snapshot that could not
// be started (StartSnapshot failed) is never reported.
//
// Threads: SetSnapshotSink and StartSnapshot on the browser's UI thread; the sink may be called
// on any thread and must not block.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IPageSnapshotSink : IUnknown {
  static constexpr IID kIID = MakeGuid("4E2B7C90-1D35-4A8F-B6C2-93F0A5D17E64");
  // 3: the snapshot ended; `succeeded` is TRUE when the file holds the image.
  virtual HRESULT OnSnapshotFinished(BOOL succeeded) = 0;
};

// Queried on a page object that can report its snapshots.
struct IPageSnapshotEvents : IUnknown {
  static constexpr IID kIID = MakeGuid("4E2B7C91-1D35-4A8F-B6C2-93F0A5D17E64");
  // 3: the sink for the snapshot started next (null: report to nobody). The page holds a
  // reference until it has reported.
  virtual HRESULT SetSnapshotSink(IPageSnapshotSink* sink) = 0;
};

}  // namespace Logic
