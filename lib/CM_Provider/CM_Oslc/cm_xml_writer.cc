// The streaming request body builder.
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLChar.hpp>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/sum/xml_text.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_writer";
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Native text as the DOM builder takes it (message 23 when it is not valid native text) appended
// to out in UTF-8, escaped for an attribute value when escape is set. wide: the UTF-16 text, made
// only when the text is not plain ASCII in a page that writes ASCII as ASCII.
int append_utf8(const SUM_String& text, bool escape, std::string& out, std::u16string& wide) {
  wide.clear();
  const char* bytes = text.c_str();
  const size_t length = static_cast<size_t>(text.GetLength());
  if (native_ascii_is_identity() && ascii_only(bytes, length)) {
    const size_t used = strlen(bytes);  // the converted text ends at a NUL
    if (escape) {
      sum_append_xml_escaped(out, bytes, used);
    } else {
      out.append(bytes, used);
    }
    return 0;
  }
  const int rc = native_to_utf16(text, wide);
  if (rc != 0) return rc;
  if (!escape) {
    sum_append_utf8(out, wide.c_str());
  } else {
    std::string raw;
    sum_append_utf8(raw, wide.c_str());
    sum_append_xml_escaped(out, raw);
  }
  return 0;
}

// Whether XML allows the name: utf8, or wide when append_utf8 made it.
bool valid_name(const std::string& utf8, const std::u16string& wide) {
  if (!wide.empty() || utf8.empty()) return XMLChar1_0::isValidName(wide.c_str());
  const std::u16string ascii(utf8.begin(), utf8.end());
  return XMLChar1_0::isValidName(ascii.c_str());
}

// The DOM refuses a name XML does not allow when the node is made, with this report; its message
// comes from Xerces, initialised for the moment.
int report_bad_name() {
  try {
    XMLPlatformUtils::Initialize();
  } catch (...) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  try {
    cm_xml_report(DOMException(DOMException::INVALID_CHARACTER_ERR, 0));
  } catch (...) {
    cm_xml_report_unknown();
  }
  try {
    XMLPlatformUtils::Terminate();
  } catch (...) {
  }
  return CM_XML_REPORTED;
}

}  // namespace

CM_XmlWriter::CM_XmlWriter() = default;

CM_XmlWriter::~CM_XmlWriter() = default;

int CM_XmlWriter::CreateRootElem(const CM_XmlTag& root) {
  if (m_created) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  std::string uri;
  std::u16string wide;
  int rc = append_utf8(root.URI(), true, uri, wide);
  const Name* name = nullptr;
  if (rc == 0) rc = Pvt_Name(root.Prefix(), root.Name(), name);
  if (rc == 0 && name == nullptr) rc = report_bad_name();
  if (rc != 0) return rc;
  if (!uri.empty()) {
    const size_t colon = name->utf8.find(':');
    m_root_decl = colon == std::string::npos ? "xmlns" : "xmlns:" + name->utf8.substr(0, colon);
    m_root_uri = std::move(uri);
  }
  m_created = true;
  m_out = kDeclaration;
  m_open.push_back(Open{name, false});
  m_attr_count = 0;
  return 0;
}

int CM_XmlWriter::PushElem(const CM_XmlTag& tag) {
  if (m_open.empty()) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const Name* name = nullptr;
  int rc = Pvt_Name(tag.Prefix(), tag.Name(), name);
  if (rc == 0 && name == nullptr) rc = report_bad_name();
  if (rc != 0) return rc;
  Pvt_WriteParent();
  m_open.push_back(Open{name, false});
  m_attr_count = 0;
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
    m_out += element.name->end;
  } else {
    Pvt_StartTag("/>", m_out);
  }
  m_open.pop_back();
  m_attr_count = 0;
  return 0;
}

int CM_XmlWriter::AddAttr(const CM_XmlTag& name, const SUM_String& value) {
  if (m_open.empty() || m_open.back().written) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const Name* known = nullptr;
  const int rc = Pvt_Name(name.Prefix(), name.Name(), known);
  if (rc != 0) return rc;
  return Pvt_SetAttr(known, value);
}

int CM_XmlWriter::SetNamespace(const CM_XmlNamespace& ns) {
  // An unwritten root is the innermost element: pushing a child writes its parent's start tag.
  if (!m_created || m_open.empty() || m_open.front().written) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  static const SUM_String kXmlns("xmlns");
  const SUM_String& prefix = ns.Prefix();
  const Name* name = nullptr;
  // "xmlns:prefix", or "xmlns" for the default namespace.
  const int rc = prefix.GetLength() > 0 ? Pvt_Name(kXmlns, prefix, name)
                                        : Pvt_Name(SUM_String(), kXmlns, name);
  if (rc != 0) return rc;
  return Pvt_SetAttr(name, ns.URI());
}

int CM_XmlWriter::Str(SUM_String& out) {
  std::string text;
  const int rc = Str(text);
  if (rc == 0) out = SUM_String(text);
  return rc;
}

int CM_XmlWriter::Str(std::string& out) {
  if (!m_created) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  out.clear();
  out.reserve(m_out.size() + 64 * m_open.size());
  out += m_out;
  // What is still open is closed in the copy only: the builder may go on. Only the innermost
  // element may still lack its start tag.
  for (size_t i = m_open.size(); i-- > 0;) {
    if (m_open[i].written) {
      out += m_open[i].name->end;
    } else {
      Pvt_StartTag("/>", out);
    }
  }
  return 0;
}

int CM_XmlWriter::Take(std::string& out) {
  int rc = 0;
  if (m_created && m_open.empty()) {
    out.swap(m_out);  // nothing left to close: the text is complete as it stands
  } else {
    rc = Str(out);
  }
  if (rc == 0) Clear();
  return rc;
}

void CM_XmlWriter::Clear() {
  m_out.clear();
  m_open.clear();
  m_root_decl.clear();
  m_root_uri.clear();
  m_created = false;
  m_gone = false;
}

void CM_XmlWriter::FindEmptyElem(const CM_XmlTag& tag, const CM_XmlTag& first,
                                 const CM_XmlTag& second, EmptyElem& out) const {
  out = EmptyElem();
  const Name* names[] = {Pvt_Known(tag.Prefix(), tag.Name()),
                         Pvt_Known(first.Prefix(), first.Name()),
                         Pvt_Known(second.Prefix(), second.Name())};
  for (const Name* name : names)
    if (name == nullptr) return;
  // One attribute set twice keeps its first place: the calls do that.
  if (names[1]->utf8 == names[2]->utf8) return;
  out.m_tag = names[0];
  out.m_head = names[0]->start + names[1]->attr;
  out.m_between = '"' + names[2]->attr;
}

namespace {

// A value as the fast path writes it: the text up to its first NUL (as a conversion ends there)
// and its length escaped; false when it is not all ASCII.
struct PlainValue {
  std::string_view text;
  size_t escaped = 0;

  bool Scan(std::string_view all) {
    size_t used = 0;
    if (!sum_xml_ascii_escaped_length(all.data(), all.size(), used, escaped)) return false;
    text = all.substr(0, used);
    return true;
  }
};

char* put(char* dest, std::string_view text) {
  memcpy(dest, text.data(), text.size());
  return dest + text.size();
}

char* put(char* dest, const PlainValue& value) {
  if (value.escaped == value.text.size()) return put(dest, value.text);
  return sum_write_xml_escaped(dest, value.text.data(), value.text.size());
}

}  // namespace

bool CM_XmlWriter::WriteEmptyElem(const EmptyElem& elem, std::string_view first_value,
                                  std::string_view second_value, size_t alike) {
  PlainValue first, second;
  if (!elem.found() || m_open.empty() || !native_ascii_is_identity() || !first.Scan(first_value) ||
      !second.Scan(second_value))
    return false;
  Pvt_WriteParent();
  m_attr_count = 0;
  // Sized once and written in place: a link set is thousands of these.
  const size_t size =
      elem.m_head.size() + first.escaped + elem.m_between.size() + second.escaped + 3;
  const size_t at = m_out.size();
  if (m_out.capacity() - at < size) m_out.reserve(at + size + alike * (size + size / 4));
  m_out.resize(at + size);
  char* dest = put(&m_out[at], elem.m_head);
  dest = put(dest, first);
  dest = put(dest, elem.m_between);
  dest = put(dest, second);
  put(dest, "\"/>");
  return true;
}

void CM_XmlWriter::Pvt_WriteParent() {
  Open& parent = m_open.back();
  if (!parent.written) {
    Pvt_StartTag(">", m_out);
    parent.written = true;
  }
}

const CM_XmlWriter::Name* CM_XmlWriter::Pvt_Known(const SUM_String& prefix,
                                                  const SUM_String& local) const {
  // Newest first: the names of the links come last and repeat.
  for (auto it = m_names.rbegin(); it != m_names.rend(); ++it) {
    const Name& known = **it;
    if (known.local == local && known.prefix == prefix) return &known;
  }
  return nullptr;
}

int CM_XmlWriter::Pvt_Name(const SUM_String& prefix, const SUM_String& local, const Name*& out) {
  out = Pvt_Known(prefix, local);
  if (out != nullptr) return 0;
  SUM_String qualified(prefix);
  if (prefix.GetLength() > 0) qualified += ":";
  qualified += local;
  auto name = std::make_unique<Name>();
  std::u16string wide;
  const int rc = append_utf8(qualified, false, name->utf8, wide);
  // A name XML does not allow is reported by the caller, after what the DOM converts before.
  if (rc != 0 || !valid_name(name->utf8, wide)) return rc;
  name->prefix = prefix;
  name->local = local;
  name->start = '<' + name->utf8;
  name->end = "</" + name->utf8 + '>';
  name->attr = ' ' + name->utf8 + "=\"";
  out = name.get();
  m_names.push_back(std::move(name));
  return 0;
}

int CM_XmlWriter::Pvt_SetAttr(const Name* name, const SUM_String& value) {
  if (m_attrs.size() == m_attr_count) m_attrs.push_back(Attr{nullptr, std::string()});
  // Converted into the spare entry: a failure leaves the element as it was.
  Attr& spare = m_attrs[m_attr_count];
  spare.value.clear();
  std::u16string wide;
  const int rc = append_utf8(value, true, spare.value, wide);
  if (rc != 0) return rc;
  if (name == nullptr) return report_bad_name();
  for (size_t i = 0; i < m_attr_count; ++i) {
    Attr& attr = m_attrs[i];
    if (attr.name == name || attr.name->utf8 == name->utf8) {
      attr.value.swap(spare.value);  // a replaced value keeps its place
      return 0;
    }
  }
  spare.name = name;
  ++m_attr_count;
  return 0;
}

void CM_XmlWriter::Pvt_StartTag(const char* end, std::string& out) const {
  out += m_open.back().name->start;
  if (m_open.size() == 1 && !m_root_uri.empty()) {
    bool declared = false;
    for (size_t i = 0; i < m_attr_count; ++i)
      declared = declared || m_attrs[i].name->utf8 == m_root_decl;
    if (!declared) {
      out += ' ';
      out += m_root_decl;
      out += "=\"";
      out += m_root_uri;
      out += '"';
    }
  }
  for (size_t i = 0; i < m_attr_count; ++i) {
    out += m_attrs[i].name->attr;
    out += m_attrs[i].value;
    out += '"';
  }
  out += end;
}

// ---------------------------------------------------------------------------------------------
// CM_XmlTracedWriter: each call opens the scope the DOM builder's would.

namespace {
const char kTraceTag[] = "CMOSLC";
const char kDomClass[] = "CM_XmlDoc";
}  // namespace

CM_XmlTracedWriter::~CM_XmlTracedWriter() {
  CM_TraceScope trace(kTraceTag, kDomClass, "~CM_XmlDoc");
}

int CM_XmlTracedWriter::CreateRootElem(const CM_XmlTag& root) {
  CM_TraceScope trace(kTraceTag, kDomClass, "CreateRootElem");
  const int rc = m_writer.CreateRootElem(root);
  if (rc == 0) m_created = true;
  return rc;
}

int CM_XmlTracedWriter::PushElem(const CM_XmlTag& tag) {
  CM_TraceScope trace(kTraceTag, kDomClass, "PushElem");
  return m_writer.PushElem(tag);
}

int CM_XmlTracedWriter::PopElem() {
  CM_TraceScope trace(kTraceTag, kDomClass, "PopElem");
  return m_writer.PopElem();
}

int CM_XmlTracedWriter::AddAttr(const CM_XmlTag& name, const SUM_String& value) {
  CM_TraceScope trace(kTraceTag, kDomClass, "AddAttr");
  return m_writer.AddAttr(name, value);
}

// The DOM builder converts the declaration's name, then its URI, then adds it, with a line after
// each step: the same conversions (and refusals) come first here, the writer's own after them.
int CM_XmlTracedWriter::SetNamespace(const CM_XmlNamespace& ns) {
  CM_TraceScope trace(kTraceTag, kDomClass, "SetNamespace");
  if (!m_created) return m_writer.SetNamespace(ns);  // the same internal error
  const SUM_String& prefix = ns.Prefix();
  const SUM_String attr_name =
      prefix.GetLength() > 0 ? SUM_String("xmlns:") + prefix : SUM_String("xmlns");
  std::u16string converted;
  int rc = native_to_utf16(attr_name, converted);
  if (rc != 0) return rc;
  trace.print(5, "Namespace %s converted to xerces", attr_name.c_str());
  rc = native_to_utf16(ns.URI(), converted);
  if (rc != 0) return rc;
  trace.print(5, "Namespace URL %s converted to xerces", ns.URI().c_str());
  rc = m_writer.SetNamespace(ns);
  if (rc != 0) return rc;
  trace.print(5, "Namespace %s added to root element", attr_name.c_str());
  return 0;
}

int CM_XmlTracedWriter::Str(SUM_String& out) {
  CM_TraceScope trace(kTraceTag, kDomClass, "Str");
  return m_writer.Str(out);
}

int CM_XmlTracedWriter::Str(std::string& out) {
  CM_TraceScope trace(kTraceTag, kDomClass, "Str");
  return m_writer.Str(out);
}
