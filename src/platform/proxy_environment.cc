#include "platform/proxy_environment.h"

#include <cstdlib>

namespace halcy {
namespace {

std::string FirstSet(const char* name, const char* other = nullptr) {
  const char* value = getenv(name);
  if ((!value || !*value) && other) value = getenv(other);
  return value ? value : "";
}

}  // namespace

const std::string& ProxyEnvironment::ForScheme(std::string_view scheme) const {
  const std::string& own = scheme == "https" ? https : http;
  return own.empty() ? all : own;
}

ProxyEnvironment ReadProxyEnvironment() {
  ProxyEnvironment proxy;
  proxy.http = FirstSet("http_proxy");  // never HTTP_PROXY: a CGI request header can set it
  proxy.https = FirstSet("https_proxy", "HTTPS_PROXY");
  proxy.all = FirstSet("all_proxy", "ALL_PROXY");
  proxy.no_proxy = FirstSet("no_proxy", "NO_PROXY");
  return proxy;
}

}  // namespace halcy
