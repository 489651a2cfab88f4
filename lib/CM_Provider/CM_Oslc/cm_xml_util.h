// Navigation over a parsed response: CM_XmlElem and CM_XmlAttr wrap DOM nodes, look children up
// by namespace URI and local name and hand out text in the native code page.
// Ownership: the wrappers only point into a CM_XmlParser's document and are valid while that
// parser lives. Callers: the HTTP, record read/update and document classes.
// Status codes: 0 success, 1001 failure already printed, 1002 not found (quiet), 1072 internal.
// No function here lets an exception escape.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_UTIL_H
#define CM_PROVIDER_CM_OSLC_CM_XML_UTIL_H

#include <xercesc/util/XercesDefs.hpp>

#include <memory>

#include "CM_Provider/CM_Oslc/cm_xml_names.h"
#include "CM_Provider/CM_Oslc/cm_xml_parser.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "sum_string.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
class DOMNode;
class DOMNamedNodeMap;
XERCES_CPP_NAMESPACE_END

class CM_XmlAttr;
class CM_TraceScope;
class CM_XmlDescriptionIndex;

// A DOM element reference with an attribute cursor and the node list of the last description
// search. Copies are shallow.
class CM_XmlElem {
 public:
  CM_XmlElem();
  explicit CM_XmlElem(XERCES_CPP_NAMESPACE::DOMElement* elem);
  ~CM_XmlElem();
  CM_XmlElem(const CM_XmlElem&) = default;
  CM_XmlElem& operator=(const CM_XmlElem&) = default;

  bool IsNil() const { return m_parser_elem_node == nullptr; }
  XERCES_CPP_NAMESPACE::DOMElement* Node() const { return m_parser_elem_node; }

  int Tag(CM_XmlTag& out);
  // Text of the first child node only (text or CDATA); "" otherwise.
  int Data(SUM_String& out, int quiet);
  // The element's whole text: every text and CDATA child joined in order, comments and processing
  // instructions skipped. CM_XML_NOT_FOUND when a child element or entity reference stands among
  // them (the text would not be all of the content).
  int TextContent(SUM_String& out, int quiet);
  // First child element matching the tag's namespace URI and local name (prefix ignored).
  int OptChild(const CM_XmlTag& tag, CM_XmlElem& out);
  int Child(const CM_XmlTag& tag, CM_XmlElem& out);
  int OptFirstChild(CM_XmlElem& out);
  int FirstChild(CM_XmlElem& out);
  // out may be *this, which then advances in place.
  int OptNextSibling(CM_XmlElem& out);
  int NextSibling(CM_XmlElem& out);
  // Attributes from the last in the map to the first, namespace declarations skipped.
  int OptNextAttr(CM_XmlAttr& out);
  int NextAttr(CM_XmlAttr& out);
  // Literal (not namespace-aware) lookup by qualified name; a missing attribute gives "" and 0.
  int find_attribute(const SUM_String& name, SUM_String& value);
  // Keeps all descendant elements with this qualified name for get_body_from_nodelist.
  int get_rdf_description_nodes(const SUM_String& tag_name);
  // Among the kept nodes, the first whose rdf:about equals id: the whole text of its child `tag`.
  // 1002 when no node carries the id (body unchanged); 1001 when that node lacks the child. A
  // node before it whose rdf:about does not convert ends the search with that failure.
  int get_body_from_nodelist(const CM_XmlTag& tag, const SUM_String& id, SUM_String& body);

 private:
  static int Pvt_ReadAttribute(const XERCES_CPP_NAMESPACE::DOMElement* node, const XMLCh* xname,
                               const SUM_String& name, SUM_String& value,
                               const CM_TraceScope& trace);

  XERCES_CPP_NAMESPACE::DOMElement* m_parser_elem_node = nullptr;
  int m_attr_index = 0;
  XERCES_CPP_NAMESPACE::DOMNamedNodeMap* m_attr_map = nullptr;
  // The descriptions of the last get_rdf_description_nodes; shared by copies.
  std::shared_ptr<const CM_XmlDescriptionIndex> m_node_list;
};

// A DOM attribute reference.
class CM_XmlAttr {
 public:
  CM_XmlAttr();
  explicit CM_XmlAttr(XERCES_CPP_NAMESPACE::DOMNode* attr);
  ~CM_XmlAttr();
  CM_XmlAttr(const CM_XmlAttr&) = default;
  CM_XmlAttr& operator=(const CM_XmlAttr&) = default;

  bool IsNil();
  int Tag(CM_XmlTag& out);
  int Value(SUM_String& out, int quiet);

 private:
  XERCES_CPP_NAMESPACE::DOMNode* m_attr_node = nullptr;
};

#endif
