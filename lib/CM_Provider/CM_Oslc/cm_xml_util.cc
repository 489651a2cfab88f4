// Response parsing, navigation and code-page conversion for the XML layer.
#include "CM_Provider/CM_Oslc/cm_xml_util.h"

#include <unicode/ucnv.h>
#include <unicode/utypes.h>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kTag[] = "CMOSLC";
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_util";

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

// Tracker documents are a handful of levels deep; anything far deeper is hostile or broken and
// is refused before it can cost memory or stack further down.
const int kMaxElementDepth = 1000;

// RDF never needs a DOCTYPE; refusing it outright closes entity bombs and external entities
// before any declaration is read. The switch lives on the scanner, which only a subclass reaches.
class HardenedDOMParser : public XercesDOMParser {
 public:
  HardenedDOMParser() : XercesDOMParser(nullptr, XMLPlatformUtils::fgMemoryManager, nullptr) {
    getScanner()->setDisallowDTD(true);
  }

  void startDocument() override {
    m_depth = 0;
    XercesDOMParser::startDocument();
  }

  void startElement(const XMLElementDecl& decl, const unsigned int url_id,
                    const XMLCh* const prefix, const RefVectorOf<XMLAttr>& attrs,
                    const XMLSize_t attr_count, const bool is_empty, const bool is_root) override {
    if (!is_empty && ++m_depth > kMaxElementDepth) {
      static const XMLCh kTooDeep[] = u"Elements nested too deeply";
      // Reported like any other fatal parse error, with the position where it happened.
      throw SAXParseException(kTooDeep, *getScanner()->getLocator());
    }
    XercesDOMParser::startElement(decl, url_id, prefix, attrs, attr_count, is_empty, is_root);
  }

  void endElement(const XMLElementDecl& decl, const unsigned int url_id, const bool is_root,
                  const XMLCh* const prefix) override {
    --m_depth;
    XercesDOMParser::endElement(decl, url_id, is_root, prefix);
  }

 private:
  int m_depth = 0;
};

// Entity expansion is refused long before this, but keep a low bound as a second line.
const XMLSize_t kEntityExpansionLimit = 1000;

const DOMNode* next_element(const DOMNode* node) {
  while (node != nullptr && node->getNodeType() != DOMNode::ELEMENT_NODE) {
    node = node->getNextSibling();
  }
  return node;
}

DOMElement* as_element(const DOMNode* node) {
  return const_cast<DOMElement*>(static_cast<const DOMElement*>(node));
}

// Tag of an element or attribute: prefix, namespace URI, local name, converted in that order.
int node_tag(const DOMNode* node, CM_XmlTag& out) {
  if (node == nullptr) {
    out = CM_XmlTag();
    return 0;
  }
  SUM_String prefix;
  SUM_String uri;
  SUM_String name;
  int rc = xmlch_to_native(node->getPrefix(), prefix, 0);
  if (rc != 0) return rc;
  rc = xmlch_to_native(node->getNamespaceURI(), uri, 0);
  if (rc != 0) return rc;
  const XMLCh* local = node->getLocalName();
  // Nodes made without namespaces (by the document builder) carry only a node name.
  rc = xmlch_to_native(local != nullptr ? local : node->getNodeName(), name, 0);
  if (rc != 0) return rc;
  out = CM_XmlTag(CM_XmlNamespace(prefix, uri), name);
  return 0;
}

// The code set named by the locale environment (LC_ALL, else LC_CTYPE, else LANG), as in
// "en_US.ISO-8859-1@euro"; empty when none is named. Read without setlocale: the host owns that.
std::string environment_codeset() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* name : names) {
    const char* value = getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    std::string locale(value);
    size_t dot = locale.find('.');
    if (dot == std::string::npos) return std::string();
    size_t at = locale.find('@', dot);
    return locale.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
  }
  return std::string();
}

void print_dom_exception(const DOMException& e) {
  SUM_String text = xmlch_to_string(e.getMessage());
  imsg_print(IMSG_KIND_ERROR, mr_table(), kMrDomException, static_cast<int>(e.code), text.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Names

CM_XmlNamespace::CM_XmlNamespace() = default;

CM_XmlNamespace::CM_XmlNamespace(const SUM_String& prefix, const SUM_String& uri)
    : m_prefix(prefix), m_uri(uri) {}

bool CM_XmlNamespace::IsNil() const { return m_prefix.GetLength() == 0 && m_uri.GetLength() == 0; }

bool CM_XmlNamespace::operator==(const CM_XmlNamespace& other) const {
  return m_prefix == other.m_prefix && m_uri == other.m_uri;
}

CM_XmlTag::CM_XmlTag() = default;

CM_XmlTag::CM_XmlTag(const CM_XmlNamespace& ns, const SUM_String& name) : m_ns(ns), m_name(name) {}

bool CM_XmlTag::IsNil() const { return m_name.GetLength() == 0 && m_ns.IsNil(); }

bool CM_XmlTag::operator==(const CM_XmlTag& other) const {
  return m_name == other.m_name && m_ns.URI() == other.m_ns.URI();
}

SUM_String CM_XmlTag::QualifiedName() const {
  SUM_String prefix = m_ns.Prefix();
  if (prefix.GetLength() == 0) return m_name;
  return prefix + ":" + m_name;
}

// ---------------------------------------------------------------------------------------------
// Conversion

int get_native_converter(UConverter** out) {
  // Opened once and kept for the process; never closed (other callers may hold it).
  static UConverter* s_converter = nullptr;
  if (s_converter != nullptr) {
    *out = s_converter;
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  // ICU on Linux always answers UTF-8 for its default; the locale the process was started under
  // names the page its native texts are really in.
  std::string codeset = environment_codeset();
  UConverter* converter = nullptr;
  if (!codeset.empty()) {
    converter = ucnv_open(codeset.c_str(), &status);
    if (converter == nullptr || U_FAILURE(status)) {
      if (converter != nullptr) ucnv_close(converter);
      converter = nullptr;
      status = U_ZERO_ERROR;
    }
  }
  if (converter == nullptr) converter = ucnv_open(nullptr, &status);
  if (converter == nullptr) {
    cm_internal_error(kSource, __LINE__);
    *out = nullptr;
    return CM_XML_INTERNAL;
  }
  s_converter = converter;
  *out = converter;
  ucnv_setFallback(converter, false);
  if (U_SUCCESS(status)) {
    ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  if (U_SUCCESS(status)) {
    // Native bytes that are not valid in the code page must fail too, not become U+FFFD.
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  if (U_FAILURE(status)) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  return 0;
}

int xmlch_to_native(const XMLCh* text, SUM_String& out, int quiet) {
  if (text == nullptr || text[0] == 0) {
    out.Empty();
    return 0;
  }
  UConverter* converter = nullptr;
  int rc = get_native_converter(&converter);
  if (rc != 0) return rc;

  const int64_t units = static_cast<int64_t>(XMLString::stringLen(text));
  const int64_t capacity = (units + 10) * ucnv_getMaxCharSize(converter);
  UErrorCode status = U_ZERO_ERROR;
  if (capacity >= INT32_MAX) {
    status = U_BUFFER_OVERFLOW_ERROR;
    out.Empty();
  } else {
    try {
      char* buffer = out.GetBuffer(static_cast<int>(capacity));
      int32_t written = ucnv_fromUChars(converter, buffer, static_cast<int32_t>(capacity),
                                        reinterpret_cast<const UChar*>(text),
                                        static_cast<int32_t>(units), &status);
      buffer[U_SUCCESS(status) && written <= capacity ? written : 0] = '\0';
      out.ReleaseBuffer();
    } catch (const std::bad_alloc&) {
      status = U_MEMORY_ALLOCATION_ERROR;
      out.Empty();
    }
  }
  if (U_SUCCESS(status)) return 0;

  if (quiet == 0) {
    std::string shown;
    try {
      char* transcoded = XMLString::transcode(text);
      if (transcoded != nullptr) {
        shown = transcoded;
        XMLString::release(&transcoded);
      }
    } catch (...) {
      shown.clear();  // only decoration for the message
    }
    UErrorCode name_status = U_ZERO_ERROR;
    const char* page = ucnv_getName(converter, &name_status);
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotInCodePage, page != nullptr ? page : "",
               shown.c_str());
  }
  return CM_XML_REPORTED;
}

SUM_String xmlch_to_string(const XMLCh* text) {
  SUM_String out;
  xmlch_to_native(text, out, 0);
  return out;
}

// Converts with the same strict ICU converter as the reverse direction, so a text survives the
// round trip exactly; the result is allocated where XMLString::release frees it.
int native_to_xmlch(const SUM_String& text, XMLCh** out) {
  *out = nullptr;
  MemoryManager* memory = XMLPlatformUtils::fgMemoryManager;
  if (memory == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const int length = text.GetLength();
  UConverter* converter = nullptr;
  int rc = 0;
  if (length > 0) {
    rc = get_native_converter(&converter);
    if (rc != 0) return rc;
  }
  // A byte never yields more than one UTF-16 code unit, but leave room for stateful pages.
  const int64_t capacity = static_cast<int64_t>(length) * 2 + 2;
  if (capacity >= INT32_MAX / 2) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  XMLCh* buffer = nullptr;
  try {
    buffer =
        static_cast<XMLCh*>(memory->allocate(static_cast<XMLSize_t>(capacity) * sizeof(XMLCh)));
  } catch (...) {
    buffer = nullptr;
  }
  if (buffer == nullptr) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  buffer[0] = 0;
  if (length == 0) {
    *out = buffer;
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = ucnv_toUChars(converter, reinterpret_cast<UChar*>(buffer),
                                static_cast<int32_t>(capacity), text.c_str(), length, &status);
  if (U_FAILURE(status) || units <= 0 || units >= capacity) {
    memory->deallocate(buffer);
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  buffer[units] = 0;
  *out = buffer;
  return 0;
}

namespace {

// Releases a text made by native_to_xmlch when leaving scope.
class XmlChHolder {
 public:
  XmlChHolder() = default;
  ~XmlChHolder() {
    if (m_text != nullptr) XMLString::release(&m_text);
  }
  XmlChHolder(const XmlChHolder&) = delete;
  XmlChHolder& operator=(const XmlChHolder&) = delete;
  XMLCh** slot() { return &m_text; }
  const XMLCh* get() const { return m_text; }

 private:
  XMLCh* m_text = nullptr;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// CM_XmlParser

CM_XmlParser::Kit::Kit() {
  try {
    XMLPlatformUtils::Initialize();
    xerces_ready = true;
  } catch (...) {
  }
}

CM_XmlParser::Kit::~Kit() {
  try {
    parser.reset();
    error_handler.reset();
    security.reset();
    if (xerces_ready) XMLPlatformUtils::Terminate();
  } catch (...) {
  }
}

std::unique_ptr<CM_XmlParser::Kit> CM_XmlParser::TakeKit() {
  if (m_failed || !m_parser || !m_error_handler || !m_security) return nullptr;
  try {
    auto kit = std::make_unique<Kit>();
    if (!kit->xerces_ready) return nullptr;
    m_parser->resetDocumentPool();
    kit->parser = std::move(m_parser);
    kit->error_handler = std::move(m_error_handler);
    kit->security = std::move(m_security);
    return kit;
  } catch (...) {
    return nullptr;
  }
}

CM_XmlParser::CM_XmlParser(const std::string& xml) : CM_XmlParser(xml, nullptr) {}

CM_XmlParser::CM_XmlParser(const std::string& xml, std::unique_ptr<Kit> kit) {
  CM_TraceScope trace(kTag, "CM_XmlParser", "CM_XmlParser");
  try {
    m_input = xml;  // a body too large to copy leaves the parser unusable, not the caller hit
    trace.print(4, "Size of input string = %d (%d)", static_cast<int>(xml.size()),
                static_cast<int>(m_input.size()));
    trace.print(4, "Initializing Xerces");
    XMLPlatformUtils::Initialize();
    m_xerces_ready = true;
    if (kit && kit->parser && kit->error_handler && kit->security) {
      m_parser = std::move(kit->parser);
      m_error_handler = std::move(kit->error_handler);
      m_security = std::move(kit->security);
    } else {
      m_parser.reset(new HardenedDOMParser());
    }
    trace.print(4, "Creating parser handler");
    if (!m_error_handler) m_error_handler.reset(new HandlerBase());
    trace.print(4, "Created parser error handler");
    if (!m_security) {
      m_security.reset(new SecurityManager());
      m_security->setEntityExpansionLimit(kEntityExpansionLimit);
    }
  } catch (const XMLException& e) {
    SUM_String text = xmlch_to_string(e.getMessage());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrXmlException, static_cast<int>(e.getCode()),
               static_cast<int>(e.getSrcLine()), text.c_str());
    m_parser.reset();
  } catch (...) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrUnknownException);
    m_parser.reset();
  }
}

CM_XmlParser::~CM_XmlParser() {
  CM_TraceScope trace(kTag, "CM_XmlParser", "~CM_XmlParser");
  try {
    m_parser.reset();  // releases the document and every node the wrappers point at
    m_error_handler.reset();
    m_security.reset();
  } catch (...) {
    // Nothing sensible is left to do with a failing release.
  }
  m_input.clear();
  trace.print(4, "Terminating Xerces");
  if (m_xerces_ready) {
    try {
      XMLPlatformUtils::Terminate();
    } catch (...) {
    }
  }
}

int CM_XmlParser::Parse() {
  CM_TraceScope trace(kTag, "CM_XmlParser", "Parse");
  trace.print(4, "Size to parse is %d", static_cast<int>(m_input.size()));
  if (!m_parser || !m_error_handler) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  m_failed = true;
  try {
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(m_input.data()), m_input.size(),
                             "CM_XmlParser-fake-system-id", false);
    m_parser->setDoNamespaces(true);
    m_parser->setValidationScheme(XercesDOMParser::Val_Never);
    m_parser->setDoSchema(false);
    m_parser->setLoadSchema(false);
    m_parser->setLoadExternalDTD(false);
    m_parser->setDisableDefaultEntityResolution(true);
    m_parser->setCreateEntityReferenceNodes(false);
    m_parser->setSecurityManager(m_security.get());
    m_parser->setErrorHandler(m_error_handler.get());
    m_parser->parse(source);
    m_failed = false;
  } catch (const XMLException& e) {
    SUM_String text = xmlch_to_string(e.getMessage());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrXmlException, static_cast<int>(e.getCode()),
               static_cast<int>(e.getSrcLine()), text.c_str());
    return CM_XML_REPORTED;
  } catch (const DOMException& e) {
    print_dom_exception(e);
    return CM_XML_REPORTED;
  } catch (const SAXParseException& e) {
    SUM_String text = xmlch_to_string(e.getMessage());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrSaxException, static_cast<long>(e.getLineNumber()),
               static_cast<long>(e.getColumnNumber()), text.c_str());
    return CM_XML_REPORTED;
  } catch (...) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrUnknownException);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlParser::GetRoot(CM_XmlElem& root) {
  CM_TraceScope trace(kTag, "CM_XmlParser", "GetRoot");
  if (m_parsed == 0) {
    int rc = Parse();
    if (rc != 0) {
      trace.print(4, "Parse failed with %d", rc);
      return rc;
    }
    m_parsed = 1;
  }
  DOMDocument* doc = m_parser->getDocument();
  DOMElement* element = doc != nullptr ? doc->getDocumentElement() : nullptr;
  if (element == nullptr) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrEmptyResponse);
    return CM_XML_REPORTED;
  }
  root = CM_XmlElem(element);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// CM_XmlElem

// The nodes of a description list, taken once (the DOM list walks the tree again whenever it is
// indexed backwards or asked for its length), and the first node per rdf:about value, so that
// looking up every link of a large record stays linear. A node whose value does not convert ends
// the search there, as a scan would.
struct CM_XmlElem::NodeIndex {
  std::vector<DOMElement*> nodes;
  bool indexed = false;
  std::unordered_map<std::string, int> first;
  int failed_at = -1;
  int failure = 0;
};

CM_XmlElem::CM_XmlElem() { CM_TraceScope trace(kTag, "CM_XmlElem", "CM_XmlElem"); }

CM_XmlElem::CM_XmlElem(DOMElement* elem) : m_parser_elem_node(elem) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "CM_XmlElem(DOMElement)");
}

CM_XmlElem::~CM_XmlElem() { CM_TraceScope trace(kTag, "CM_XmlElem", "~CM_XmlElem"); }

int CM_XmlElem::Tag(CM_XmlTag& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Tag");
  return node_tag(m_parser_elem_node, out);
}

int CM_XmlElem::Data(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Data");
  try {
    const DOMNode* first =
        m_parser_elem_node != nullptr ? m_parser_elem_node->getFirstChild() : nullptr;
    if (first != nullptr && (first->getNodeType() == DOMNode::TEXT_NODE ||
                             first->getNodeType() == DOMNode::CDATA_SECTION_NODE)) {
      const XMLCh* value = first->getNodeValue();
      if (value != nullptr && value[0] != 0) return xmlch_to_native(value, out, quiet);
    }
  } catch (const DOMException& e) {
    print_dom_exception(e);
    return CM_XML_REPORTED;
  }
  out.Empty();
  return 0;
}

int CM_XmlElem::TextContent(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "TextContent");
  out.Empty();
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  try {
    std::basic_string<XMLCh> text;
    for (const DOMNode* node = m_parser_elem_node->getFirstChild(); node != nullptr;
         node = node->getNextSibling()) {
      switch (node->getNodeType()) {
        case DOMNode::TEXT_NODE:
        case DOMNode::CDATA_SECTION_NODE:
          if (const XMLCh* value = node->getNodeValue()) text += value;
          break;
        case DOMNode::COMMENT_NODE:
        case DOMNode::PROCESSING_INSTRUCTION_NODE:
          break;
        default:
          return CM_XML_NOT_FOUND;
      }
    }
    if (text.empty()) return 0;
    return xmlch_to_native(text.c_str(), out, quiet);
  } catch (const DOMException& e) {
    print_dom_exception(e);
    return CM_XML_REPORTED;
  } catch (const std::bad_alloc&) {
    return CM_XML_REPORTED;
  }
}

int CM_XmlElem::OptChild(const CM_XmlTag& tag, CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptChild");
  if (m_parser_elem_node == nullptr) {
    trace.print(5, "m_parser_elem_node is NULL!");
    return CM_XML_NOT_FOUND;
  }
  const SUM_String want_uri = tag.URI();
  const SUM_String want_name = tag.Name();
  // Reused across children so that a long walk does not allocate per node.
  SUM_String child_ns;
  SUM_String child_name;
  for (const DOMNode* node = m_parser_elem_node->getFirstChild(); node != nullptr;
       node = node->getNextSibling()) {
    trace.print(5, "Skip elements");
    if (node->getNodeType() != DOMNode::ELEMENT_NODE) {
      trace.print(5, "Not element");
      continue;
    }
    trace.print(5, "Getting name space URI");
    int rc = xmlch_to_native(node->getNamespaceURI(), child_ns, 0);
    if (rc != 0) {
      trace.print(5, "Error getting child_ns");
      return rc;
    }
    trace.print(5, "Getting local name");
    const XMLCh* local = node->getLocalName();
    rc = xmlch_to_native(local != nullptr ? local : node->getNodeName(), child_name, 0);
    if (rc != 0) return rc;
    trace.print(5, "Getting simple name");
    if (child_name == want_name && child_ns == want_uri) {
      out = CM_XmlElem(as_element(node));
      return 0;
    }
  }
  return CM_XML_NOT_FOUND;
}

int CM_XmlElem::Child(const CM_XmlTag& tag, CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Child");
  int rc = OptChild(tag, out);
  if (rc != 0) {
    SUM_String name = tag.QualifiedName();
    trace.print(5, "Did not find %s", name.c_str());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoChild, name.c_str());
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptFirstChild(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptFirstChild");
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  const DOMNode* found = next_element(m_parser_elem_node->getFirstChild());
  if (found == nullptr) return CM_XML_NOT_FOUND;
  out = CM_XmlElem(as_element(found));
  return 0;
}

int CM_XmlElem::FirstChild(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "FirstChild");
  if (OptFirstChild(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoFirstChild);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptNextSibling(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptNextSibling");
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  const DOMNode* found = next_element(m_parser_elem_node->getNextSibling());
  if (found == nullptr) return CM_XML_NOT_FOUND;
  out = CM_XmlElem(as_element(found));
  return 0;
}

int CM_XmlElem::NextSibling(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "NextSibling");
  if (OptNextSibling(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoSibling);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptNextAttr(CM_XmlAttr& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptNextAttr");
  if (m_parser_elem_node == nullptr || !m_parser_elem_node->hasAttributes()) {
    return CM_XML_NOT_FOUND;
  }
  if (m_attr_map == nullptr) {
    m_attr_map = m_parser_elem_node->getAttributes();
    if (m_attr_map == nullptr) return CM_XML_NOT_FOUND;
    m_attr_index = static_cast<int>(m_attr_map->getLength()) - 1;
  }
  SUM_String uri;
  while (m_attr_index >= 0) {
    DOMNode* attr = m_attr_map->item(static_cast<XMLSize_t>(m_attr_index));
    if (attr == nullptr) {
      --m_attr_index;
      continue;
    }
    int rc = xmlch_to_native(attr->getNamespaceURI(), uri, 0);
    if (rc != 0) return rc;
    if (uri == XMLNS_URI) {
      --m_attr_index;
      continue;
    }
    out = CM_XmlAttr(attr);
    --m_attr_index;
    return 0;
  }
  return CM_XML_NOT_FOUND;
}

int CM_XmlElem::NextAttr(CM_XmlAttr& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "NextAttr");
  if (OptNextAttr(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoAttribute);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::find_attribute(const SUM_String& name, SUM_String& value) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "find_attribute");
  trace.print(5, "Looking for attribute %s", name.c_str());
  XmlChHolder xname;
  int rc = native_to_xmlch(name, xname.slot());
  if (rc != 0) return rc;
  return Pvt_ReadAttribute(m_parser_elem_node, xname.get(), name, value, trace);
}

int CM_XmlElem::Pvt_ReadAttribute(const DOMElement* node, const XMLCh* xname,
                                  const SUM_String& name, SUM_String& value,
                                  const CM_TraceScope& trace) {
  if (node == nullptr) {
    value.Empty();
    return CM_XML_NOT_FOUND;
  }
  int rc = xmlch_to_native(node->getAttribute(xname), value, 1);
  if (rc != 0) return rc;
  trace.print(5, "Attribute %s = %s", name.c_str(), value.c_str());
  return 0;
}

int CM_XmlElem::get_rdf_description_nodes(const SUM_String& tag_name) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "get_rdf_description_nodes");
  m_node_list = nullptr;
  m_node_index.reset();
  if (m_parser_elem_node == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  XmlChHolder xname;
  int rc = native_to_xmlch(tag_name, xname.slot());
  if (rc != 0) return rc;
  try {
    m_node_list = m_parser_elem_node->getElementsByTagName(xname.get());
  } catch (const DOMException& e) {
    print_dom_exception(e);
    return CM_XML_REPORTED;
  }
  auto index = std::make_shared<NodeIndex>();
  if (m_node_list != nullptr) {
    // Sequential access is the list's cheap direction: one walk over the tree.
    for (XMLSize_t i = 0;; ++i) {
      DOMNode* node = m_node_list->item(i);
      if (node == nullptr) break;
      index->nodes.push_back(as_element(node));
    }
  }
  m_node_index = index;
  trace.print(5, "Found %d nodes with tag %s", static_cast<int>(index->nodes.size()),
              tag_name.c_str());
  return 0;
}

int CM_XmlElem::get_body_from_nodelist(const CM_XmlTag& tag, const SUM_String& id,
                                       SUM_String& body) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "get_body_from_nodelist");
  if (m_node_list == nullptr || !m_node_index) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  // Built here on first use and kept; copies of this element share it.
  NodeIndex& index = *m_node_index;
  const int count = static_cast<int>(index.nodes.size());
  trace.print(5, "Search %d nodes for id %s", count, id.c_str());

  const SUM_String about_name = tag_rdf_about().QualifiedName();
  XmlChHolder about;
  int rc = native_to_xmlch(about_name, about.slot());
  if (rc != 0) return rc;

  int found = -1;
  SUM_String value;
  if (trace.is_enabled(5)) {
    // Watched closely: walk node by node so that every step shows in the trace.
    for (int i = 0; i < count; ++i) {
      trace.print(5, "Looking for rdf:about");
      CM_TraceScope inner(kTag, "CM_XmlElem", "find_attribute");
      inner.print(5, "Looking for attribute %s", about_name.c_str());
      rc = Pvt_ReadAttribute(index.nodes[i], about.get(), about_name, value, inner);
      if (rc != 0) return rc;
      trace.print(5, "Attr value is %s", value.c_str());
      if (value == id) {
        found = i;
        break;
      }
    }
  } else {
    if (!index.indexed) {
      index.first.reserve(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) {
        rc = Pvt_ReadAttribute(index.nodes[i], about.get(), about_name, value, trace);
        if (rc != 0) {
          index.failed_at = i;
          index.failure = rc;
          break;
        }
        index.first.emplace(value.str(), i);
      }
      index.indexed = true;
    }
    auto hit = index.first.find(id.str());
    if (hit != index.first.end()) {
      found = hit->second;
    } else if (index.failed_at >= 0) {
      return index.failure;
    }
  }
  if (found < 0) return CM_XML_NOT_FOUND;

  trace.print(5, "Found id %s (%s)", id.c_str(), id.c_str());
  CM_XmlElem node(index.nodes[found]);
  CM_XmlElem child;
  rc = node.Child(tag, child);
  if (rc != 0) return rc;
  rc = child.TextContent(body, 1);
  trace.print(5, "Title %s ", body.c_str());
  return rc;
}

// ---------------------------------------------------------------------------------------------
// CM_XmlAttr

CM_XmlAttr::CM_XmlAttr() { CM_TraceScope trace(kTag, "CM_XmlAttr", "CM_XmlAttr"); }

CM_XmlAttr::CM_XmlAttr(DOMNode* attr) : m_attr_node(attr) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "CM_XmlAttr(DOMElement)");
}

CM_XmlAttr::~CM_XmlAttr() { CM_TraceScope trace(kTag, "CM_XmlAttr", "~CM_XmlAttr"); }

bool CM_XmlAttr::IsNil() {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "IsNil");
  return m_attr_node == nullptr;
}

int CM_XmlAttr::Tag(CM_XmlTag& out) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "Tag");
  return node_tag(m_attr_node, out);
}

int CM_XmlAttr::Value(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "Value");
  if (m_attr_node == nullptr) {
    out.Empty();
    return 0;
  }
  return xmlch_to_native(m_attr_node->getNodeValue(), out, quiet);
}
