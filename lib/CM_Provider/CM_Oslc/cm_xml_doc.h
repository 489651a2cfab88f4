// CM_XmlDoc: builds a request body (RDF/XML) element by element around a current element and
// serialises it. Owns its DOM document and serialiser; keeps Xerces initialised while it lives
// (counted). Used by the record update. Status codes: 0 success, 1001 after a printed message,
// 1072 for a call in the wrong state, or a conversion failure. No exception escapes.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_DOC_H
#define CM_PROVIDER_CM_OSLC_CM_XML_DOC_H

#include <xercesc/util/XercesDefs.hpp>

#include <string>
#include <unordered_map>
#include <vector>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_xml_names.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMDocument;
class DOMElement;
class DOMNode;
XERCES_CPP_NAMESPACE_END

// A request body builder: this DOM builder, or CM_XmlWriter (cm_xml_writer.h), which writes the
// same bytes as it goes when the calls come in the order a record update makes them.
class CM_XmlBuilder {
 public:
  virtual ~CM_XmlBuilder() = default;
  // Order: CreateRootElem once; SetNamespace for each namespace used; PushElem/PopElem/AddAttr in
  // any mix; Str any number of times.
  virtual int CreateRootElem(const CM_XmlTag& root) = 0;
  virtual int PushElem(const CM_XmlTag& tag) = 0;
  virtual int PopElem() = 0;
  // Sets (or replaces) an attribute of the current element by qualified name.
  virtual int AddAttr(const CM_XmlTag& name, const SUM_String& value) = 0;
  // Declares xmlns:prefix on the root element.
  virtual int SetNamespace(const CM_XmlNamespace& ns) = 0;
  // The serialised document in UTF-8, attributes in the order they were first set.
  virtual int Str(SUM_String& out) = 0;
};

class CM_XmlDoc : public CM_XmlBuilder {
 public:
  CM_XmlDoc();
  ~CM_XmlDoc() override;
  CM_XmlDoc(const CM_XmlDoc&) = delete;
  CM_XmlDoc& operator=(const CM_XmlDoc&) = delete;

  int CreateRootElem(const CM_XmlTag& root) override;
  int PushElem(const CM_XmlTag& tag) override;
  int PopElem() override;
  int AddAttr(const CM_XmlTag& name, const SUM_String& value) override;
  int SetNamespace(const CM_XmlNamespace& ns) override;
  int Str(SUM_String& out) override;

 private:
  using XName = std::basic_string<XMLCh>;
  void RecordAttr(const XERCES_CPP_NAMESPACE::DOMElement* element, const XMLCh* name);
  void WriteElement(const XERCES_CPP_NAMESPACE::DOMElement* element, std::string& out) const;

  XERCES_CPP_NAMESPACE::DOMDocument* m_doc = nullptr;
  XERCES_CPP_NAMESPACE::DOMNode* m_current = nullptr;
  // The DOM keeps attributes sorted by name; the tracker's documents list them in the order
  // they were added, so the builder remembers that order per element.
  std::unordered_map<const XERCES_CPP_NAMESPACE::DOMElement*, std::vector<XName>> m_attr_order;
  bool m_xerces_ready = false;
};

#endif
