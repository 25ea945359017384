// The browser's download engine as the module sees it: the engine interface, created per
// download through the object factory, and the event interface through which it reports.
// Declarations only; the host implements the engine (host/download_engine.h) and the module's
// download objects (update/carry_info.h) use it.
//
//   ComPtr<IDownloadEngine> engine;
//   Util::Com::CreateObjectByIID(IDownloadEngine::kIID, engine.ReleaseAndGetVoidAddress());
//   // subscribe an IDownloadEvents sink through the engine's IConnectionPointContainer, then:
//   engine->SetUrl(url);            // http or https
//   engine->SetFilePath(path);      // Windows-style paths are accepted
//   engine->Start();
//   ...
//   engine->Stop(VARIANT_FALSE);    // or VARIANT_TRUE to abort without waiting
//
// Events come from the engine's own thread, one download at a time per engine. Status goes
// 1 connecting, 2 receiving, then ends in 3 complete (the file is in place under its name),
// or 5 failed (OnError first, then OnStatusChange(5)). A stopped download reports nothing
// after Stop returns, and status 4 is never reported as an event; it is what the engine's
// owner knows once Stop has been called. Progress comes at most ten times a second, plus one
// final report when the transfer is complete.
//
// The file is written to a temporary file beside the target and renamed over it only after a
// complete, successful transfer: a failed, stopped or killed download never leaves a partial
// file under the target's name.
//
// Stop's flag: both values end the transfer and remove the temporary file. VARIANT_FALSE waits
// until the engine's thread has ended; VARIANT_TRUE (abort) returns at once (it waits only for
// an event call already in progress to return) and the thread finishes on its own.
#pragma once

#include "platform/com.h"
#include "platform/win_types.h"

namespace Logic {

// Status values reported by IDownloadEvents::OnStatusChange.
constexpr LONG kDownloadIdle = 0;
constexpr LONG kDownloadConnecting = 1;
constexpr LONG kDownloadReceiving = 2;
constexpr LONG kDownloadComplete = 3;
constexpr LONG kDownloadStopped = 4;
constexpr LONG kDownloadFailed = 5;

struct IDownloadEngine : IUnknown {
  static constexpr IID kIID = MakeGuid("90905DA6-9999-4BF7-8F15-D62DACA5F6CF");
  // E_INVALIDARG for a null or empty string. Ignored for a download already started.
  virtual HRESULT SetUrl(BSTR url) = 0;
  virtual HRESULT SetFilePath(BSTR path) = 0;
  // E_INVALIDARG without URL or path, E_UNEXPECTED while a download runs; otherwise starts the
  // engine's thread and returns S_OK. Failures after that arrive as events.
  virtual HRESULT Start() = 0;
  // S_OK; S_FALSE when nothing was running.
  virtual HRESULT Stop(VARIANT_BOOL abort) = 0;
};

// The engine's event interface; sinks answer it (and IUnknown). Called on the engine's thread.
struct IDownloadEvents : IUnknown {
  static constexpr IID kIID = MakeGuid("A8365484-DCD8-46D4-97AB-00E7D55664EC");
  virtual HRESULT OnStatusChange(LONG status) = 0;
  // Bytes received so far and the expected size (0 when the server did not say).
  virtual HRESULT OnProgress(double received, double total) = 0;
  virtual HRESULT OnError(HRESULT error) = 0;
};

// Error codes of OnError besides E_FAIL and E_OUTOFMEMORY.
// An HTTP status of 400 or above: 0x80190000 | status (404 gives 0x80190194).
constexpr HRESULT HttpStatusError(long status) {
  return static_cast<HRESULT>(0x80190000u | (static_cast<uint32_t>(status) & 0xFFFFu));
}
constexpr HRESULT kDownloadCannotConnect = HRESULT_FROM_WIN32(12029);        // no connection made
constexpr HRESULT kDownloadTimedOut = HRESULT_FROM_WIN32(12002);             // server went quiet
constexpr HRESULT kDownloadTooLarge = HRESULT_FROM_WIN32(223);               // over the size cap
constexpr HRESULT kDownloadTooManyRedirects = HRESULT_FROM_WIN32(12156);     // over 20 redirects
constexpr HRESULT kDownloadBadUrl = HRESULT_FROM_WIN32(12006);               // unusable address
constexpr HRESULT kDownloadFileError = HRESULT_FROM_WIN32(ERROR_CANTWRITE);  // target side

}  // namespace Logic
