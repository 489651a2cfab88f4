#include "platform/sum/xml_element.h"

#include "platform/sum/xml_text.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include <cstring>
#include <string>

namespace xc = XERCES_CPP_NAMESPACE;

// ---------------------------------------------------------------------------------------------
// Element list and element

void XML_ElementList::append(const XML_Element& element) { m_items.push_back(element); }
XML_Element& XML_ElementList::operator[](int index) {
  return m_items.at(static_cast<size_t>(index));
}
const XML_Element& XML_ElementList::operator[](int index) const {
  return m_items.at(static_cast<size_t>(index));
}
int XML_ElementList::count() const { return static_cast<int>(m_items.size()); }

XML_Element::XML_Element() = default;
XML_Element::XML_Element(const SUM_String& name) : m_name(name) {}
XML_Element::XML_Element(const SUM_String& name, const SUM_String& text)
    : m_name(name), m_text(text) {}
XML_Element::~XML_Element() = default;
XML_Element::XML_Element(const XML_Element&) = default;
XML_Element& XML_Element::operator=(const XML_Element&) = default;

XML_ElementList& XML_Element::sub_elements() { return m_children; }
const XML_ElementList& XML_Element::sub_elements() const { return m_children; }
const SUM_String& XML_Element::name() const { return m_name; }
const SUM_String& XML_Element::text() const { return m_text; }

namespace {

// Deeper trees than this are not ours: our files are two or three levels deep.
const int kMaxDepth = 200;

// Decodes one UTF-8 sequence at s[i]; returns its length and the code point, 0 when invalid.
size_t utf8_next(const std::string& s, size_t i, unsigned* cp) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t len;
  unsigned v, min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    v = (v << 6) | (d & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

// True when every character may appear in XML 1.0 character data.
bool valid_xml_text(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned cp;
    size_t n = utf8_next(s, i, &cp);
    if (n == 0) return false;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
    if (cp == 0xFFFE || cp == 0xFFFF) return false;
    i += n;
  }
  return true;
}

bool name_char(unsigned char c, bool first) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80)
    return true;
  return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
}

bool valid_xml_name(const std::string& s) {
  if (s.empty() || !valid_xml_text(s)) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (!name_char(static_cast<unsigned char>(s[i]), i == 0)) return false;
  return true;
}

bool all_space(const std::string& s) {
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  return true;
}

}  // namespace

// Writes one element. An element with both text and children is written without layout
// whitespace, so that its text comes back unchanged; text made only of white space is written as
// a CDATA section for the same reason (layout whitespace between children is not content).
static bool write_element(const XML_Element& e, int level, bool pretty, std::string& out) {
  if (level > kMaxDepth) return false;
  std::string name = e.name().str();
  std::string text = e.text().str();
  if (!valid_xml_name(name) || !valid_xml_text(text)) return false;
  const XML_ElementList& kids = e.sub_elements();
  if (pretty) out.append(static_cast<size_t>(level) * 2, ' ');
  out += '<';
  out += name;
  if (text.empty() && kids.count() == 0) {
    out += "/>";
    if (pretty) out += '\n';
    return true;
  }
  out += '>';
  if (kids.count() > 0 && !text.empty() && all_space(text)) {
    out += "<![CDATA[";
    out += text;
    out += "]]>";
  } else {
    sum_append_xml_escaped(out, text);
  }
  if (kids.count() > 0) {
    bool kid_pretty = pretty && text.empty();
    if (kid_pretty) out += '\n';
    for (int i = 0; i < kids.count(); ++i)
      if (!write_element(kids[i], level + 1, kid_pretty, out)) return false;
    if (kid_pretty) out.append(static_cast<size_t>(level) * 2, ' ');
  }
  out += "</";
  out += name;
  out += '>';
  if (pretty) out += '\n';
  return true;
}

int XML_Element::string(SUM_String& out, int indent) const {
  try {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (!write_element(*this, indent < 0 ? 0 : indent, true, text)) return 1;
    out = SUM_String(text);
    return 0;
  } catch (...) {
    return 2;
  }
}

// ---------------------------------------------------------------------------------------------
// Parsing

namespace {

// Balanced, counted initialisation: the host may use the same library.
class XercesInit {
 public:
  XercesInit() {
    xc::XMLPlatformUtils::Initialize();
    m_ok = true;
  }
  ~XercesInit() {
    if (m_ok) xc::XMLPlatformUtils::Terminate();
  }
  XercesInit(const XercesInit&) = delete;
  XercesInit& operator=(const XercesInit&) = delete;

 private:
  bool m_ok = false;
};

class CountingErrorHandler : public xc::ErrorHandler {
 public:
  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException&) override { ++m_errors; }
  void fatalError(const xc::SAXParseException&) override { ++m_errors; }
  void resetErrors() override { m_errors = 0; }
  int errors() const { return m_errors; }

 private:
  int m_errors = 0;
};

// A parser that refuses any document type declaration: our files never carry one, and a DTD is
// the door to entity expansion and external reads.
class NoDtdParser : public xc::XercesDOMParser {
 public:
  NoDtdParser() { getScanner()->setDisallowDTD(true); }
};

std::string to_utf8(const XMLCh* s) {
  std::string out;
  sum_append_utf8(out, s);
  return out;
}

bool convert(const xc::DOMElement* node, int depth, XML_Element& out) {
  if (depth > kMaxDepth) return false;
  XML_Element result(SUM_String(to_utf8(node->getTagName())));
  std::string text;
  bool has_children = false;
  bool significant = false;  // any CDATA or non-blank text
  for (const xc::DOMNode* c = node->getFirstChild(); c; c = c->getNextSibling()) {
    switch (c->getNodeType()) {
      case xc::DOMNode::ELEMENT_NODE: {
        XML_Element kid;
        if (!convert(static_cast<const xc::DOMElement*>(c), depth + 1, kid)) return false;
        result.sub_elements().append(kid);
        has_children = true;
        break;
      }
      case xc::DOMNode::TEXT_NODE: {
        std::string piece = to_utf8(c->getNodeValue());
        if (!all_space(piece)) significant = true;
        text += piece;
        break;
      }
      case xc::DOMNode::CDATA_SECTION_NODE:
        significant = true;
        text += to_utf8(c->getNodeValue());
        break;
      default:
        break;  // comments and processing instructions carry no content
    }
  }
  if (has_children && !significant) text.clear();
  out = XML_Element(result.name(), SUM_String(text));
  const XML_ElementList& kids = result.sub_elements();
  for (int i = 0; i < kids.count(); ++i) out.sub_elements().append(kids[i]);
  return true;
}

// The layout string() writes, read back without Xerces (whose start-up costs more than a whole
// small file's reading). A reading is taken only when writing it again gives the text byte for
// byte: what string() writes, Xerces reads back as the element written (the round trip the
// element tests pin), so the answer is the one Xerces would give. Names are held to ASCII, where
// string()'s name check and XML's agree. Anything else goes to Xerces.
class OwnLayout {
 public:
  static bool read(const char* text, XML_Element& out) {
    static const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (strncmp(text, kDeclaration, sizeof kDeclaration - 1) != 0) return false;
    const char* p = text + sizeof kDeclaration - 1;
    XML_Element candidate;
    SUM_String written;
    if (!element(p, 0, candidate) || candidate.string(written, 0) != 0) return false;
    if (strcmp(written.c_str(), text) != 0) return false;
    out = candidate;
    return true;
  }

 private:
  static bool ascii_name_char(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           (!first && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
  }

  static bool name(const char*& p, std::string& out) {
    const char* start = p;
    while (ascii_name_char(*p, p == start)) ++p;
    out.assign(start, p);
    return !out.empty();
  }

  // Text up to the next '<', with the references string() writes replaced.
  static bool text(const char*& p, std::string& out) {
    static const struct {
      const char* reference;
      char c;
    } kReferences[] = {{"&amp;", '&'},   {"&lt;", '<'},  {"&gt;", '>'},   {"&quot;", '"'},
                       {"&apos;", '\''}, {"&#9;", '\t'}, {"&#10;", '\n'}, {"&#13;", '\r'}};
    while (*p != '\0' && *p != '<') {
      if (*p != '&') {
        out += *p++;
        continue;
      }
      bool known = false;
      for (const auto& r : kReferences) {
        const size_t n = strlen(r.reference);
        if (strncmp(p, r.reference, n) == 0) {
          out += r.c;
          p += n;
          known = true;
          break;
        }
      }
      if (!known) return false;
    }
    return true;
  }

  static bool element(const char*& p, int depth, XML_Element& out) {
    while (*p == ' ') ++p;  // indentation
    if (depth > kMaxDepth || *p != '<') return false;
    ++p;
    std::string tag;
    if (!name(p, tag)) return false;
    if (p[0] == '/' && p[1] == '>') {
      p += 2;
      out = XML_Element(SUM_String(tag));
      return true;
    }
    if (*p++ != '>') return false;
    std::string content;
    std::vector<XML_Element> kids;
    for (;;) {
      if (!text(p, content) || *p != '<') return false;
      if (p[1] == '/') break;
      // CDATA, comments and instructions are left to Xerces.
      if (p[1] == '!' || p[1] == '?') return false;
      kids.emplace_back();
      if (!element(p, depth + 1, kids.back())) return false;
    }
    p += 2;
    std::string end;
    if (!name(p, end) || end != tag || *p++ != '>') return false;
    if (*p == '\n') ++p;
    if (!kids.empty() && all_space(content)) content.clear();  // layout between children
    out = XML_Element(SUM_String(tag), SUM_String(content));
    for (const XML_Element& kid : kids) out.sub_elements().append(kid);
    return true;
  }
};

}  // namespace

int XML_Element::parse(const char* text, XML_Element& out) {
  if (!text || !*text) return 1;
  try {
    if (OwnLayout::read(text, out)) return 0;
    XercesInit init;
    int rc = 1;
    {
      CountingErrorHandler errors;
      xc::SecurityManager security;
      security.setEntityExpansionLimit(100);
      NoDtdParser parser;
      parser.setErrorHandler(&errors);
      parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
      parser.setDoNamespaces(false);
      parser.setDoSchema(false);
      parser.setLoadExternalDTD(false);
      parser.setDisableDefaultEntityResolution(true);
      parser.setSecurityManager(&security);
      parser.setCreateEntityReferenceNodes(false);
      parser.setCreateCommentNodes(false);
      xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text), strlen(text),
                                   "xml-element", false);
      parser.parse(source);
      const xc::DOMDocument* doc = parser.getDocument();
      const xc::DOMElement* root = doc ? doc->getDocumentElement() : nullptr;
      if (errors.errors() == 0 && parser.getErrorCount() == 0 && root) {
        XML_Element result;
        if (convert(root, 0, result)) {
          out = result;
          rc = 0;
        }
      }
    }
    return rc;
  } catch (const xc::XMLException&) {
    return 2;
  } catch (const xc::DOMException&) {
    return 2;
  } catch (const xc::SAXException&) {
    return 2;
  } catch (const xc::OutOfMemoryException&) {
    return 3;
  } catch (...) {
    return 2;
  }
}
