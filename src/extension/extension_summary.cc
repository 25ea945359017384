// CExtension::BuildSummary: the text through which the browser's front end lists an
// extension, with its icon inlined as a data address. The icon and the options page are files
// the manifest names; they are used only when they lie inside the extension's directory
// (extension_paths.h), and the icon only within the caps of common/extension_rules.h.

#include "common/encoding.h"
#include "common/extension_rules.h"
#include "common/json_escape.h"
#include "extension/extension.h"
#include "extension/extension_paths.h"
#include "platform/file_below.h"
#include "platform/image_codec.h"
#include "platform/string_resources.h"
#include "platform/strings.h"

namespace Logic {

struct CExtension::SummaryFields {
  bool has_manifest = false;
  std::u16string id, name, developer, version, description, main_icon, options_page;
  int32_t state = 0;
  int32_t flags = 0;
};

namespace {

constexpr const char16_t* kSummaryFormat =
    u"{ \"id\":\"%s\",\"name\":\"%s\",\"icon\":\"%s\",\"developer\":\"%s\",\"version\":\"%s\","
    u"\"description\":\"%s\",\"optionpage\":\"%s\",\"state\":\"%d\", \"uninstall\":\"%s\", "
    u"\"candisable\":\"%s\"}";

halcy::ImageFormat FormatOfType(std::u16string_view type) {
  const std::u16string lower = halcy::AsciiToLower(type);
  if (lower == u"jpg" || lower == u"jpeg") return halcy::ImageFormat::kJpeg;
  if (lower == u"bmp") return halcy::ImageFormat::kBmp;
  if (lower == u"gif") return halcy::ImageFormat::kGif;
  return halcy::ImageFormat::kPng;
}

// "data:image/<type>;base64,<the image re-encoded in the format its type selects>", or "" when
// the file is missing, cannot be used or cannot be decoded or saved. Only a regular file
// inside the extension's directory is read, and only within the icon caps: the byte cap before
// reading, the pixel cap from the image's header before decoding.
std::u16string IconDataAddress(const ManifestPath& icon) {
  if (!IsPathInsideExtension(icon.path)) {
    LogRefusedManifestPath(icon, RefusalReason(halcy::FileBelow::kBadPath));
    return std::u16string();
  }
  std::string file;
  const halcy::FileBelow found =
      halcy::ReadFileBelow(icon.directory, icon.path, kMaxIconBytes, &file);
  if (found == halcy::FileBelow::kTooLarge) {
    LogRefusedManifestPath(icon, halcy::StringPrintf(u"the file is larger than %d MiB",
                                                     static_cast<int>(kMaxIconBytes >> 20)));
    return std::u16string();
  }
  if (found != halcy::FileBelow::kRegularFile) {
    if (found != halcy::FileBelow::kMissing) LogRefusedManifestPath(icon, RefusalReason(found));
    return std::u16string();
  }
  const size_t dot = icon.path.rfind(u'.');
  const std::u16string type(dot == std::u16string_view::npos ? std::u16string_view()
                                                             : icon.path.substr(dot + 1));
  std::string bytes;
  switch (halcy::ReencodeImage(file, FormatOfType(type), kMaxIconSide, &bytes)) {
    case halcy::ImageResult::kOk:
      break;
    case halcy::ImageResult::kTooLarge:
      LogRefusedManifestPath(icon, halcy::StringPrintf(u"the image is larger than %d x %d pixels",
                                                       static_cast<int>(kMaxIconSide),
                                                       static_cast<int>(kMaxIconSide)));
      return std::u16string();
    case halcy::ImageResult::kUnmeasurable:
      LogRefusedManifestPath(icon, u"it is not an image whose size can be read");
      return std::u16string();
    case halcy::ImageResult::kUndecodable:
    case halcy::ImageResult::kUnencodable:
      LogRefusedManifestPath(icon, u"the image cannot be decoded or saved");
      return std::u16string();
  }
  const std::u16string encoded = halcy::Utf8ToUtf16(Base64Encode(bytes));
  return halcy::StringPrintf(u"data:image/%s;base64,%s", type.c_str(), encoded.c_str());
}

// `base` and the options page when its file is a regular file inside the extension's
// directory; a "#" fragment is not part of the file name.
std::u16string OptionsPage(const ManifestPath& page, const std::u16string& base) {
  ManifestPath file = page;
  file.path = page.path.substr(0, page.path.rfind(u'#'));
  bool exists = false;
  if (!CheckManifestFile(file, &exists) || !exists) return std::u16string();
  return ResolveExtensionPath(base + std::u16string(page.path));
}

std::u16string OrUnknown(std::u16string text, const std::u16string& unknown) {
  return text.empty() ? unknown : text;
}

}  // namespace

CExtension::SummaryFields CExtension::ReadSummaryFields() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SummaryFields fields;
  if (!manifest_) return fields;
  auto text = [this](std::u16string_view key) {
    const CJsonValue* member = FindMember(key);
    return member ? member->GetString() : std::u16string();
  };
  fields.has_manifest = true;
  fields.id = id_;
  fields.name = text(u"name");
  fields.developer = text(u"developer");
  fields.version = text(u"version");
  fields.description = text(u"description");
  fields.main_icon = text(u"main_icon");
  fields.options_page = text(u"options_page");
  fields.state = state_;
  fields.flags = flags_;
  return fields;
}

std::u16string CExtension::BuildSummary(std::u16string_view directory, bool flag) const {
  if (!flag) return std::u16string();
  const SummaryFields fields = ReadSummaryFields();
  if (!fields.has_manifest) return std::u16string();
  std::u16string base(directory);
  base += u"\\";
  for (char16_t& c : base) {
    if (c == u'/') c = u'\\';
  }
  const std::u16string resolved = ResolveExtensionPath(directory);
  const std::u16string unknown = Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN");
  const std::u16string icon =
      fields.main_icon.empty()
          ? std::u16string()
          : IconDataAddress({u"ext;", fields.id, resolved, u"main_icon", fields.main_icon});
  const std::u16string option_page =
      fields.options_page.empty()
          ? std::u16string()
          : OptionsPage({u"ext;", fields.id, resolved, u"options_page", fields.options_page}, base);
  const bool no_uninstall = fields.flags & kExtensionFlagNoUninstall;
  const bool no_disable = fields.flags & kExtensionFlagNoDisable;
  return halcy::StringPrintf(
      kSummaryFormat, EscapeJsonText(fields.id).c_str(),
      EscapeJsonText(OrUnknown(fields.name, unknown)).c_str(), EscapeJsonText(icon).c_str(),
      EscapeJsonText(OrUnknown(fields.developer, unknown)).c_str(),
      EscapeJsonText(OrUnknown(fields.version, unknown)).c_str(),
      EscapeJsonText(fields.description).c_str(), EscapeJsonText(option_page).c_str(), fields.state,
      no_uninstall ? u"false" : u"true", no_disable ? u"false" : u"true");
}

}  // namespace Logic
