// The plain-XML scanner. Every test below errs towards "unsure": a refusal only costs the caller
// a Xerces read, an acceptance Xerces would not make would change what the record read answers.
#include "CM_Provider/CM_Oslc/cm_xml_scanner.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "CM_Provider/CM_Oslc/cm_xml_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const std::string_view kXmlUri = "http://www.w3.org/XML/1998/namespace";
const std::string_view kXmlnsUri = "http://www.w3.org/2000/xmlns/";
// More attributes than any tracker element carries; the duplicate checks below are quadratic.
const size_t kMaxAttrs = 64;

// Byte classes, so that the loops over names, text and values test one table entry per byte.
enum : uint8_t {
  kNameStart = 1,
  kNameChar = 2,
  kSpace = 4,
  kText = 8,   // stands for itself in character data
  kValue = 16  // stands for itself in a quoted value (the quotes aside)
};

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> classes{};
  for (int c = 0x20; c < 0x7F; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (letter) classes[c] |= kNameStart;
    if (letter || (c >= '0' && c <= '9') || c == '.' || c == '-') classes[c] |= kNameChar;
    if (c != '<' && c != '&' && c != ']') classes[c] |= kText;
    if (c != '<' && c != '&' && c != '"' && c != '\'') classes[c] |= kValue;
  }
  for (int c : {' ', '\t', '\n', '\r'}) classes[c] |= kSpace;
  classes['\t'] |= kText;
  classes['\n'] |= kText;
  return classes;
}
constexpr std::array<uint8_t, 256> kClasses = make_classes();

bool is(char c, uint8_t what) { return (kClasses[static_cast<unsigned char>(c)] & what) != 0; }
bool space(char c) { return is(c, kSpace); }

// "xmlns" or "xmlns:prefix": a declaration, not an attribute.
bool declaration(std::string_view qname, size_t colon) {
  return qname.size() >= 5 && memcmp(qname.data(), "xmlns", 5) == 0 &&
         (qname.size() == 5 || colon == 5);
}

// Where a quoted value that stands for itself and is ASCII ends: its closing quote, when no byte
// before it is below 0x20 (blanks are normalised), from 0x7F up, "<" or "&"; else null, and the
// value loop below reads it byte by byte. Sixteen bytes at a time where there are that many.
const char* plain_value_end(const char* p, const char* end, char quote) {
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi8(0x20);
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i amp = _mm_set1_epi8('&');
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i quotes = _mm_set1_epi8(quote);
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed, bytes from 0x80 up are below 0x20 too.
    const __m128i bad =
        _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(block, low), _mm_cmpeq_epi8(block, lt)),
                     _mm_or_si128(_mm_cmpeq_epi8(block, amp), _mm_cmpeq_epi8(block, del)));
    const unsigned at_quote =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, quotes)));
    const unsigned stops = at_quote | static_cast<unsigned>(_mm_movemask_epi8(bad));
    if (stops != 0) {
      const unsigned first = static_cast<unsigned>(__builtin_ctz(stops));
      return (at_quote >> first & 1U) != 0 ? p + first : nullptr;
    }
  }
#endif
  for (; p != end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == static_cast<unsigned char>(quote)) return p;
    if (c < 0x20 || c >= 0x7F || c == '<' || c == '&') return nullptr;
  }
  return nullptr;
}

// The end of a run of character data bytes that stand for themselves (class kText).
const char* text_run_end(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i low = _mm_set1_epi8(0x20);
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i amp = _mm_set1_epi8('&');
  const __m128i bracket = _mm_set1_epi8(']');
  const __m128i del = _mm_set1_epi8(0x7F);
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(block, tab), _mm_cmpeq_epi8(block, lf));
    const __m128i control = _mm_andnot_si128(blank, _mm_cmplt_epi8(block, low));
    const __m128i markup =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, lt), _mm_cmpeq_epi8(block, amp)),
                     _mm_or_si128(_mm_cmpeq_epi8(block, bracket), _mm_cmpeq_epi8(block, del)));
    const int stops = _mm_movemask_epi8(_mm_or_si128(control, markup));
    if (stops != 0) return p + __builtin_ctz(static_cast<unsigned>(stops));
  }
#endif
  while (p != end && is(*p, kText)) ++p;
  return p;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

// Characters of XML 1.0 that need no second thought: no controls but tab and line feed (C1
// controls included, though XML allows them), no surrogates, no U+FFFE or U+FFFF.
bool plain_char(uint32_t c) {
  return c == 0x9 || c == 0xA || (c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void append_utf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

bool CM_XmlScanner::Scan(std::string_view body, CM_XmlScanHandler& handler) {
  m_in = body;
  m_at = 0;
  m_handler = &handler;
  m_bindings.clear();
  m_open.clear();
  m_known.fill(Known{});
  ++m_generation;
  if (!Pvt_Prolog() || !Pvt_Element()) return false;
  Pvt_SkipSpace();
  return m_at == m_in.size();
}

void CM_XmlScanner::Pvt_SkipSpace() {
  const char* const end = m_in.data() + m_in.size();
  const char* p = m_in.data() + m_at;
  while (p != end && space(*p)) ++p;
  m_at = static_cast<size_t>(p - m_in.data());
}

// An optional byte-order mark and XML declaration (version 1.0, UTF-8), then blanks up to the
// document element.
bool CM_XmlScanner::Pvt_Prolog() {
  if (m_in.substr(0, 3) == "\xEF\xBB\xBF") m_at = 3;
  if (m_in.substr(m_at, 5) == "<?xml" && m_at + 5 < m_in.size() && space(m_in[m_at + 5])) {
    m_at += 5;
    // One pseudo-attribute, name="value" after at least one blank; false leaves m_at anywhere.
    auto pseudo = [this](std::string_view name, std::string_view& value) {
      const size_t before = m_at;
      Pvt_SkipSpace();
      if (m_at == before || m_in.substr(m_at, name.size()) != name) return false;
      m_at += name.size();
      Pvt_SkipSpace();
      if (m_in.substr(m_at, 1) != "=") return false;
      ++m_at;
      Pvt_SkipSpace();
      if (m_at >= m_in.size() || (m_in[m_at] != '"' && m_in[m_at] != '\'')) return false;
      const size_t end = m_in.find(m_in[m_at], m_at + 1);
      if (end == std::string_view::npos) return false;
      value = m_in.substr(m_at + 1, end - m_at - 1);
      m_at = end + 1;
      return true;
    };
    std::string_view value;
    if (!pseudo("version", value) || value != "1.0") return false;
    size_t mark = m_at;
    if (!pseudo("encoding", value))
      m_at = mark;
    else if (!equals_nocase(value, "utf-8"))
      return false;
    mark = m_at;
    if (!pseudo("standalone", value))
      m_at = mark;
    else if (value != "yes" && value != "no")
      return false;
    Pvt_SkipSpace();
    if (m_in.substr(m_at, 2) != "?>") return false;
    m_at += 2;
  }
  Pvt_SkipSpace();
  return m_in.substr(m_at, 1) == "<";
}

// The document element and everything in it, without recursion.
bool CM_XmlScanner::Pvt_Element() {
  bool empty = false;
  if (!Pvt_StartTag(empty)) return false;
  while (!m_open.empty()) {
    if (!Pvt_Content() || m_at + 1 >= m_in.size()) return false;
    const char next = m_in[m_at + 1];
    if (next == '/') {
      if (!Pvt_EndTag()) return false;
    } else if (next == '!' || next == '?' || !Pvt_StartTag(empty)) {
      return false;
    }
  }
  return true;
}

// An ASCII NCName, optionally prefixed by another and a colon.
bool CM_XmlScanner::Pvt_Name(std::string_view& name, size_t& colon, NameRef& known) {
  const char* const end = m_in.data() + m_in.size();
  const char* const start = m_in.data() + m_at;
  // A name read before, followed by what ends a name (neither a name character nor a colon), is
  // that name again. Slots go by the eight bytes from the name's start.
  const size_t left = m_in.size() - m_at;
  known = NameRef();
  if (left >= 8) {
    uint64_t window;
    memcpy(&window, start, sizeof window);
    known.slot = static_cast<size_t>((window * 0x9E3779B97F4A7C15ull) >> 58);
    const Known& slot = m_known[known.slot];
    const std::string_view q = slot.qname;
    if (!q.empty() && q.size() < left && cm_xml_same_bytes(start, q.data(), q.size()) &&
        !is(start[q.size()], kNameChar) && start[q.size()] != ':') {
      name = std::string_view(start, q.size());
      colon = slot.colon;
      known.token = q.data();
      m_at += q.size();
      return true;
    }
  }
  const char* p = start;
  colon = std::string_view::npos;
  for (;;) {
    if (p == end || !is(*p, kNameStart)) return false;
    ++p;
    while (p != end && is(*p, kNameChar)) ++p;
    if (p == end || *p != ':' || colon != std::string_view::npos) break;
    colon = static_cast<size_t>(p - start);
    ++p;
  }
  name = std::string_view(start, static_cast<size_t>(p - start));
  m_at = static_cast<size_t>(p - m_in.data());
  if (left >= 8) {
    m_known[known.slot] = Known{name, colon, nullptr, m_generation - 1};
    known.token = name.data();
  }
  return true;
}

const CM_XmlScanner::Binding* CM_XmlScanner::Pvt_Resolve(std::string_view prefix) const {
  for (auto b = m_bindings.rbegin(); b != m_bindings.rend(); ++b)
    if (cm_xml_same(b->prefix, prefix)) return &*b;
  return nullptr;
}

const CM_XmlScanner::Binding* CM_XmlScanner::Pvt_Bound(std::string_view prefix,
                                                       const NameRef& known) {
  if (known.token == nullptr || m_known[known.slot].qname.data() != known.token)
    return Pvt_Resolve(prefix);
  Known& slot = m_known[known.slot];
  if (slot.generation != m_generation) {
    slot.binding = Pvt_Resolve(prefix);
    slot.generation = m_generation;
  }
  return slot.binding;
}

bool CM_XmlScanner::Pvt_StartTag(bool& empty) {
  ++m_at;  // '<'
  std::string_view qname;
  size_t colon = 0;
  NameRef known;
  if (!Pvt_Name(qname, colon, known)) return false;
  const Binding* binding = nullptr;
  const size_t name_end = m_at;
  if (!Pvt_Repeated(known, binding, empty)) {
    m_at = name_end;
    if (!Pvt_Attributes(qname, colon, known, binding, empty)) return false;
  }

  const size_t depth = m_open.size() + 1;
  CM_XmlScanTag tag;
  tag.uri = binding->uri;
  tag.uri_ascii = binding->ascii;
  tag.local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
  tag.qname = qname;
  if (!m_handler->StartElement(tag, m_attrs)) return false;
  if (empty) {
    m_handler->EndElement();
    Pvt_Unbind(depth);
  } else {
    m_open.push_back(qname);
  }
  return true;
}

bool CM_XmlScanner::Pvt_Repeated(const NameRef& known, const Binding*& binding, bool& empty) {
  if (known.token == nullptr) return false;
  const Shape& shape = m_shapes[known.slot];
  // The slot's text is the name just read: the same token is the same name.
  if (shape.token != known.token || shape.generation != m_generation) return false;
  const char* const begin = m_in.data();
  const char* const end = begin + m_in.size();
  const char* p = begin + m_at;
  m_attrs.resize(shape.count);
  for (size_t i = 0; i < shape.count; ++i) {
    const Shape::Attr& a = shape.attrs[i];
    if (static_cast<size_t>(end - p) <= a.lead.size() ||
        !cm_xml_same_bytes(p, a.lead.data(), a.lead.size()))
      return false;
    CM_XmlScanAttr& attr = m_attrs[i];
    attr.qname = std::string_view(p + a.name_at, a.name_size);
    attr.uri = a.uri;
    attr.local = a.colon == std::string_view::npos ? attr.qname : attr.qname.substr(a.colon + 1);
    p += a.lead.size();
    const char* closing = plain_value_end(p, end, a.lead.back());
    if (closing == nullptr) return false;
    attr.value = std::string_view(p, static_cast<size_t>(closing - p));
    attr.ascii = true;
    p = closing + 1;
  }
  if (static_cast<size_t>(end - p) < shape.tail.size() ||
      !cm_xml_same_bytes(p, shape.tail.data(), shape.tail.size()))
    return false;
  m_at = static_cast<size_t>(p - begin) + shape.tail.size();
  binding = shape.binding;
  empty = shape.empty;
  return true;
}

bool CM_XmlScanner::Pvt_Attributes(std::string_view qname, size_t colon, const NameRef& known,
                                   const Binding*& binding, bool& empty) {
  m_attrs.clear();
  m_names.clear();
  if (m_values.capacity() < kMaxAttrs) m_values.reserve(kMaxAttrs);
  size_t decoded = 0;
  bool declares = false;
  // Where each attribute's lead and the tail begin, for the tag's shape.
  size_t starts[kShapeAttrs];
  size_t value_at[kShapeAttrs];
  size_t tail_at = m_at;
  bool plain = true;
  for (;;) {
    const size_t before = m_at;
    Pvt_SkipSpace();
    if (m_at >= m_in.size()) return false;
    if (m_in[m_at] == '>') {
      ++m_at;
      empty = false;
      tail_at = before;
      break;
    }
    if (m_in[m_at] == '/' && m_at + 1 < m_in.size() && m_in[m_at + 1] == '>') {
      m_at += 2;
      empty = true;
      tail_at = before;
      break;
    }
    if (m_at == before || m_attrs.size() == kMaxAttrs) return false;
    if (m_attrs.size() < kShapeAttrs) starts[m_attrs.size()] = before;
    CM_XmlScanAttr& attr = m_attrs.emplace_back();
    AttrName& name = m_names.emplace_back();
    if (!Pvt_Name(attr.qname, name.colon, name.known)) return false;
    for (size_t i = 0; i + 1 < m_attrs.size(); ++i)
      if (cm_xml_same(m_attrs[i].qname, attr.qname)) return false;
    Pvt_SkipSpace();
    if (m_at >= m_in.size() || m_in[m_at] != '=') return false;
    ++m_at;
    Pvt_SkipSpace();
    if (decoded == m_values.size()) m_values.emplace_back();
    if (m_attrs.size() <= kShapeAttrs) value_at[m_attrs.size() - 1] = m_at + 1;
    bool used = false;
    if (!Pvt_AttValue(attr, m_values[decoded], used)) return false;
    if (used) ++decoded;
    plain = plain && !used && attr.ascii;
    attr.local = attr.qname;
    declares = declares || declaration(attr.qname, name.colon);
  }

  // Declarations first: they apply to the element's own name and attributes. The handler sees
  // the other attributes only.
  const size_t depth = m_open.size() + 1;
  if (declares) {
    size_t kept = 0;
    for (size_t i = 0; i < m_attrs.size(); ++i) {
      const CM_XmlScanAttr& a = m_attrs[i];
      if (!declaration(a.qname, m_names[i].colon)) {
        m_attrs[kept] = a;
        m_names[kept++] = m_names[i];
        continue;
      }
      std::string_view prefix;
      if (a.qname.size() > 5) {
        prefix = a.qname.substr(6);
        if (cm_xml_same(prefix, "xml") || cm_xml_same(prefix, "xmlns") || a.value.empty())
          return false;
      }
      if (cm_xml_same(a.value, kXmlUri) || cm_xml_same(a.value, kXmlnsUri)) return false;
      m_bindings.push_back(Binding{prefix, std::string(a.value), depth, a.ascii});
      ++m_generation;
    }
    m_attrs.resize(kept);
    m_names.resize(kept);
  }

  static const Binding kNone{std::string_view(), std::string(), 0, true};
  const std::string_view prefix =
      colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon);
  if (cm_xml_same(prefix, "xml") || cm_xml_same(prefix, "xmlns")) return false;
  binding = Pvt_Bound(prefix, known);
  if (binding == nullptr) {
    if (!prefix.empty()) return false;  // unbound prefix
    binding = &kNone;
  }

  for (size_t i = 0; i < m_attrs.size(); ++i) {
    CM_XmlScanAttr& attr = m_attrs[i];
    const size_t attr_colon = m_names[i].colon;
    if (attr_colon == std::string_view::npos) continue;
    const std::string_view attr_prefix = attr.qname.substr(0, attr_colon);
    if (cm_xml_same(attr_prefix, "xml")) {
      attr.uri = kXmlUri;
    } else {
      const Binding* bound = Pvt_Bound(attr_prefix, m_names[i].known);
      if (bound == nullptr) return false;
      attr.uri = bound->uri;
    }
    attr.local = attr.qname.substr(attr_colon + 1);
    // Two prefixes of one namespace make the same attribute twice.
    for (size_t j = 0; j < i; ++j)
      if (cm_xml_same(m_attrs[j].local, attr.local) && cm_xml_same(m_attrs[j].uri, attr.uri))
        return false;
  }

  // A tag that declares nothing and whose name still holds its slot is the shape of the next
  // one of its name (attribute names may have taken the slot over).
  if (!declares && plain && m_attrs.size() <= kShapeAttrs && known.token != nullptr &&
      m_known[known.slot].qname.data() == known.token) {
    Shape& shape = m_shapes[known.slot];
    shape.token = known.token;
    shape.generation = m_generation;
    shape.binding = binding;
    shape.count = m_attrs.size();
    shape.empty = empty;
    const char* const begin = m_in.data();
    for (size_t i = 0; i < m_attrs.size(); ++i) {
      Shape::Attr& a = shape.attrs[i];
      const CM_XmlScanAttr& attr = m_attrs[i];
      a.lead = m_in.substr(starts[i], value_at[i] - starts[i]);
      a.name_at = static_cast<size_t>(attr.qname.data() - (begin + starts[i]));
      a.name_size = attr.qname.size();
      a.colon = m_names[i].colon;
      a.uri = attr.uri;
    }
    shape.tail = m_in.substr(tail_at, m_at - tail_at);
  }
  return true;
}

// The open element's name, compared as written, then blanks and ">".
bool CM_XmlScanner::Pvt_EndTag() {
  m_at += 2;  // "</"
  const std::string_view open = m_open.back();
  if (m_in.size() - m_at <= open.size() || !cm_xml_same(m_in.substr(m_at, open.size()), open))
    return false;
  m_at += open.size();
  // Anything but a blank or ">" would continue the name.
  if (m_in[m_at] != '>' && !space(m_in[m_at])) return false;
  Pvt_SkipSpace();
  if (m_at >= m_in.size() || m_in[m_at] != '>') return false;
  ++m_at;
  m_handler->EndElement();
  Pvt_Unbind(m_open.size());
  m_open.pop_back();
  return true;
}

void CM_XmlScanner::Pvt_Unbind(size_t depth) {
  if (m_bindings.empty() || m_bindings.back().depth != depth) return;
  while (!m_bindings.empty() && m_bindings.back().depth == depth) m_bindings.pop_back();
  ++m_generation;
}

size_t CM_XmlScanner::Pvt_Run(uint8_t what) {
  const size_t start = m_at;
  const char* const end = m_in.data() + m_in.size();
  const char* p = m_in.data() + m_at;
  while (p != end && is(*p, what)) ++p;
  m_at = static_cast<size_t>(p - m_in.data());
  return start;
}

// A quoted value: blanks become spaces, references are replaced, "<" is an error.
bool CM_XmlScanner::Pvt_AttValue(CM_XmlScanAttr& attr, std::string& slot, bool& decoded) {
  if (m_at >= m_in.size() || (m_in[m_at] != '"' && m_in[m_at] != '\'')) return false;
  const char quote = m_in[m_at++];
  const size_t start = m_at;
  // Most values are plain ASCII up to the closing quote.
  const char* closing = plain_value_end(m_in.data() + start, m_in.data() + m_in.size(), quote);
  if (closing != nullptr) {
    const size_t end = static_cast<size_t>(closing - m_in.data());
    attr.value = m_in.substr(start, end - start);
    decoded = false;
    attr.ascii = true;
    m_at = end + 1;
    return true;
  }
  std::string* out = nullptr;
  for (;;) {
    const size_t run = Pvt_Run(kValue);
    if (out != nullptr) out->append(m_in.substr(run, m_at - run));
    if (m_at >= m_in.size()) return false;
    const char c = m_in[m_at];
    if (c == quote) break;
    if (c == '&' || c == '\t' || c == '\n' || c == '\r') {
      if (out == nullptr) {
        out = &slot;
        out->assign(m_in.substr(start, m_at - start));
      }
      if (c == '&') {
        if (!Pvt_Reference(*out)) return false;
      } else {
        // A line end, "\r\n" or a lone "\r", is one blank, as is a tab or line feed.
        out->push_back(' ');
        m_at += c == '\r' && m_in.substr(m_at, 2) == "\r\n" ? 2 : 1;
      }
    } else if (c == '"' || c == '\'') {  // the other quote
      if (out != nullptr) out->push_back(c);
      ++m_at;
    } else if (static_cast<unsigned char>(c) < 0x80 || !Pvt_Char(out)) {
      return false;  // "<" or a control character, or not a character at all
    }
  }
  decoded = out != nullptr;
  attr.value = decoded ? std::string_view(*out) : m_in.substr(start, m_at - start);
  attr.ascii = ascii_only(attr.value.data(), attr.value.size());
  ++m_at;
  return true;
}

// Character data up to the next markup; "]]>" is an error in it.
bool CM_XmlScanner::Pvt_Content() {
  // Mostly blanks between tags, or a title: a run of plain bytes up to the next tag.
  const size_t start = m_at;
  const char* const stop = text_run_end(m_in.data() + m_at, m_in.data() + m_in.size());
  if (stop == m_in.data() + m_in.size() || *stop != '<') return Pvt_DecodedContent(start);
  m_at = static_cast<size_t>(stop - m_in.data());
  if (m_handler->WantsText() && m_at > start)
    m_handler->Characters(m_in.substr(start, m_at - start));
  return true;
}

bool CM_XmlScanner::Pvt_DecodedContent(size_t start) {
  m_at = start;
  bool decoding = false;
  for (;;) {
    const size_t run = m_at;
    m_at = static_cast<size_t>(text_run_end(m_in.data() + m_at, m_in.data() + m_in.size()) -
                               m_in.data());
    if (decoding) m_text.append(m_in.substr(run, m_at - run));
    if (m_at >= m_in.size()) return false;
    const char c = m_in[m_at];
    if (c == '<') break;
    if (c == '&' || c == '\r') {
      if (!decoding) {
        m_text.assign(m_in.substr(start, m_at - start));
        decoding = true;
      }
      if (c == '&') {
        if (!Pvt_Reference(m_text)) return false;
      } else {
        // Line ends come out as "\n", whether written "\r\n" or "\r".
        m_text.push_back('\n');
        m_at += m_in.substr(m_at, 2) == "\r\n" ? 2 : 1;
      }
    } else if (c == ']' && m_in.substr(m_at, 3) != "]]>") {
      if (decoding) m_text.push_back(c);
      ++m_at;
    } else if (static_cast<unsigned char>(c) < 0x80 || !Pvt_Char(decoding ? &m_text : nullptr)) {
      return false;  // "]]>" or a control character, or not a character at all
    }
  }
  if (!m_handler->WantsText())
    return true;
  else if (decoding)
    m_handler->Characters(m_text);
  else if (m_at > start)
    m_handler->Characters(m_in.substr(start, m_at - start));
  return true;
}

// "&name;" of the five predefined entities, or a character reference.
bool CM_XmlScanner::Pvt_Reference(std::string& out) {
  ++m_at;  // '&'
  const size_t end = m_in.find(';', m_at);
  if (end == std::string_view::npos || end - m_at > 10) return false;
  const std::string_view ref = m_in.substr(m_at, end - m_at);
  m_at = end + 1;
  if (ref.empty()) return false;
  if (ref[0] != '#') {
    static const struct {
      std::string_view name;
      char c;
    } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    for (const auto& e : kEntities)
      if (ref == e.name) {
        out.push_back(e.c);
        return true;
      }
    return false;
  }
  const bool hex = ref.size() > 1 && ref[1] == 'x';
  const std::string_view digits = ref.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t value = 0;
  for (char d : digits) {
    uint32_t v;
    if (d >= '0' && d <= '9')
      v = static_cast<uint32_t>(d - '0');
    else if (hex && d >= 'a' && d <= 'f')
      v = static_cast<uint32_t>(d - 'a' + 10);
    else if (hex && d >= 'A' && d <= 'F')
      v = static_cast<uint32_t>(d - 'A' + 10);
    else
      return false;
    value = value * (hex ? 16 : 10) + v;
  }
  if (!plain_char(value)) return false;
  append_utf8(value, out);
  return true;
}

// One UTF-8 encoded character outside ASCII, checked strictly (no overlong forms, surrogates or
// values past U+10FFFF) and appended to out when given.
bool CM_XmlScanner::Pvt_Char(std::string* out) {
  const unsigned char lead = static_cast<unsigned char>(m_in[m_at]);
  size_t n;
  uint32_t c;
  if (lead < 0xC2) {
    return false;
  } else if (lead < 0xE0) {
    n = 2;
    c = lead & 0x1F;
  } else if (lead < 0xF0) {
    n = 3;
    c = lead & 0x0F;
  } else if (lead < 0xF5) {
    n = 4;
    c = lead & 0x07;
  } else {
    return false;
  }
  if (m_in.size() - m_at < n) return false;
  for (size_t i = 1; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(m_in[m_at + i]);
    if ((b & 0xC0) != 0x80) return false;
    c = (c << 6) | (b & 0x3F);
  }
  if ((n == 3 && c < 0x800) || (n == 4 && c < 0x10000) || !plain_char(c)) return false;
  if (out != nullptr) out->append(m_in.substr(m_at, n));
  m_at += n;
  return true;
}
