// CExtension::BuildSummary: the text through which the browser's front end lists an
// extension, with its icon inlined as a data address.

#include "common/encoding.h"
#include "common/json_escape.h"
#include "extension/extension.h"
#include "extension/extension_paths.h"
#include "platform/file_system.h"
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
// the file is missing or cannot be loaded or saved.
std::u16string IconDataAddress(const std::u16string& path) {
  if (!PathFileExistsW(path.c_str())) return std::u16string();
  const size_t dot = path.rfind(u'.');
  const std::u16string type = dot == std::u16string::npos ? std::u16string() : path.substr(dot + 1);
  std::string bytes;
  if (!halcy::ReencodeImageFile(path, FormatOfType(type), &bytes)) return std::u16string();
  const std::u16string encoded = halcy::Utf8ToUtf16(Base64Encode(bytes));
  return halcy::StringPrintf(u"data:image/%s;base64,%s", type.c_str(), encoded.c_str());
}

// The options page when its file exists; a "#" fragment is not part of the file name.
std::u16string OptionsPage(const std::u16string& path) {
  const std::u16string file = path.substr(0, path.rfind(u'#'));
  return PathFileExistsW(file.c_str()) ? path : std::u16string();
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
  const std::u16string unknown = Help::String::LoadStringW(u"IDS_EXTENSION_UNKNOWN");
  const std::u16string icon = fields.main_icon.empty()
                                  ? std::u16string()
                                  : IconDataAddress(ResolveExtensionPath(base + fields.main_icon));
  const std::u16string option_page =
      fields.options_page.empty() ? std::u16string()
                                  : OptionsPage(ResolveExtensionPath(base + fields.options_page));
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
