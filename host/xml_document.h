// The browser's XML DOM stand-in on pugixml: CXmlDocument answers the narrow IXMLDOMDocument
// the module reads update-server replies with, and CXmlDocumentClasses, registered with the
// object factory as the IXmlDocumentClasses service, activates it for the MSXML ProgIDs and
// the DOM document class.
//
//   ComPtr<Logic::IXMLDOMDocument> doc;
//   classes->CreateByProgId(u"Msxml2.DOMDocument", Logic::IXMLDOMDocument::kIID,
//                           doc.ReleaseAndGetVoidAddress());
//
// A document is used by one thread at a time; the classes service is free-threaded (no state).
#pragma once

#include <memory>

#include "platform/com_object.h"
#include "update/xml_document.h"

namespace host {

class CXmlDocument : public halcy::ComObjectRoot, public Logic::IXMLDOMDocument {
 public:
  HALCY_BEGIN_INTERFACES(CXmlDocument)
  HALCY_INTERFACE(CXmlDocument, Logic::IXMLDOMDocument)
  HALCY_END_INTERFACES()

  CXmlDocument();
  ~CXmlDocument();

  HRESULT LoadXml(BSTR xml, VARIANT_BOOL* ok) override;
  HRESULT GetRootName(BSTR* name) override;
  HRESULT GetRootText(BSTR* text) override;

 private:
  struct Document;
  std::unique_ptr<Document> document_;
  bool loaded_ = false;
};

class CXmlDocumentClasses : public halcy::ComObjectRoot, public Logic::IXmlDocumentClasses {
 public:
  HALCY_BEGIN_INTERFACES(CXmlDocumentClasses)
  HALCY_INTERFACE(CXmlDocumentClasses, Logic::IXmlDocumentClasses)
  HALCY_END_INTERFACES()

  HRESULT CreateByProgId(LPCWSTR prog_id, REFIID iid, void** out) override;
  HRESULT CreateByClsid(REFCLSID clsid, REFIID iid, void** out) override;
};

}  // namespace host
