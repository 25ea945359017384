// The tracker's stateless helpers: request query, entry checks, digest, XML unwrap, staging and
// the unload list.

#include "update/tracker_support.h"

#include <openssl/evp.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/extension_rules.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "json/json_value.h"
#include "module/channel_info.h"
#include "module/services.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "update/xml_document.h"
#include "update/zip_package.h"

namespace Logic {
namespace {

constexpr char16_t kTag[] = u"ext;";
constexpr size_t kMaxProductName = 1024;
constexpr size_t kMaxChannelCode = 256;
constexpr size_t kMaxUrl = 2048;
constexpr size_t kMaxVersion = 64;

std::mutex query_mutex;
std::u16string cached_query;  // Guarded by query_mutex; empty until a build succeeds

bool FileExists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The first "autoupdate.ini" of the three places, or "".
std::u16string FindAutoUpdateIni() {
  const std::u16string dir = GetBrowserDirectory();
  for (const char16_t* name :
       {u"\\autoupdate.ini", u"\\autoupdate\\autoupdate.ini", u"\\..\\autoupdate.ini"}) {
    const std::u16string path = dir + name;
    if (FileExists(path)) return path;
  }
  return u"";
}

std::u16string ChannelCode() {
  ComPtr<IChannelInfo> info = GetChannelInfo();
  ComPtr<IChannelObject> channel;
  if (!info || FAILED(info->GetChannelObject(channel.ReleaseAndGetAddressOf())) || !channel) {
    return u"";
  }
  halcy::ScopedBstr code;
  if (FAILED(channel->GetChannelCode(code.Receive()))) return u"";
  return std::u16string(code.View().substr(0, kMaxChannelCode));
}

// A decimal integer from a number or a string holding one; `fallback` otherwise and for -1.
LONG ReadInteger(const CJsonValue* value, LONG fallback) {
  if (!value) return fallback;
  long long number = fallback;
  if (value->IsNumber()) {
    const double d = value->GetNumber();
    if (d < -2147483648.0 || d > 2147483647.0) return fallback;
    number = static_cast<long long>(d);
  } else if (value->IsString()) {
    const std::string text = halcy::Utf16ToUtf8(value->GetString());
    char* end = nullptr;
    number = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < INT32_MIN || number > INT32_MAX) return fallback;
  } else {
    return fallback;
  }
  return number == -1 ? fallback : static_cast<LONG>(number);
}

// A string member capped at `limit` characters; false when present but not a string or longer.
bool ReadText(const CJsonValue& object, std::u16string_view key, size_t limit,
              std::u16string* out) {
  const CJsonValue* value = JsonMember(object, key);
  if (!value) return true;
  if (!value->IsString() || value->GetString().size() > limit) return false;
  *out = value->GetString();
  return true;
}

bool IsHexDigest(std::u16string* text) {
  if (text->size() != 64) return false;
  for (char16_t& c : *text) {
    if (c >= u'A' && c <= u'F') c = static_cast<char16_t>(c - u'A' + u'a');
    if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) return false;
  }
  return true;
}

// The folder below `staging` holding "manifest.json": itself, or its only subfolder.
std::u16string ManifestFolder(const std::u16string& staging) {
  if (FileExists(staging + u"\\manifest.json")) return staging;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((staging + u"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return u"";
  std::u16string only;
  int entries = 0;
  do {
    const std::u16string name(data.cFileName);
    if (name == u"." || name == u"..") continue;
    ++entries;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) only = staging + u"\\" + name;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  if (entries != 1 || only.empty() || !FileExists(only + u"\\manifest.json")) return u"";
  return only;
}

std::u16string NewStagingFolder(const std::u16string& root) {
  static std::atomic<unsigned> counter{0};
  if (!CreateDirectoryRecursive(root, 8)) return u"";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::u16string path = halcy::StringPrintf(u"%s\\.staging-%u-%u", root.c_str(),
                                                    static_cast<unsigned>(getpid()), ++counter);
    if (CreateDirectoryW(path.c_str(), nullptr)) return path;
  }
  return u"";
}

}  // namespace

const CJsonValue* JsonMember(const CJsonValue& object, std::u16string_view key) {
  if (!object.IsObject()) return nullptr;
  auto it = object.GetObject().find(key);
  return it == object.GetObject().end() ? nullptr : it->second.get();
}

std::u16string OsVersionText() {
  struct utsname name;
  unsigned major = 0, minor = 0, patch = 0;
  if (uname(&name) == 0) std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch);
  return halcy::StringPrintf(u"%u.%u.%u", major, minor, patch);
}

std::u16string BuildRequestQuery(const std::u16string& browser_version) {
  std::lock_guard<std::mutex> lock(query_mutex);
  if (!cached_query.empty()) return cached_query;
  const std::u16string ini = FindAutoUpdateIni();
  if (ini.empty()) {
    Log(kLogFailure, kTag, u"updating ext list failed reason: can't file autoupdate.ini file");
    return u"";
  }
  std::u16string query = u"sign_algorithm=rsa&comp_versions=1.0.0.0&updater_version=1.0&type=auto";
  std::u16string product(kMaxProductName + 1, u'\0');
  product.resize(GetPrivateProfileStringW(u"autoupdate", u"ProductName", u"", product.data(),
                                          static_cast<DWORD>(product.size()), ini.c_str()));
  query += halcy::StringPrintf(u"&product_name=%s", product.c_str());
  query += halcy::StringPrintf(u"&osver=%s", OsVersionText().c_str());
  query += halcy::StringPrintf(u"&browser_ver=%s", browser_version.c_str());
  const std::u16string channel = ChannelCode();
  if (!channel.empty()) query += halcy::StringPrintf(u"&tn=%s", channel.c_str());
  cached_query = query;
  return query;
}

void ResetRequestQueryForTesting() {
  std::lock_guard<std::mutex> lock(query_mutex);
  cached_query.clear();
}

bool IsUsableTrackerId(const std::u16string& id, const char16_t* source) {
  if (CheckExtensionId(id) == ExtensionIdCheck::kUsable && id != u"." && id != u"..") return true;
  Log(kLogFailure, kTag, u"extlist: %s: extension id '%s' skipped", source,
      id.substr(0, 200).c_str());
  return false;
}

bool ReadListEntry(const CJsonValue& entry, const char16_t* source, TrackerListEntry* out) {
  out->state = ReadInteger(JsonMember(entry, u"state"), 1);
  out->type = ReadInteger(JsonMember(entry, u"type"), 0);
  bool ok = ReadText(entry, u"url", kMaxUrl, &out->url) &&
            ReadText(entry, u"lowestbrowser", kMaxVersion, &out->lowest_browser) &&
            ReadText(entry, u"version", kMaxVersion, &out->version) &&
            ReadText(entry, u"sha256", 64, &out->sha256);
  if (ok && !out->sha256.empty()) ok = IsHexDigest(&out->sha256);
  if (ok && JsonMember(entry, u"sha256") && out->sha256.empty()) ok = false;
  if (!ok) {
    Log(kLogFailure, kTag, u"extlist: %s: entry '%s' has a malformed field, skipped", source,
        out->id.c_str());
  }
  return ok;
}

bool FileMatchesSha256(const std::u16string& path, const std::u16string& hex) {
  FILE* file = std::fopen(halcy::ToNativePath(path).c_str(), "rb");
  if (!file) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  unsigned char buffer[65536];
  size_t n = 0;
  while (ok && (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    ok = EVP_DigestUpdate(context.get(), buffer, n) == 1;
  }
  ok = ok && !std::ferror(file);
  std::fclose(file);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length != 32) return false;
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string text;
  for (unsigned i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text == hex;
}

std::u16string ExtractXmlResult(const std::u16string& text) {
  ComPtr<IXMLDOMDocument> document = CreateXmlDocument();
  if (!document) return u"";
  halcy::ScopedBstr xml(text), name, body;
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(document->LoadXml(xml.Get(), &loaded)) || loaded != VARIANT_TRUE) return u"";
  if (FAILED(document->GetRootName(name.Receive()))) return u"";
  if (halcy::AsciiToLower(name.View()) != u"result") return u"";
  if (FAILED(document->GetRootText(body.Receive()))) return u"";
  return std::u16string(body.View());
}

bool StagePackage(const std::u16string& zip, const std::u16string& staging_root,
                  const std::u16string& target) {
  const std::u16string staging = NewStagingFolder(staging_root);
  if (staging.empty()) {
    DeletePath(zip, false);
    return false;
  }
  bool ok = UnzipPackage(zip, staging);
  const std::u16string folder = ok ? ManifestFolder(staging) : u"";
  ok = !folder.empty();
  if (ok && PathFileExistsW(target.c_str())) ok = DeletePath(target, true);
  if (ok) ok = MoveFileExW(folder.c_str(), target.c_str(), 0) != FALSE;
  // What is left in the staging folder (all of it on failure) is thrown away; a folder that
  // cannot be removed now holds nothing the manager refers to.
  DeletePath(staging, true);
  if (!ok) Log(kLogFailure, kTag, u"extlist: package %s not staged", zip.c_str());
  return ok;
}

void AddToUnloadList(const std::u16string& ini_file, const std::u16string& path) {
  UINT count = 0;
  if (FileExists(ini_file)) {
    count = GetPrivateProfileIntW(u"listinfo", u"count", 0, ini_file.c_str());
    const std::u16string wanted = halcy::AsciiToLower(path);
    for (UINT i = 1; i <= count; ++i) {
      const std::u16string section = halcy::StringPrintf(u"%u", i);
      std::u16string entry(4096, u'\0');
      entry.resize(GetPrivateProfileStringW(section.c_str(), u"exepath", u"", entry.data(),
                                            static_cast<DWORD>(entry.size()), ini_file.c_str()));
      if (halcy::AsciiToLower(entry) == wanted) return;
    }
  }
  const std::u16string section = halcy::StringPrintf(u"%u", count + 1);
  // The entry goes in before the count, so that a failed second write leaves an unlisted
  // section rather than a count naming a missing one.
  WritePrivateProfileStringW(section.c_str(), u"exepath", path.c_str(), ini_file.c_str());
  WritePrivateProfileStringW(u"listinfo", u"count", halcy::StringPrintf(u"%u", count + 1).c_str(),
                             ini_file.c_str());
}

ComPtr<IXMLDOMDocument> CreateXmlDocument() {
  ComPtr<IXmlDocumentClasses> classes;
  Util::Com::GetService(IXmlDocumentClasses::kIID, classes.ReleaseAndGetVoidAddress());
  if (!classes) return nullptr;
  ComPtr<IXMLDOMDocument> document;
  for (const char16_t* prog_id : kXmlDocumentProgIds) {
    if (SUCCEEDED(classes->CreateByProgId(prog_id, IXMLDOMDocument::kIID,
                                          document.ReleaseAndGetVoidAddress())) &&
        document) {
      return document;
    }
  }
  if (SUCCEEDED(classes->CreateByClsid(kCLSID_XmlDocument, IXMLDOMDocument::kIID,
                                       document.ReleaseAndGetVoidAddress()))) {
    return document;
  }
  return nullptr;
}

}  // namespace Logic
