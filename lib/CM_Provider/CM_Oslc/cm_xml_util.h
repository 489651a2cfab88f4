// Reading side of the XML layer: the XML name types (CM_XmlNamespace, CM_XmlTag), the conversion
// between DOM UTF-16 text and the native code page, the hardened response parser (CM_XmlParser)
// and the navigation wrappers (CM_XmlElem, CM_XmlAttr).
// Ownership: CM_XmlParser owns the DOM document; CM_XmlElem and CM_XmlAttr only point into it and
// are valid while their parser lives. Callers: the HTTP, record read/update and document classes.
// Status codes: 0 success, 1001 failure already printed, 1002 not found (quiet), 1072 internal.
// No function here lets an exception escape.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_UTIL_H
#define CM_PROVIDER_CM_OSLC_CM_XML_UTIL_H

#include <unicode/ucnv.h>
#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>

#include "CM_Provider/cm_status.h"
#include "sum_string.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
class DOMNode;
class DOMNamedNodeMap;
class DOMNodeList;
class XercesDOMParser;
class HandlerBase;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

// A namespace: prefix and URI. Nil when both are empty; equal when both parts are equal.
class CM_XmlNamespace {
 public:
  CM_XmlNamespace();
  CM_XmlNamespace(const SUM_String& prefix, const SUM_String& uri);

  bool IsNil() const;
  bool operator==(const CM_XmlNamespace& other) const;
  bool operator!=(const CM_XmlNamespace& other) const { return !(*this == other); }

  SUM_String Prefix() const { return m_prefix; }
  SUM_String URI() const { return m_uri; }

 private:
  SUM_String m_prefix;
  SUM_String m_uri;
};

// An XML name: namespace plus local name. Equality compares namespace URI and local name only,
// because documents may bind any prefix to a namespace.
class CM_XmlTag {
 public:
  CM_XmlTag();
  CM_XmlTag(const CM_XmlNamespace& ns, const SUM_String& name);

  bool IsNil() const;
  bool operator==(const CM_XmlTag& other) const;
  bool operator!=(const CM_XmlTag& other) const { return !(*this == other); }

  // "prefix:name", or the local name alone when the prefix is empty.
  SUM_String QualifiedName() const;
  SUM_String Prefix() const { return m_ns.Prefix(); }
  SUM_String URI() const { return m_ns.URI(); }
  SUM_String Name() const { return m_name; }
  CM_XmlNamespace Namespace() const { return m_ns; }

 private:
  CM_XmlNamespace m_ns;
  SUM_String m_name;
};

// UTF-16 DOM text to the native code page. Null or empty text gives "" and 0. A character the
// native code page cannot hold exactly fails with 1001 (message 22 printed unless quiet); 1072
// when no converter can be opened.
int xmlch_to_native(const XMLCh* text, SUM_String& out, int quiet);
// xmlch_to_native with quiet 0; the (possibly partial) text whatever the outcome.
SUM_String xmlch_to_string(const XMLCh* text);
// Native text to a new UTF-16 text; the caller releases it with XMLString::release. Text that is
// not valid in the native code page gives message 23 and 1001. Requires Xerces initialised (any
// live CM_XmlParser or CM_XmlDoc, or the caller's own XMLPlatformUtils::Initialize).
int native_to_xmlch(const SUM_String& text, XMLCh** out);
// The process-wide converter of the native code page, strict: no fallbacks, stops on the first
// unmappable character. The page is the code set of the locale environment (LC_ALL, LC_CTYPE,
// LANG, as "en_US.ISO-8859-1"), else ICU's default (UTF-8); chosen on first use. The caller must
// not close it. 0 or 1072.
int get_native_converter(UConverter** out);

class CM_XmlElem;

// Parses one response body from memory on the first GetRoot. Never loads external DTDs or
// entities and refuses any DOCTYPE. Initialises Xerces on construction and terminates it on
// destruction (counted, so parsers and documents may coexist).
class CM_XmlParser {
 public:
  // The Xerces objects of a spent parser, handed to the next one so that a run of responses
  // builds them once. Keeps Xerces initialised for as long as it holds them.
  struct Kit {
    Kit();
    ~Kit();
    Kit(const Kit&) = delete;
    Kit& operator=(const Kit&) = delete;
    std::unique_ptr<XERCES_CPP_NAMESPACE::XercesDOMParser> parser;
    std::unique_ptr<XERCES_CPP_NAMESPACE::HandlerBase> error_handler;
    std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> security;
    bool xerces_ready = false;
  };

  explicit CM_XmlParser(const std::string& xml);
  // Uses the objects of kit (when complete) instead of building new ones.
  CM_XmlParser(const std::string& xml, std::unique_ptr<Kit> kit);
  ~CM_XmlParser();
  // This parser's Xerces objects, its document released; null when its parse failed. The parser
  // is unusable afterwards.
  std::unique_ptr<Kit> TakeKit();
  CM_XmlParser(const CM_XmlParser&) = delete;
  CM_XmlParser& operator=(const CM_XmlParser&) = delete;

  // The document element; parses on first use. 1001 when the body is not XML or has no element.
  int GetRoot(CM_XmlElem& root);
  int Parse();

 private:
  int m_parsed = 0;
  std::string m_input;
  std::unique_ptr<XERCES_CPP_NAMESPACE::XercesDOMParser> m_parser;
  std::unique_ptr<XERCES_CPP_NAMESPACE::HandlerBase> m_error_handler;
  std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
  bool m_xerces_ready = false;
  bool m_failed = false;  // the last parse threw: the Xerces objects are not handed on
};

class CM_XmlAttr;
class CM_TraceScope;

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
  // Among the kept nodes, the one whose rdf:about equals id: the text of its child `tag`.
  // 1002 when no node carries the id (body unchanged); 1001 when that node lacks the child.
  int get_body_from_nodelist(const CM_XmlTag& tag, const SUM_String& id, SUM_String& body);

 private:
  struct NodeIndex;
  static int Pvt_ReadAttribute(const XERCES_CPP_NAMESPACE::DOMElement* node, const XMLCh* xname,
                               const SUM_String& name, SUM_String& value,
                               const CM_TraceScope& trace);

  XERCES_CPP_NAMESPACE::DOMElement* m_parser_elem_node = nullptr;
  int m_attr_index = 0;
  XERCES_CPP_NAMESPACE::DOMNamedNodeMap* m_attr_map = nullptr;
  XERCES_CPP_NAMESPACE::DOMNodeList* m_node_list = nullptr;
  // The nodes of m_node_list and their lookup index; shared by copies.
  std::shared_ptr<NodeIndex> m_node_index;
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
