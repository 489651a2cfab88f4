// CM_XmlRecordReader: reads a record answer in one streaming pass (SAX2 over Xerces'
// well-formedness scanner) and collects what the record read's DOM navigation would find: the
// record's rdf:about, the run of its link elements and the title of each description, without
// building nodes. It only answers when it is sure to agree with the DOM: anything unusual (DOCTYPE,
// comments, CDATA, processing instructions, another encoding or XML version, a parse error or
// warning, names outside ASCII, text that the native code page cannot hold) makes it "unsure", and
// the caller reads the same bytes through CM_XmlParser, whose statuses and messages then apply.
// Same hardening as CM_XmlParser: no DTD, no external entities, a security manager and the
// nesting cap. Keeps Xerces initialised while it lives (counted) and its parser between reads.
// Prints nothing; no exception escapes. Used by the record read when its XML calls are untraced.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_RECORD_READER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_RECORD_READER_H

#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_xml_names.h"

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class SecurityManager;
XERCES_CPP_NAMESPACE_END

// What a sure read found. Texts are in the native code page unless said otherwise.
struct CM_XmlRecord {
  struct Link {
    SUM_String id;  // rdf:ID
    SUM_String resource;
    std::u16string raw_id;  // as the document has it, for the title lookup
  };
  struct Title {
    bool found = false;  // the description has a title child
    bool plain = true;   // which holds text only
    std::u16string text;
  };
  CM_XmlTag field;            // the links field the answer was read for
  SUM_String about;           // the record's rdf:about ("" when it has none)
  bool has_property = false;  // the record has a child of the links field
  bool links_plain = true;    // every link of the run has both attributes, in native text, and
                              // no link of the field stands apart from the run
  std::vector<Link> links;    // the run of link elements from the first one, in document order
  bool run_to_end = false;    // no element of the record follows the run
  // rdf:about -> title of the first description carrying it.
  std::unordered_map<std::u16string, Title> titles;
};

class CM_XmlRecordReader {
 public:
  explicit CM_XmlRecordReader(const CM_XmlRecordShape& shape);
  ~CM_XmlRecordReader();
  CM_XmlRecordReader(const CM_XmlRecordReader&) = delete;
  CM_XmlRecordReader& operator=(const CM_XmlRecordReader&) = delete;

  // true when body holds a record where the shape says and out says what the DOM would; false
  // when unsure.
  bool Read(const std::string& body, const CM_XmlTag& links_field, CM_XmlRecord& out);

 private:
  class Handler;
  std::unique_ptr<Handler> m_handler;
  std::unique_ptr<XERCES_CPP_NAMESPACE::SecurityManager> m_security;
  std::unique_ptr<XERCES_CPP_NAMESPACE::SAX2XMLReader> m_parser;
  bool m_xerces_ready = false;
};

#endif
