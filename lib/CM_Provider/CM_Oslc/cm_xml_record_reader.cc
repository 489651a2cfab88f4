// The streaming record reader.
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <string_view>

#include "CM_Provider/CM_Oslc/cm_xml_parser.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"

XERCES_CPP_NAMESPACE_USE

namespace {

struct Unsure {};

// An ASCII name of the vocabulary as the parser reports names; empty when not ASCII.
std::u16string widen(const SUM_String& text) {
  std::u16string out;
  for (const char* p = text.c_str(); *p != 0; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return std::u16string();
    out += static_cast<char16_t>(*p);
  }
  return out;
}

struct Name {
  std::u16string uri;
  std::u16string local;
  bool matches(const XMLCh* u, const XMLCh* l) const { return local == l && uri == u; }
};

Name name_of(const CM_XmlTag& tag) { return Name{widen(tag.URI()), widen(tag.Name())}; }

bool ascii(const XMLCh* text) {
  for (; *text != 0; ++text)
    if (*text >= 0x80) return false;
  return true;
}

bool native(const XMLCh* text, SUM_String& out) { return xmlch_to_native(text, out, 1) == 0; }

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// The value of pseudo-attribute name in an XML declaration; "" when absent.
std::string_view decl_value(std::string_view decl, std::string_view name) {
  size_t at = decl.find(name);
  if (at == std::string_view::npos) return std::string_view();
  at = decl.find_first_of("\"'", at + name.size());
  if (at == std::string_view::npos) return std::string_view();
  const size_t end = decl.find(decl[at], at + 1);
  if (end == std::string_view::npos) return std::string_view();
  return decl.substr(at + 1, end - at - 1);
}

// Whether the bytes are plain enough for the reader: UTF-8, XML 1.0, and nothing but elements,
// attributes and text (no "<!" of DOCTYPE, comment or CDATA, no "<?" after the declaration).
bool plain_bytes(std::string_view body) {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  if (body.size() < 2 || body[0] != '<' || body[1] == 0) return false;
  if (body.substr(0, 5) == "<?xml") {
    const size_t end = body.find("?>");
    if (end == std::string_view::npos || body.size() < 6 ||
        (body[5] != ' ' && body[5] != '\t' && body[5] != '\r' && body[5] != '\n'))
      return false;
    const std::string_view decl = body.substr(5, end - 5);
    const std::string_view encoding = decl_value(decl, "encoding");
    if (decl_value(decl, "version") != "1.0" ||
        (!encoding.empty() && !equals_nocase(encoding, "utf-8")))
      return false;
    body.remove_prefix(end + 2);
  }
  for (size_t at = body.find('<'); at != std::string_view::npos; at = body.find('<', at + 1)) {
    if (at + 1 < body.size() && (body[at + 1] == '!' || body[at + 1] == '?')) return false;
  }
  return true;
}

}  // namespace

class CM_XmlRecordReader::Handler : public DefaultHandler {
 public:
  explicit Handler(const CM_XmlRecordShape& shape)
      : m_path{name_of(shape.description), name_of(shape.member), name_of(shape.record)},
        m_title(name_of(shape.title)) {}

  void Start(const CM_XmlTag& links_field, CM_XmlRecord& out) {
    m_out = &out;
    if (!(links_field == m_field_tag)) {
      m_field_tag = links_field;
      m_field = name_of(links_field);
    }
    m_depth = 0;
    m_found = 0;
    m_open = 0;
    m_run = 0;
    m_descriptions.clear();
    m_capture = nullptr;
    m_capture_depth = 0;
    m_checked_uri = nullptr;
    if (m_field.local.empty()) throw Unsure();
  }

  bool Found() const { return m_found == 3; }
  bool RunToEnd() const { return m_run == 1; }

  void startElement(const XMLCh* const uri, const XMLCh* const local, const XMLCh* const qname,
                    const Attributes& attrs) override {
    if (++m_depth > kMaxElementDepth) throw Unsure();  // the DOM refuses it
    // The DOM's lookups convert every name they pass; only ASCII names convert for certain.
    if (uri != m_checked_uri) {
      if (!ascii(uri)) throw Unsure();
      m_checked_uri = uri;
    }
    if (!ascii(qname)) throw Unsure();
    if (m_capture != nullptr) m_capture->plain = false;  // markup inside a title

    // The record: the first match of each step among the children of the step before.
    if (m_depth == 1) {
      m_open = 1;
    } else if (m_depth == m_open + 1 && m_open == m_found + 1) {
      if (m_found < 3 && m_path[m_found].matches(uri, local)) {
        ++m_found;
        ++m_open;
        if (m_found == 3 && !native(attr(attrs, u"rdf:about"), m_out->about)) throw Unsure();
      } else if (m_found == 3) {
        Link(uri, local, attrs);
      }
    }

    // A title: the first dcterms:title child of a description.
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth - 1 &&
        !m_descriptions.back().title_seen && m_title.matches(uri, local)) {
      m_descriptions.back().title_seen = true;
      if (CM_XmlRecord::Title* title = m_descriptions.back().title) {
        title->found = true;
        m_capture = title;
        m_capture_depth = m_depth;
      }
    }
    // Descriptions go by their written name, at any depth below the document element.
    if (m_depth >= 2 && std::u16string_view(qname) == u"rdf:Description") {
      auto added = m_out->titles.emplace(attr(attrs, u"rdf:about"), CM_XmlRecord::Title());
      m_descriptions.push_back(Open{m_depth, false, added.second ? &added.first->second : nullptr});
    }
  }

  void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const) override {
    if (m_capture != nullptr && m_depth == m_capture_depth) m_capture = nullptr;
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth)
      m_descriptions.pop_back();
    if (m_depth == m_open) --m_open;
    --m_depth;
  }

  void characters(const XMLCh* const chars, const XMLSize_t length) override {
    if (m_capture != nullptr && m_depth == m_capture_depth) m_capture->text.append(chars, length);
  }

  void warning(const SAXParseException&) override { throw Unsure(); }
  void error(const SAXParseException&) override { throw Unsure(); }
  void fatalError(const SAXParseException&) override { throw Unsure(); }

 private:
  struct Open {
    int depth;
    bool title_seen;
    CM_XmlRecord::Title* title;  // null for a description whose rdf:about came before
  };

  static const XMLCh* attr(const Attributes& attrs, const XMLCh* qname) {
    const XMLCh* value = attrs.getValue(qname);
    return value != nullptr ? value : u"";
  }

  // A child of the record: the links are the run of link-field elements from the first one.
  void Link(const XMLCh* uri, const XMLCh* local, const Attributes& attrs) {
    const bool link = m_field.matches(uri, local);
    if (m_run == 0 && !link) return;
    if (m_run == 2 || !link) {
      m_run = 2;
      if (link) m_out->links_plain = false;  // apart from the run
      return;
    }
    m_run = 1;
    m_out->has_property = true;
    CM_XmlRecord::Link found;
    found.raw_id = attr(attrs, u"rdf:ID");
    if (!native(found.raw_id.c_str(), found.id) ||
        !native(attr(attrs, u"rdf:resource"), found.resource) || found.id.GetLength() == 0 ||
        found.resource.GetLength() == 0) {
      m_out->links_plain = false;
    }
    m_out->links.push_back(std::move(found));
  }

  CM_XmlRecord* m_out = nullptr;
  Name m_path[3];
  Name m_title;
  Name m_field;
  CM_XmlTag m_field_tag;  // the tag m_field was made of
  int m_depth = 0;
  int m_found = 0;  // steps of the record path found (description, member, record)
  int m_open = 0;   // the document element and the found steps still open
  int m_run = 0;    // 0 before the links, 1 among them, 2 after them
  std::vector<Open> m_descriptions;
  CM_XmlRecord::Title* m_capture = nullptr;
  int m_capture_depth = 0;
  const XMLCh* m_checked_uri = nullptr;  // URIs come from the parser's pool: check each once
};

CM_XmlRecordReader::CM_XmlRecordReader(const CM_XmlRecordShape& shape) {
  try {
    XMLPlatformUtils::Initialize();
    m_xerces_ready = true;
    m_handler = std::make_unique<Handler>(shape);
    m_security = std::make_unique<SecurityManager>();
    m_security->setEntityExpansionLimit(kEntityExpansionLimit);
    m_parser.reset(XMLReaderFactory::createXMLReader());
    m_parser->setProperty(XMLUni::fgXercesScannerName, const_cast<XMLCh*>(XMLUni::fgWFXMLScanner));
    m_parser->setFeature(XMLUni::fgSAX2CoreNameSpaces, true);
    m_parser->setFeature(XMLUni::fgSAX2CoreValidation, false);
    m_parser->setFeature(XMLUni::fgXercesSchema, false);
    m_parser->setFeature(XMLUni::fgXercesLoadSchema, false);
    m_parser->setFeature(XMLUni::fgXercesLoadExternalDTD, false);
    m_parser->setFeature(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    m_parser->setProperty(XMLUni::fgXercesSecurityManager, m_security.get());
    m_parser->setContentHandler(m_handler.get());
    m_parser->setErrorHandler(m_handler.get());
  } catch (...) {
    m_parser.reset();
  }
}

CM_XmlRecordReader::~CM_XmlRecordReader() {
  try {
    m_parser.reset();
    m_security.reset();
    m_handler.reset();
    if (m_xerces_ready) XMLPlatformUtils::Terminate();
  } catch (...) {
  }
}

bool CM_XmlRecordReader::Read(const std::string& body, const CM_XmlTag& links_field,
                              CM_XmlRecord& out) {
  out = CM_XmlRecord();
  out.field = links_field;
  if (!m_parser || !plain_bytes(body)) return false;
  try {
    m_handler->Start(links_field, out);
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(body.data()), body.size(),
                             "CM_XmlRecordReader", false);
    m_parser->parse(source);
    out.run_to_end = m_handler->RunToEnd();
    return m_handler->Found();
  } catch (...) {
    return false;
  }
}
