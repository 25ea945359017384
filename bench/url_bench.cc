// URL canonicalization and URL pattern checks.
//
//   BM_Canonicalize/plexore      burl::ParsedUrl over a corpus of 10 000 generated URLs
//   BM_Canonicalize/curl         libcurl's URL API on the same corpus: curl_url_set of the
//                                URL, then curl_url_get of the full URL (the baseline)
//   BM_UrlCheck/reparse          one check of a URL against 20 stored patterns the way the
//                                permission set describes it: every pattern text parsed again
//                                and the URL canonicalized again for every pattern
//   BM_UrlCheck/cached           the same answers with the patterns parsed once and the URL
//                                canonicalized once per check
//   BM_UrlCheck/permission_set   CheckUrlPermission of a real permission set holding the same
//                                20 patterns, the URL handed over as a BSTR
//   BM_ApiCheck/permission_set   CheckApiPermission of a real permission set holding five
//                                groups, over a mix of granted, free and refused API names
//
// Items per second are URLs canonicalized (BM_Canonicalize), URLs checked (BM_UrlCheck) or API
// names checked (BM_ApiCheck).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "permission/permission_mgr.h"
#include "permission/permission_set.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "url/parsed_url.h"
#include "url/url_pattern.h"

namespace {

constexpr int kCorpusSize = 10000;

const char* const kHosts[] = {"www.example.com",      "Mail.Google.COM",     "news.ycombinator.com",
                              "cdn.static-files.net", "a.b.c.d.example.org", "localhost",
                              "api.github.com",       "www.halcy.cn",        "search.halcy.com",
                              "s3.amazonaws.com"};
const char* const kIdnHosts[] = {
    "b\xC3\xBC"
    "cher.de",
    "www.m\xC3\xBCnchen.de", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84",
    "\xE4\xBE\x8B\xE3\x81\x88.jp", "caf\xC3\xA9.fr"};
const char* const kIpHosts[] = {"192.168.0.1", "0x7f.1",     "2130706433",
                                "0177.0.0.1",  "10.0.0.255", "[2001:db8::1]"};
const char* const kSegments[] = {
    "index.html",  "a",       "b",      ".",
    "..",          "%41%62c", "images", "path%20with%20spaces",
    "caf\xC3\xA9", "~user",   "x.y",    "api",
    "v1",          "search",  "%2e",    "Very-Long-Segment-Name_0123456789"};

std::string RandomPath(std::mt19937& rng) {
  std::string path;
  int depth = static_cast<int>(rng() % 6);
  for (int i = 0; i < depth; ++i) {
    path += rng() % 8 == 0 ? "\\" : "/";
    path += kSegments[rng() % std::size(kSegments)];
  }
  return path.empty() ? "/" : path;
}

std::string RandomQuery(std::mt19937& rng) {
  if (rng() % 3 != 0) return {};
  std::string query = "?q=plexore+url&lang=en";
  int extra = static_cast<int>(rng() % 12);
  for (int i = 0; i < extra; ++i) {
    query += "&utm_p" + std::to_string(i) + "=" + std::string(4 + rng() % 20, 'a' + rng() % 26);
    if (rng() % 4 == 0) query += "%20and<more>";
  }
  return query;
}

std::string RandomHttpUrl(std::mt19937& rng) {
  static const char* const kSchemes[] = {"http", "https", "HTTPS", "ws", "wss", "ftp"};
  std::string url = kSchemes[rng() % std::size(kSchemes)];
  url += "://";
  if (rng() % 20 == 0) url += "user:pass@";
  switch (rng() % 10) {
    case 0:
      url += kIdnHosts[rng() % std::size(kIdnHosts)];
      break;
    case 1:
      url += kIpHosts[rng() % std::size(kIpHosts)];
      break;
    default:
      url += kHosts[rng() % std::size(kHosts)];
  }
  if (rng() % 5 == 0) url += rng() % 2 ? ":8080" : ":443";
  url += RandomPath(rng) + RandomQuery(rng);
  if (rng() % 6 == 0) url += "#section-" + std::to_string(rng() % 100);
  return url;
}

std::string RandomOtherUrl(std::mt19937& rng) {
  switch (rng() % 5) {
    case 0:
      return "file:///home/user" + RandomPath(rng);
    case 1:
      return "C:\\Program Files\\Halcy\\" + std::string(kSegments[rng() % std::size(kSegments)]);
    case 2:
      return "mailto:someone" + std::to_string(rng() % 1000) + "@example.com?subject=Hello%20there";
    case 3:
      return "javascript:void(0)";
    default:
      return "about:blank";
  }
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = [] {
    std::mt19937 rng(20240607);
    std::vector<std::string> urls;
    urls.reserve(kCorpusSize);
    for (int i = 0; i < kCorpusSize; ++i) {
      urls.push_back(rng() % 10 < 8 ? RandomHttpUrl(rng) : RandomOtherUrl(rng));
    }
    return urls;
  }();
  return corpus;
}

// Twenty patterns of the kind manifests carry, lower-cased as the permission sets store them.
const char* const kPatterns[] = {
    "http://*.halcy.cn/*",         "https://*.halcy.cn/*",          "http://*.halcy.com/*",
    "https://*.halcy.com/*",       "http://hao.halcy.cn/*",         "https://login.halcy.cn/*",
    "http://*.baidu.com/*",        "https://*.taobao.com/*",        "http://*.qq.com/*",
    "https://mail.163.com/*",      "http://127.0.0.1:8080/*",       "http://localhost:3000/*",
    "file:///c:/users/*",          "http://*.weibo.com/*/status",   "https://*.jd.com/item/*",
    "http://www.sina.com.cn/*",    "ftp://ftp.halcy.cn/pub/*",      "https://*.alipay.com/*",
    "http://*.youku.com/v_show/*", "https://api.github.com/repos/*"};

void BM_CanonicalizePlexore(benchmark::State& state) {
  const auto& corpus = Corpus();
  size_t valid = 0;
  for (auto _ : state) {
    valid = 0;
    for (const std::string& text : corpus) {
      burl::ParsedUrl url(text);
      valid += url.valid();
      benchmark::DoNotOptimize(url.spec().data());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["valid"] = static_cast<double>(valid);
}
BENCHMARK(BM_CanonicalizePlexore)->Name("BM_Canonicalize/plexore")->Unit(benchmark::kMillisecond);

void BM_CanonicalizeCurl(benchmark::State& state) {
  const auto& corpus = Corpus();
  CURLU* handle = curl_url();
  size_t valid = 0;
  for (auto _ : state) {
    valid = 0;
    for (const std::string& text : corpus) {
      // Every scheme is accepted, as the canonicalizer does; the handle is reused.
      if (curl_url_set(handle, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK) {
        continue;
      }
      char* full = nullptr;
      if (curl_url_get(handle, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        ++valid;
        benchmark::DoNotOptimize(full);
        curl_free(full);
      }
    }
  }
  curl_url_cleanup(handle);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["valid"] = static_cast<double>(valid);
}
BENCHMARK(BM_CanonicalizeCurl)->Name("BM_Canonicalize/curl")->Unit(benchmark::kMillisecond);

// The check as the permission set describes it: parse each stored text, canonicalize the URL,
// match; the first match ends the check.
bool CheckByReparsing(const std::string& url_text) {
  for (const char* text : kPatterns) {
    burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
    if (pattern.Parse(text) != burl::URLPattern::PARSE_SUCCESS) continue;
    if (pattern.MatchesUrl(burl::ParsedUrl(url_text))) return true;
  }
  return false;
}

// The same check with parsed patterns kept. Parsing is a pure function of the text and the
// mask, and canonicalization of the URL text, so keeping the parsed forms and canonicalizing
// the URL once gives exactly the answers of CheckByReparsing.
class CachedPatterns {
 public:
  CachedPatterns() {
    for (const char* text : kPatterns) {
      burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
      if (pattern.Parse(text) == burl::URLPattern::PARSE_SUCCESS) patterns_.push_back(pattern);
    }
  }
  bool Check(const std::string& url_text) const {
    const burl::ParsedUrl url(url_text);
    for (const burl::URLPattern& pattern : patterns_) {
      if (pattern.MatchesUrl(url)) return true;
    }
    return false;
  }

 private:
  std::vector<burl::URLPattern> patterns_;
};

void BM_UrlCheckReparse(benchmark::State& state) {
  const auto& corpus = Corpus();
  size_t matched = 0;
  for (auto _ : state) {
    matched = 0;
    for (const std::string& url : corpus) matched += CheckByReparsing(url);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["matched"] = static_cast<double>(matched);
}
BENCHMARK(BM_UrlCheckReparse)->Name("BM_UrlCheck/reparse")->Unit(benchmark::kMillisecond);

void BM_UrlCheckCached(benchmark::State& state) {
  const auto& corpus = Corpus();
  const CachedPatterns cached;
  size_t matched = 0;
  for (auto _ : state) {
    matched = 0;
    for (const std::string& url : corpus) matched += cached.Check(url);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["matched"] = static_cast<double>(matched);
}
BENCHMARK(BM_UrlCheckCached)->Name("BM_UrlCheck/cached")->Unit(benchmark::kMillisecond);

// A permission set made the way the permission manager makes it, loaded with `permissions`.
ComPtr<Logic::IPermissionSet> LoadedSet(const std::vector<std::u16string>& permissions) {
  ComPtr<Logic::IPermissionSet> set;
  ComPtr<IStringList> list;
  if (FAILED(Logic::CreatePermissionSet(&set)) ||
      FAILED(Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress()))) {
    return nullptr;
  }
  for (const std::u16string& permission : permissions) list->Append(permission.c_str());
  set->LoadPermissions(list.Get());
  return set;
}

ComPtr<Logic::IPermissionSet> PatternSet() {
  std::vector<std::u16string> patterns;
  for (const char* text : kPatterns) patterns.push_back(halcy::Utf8ToUtf16(text));
  return LoadedSet(patterns);
}

// The corpus as the BSTRs that callers of the permission set hold.
const std::vector<std::unique_ptr<halcy::ScopedBstr>>& WideCorpus() {
  static const auto* corpus = [] {
    auto* urls = new std::vector<std::unique_ptr<halcy::ScopedBstr>>();
    for (const std::string& url : Corpus()) {
      urls->push_back(std::make_unique<halcy::ScopedBstr>(halcy::Utf8ToUtf16(url)));
    }
    return urls;
  }();
  return *corpus;
}

void BM_UrlCheckPermissionSet(benchmark::State& state) {
  const ComPtr<Logic::IPermissionSet> set = PatternSet();
  const auto& corpus = WideCorpus();
  size_t matched = 0;
  for (auto _ : state) {
    matched = 0;
    for (const auto& url : corpus) matched += set->CheckUrlPermission(url->Get()) == S_OK;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(corpus.size()));
  state.counters["matched"] = static_cast<double>(matched);
}
BENCHMARK(BM_UrlCheckPermissionSet)
    ->Name("BM_UrlCheck/permission_set")
    ->Unit(benchmark::kMillisecond);

// Granted by one of the five groups, granted to every set, refused, and written in other case.
const char16_t* const kApiNames[] = {u"hcbrowser.history.search",
                                     u"hcbrowser.bookmarks.getTree",
                                     u"HCBROWSER.DOWNLOADS.CANCEL",
                                     u"hcbrowser.tabpage.getOpenTabs",
                                     u"hcbrowser.global.openPage",
                                     u"extension.invoke.register",
                                     u"extension.download.oncomplete",
                                     u"hcbrowser.xhr.send",
                                     u"hcbrowser.application.create",
                                     u"hcbrowser.history.getFrequently",
                                     u"extension.invoke.ui.popframe",
                                     u"hcbrowser.clipboardData.getData",
                                     u"hcbrowser.global.onDropFile.addListener",
                                     u"no.such.api",
                                     u"hcbrowser.bookmarks.onSorted.addListener",
                                     u"extension.urlanalysis.getextid"};

void BM_ApiCheckPermissionSet(benchmark::State& state) {
  const ComPtr<Logic::IPermissionSet> set =
      LoadedSet({u"history", u"Bookmarks", u"downloads", u"tabpage", u"global"});
  std::vector<std::unique_ptr<halcy::ScopedBstr>> names;
  for (const char16_t* name : kApiNames) names.push_back(std::make_unique<halcy::ScopedBstr>(name));
  size_t granted = 0;
  for (auto _ : state) {
    granted = 0;
    for (const auto& name : names) granted += set->CheckApiPermission(name->Get()) == S_OK;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(names.size()));
  state.counters["granted"] = static_cast<double>(granted);
}
BENCHMARK(BM_ApiCheckPermissionSet)->Name("BM_ApiCheck/permission_set");

// Both checks must agree on every URL of the corpus; a benchmark of a wrong answer is void.
bool ChecksAgree() {
  const CachedPatterns cached;
  const ComPtr<Logic::IPermissionSet> set = PatternSet();
  if (!set) return false;
  for (size_t i = 0; i < Corpus().size(); ++i) {
    const std::string& url = Corpus()[i];
    const bool expected = CheckByReparsing(url);
    if (cached.Check(url) != expected ||
        (set->CheckUrlPermission(WideCorpus()[i]->Get()) == S_OK) != expected) {
      std::fprintf(stderr, "checks disagree on %s\n", url.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  if (!ChecksAgree()) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
