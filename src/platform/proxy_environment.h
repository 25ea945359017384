// The proxy setting that the platform's network code calls "preconfigured": the standard proxy
// environment, read once on the caller's thread and handed to libcurl explicitly, so that no
// worker thread reads the environment while another thread may change it.
//
//   halcy::ProxyEnvironment proxy = halcy::ReadProxyEnvironment();
//   curl_easy_setopt(easy, CURLOPT_PROXY, proxy.ForScheme("http").c_str());   // "" = none
//   curl_easy_setopt(easy, CURLOPT_NOPROXY, proxy.no_proxy.c_str());
//
// Variables, as libcurl itself reads them: `http_proxy` (lower case only) for http;
// `https_proxy` or `HTTPS_PROXY` for https; `all_proxy` or `ALL_PROXY` when the former is
// unset; `no_proxy` or `NO_PROXY` for hosts that bypass the proxy.
// ReadProxyEnvironment reads the process environment (call it where nothing else changes it
// at the same time); the struct is a plain value.
#pragma once

#include <string>
#include <string_view>

namespace halcy {

struct ProxyEnvironment {
  std::string http;
  std::string https;
  std::string all;
  std::string no_proxy;

  // The proxy for a URL scheme ("http" or "https"), or "" for a direct connection.
  const std::string& ForScheme(std::string_view scheme) const;
};

ProxyEnvironment ReadProxyEnvironment();

}  // namespace halcy
