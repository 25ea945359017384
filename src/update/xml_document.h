// The XML document object the update tracker reads server replies with: the narrow part of
// the DOM it uses (load a text, name and text of the root element), and how one is created.
// The browser supplies the implementation (the host's, on pugixml) through the object factory
// as the service IXmlDocumentClasses, which activates outside classes by ProgID or CLSID.
//
//   ComPtr<IXMLDOMDocument> doc = CreateXmlDocument();
//   VARIANT_BOOL ok = VARIANT_FALSE;
//   if (doc && SUCCEEDED(doc->LoadXml(text, &ok)) && ok) doc->GetRootName(name.Receive());
//
// A document object belongs to one thread at a time; CreateXmlDocument is safe from any thread.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IXMLDOMDocument : IUnknown {
  static constexpr IID kIID = MakeGuid("2933BF81-7B36-11D2-B20E-00C04F983E60");
  // 3: parses `xml`; `*ok` is VARIANT_TRUE when it holds a well-formed document.
  virtual HRESULT LoadXml(BSTR xml, VARIANT_BOOL* ok) = 0;
  // 4: the root element's name; S_FALSE and "" when nothing is loaded.
  virtual HRESULT GetRootName(BSTR* name) = 0;
  // 5: the concatenated text of the root element and its descendants.
  virtual HRESULT GetRootText(BSTR* text) = 0;
};

// The browser's activation of outside classes: by ProgID ("Msxml2.DOMDocument") or by CLSID,
// in-process, queried for `iid`. REGDB_E_CLASSNOTREG for a class it does not know.
struct IXmlDocumentClasses : IUnknown {
  static constexpr IID kIID = MakeGuid("B1E0D3A4-5C27-4F68-9A0B-7E2C4D6F8A19");
  virtual HRESULT CreateByProgId(LPCWSTR prog_id, REFIID iid, void** out) = 0;
  virtual HRESULT CreateByClsid(REFCLSID clsid, REFIID iid, void** out) = 0;
};

// The ProgIDs tried, in order, and the class tried last.
inline constexpr const char16_t* kXmlDocumentProgIds[] = {
    u"Msxml2.DOMDocument",     u"Msxml2.DOMDocument.3.0", u"Msxml2.DOMDocument.4.0",
    u"Msxml2.DOMDocument.5.0", u"Msxml2.DOMDocument.6.0", u"Msxml2.DOMDocument.7.0",
    u"Msxml.DOMDocument",
};
inline constexpr CLSID kCLSID_XmlDocument = MakeGuid("2933BF90-7B36-11D2-B20E-00C04F983E60");

// The first document object the ProgIDs, then the class, yield; null when none does (or the
// browser offers no activation service).
ComPtr<IXMLDOMDocument> CreateXmlDocument();

}  // namespace Logic
