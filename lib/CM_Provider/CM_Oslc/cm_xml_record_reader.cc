// The streaming record reader.
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "CM_Provider/CM_Oslc/cm_xml_parser.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"

namespace {

bool ascii(std::string_view text) { return ascii_only(text.data(), text.size()); }

struct Name {
  std::string uri;
  std::string local;
  bool matches(std::string_view u, std::string_view l) const {
    return cm_xml_same(local, l) && cm_xml_same(uri, u);
  }
};

// A name of the vocabulary; its empty local part (never matched) when not ASCII.
Name name_of(const CM_XmlTag& tag) {
  Name name{tag.URI().str(), tag.Name().str()};
  return ascii(name.uri) && ascii(name.local) ? name : Name();
}

}  // namespace

const CM_XmlRecord::Title* CM_XmlRecord::FindTitle(std::string_view about) const {
  for (const Description& description : descriptions)
    if (description.about == about) return &description.title;
  return nullptr;
}

// Unsure, by returning false, where the DOM could answer otherwise.
class CM_XmlRecordReader::Handler : public CM_XmlScanHandler {
 public:
  explicit Handler(const CM_XmlRecordShape& shape)
      : m_path{name_of(shape.description), name_of(shape.member), name_of(shape.record)},
        m_title(name_of(shape.title)) {}

  bool Start(const CM_XmlTag& links_field, std::string_view body, CM_XmlRecord& out) {
    m_out = &out;
    m_body = body;
    UConverter* converter = nullptr;
    m_ascii_native = get_native_converter(&converter) == 0 && native_ascii_is_identity();
    m_first_link = nullptr;
    if (!(links_field == m_field_tag)) {
      m_field_tag = links_field;
      m_field = name_of(links_field);
    }
    m_depth = 0;
    m_found = 0;
    m_open = 0;
    m_run = 0;
    m_descriptions.clear();
    m_capture = kNone;
    m_capture_depth = 0;
    m_wants_text = false;
    return !m_field.local.empty() && !m_path[0].local.empty() && !m_path[1].local.empty() &&
           !m_path[2].local.empty() && !m_title.local.empty();
  }

  bool Found() const { return m_found == 3; }
  bool RunToEnd() const { return m_run == 1; }

  bool StartElement(const CM_XmlScanTag& tag, const std::vector<CM_XmlScanAttr>& attrs) override {
    if (++m_depth > kMaxElementDepth) return false;  // the DOM refuses it
    // The DOM's lookups convert every name they pass; only ASCII names convert for certain.
    if (!tag.uri_ascii) return false;
    const std::string_view uri = tag.uri;
    const std::string_view local = tag.local;
    if (m_capture != kNone) Captured().plain = false;  // markup inside a title

    // The record: the first match of each step among the children of the step before.
    if (m_depth == 1) {
      m_open = 1;
    } else if (m_depth == m_open + 1 && m_open == m_found + 1) {
      if (m_found < 3 && m_path[m_found].matches(uri, local)) {
        ++m_found;
        ++m_open;
        if (m_found == 3 && !utf8_to_native(value(attr(attrs, "rdf:about")), m_out->about))
          return false;
      } else if (m_found == 3) {
        Link(tag, attrs);
      }
    }

    // A title: the first dcterms:title child of a description.
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth - 1 &&
        !m_descriptions.back().title_seen && m_title.matches(uri, local)) {
      m_descriptions.back().title_seen = true;
      m_capture = m_descriptions.back().index;
      Captured().found = true;
      m_capture_depth = m_depth;
      m_capture_store = nullptr;
    }
    // Descriptions go by their written name, at any depth below the document element.
    if (m_depth >= 2 && cm_xml_same(tag.qname, "rdf:Description")) {
      std::vector<CM_XmlRecord::Description>& all = m_out->descriptions;
      // Trackers give each link a description: room for them all at the first growth past the
      // links.
      if (all.size() == all.capacity())
        all.reserve(std::max(all.size() * 2, all.size() + m_out->links.size() + 16));
      all.push_back(
          CM_XmlRecord::Description{Keep(value(attr(attrs, "rdf:about"))), CM_XmlRecord::Title()});
      m_descriptions.push_back(Open{m_depth, false, all.size() - 1});
    }
    m_wants_text = Capturing();
    return true;
  }

  void EndElement() override {
    if (m_capture != kNone && m_depth == m_capture_depth) m_capture = kNone;
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth)
      m_descriptions.pop_back();
    if (m_depth == m_open) --m_open;
    --m_depth;
    m_wants_text = Capturing();
  }

  void Characters(std::string_view text) override {
    if (!Capturing()) return;
    CM_XmlRecord::Title& title = Captured();
    if (title.text.empty()) {
      title.text = Keep(text);
      return;
    }
    // Text on both sides of a child element comes in pieces, joined in the record's store.
    if (m_capture_store == nullptr) {
      m_out->store.emplace_back(title.text);
      m_capture_store = &m_out->store.back();
    }
    m_capture_store->append(text);
    title.text = *m_capture_store;
  }

 private:
  struct Open {
    int depth;
    bool title_seen;
    size_t index;  // in the record's descriptions
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  CM_XmlRecord::Title& Captured() { return m_out->descriptions[m_capture].title; }
  // Text here is the title's.
  bool Capturing() const { return m_capture != kNone && m_depth == m_capture_depth; }

  static const CM_XmlScanAttr* attr(const std::vector<CM_XmlScanAttr>& attrs,
                                    std::string_view qname) {
    for (const CM_XmlScanAttr& a : attrs)
      if (cm_xml_same(a.qname, qname)) return &a;
    return nullptr;
  }
  static std::string_view value(const CM_XmlScanAttr* a) {
    return a != nullptr ? a->value : std::string_view();
  }

  // text itself when it lies in the answer, else a copy in the record's store.
  std::string_view Keep(std::string_view text) {
    if (text.empty()) return std::string_view();
    const auto at = reinterpret_cast<uintptr_t>(text.data());
    const auto begin = reinterpret_cast<uintptr_t>(m_body.data());
    if (at >= begin && at - begin <= m_body.size() && text.size() <= m_body.size() - (at - begin))
      return text;
    m_out->store.emplace_back(text);
    return m_out->store.back();
  }

  // An attribute's value in the native code page; false when the page cannot hold it.
  bool Native(const CM_XmlScanAttr* a, std::string_view& out) {
    if (a == nullptr || (a->ascii && m_ascii_native)) {
      out = Keep(value(a));
      return true;
    }
    SUM_String native;
    if (!utf8_to_native(a->value, native)) return false;
    m_out->store.push_back(native.str());
    out = m_out->store.back();
    return true;
  }

  // Room for the links from the distance between the first two: they are followed by as many
  // descriptions, each about as long as a link.
  void ReserveLinks(const char* at) {
    if (m_out->links.size() != 1 || m_first_link == nullptr || at <= m_first_link) return;
    const size_t stride = std::max<size_t>(static_cast<size_t>(at - m_first_link), 32);
    const size_t rest = static_cast<size_t>(m_body.data() + m_body.size() - at);
    m_out->links.reserve(2 + rest / (2 * stride));
  }

  // A child of the record: the links are the run of link-field elements from the first one.
  void Link(const CM_XmlScanTag& tag, const std::vector<CM_XmlScanAttr>& attrs) {
    const bool link = m_field.matches(tag.uri, tag.local);
    if (m_run == 0 && !link) return;
    if (m_run == 2 || !link) {
      m_run = 2;
      if (link) m_out->links_plain = false;  // apart from the run
      return;
    }
    m_run = 1;
    m_out->has_property = true;
    CM_XmlRecord::Link found;
    const CM_XmlScanAttr* id = attr(attrs, "rdf:ID");
    found.raw_id = Keep(value(id));
    if (!Native(id, found.id) || !Native(attr(attrs, "rdf:resource"), found.resource) ||
        found.id.empty() || found.resource.empty()) {
      m_out->links_plain = false;
    }
    if (m_out->links.empty())
      m_first_link = tag.qname.data();
    else
      ReserveLinks(tag.qname.data());
    m_out->links.push_back(found);
  }

  CM_XmlRecord* m_out = nullptr;
  std::string_view m_body;
  bool m_ascii_native = false;             // ASCII text is the same in the native code page
  const char* m_first_link = nullptr;      // where the first link's name is written
  std::string* m_capture_store = nullptr;  // the title text being joined, once in pieces
  Name m_path[3];
  Name m_title;
  Name m_field;
  CM_XmlTag m_field_tag;  // the tag m_field was made of
  int m_depth = 0;
  int m_found = 0;  // steps of the record path found (description, member, record)
  int m_open = 0;   // the document element and the found steps still open
  int m_run = 0;    // 0 before the links, 1 among them, 2 after them
  std::vector<Open> m_descriptions;
  size_t m_capture = kNone;  // the description whose title is being read
  int m_capture_depth = 0;
};

CM_XmlRecordReader::CM_XmlRecordReader(const CM_XmlRecordShape& shape)
    : m_handler(std::make_unique<Handler>(shape)) {}

CM_XmlRecordReader::~CM_XmlRecordReader() = default;

bool CM_XmlRecordReader::Read(const std::string& body, const CM_XmlTag& links_field,
                              CM_XmlRecord& out) {
  out = CM_XmlRecord();
  out.field = links_field;
  try {
    if (!m_handler->Start(links_field, body, out) || !m_scanner.Scan(body, *m_handler))
      return false;
    out.run_to_end = m_handler->RunToEnd();
    return m_handler->Found();
  } catch (...) {
    return false;  // out of memory: the DOM read will say so
  }
}
