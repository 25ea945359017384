// The update code's HTTP client: posts a form-encoded body to an address without blocking the
// caller and hands the reply text to a listener, with the request identifier that the post
// returned; and a synchronous reachability probe.
//
//   LONG id = PostFormToServer(u"http://updates.example.test/list", "id=a&v=1", listener);
//   ...  // later, on the network worker thread: listener->OnHttpReply(id, u"...reply...")
//   if (!CheckUrlReachable(u"www.example.test")) { /* no network */ }
//
// A post runs a small state machine over the WinINet calls (platform/wininet.h): connect to
// the URL's host on port 80 whatever the URL says, open a POST for its path without the query,
// send the body (at most 4096 bytes), and read at most 4096 bytes of reply. A 302 restarts it
// at the Location address with the same body and identifier, at most 20 times, and only for
// http or https addresses. Any other status (404 too) is delivered like a 200; a reply of no
// bytes is not delivered; failures are logged under "ext;" and deliver nothing.
//
// Threads: PostFormToServer runs on the caller's thread until the first call goes
// asynchronous; the rest, and the listener call, run on WinINet's worker thread. The listener
// is held (counted) until the request has finished. CheckUrlReachable blocks its caller.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"

namespace Logic {

// Receives the reply of a post. Called on the network worker thread, at most once per post.
struct IHttpPostListener : IUnknown {
  static constexpr IID kIID = MakeGuid("F58883BA-ECB2-4CCD-8793-1DF9A6F1A5A7");
  virtual void OnHttpReply(LONG request_id, const std::u16string& text) = 0;
};

// Starts the post and returns its identifier (1, 2, ... for the process), or -1 when no
// WinINet root handle can be opened or its status callback cannot be installed (then nothing
// is delivered). `listener` may be null.
LONG PostFormToServer(const std::u16string& url, const std::string& body,
                      IHttpPostListener* listener);

// True when `host_or_url` could be opened with a GET. The text is lower-cased and given an
// "http://" prefix when it holds none.
bool CheckUrlReachable(const std::u16string& host_or_url);

// True when `url` starts with "http://" or "https://" (in any case): the only addresses the
// update code posts to, follows or downloads from.
bool IsHttpAddress(std::u16string_view url);

// Most redirects a post follows before it gives up.
constexpr int kMaxPostRedirects = 20;

}  // namespace Logic
