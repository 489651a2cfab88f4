// CM_XmlParser: the hardened reader of one response body into a DOM document. Owns the document;
// the navigation wrappers (cm_xml_util.h) point into it and are valid while the parser lives.
// Callers: the HTTP error-body reader and the record read. Status codes as in cm_xml_names.h; no
// exception escapes.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_PARSER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_PARSER_H

#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class XercesDOMParser;
class HandlerBase;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

class CM_XmlElem;

// Bounds that every reader of a tracker answer keeps, this parser and the streaming record
// reader alike. Tracker documents are a handful of levels deep: anything far deeper is hostile or
// broken and is refused before it costs memory or stack. Entity expansion is refused long before
// its bound, which stays low as a second line.
const int kMaxElementDepth = 1000;
const unsigned kEntityExpansionLimit = 1000;

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

#endif
