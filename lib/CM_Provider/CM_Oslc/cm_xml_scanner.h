// CM_XmlScanner: a strict, allocation-light scanner of the plain XML a tracker answers with:
// UTF-8, XML 1.0 with namespaces, elements, attributes, text, the five predefined entities and
// character references. Anything else (DOCTYPE, comments, CDATA, processing instructions, another
// encoding or version, names outside ASCII, control characters, a well-formedness error) ends the
// scan as "unsure": the caller then reads the same bytes with Xerces, whose statuses and messages
// apply. It never accepts what Xerces would refuse, and hands out the names and texts Xerces would.
// Needs no Xerces; throws nothing but what a failed allocation throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_SCANNER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_SCANNER_H

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// n bytes equal, a word at a time, without a library call: names and the values handlers look
// for are a few words long.
inline bool cm_xml_same_bytes(const char* a, const char* b, size_t n) {
  if (n < 8) {
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  uint64_t x, y;
  for (size_t i = 0; i + 8 <= n; i += 8) {
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  memcpy(&x, a + n - 8, 8);
  memcpy(&y, b + n - 8, 8);
  return x == y;
}

inline bool cm_xml_same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && cm_xml_same_bytes(a.data(), b.data(), a.size());
}

// One attribute of a start tag. Views are valid until the handler call returns.
struct CM_XmlScanAttr {
  std::string_view qname;  // as written
  std::string_view uri;    // of its prefix; empty when unprefixed
  std::string_view local;  // the name after the prefix
  std::string_view value;  // normalised, references replaced (UTF-8)
  bool ascii = true;       // value holds ASCII only
};

// The name of a start tag. Views are valid until the handler call returns.
struct CM_XmlScanTag {
  std::string_view uri;  // of its prefix, or the default namespace; empty when none
  std::string_view local;
  std::string_view qname;  // as written
  bool uri_ascii = true;   // uri holds ASCII only
};

// What a scan reports, in document order. Views are valid until the call returns. A handler that
// returns false ends the scan as unsure.
class CM_XmlScanHandler {
 public:
  virtual ~CM_XmlScanHandler() = default;
  virtual bool StartElement(const CM_XmlScanTag& tag, const std::vector<CM_XmlScanAttr>& attrs) = 0;
  virtual void EndElement() = 0;
  // Character data of the element last started and not yet ended, possibly in several pieces.
  virtual void Characters(std::string_view text) = 0;
  // Whether Characters would keep any text now: while it would not, the scanner checks character
  // data without handing it over.
  bool WantsText() const { return m_wants_text; }

 protected:
  bool m_wants_text = true;  // kept by the handler as its elements start and end
};

class CM_XmlScanner {
 public:
  // true when body is a well-formed document of the plain kind and the handler saw all of it.
  bool Scan(std::string_view body, CM_XmlScanHandler& handler);

 private:
  struct Binding {
    std::string_view prefix;  // empty for the default namespace
    std::string uri;
    size_t depth;  // of the element declaring it
    bool ascii;    // uri holds ASCII only
  };
  // A name read before in this document, and what its prefix was bound to then.
  struct Known {
    std::string_view qname;  // in the document; empty in a free slot
    size_t colon;
    const Binding* binding;  // valid while m_generation is generation
    uint64_t generation;
  };
  // Where Pvt_Name left a name: its slot, and the slot's text then (a slot passes to another
  // name when a later one of the same tag hashes alike).
  struct NameRef {
    size_t slot = 0;
    const char* token = nullptr;  // null: no slot
  };
  // What the handler does not see of an attribute in m_attrs.
  struct AttrName {
    size_t colon;  // position of the prefix's colon, npos when unprefixed
    NameRef known;
  };
  // A start tag as written last time under its name, up to each value. A document repeats its
  // tags byte for byte apart from the values: a tag that matches one here has the same names,
  // prefixes and bindings, none of them to read, resolve or check again.
  static constexpr size_t kShapeAttrs = 4;
  struct Shape {
    const char* token = nullptr;       // the name's slot text when it was written; null: none
    uint64_t generation = 0;           // the bindings it was resolved under
    const Binding* binding = nullptr;  // of the tag's prefix
    size_t count = 0;                  // of attributes, all with plain values
    bool empty = false;
    struct Attr {
      std::string_view lead;  // from the end of the name or value before to the opening quote
      size_t name_at;         // the attribute's name in lead
      size_t name_size;
      size_t colon;
      std::string_view uri;
    } attrs[kShapeAttrs];
    std::string_view tail;  // from the end of the last value or the name to ">" or "/>"
  };

  bool Pvt_Prolog();
  bool Pvt_Element();
  bool Pvt_StartTag(bool& empty);
  // The rest of a start tag whose name was read (into m_attrs): as its shape when it repeats one,
  // else read and checked in full.
  bool Pvt_Repeated(const NameRef& known, const Binding*& binding, bool& empty);
  bool Pvt_Attributes(std::string_view qname, size_t colon, const NameRef& known,
                      const Binding*& binding, bool& empty);
  bool Pvt_EndTag();
  bool Pvt_Content();
  // Pvt_Content of text with references, line ends or characters past ASCII, from start.
  bool Pvt_DecodedContent(size_t start);
  bool Pvt_Name(std::string_view& name, size_t& colon, NameRef& known);
  // Sets attr's value and ascii; decodes into slot only when the value needs it (decoded true),
  // else the value is a view of the document.
  bool Pvt_AttValue(CM_XmlScanAttr& attr, std::string& slot, bool& decoded);
  bool Pvt_Reference(std::string& out);
  bool Pvt_Char(std::string* out);
  const Binding* Pvt_Resolve(std::string_view prefix) const;
  // Pvt_Resolve, remembered in the name's slot until the bindings change.
  const Binding* Pvt_Bound(std::string_view prefix, const NameRef& known);
  void Pvt_SkipSpace();
  // Drops the bindings declared at depth.
  void Pvt_Unbind(size_t depth);
  // Moves past the bytes of class what; returns where the run began.
  size_t Pvt_Run(uint8_t what);

  std::string_view m_in;
  size_t m_at = 0;
  CM_XmlScanHandler* m_handler = nullptr;
  std::vector<Binding> m_bindings;
  std::vector<std::string_view> m_open;  // qnames of open elements
  // The attributes of the start tag being read, written in place and handed to the handler once
  // their prefixes are resolved and the declarations among them taken out.
  std::vector<CM_XmlScanAttr> m_attrs;
  std::vector<AttrName> m_names;  // of m_attrs, index for index
  // Decoded attribute values, reused; never grown past the room reserved for them, so that the
  // values of m_attrs stay where they are while the tag is read.
  std::vector<std::string> m_values;
  std::string m_text;  // decoded character data, reused
  // The few names a document repeats, found by their first eight bytes and compared a word at a
  // time instead of read byte by byte.
  std::array<Known, 64> m_known{};
  std::array<Shape, 64> m_shapes{};  // by the slot of their name in m_known
  uint64_t m_generation = 0;         // counts changes of m_bindings
};

#endif
