// The hardened response parser.
#include "CM_Provider/CM_Oslc/cm_xml_parser.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_names.h"
#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kTag[] = "CMOSLC";
// The layer reports its internal errors under one name, whichever file they come from.
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_util";

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

// RDF never needs a DOCTYPE; refusing it outright closes entity bombs and external entities
// before any declaration is read. The switch lives on the scanner, which only a subclass reaches.
class HardenedDOMParser : public XercesDOMParser {
 public:
  HardenedDOMParser() : XercesDOMParser(nullptr, XMLPlatformUtils::fgMemoryManager, nullptr) {
    getScanner()->setDisallowDTD(true);
  }

  // Whitespace that follows an element among its siblings is layout: no navigation reads it
  // (Data looks at the first child only, TextContent refuses content holding an element), so
  // its nodes need not be built. Only the detail trace of a child lookup shows them.
  void setDropLayout(bool drop) { m_drop_layout = drop; }

  void startDocument() override {
    m_depth = 0;
    m_has_element.assign(1, false);
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
    m_has_element.resize(static_cast<size_t>(m_depth) + 1, false);
    if (!is_empty) {
      m_has_element[static_cast<size_t>(m_depth) - 1] = true;
      m_has_element[static_cast<size_t>(m_depth)] = false;
    } else {
      m_has_element[static_cast<size_t>(m_depth)] = true;
    }
    XercesDOMParser::startElement(decl, url_id, prefix, attrs, attr_count, is_empty, is_root);
  }

  void endElement(const XMLElementDecl& decl, const unsigned int url_id, const bool is_root,
                  const XMLCh* const prefix) override {
    --m_depth;
    XercesDOMParser::endElement(decl, url_id, is_root, prefix);
  }

  void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdata) override {
    if (m_drop_layout && !cdata && m_depth >= 0 &&
        static_cast<size_t>(m_depth) < m_has_element.size() &&
        m_has_element[static_cast<size_t>(m_depth)] && is_layout(chars, length)) {
      return;
    }
    XercesDOMParser::docCharacters(chars, length, cdata);
  }

 private:
  static bool is_layout(const XMLCh* chars, XMLSize_t length) {
    for (XMLSize_t i = 0; i < length; ++i) {
      if (chars[i] != u' ' && chars[i] != u'\n' && chars[i] != u'\t' && chars[i] != u'\r')
        return false;
    }
    return true;
  }

  int m_depth = 0;
  bool m_drop_layout = false;
  // Per open element (index = depth): whether it already holds an element child.
  std::vector<bool> m_has_element;
};

}  // namespace

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
    cm_xml_report(e);
    m_parser.reset();
  } catch (...) {
    cm_xml_report_unknown();
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
    if (auto* hardened = dynamic_cast<HardenedDOMParser*>(m_parser.get()))
      hardened->setDropLayout(!trace.is_enabled(5));
    m_parser->parse(source);
    m_failed = false;
  } catch (const XMLException& e) {
    cm_xml_report(e);
    return CM_XML_REPORTED;
  } catch (const DOMException& e) {
    cm_xml_report(e);
    return CM_XML_REPORTED;
  } catch (const SAXParseException& e) {
    cm_xml_report(e);
    return CM_XML_REPORTED;
  } catch (...) {
    cm_xml_report_unknown();
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
