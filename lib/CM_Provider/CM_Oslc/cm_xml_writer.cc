// The streaming request body builder.
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLChar.hpp>

#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/cm_messages.h"
#include "platform/sum/xml_text.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_writer";

// Whether text converts without ICU and without fail: ASCII up to its end (the converted text
// ends at a NUL, as this scan does).
bool plain_ascii(const SUM_String& text) {
  if (!native_ascii_is_identity()) return false;
  for (const char* p = text.c_str(); *p != 0; ++p)
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  return true;
}

// Native text as the DOM builder takes it (message 23 when it is not valid native text), in
// UTF-8; escaped for an attribute value when escape is set. converted: the UTF-16 text, made only
// when the text is not plain ASCII.
int utf8_of(const SUM_String& text, bool escape, std::string& out, CM_XmlText& converted) {
  std::string raw;
  if (plain_ascii(text)) {
    raw = text.c_str();
  } else {
    const int rc = converted.Convert(text);
    if (rc != 0) return rc;
    sum_append_utf8(raw, converted.get());
  }
  if (!escape) {
    out = std::move(raw);
  } else {
    out.clear();
    sum_append_xml_escaped(out, raw);
  }
  return 0;
}

int utf8_of(const SUM_String& text, bool escape, std::string& out) {
  CM_XmlText converted;
  return utf8_of(text, escape, out, converted);
}

// The DOM refuses a name XML does not allow when the node is made, with this report. utf8 is the
// name; converted its UTF-16 text when utf8_of made one.
int check_name(const std::string& utf8, const CM_XmlText& converted) {
  if (converted.get() != nullptr) {
    if (XMLChar1_0::isValidName(converted.get())) return 0;
  } else {
    const std::u16string wide(utf8.begin(), utf8.end());  // ASCII
    if (XMLChar1_0::isValidName(wide.c_str())) return 0;
  }
  cm_xml_report(DOMException(DOMException::INVALID_CHARACTER_ERR, 0));
  return CM_XML_REPORTED;
}

}  // namespace

CM_XmlWriter::CM_XmlWriter() {
  try {
    XMLPlatformUtils::Initialize();
    m_xerces_ready = true;
  } catch (...) {
  }
}

CM_XmlWriter::~CM_XmlWriter() {
  if (m_xerces_ready) {
    try {
      XMLPlatformUtils::Terminate();
    } catch (...) {
    }
  }
}

int CM_XmlWriter::CreateRootElem(const CM_XmlTag& root) {
  if (m_created || !m_xerces_ready) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  std::string uri;
  Open element;
  CM_XmlText name;
  int rc = utf8_of(root.URI(), true, uri);
  if (rc == 0) rc = utf8_of(root.QualifiedName(), false, element.name, name);
  if (rc == 0) rc = check_name(element.name, name);
  if (rc != 0) return rc;
  if (!uri.empty()) {
    const size_t colon = element.name.find(':');
    m_root_decl = colon == std::string::npos ? "xmlns" : "xmlns:" + element.name.substr(0, colon);
    m_root_uri = uri;
  }
  m_created = true;
  m_open.push_back(std::move(element));
  return 0;
}

int CM_XmlWriter::PushElem(const CM_XmlTag& tag) {
  if (m_open.empty()) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  Open element;
  CM_XmlText name;
  int rc = utf8_of(tag.QualifiedName(), false, element.name, name);
  if (rc == 0) rc = check_name(element.name, name);
  if (rc != 0) return rc;
  Open& parent = m_open.back();
  if (!parent.written) {
    Pvt_StartTag(parent, ">", m_out);
    parent.written = true;
  }
  m_open.push_back(std::move(element));
  return 0;
}

int CM_XmlWriter::PopElem() {
  if (m_open.empty()) {
    if (m_created && !m_gone) {
      m_gone = true;  // the document's parent: nothing
      return 0;
    }
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const Open& element = m_open.back();
  if (element.written) {
    m_out += "</" + element.name + '>';
  } else {
    Pvt_StartTag(element, "/>", m_out);
  }
  m_open.pop_back();
  return 0;
}

int CM_XmlWriter::AddAttr(const CM_XmlTag& name, const SUM_String& value) {
  if (m_open.empty() || m_open.back().written) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  return Pvt_SetAttr(m_open.back(), name.QualifiedName(), value);
}

int CM_XmlWriter::SetNamespace(const CM_XmlNamespace& ns) {
  if (!m_created || m_open.empty() || m_open.front().written) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const SUM_String prefix = ns.Prefix();
  const SUM_String attr_name =
      prefix.GetLength() > 0 ? SUM_String("xmlns:") + prefix : SUM_String("xmlns");
  return Pvt_SetAttr(m_open.front(), attr_name, ns.URI());
}

int CM_XmlWriter::Str(SUM_String& out) {
  if (!m_created) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  text += m_out;
  // What is still open is closed in the copy only: the builder may go on.
  for (size_t i = m_open.size(); i-- > 0;) {
    if (m_open[i].written) {
      text += "</" + m_open[i].name + '>';
    } else {
      Pvt_StartTag(m_open[i], "/>", text);
    }
  }
  out = SUM_String(text);
  return 0;
}

int CM_XmlWriter::Pvt_SetAttr(Open& element, const SUM_String& name, const SUM_String& value) {
  std::string utf8_name;
  std::string escaped;
  CM_XmlText xname;
  int rc = utf8_of(name, false, utf8_name, xname);
  if (rc == 0) rc = utf8_of(value, true, escaped);
  if (rc == 0) rc = check_name(utf8_name, xname);
  if (rc != 0) return rc;
  for (auto& attr : element.attrs) {
    if (attr.first == utf8_name) {
      attr.second = std::move(escaped);  // a replaced value keeps its place
      return 0;
    }
  }
  element.attrs.emplace_back(std::move(utf8_name), std::move(escaped));
  return 0;
}

void CM_XmlWriter::Pvt_StartTag(const Open& element, const char* end, std::string& out) const {
  out += '<';
  out += element.name;
  if (&element == &m_open.front() && !m_root_uri.empty()) {
    bool declared = false;
    for (const auto& attr : element.attrs) declared = declared || attr.first == m_root_decl;
    if (!declared) out += ' ' + m_root_decl + "=\"" + m_root_uri + '"';
  }
  for (const auto& attr : element.attrs) {
    out += ' ';
    out += attr.first;
    out += "=\"";
    out += attr.second;
    out += '"';
  }
  out += end;
}
