// CM_XmlRecordReader: reads a record answer in one pass of CM_XmlScanner and collects what the
// record read's DOM navigation would find: the record's rdf:about, the run of its link elements
// and the title of each description, without building nodes. It only answers when it is sure to
// agree with the DOM: whatever the scanner is unsure of, names outside ASCII, nesting past the
// DOM's cap and text that the native code page cannot hold make it "unsure", and the caller reads
// the same bytes through CM_XmlParser, whose statuses and messages then apply. Needs no Xerces.
// Prints nothing; no exception escapes. Used by the record read when its XML calls are untraced.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_RECORD_READER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_RECORD_READER_H

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_xml_names.h"
#include "CM_Provider/CM_Oslc/cm_xml_scanner.h"

// What a sure read found. Texts are in the native code page unless said to be UTF-8. They are
// views into the answer read, which must outlive the record unchanged, or into the record's own
// store where the answer does not hold them as they are (references replaced, another page).
struct CM_XmlRecord {
  CM_XmlRecord() = default;
  CM_XmlRecord(const CM_XmlRecord&) = delete;
  CM_XmlRecord& operator=(const CM_XmlRecord&) = delete;
  CM_XmlRecord(CM_XmlRecord&&) = default;
  CM_XmlRecord& operator=(CM_XmlRecord&&) = default;

  struct Link {
    std::string_view id;  // rdf:ID
    std::string_view resource;
    std::string_view raw_id;  // UTF-8, as the document has it, for the title lookup
  };
  struct Title {
    bool found = false;     // the description has a title child
    bool plain = true;      // which holds text only
    std::string_view text;  // UTF-8
  };
  CM_XmlTag field;            // the links field the answer was read for
  SUM_String about;           // the record's rdf:about ("" when it has none)
  bool has_property = false;  // the record has a child of the links field
  bool links_plain = true;    // every link of the run has both attributes, in native text, and
                              // no link of the field stands apart from the run
  std::vector<Link> links;    // the run of link elements from the first one, in document order
  bool run_to_end = false;    // no element of the record follows the run
  struct Description {
    std::string_view about;  // rdf:about, UTF-8 ("" when it has none)
    Title title;             // of its first dcterms:title child
  };
  // Every rdf:Description below the document element, in document order. A link's title is
  // that of the first one whose rdf:about is "#" + its rdf:ID.
  std::vector<Description> descriptions;

  // Texts the answer does not hold as they are; a deque, so that views stay valid as it grows.
  std::deque<std::string> store;

  // The title of the first description carrying about; null when none does. Searches linearly.
  const Title* FindTitle(std::string_view about) const;
};

class CM_XmlRecordReader {
 public:
  explicit CM_XmlRecordReader(const CM_XmlRecordShape& shape);
  ~CM_XmlRecordReader();
  CM_XmlRecordReader(const CM_XmlRecordReader&) = delete;
  CM_XmlRecordReader& operator=(const CM_XmlRecordReader&) = delete;

  // true when body holds a record where the shape says and out says what the DOM would; false
  // when unsure. out's texts may be views into body.
  bool Read(const std::string& body, const CM_XmlTag& links_field, CM_XmlRecord& out);

 private:
  class Handler;
  std::unique_ptr<Handler> m_handler;
  CM_XmlScanner m_scanner;
};

#endif
