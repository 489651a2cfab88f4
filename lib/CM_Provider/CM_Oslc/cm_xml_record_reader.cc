// The streaming record reader.
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"

#include <string_view>

#include "CM_Provider/CM_Oslc/cm_xml_parser.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"

namespace {

bool ascii(std::string_view text) { return ascii_only(text.data(), text.size()); }

struct Name {
  std::string uri;
  std::string local;
  bool matches(std::string_view u, std::string_view l) const { return local == l && uri == u; }
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

  bool Start(const CM_XmlTag& links_field, CM_XmlRecord& out) {
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
    m_capture = kNone;
    m_capture_depth = 0;
    return !m_field.local.empty() && !m_path[0].local.empty() && !m_path[1].local.empty() &&
           !m_path[2].local.empty() && !m_title.local.empty();
  }

  bool Found() const { return m_found == 3; }
  bool RunToEnd() const { return m_run == 1; }

  bool StartElement(std::string_view uri, std::string_view local, std::string_view qname,
                    const std::vector<CM_XmlScanAttr>& attrs) override {
    if (++m_depth > kMaxElementDepth) return false;  // the DOM refuses it
    // The DOM's lookups convert every name they pass; only ASCII names convert for certain.
    if (!ascii(uri)) return false;
    if (m_capture != kNone) Captured().plain = false;  // markup inside a title

    // The record: the first match of each step among the children of the step before.
    if (m_depth == 1) {
      m_open = 1;
    } else if (m_depth == m_open + 1 && m_open == m_found + 1) {
      if (m_found < 3 && m_path[m_found].matches(uri, local)) {
        ++m_found;
        ++m_open;
        if (m_found == 3 && !utf8_to_native(attr(attrs, "rdf:about"), m_out->about)) return false;
      } else if (m_found == 3) {
        Link(uri, local, attrs);
      }
    }

    // A title: the first dcterms:title child of a description.
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth - 1 &&
        !m_descriptions.back().title_seen && m_title.matches(uri, local)) {
      m_descriptions.back().title_seen = true;
      m_capture = m_descriptions.back().index;
      Captured().found = true;
      m_capture_depth = m_depth;
    }
    // Descriptions go by their written name, at any depth below the document element.
    if (m_depth >= 2 && qname == "rdf:Description") {
      m_out->descriptions.push_back(
          CM_XmlRecord::Description{std::string(attr(attrs, "rdf:about")), CM_XmlRecord::Title()});
      m_descriptions.push_back(Open{m_depth, false, m_out->descriptions.size() - 1});
    }
    return true;
  }

  void EndElement() override {
    if (m_capture != kNone && m_depth == m_capture_depth) m_capture = kNone;
    if (!m_descriptions.empty() && m_descriptions.back().depth == m_depth)
      m_descriptions.pop_back();
    if (m_depth == m_open) --m_open;
    --m_depth;
  }

  void Characters(std::string_view text) override {
    if (m_capture != kNone && m_depth == m_capture_depth) Captured().text.append(text);
  }

 private:
  struct Open {
    int depth;
    bool title_seen;
    size_t index;  // in the record's descriptions
  };
  static constexpr size_t kNone = static_cast<size_t>(-1);

  CM_XmlRecord::Title& Captured() { return m_out->descriptions[m_capture].title; }

  static std::string_view attr(const std::vector<CM_XmlScanAttr>& attrs, std::string_view qname) {
    for (const CM_XmlScanAttr& a : attrs)
      if (a.qname == qname) return a.value;
    return std::string_view();
  }

  // A child of the record: the links are the run of link-field elements from the first one.
  void Link(std::string_view uri, std::string_view local,
            const std::vector<CM_XmlScanAttr>& attrs) {
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
    found.raw_id = attr(attrs, "rdf:ID");
    if (!utf8_to_native(found.raw_id, found.id) ||
        !utf8_to_native(attr(attrs, "rdf:resource"), found.resource) || found.id.GetLength() == 0 ||
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
    if (!m_handler->Start(links_field, out) || !m_scanner.Scan(body, *m_handler)) return false;
    out.run_to_end = m_handler->RunToEnd();
    return m_handler->Found();
  } catch (...) {
    return false;  // out of memory: the DOM read will say so
  }
}
