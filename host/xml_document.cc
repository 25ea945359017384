// The XML DOM stand-in: pugixml behind the narrow document interface.

#include "host/xml_document.h"

#include <pugixml.hpp>
#include <string>

#include "platform/bstr.h"
#include "platform/strings.h"

namespace host {
namespace {

// Replies are small; a larger text is refused rather than parsed.
constexpr size_t kMaxXmlChars = 1024 * 1024;
constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154);

HRESULT NewDocument(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<CXmlDocument> document = halcy::MakeComObject<CXmlDocument>();
  if (!document) return E_OUTOFMEMORY;
  return document->QueryInterface(iid, out);
}

HRESULT ReturnText(const std::string& utf8, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocString(halcy::Utf8ToUtf16(utf8).c_str());
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

struct CXmlDocument::Document {
  pugi::xml_document xml;
};

CXmlDocument::CXmlDocument() : document_(std::make_unique<Document>()) {}
CXmlDocument::~CXmlDocument() = default;

HRESULT CXmlDocument::LoadXml(BSTR xml, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  loaded_ = false;
  document_->xml.reset();
  const size_t length = xml ? SysStringLen(xml) : 0;
  if (length == 0 || length > kMaxXmlChars) return S_FALSE;
  const std::string text = halcy::Utf16ToUtf8(std::u16string_view(xml, length));
  const pugi::xml_parse_result result = document_->xml.load_buffer(
      text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result || !document_->xml.document_element()) return S_FALSE;
  loaded_ = true;
  *ok = VARIANT_TRUE;
  return S_OK;
}

HRESULT CXmlDocument::GetRootName(BSTR* name) {
  if (!loaded_) {
    ReturnText("", name);
    return S_FALSE;
  }
  return ReturnText(document_->xml.document_element().name(), name);
}

HRESULT CXmlDocument::GetRootText(BSTR* text) {
  if (!loaded_) {
    ReturnText("", text);
    return S_FALSE;
  }
  std::string all;
  // The text of the element: every text and CDATA node below it, in document order.
  struct Collector : pugi::xml_tree_walker {
    std::string* out;
    bool for_each(pugi::xml_node& node) override {
      if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) *out += node.value();
      return true;
    }
  } collector;
  collector.out = &all;
  document_->xml.document_element().traverse(collector);
  return ReturnText(all, text);
}

HRESULT CXmlDocumentClasses::CreateByProgId(LPCWSTR prog_id, REFIID iid, void** out) {
  if (!prog_id || !out) return E_POINTER;
  *out = nullptr;
  const std::u16string wanted = halcy::AsciiToLower(prog_id);
  for (const char16_t* known : Logic::kXmlDocumentProgIds) {
    if (halcy::AsciiToLower(known) == wanted) return NewDocument(iid, out);
  }
  return kClassNotRegistered;
}

HRESULT CXmlDocumentClasses::CreateByClsid(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != Logic::kCLSID_XmlDocument) return kClassNotRegistered;
  return NewDocument(iid, out);
}

}  // namespace host
