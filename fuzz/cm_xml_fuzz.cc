// Feeds arbitrary response bodies through parsing, a full walk with every navigation operation,
// the description search and the error-body lookup; checks every answer of the streaming record
// reader against the DOM; then writes the input as an attribute value with the document builder,
// checks that it reads back unchanged and that the streaming writer wrote the same bytes.
#include <xercesc/util/PlatformUtils.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_doc.h"
#include "CM_Provider/CM_Oslc/cm_xml_index.h"
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"

namespace {

const size_t kMaxVisited = 20000;
const size_t kMaxIds = 32;

void walk(CM_XmlElem root, std::vector<std::string>& ids) {
  std::vector<CM_XmlElem> pending{root};
  size_t visited = 0;
  while (!pending.empty() && visited++ < kMaxVisited) {
    CM_XmlElem e = pending.back();
    pending.pop_back();
    CM_XmlTag tag;
    e.Tag(tag);
    SUM_String text;
    e.Data(text, 1);
    CM_XmlAttr attr;
    while (e.OptNextAttr(attr) == 0) {
      attr.Tag(tag);
      attr.Value(text, 1);
    }
    if (e.find_attribute("rdf:about", text) == 0 && text.GetLength() > 0 && ids.size() < kMaxIds) {
      ids.push_back(text.str());
    }
    CM_XmlElem found;
    e.OptChild(tag_oslc_cm_tracksChangeSet(), found);
    e.OptChild(tag, found);
    CM_XmlElem child;
    if (e.OptFirstChild(child) == 0) {
      do {
        pending.push_back(child);
      } while (child.OptNextSibling(child) == 0 && pending.size() < kMaxVisited);
    }
  }
}

bool plain_text(const std::string& s) {
  // Values XML can carry unchanged: no control characters, no noncharacters U+FFFE/U+FFFF.
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

std::u16string utf16_of(const std::string& text) {
  std::u16string wide;
  if (!utf8_to_utf16(text, wide)) abort();
  return wide;
}

// A sure answer of the reader must be what the record read finds in the DOM.
void check_reader(const std::string& body) {
  static CM_XmlRecordReader reader(record_shape());
  CM_XmlRecord record;
  const CM_XmlTag& field = tag_oslc_cm_tracksChangeSet();
  if (!reader.Read(body, field, record)) return;
  CM_XmlParser parser(body);
  CM_XmlElem root, description, member, elem;
  if (parser.GetRoot(root) != 0 || root.OptChild(tag_rdf_Description(), description) != 0 ||
      description.OptChild(tag_rdfs_member(), member) != 0 ||
      member.OptChild(tag_oslc_cm_ChangeRequest(), elem) != 0)
    abort();
  SUM_String text;
  if (elem.find_attribute("rdf:about", text) != 0 || text != record.about) abort();
  CM_XmlElem link;
  if ((elem.OptChild(field, link) == 0) != record.has_property) abort();
  if (!record.has_property || !record.links_plain) return;
  CM_XmlDescriptionIndex index;
  if (index.Build(root.Node(), "rdf:Description") != 0) abort();
  CM_XmlTag tag = field;
  for (const CM_XmlRecord::Link& expected : record.links) {
    SUM_String id, resource;
    if (!(tag == field) || link.find_attribute("rdf:ID", id) != 0 || id.str() != expected.id ||
        link.find_attribute("rdf:resource", resource) != 0 || resource.str() != expected.resource)
      abort();
    const std::string about = "#" + std::string(expected.raw_id);
    const CM_XmlRecord::Title* title = record.FindTitle(about);
    const int at = index.Find(utf16_of(about).c_str());
    if ((at >= 0) != (title != nullptr)) abort();
    CM_XmlElem title_elem;
    if (at >= 0 &&
        (CM_XmlElem(index.At(at)).OptChild(tag_dcterms_title(), title_elem) == 0) != title->found)
      abort();
    if (at >= 0 && title->found && title->plain) {
      SUM_String dom_title, stream_title;
      const int rc = utf8_to_native(title->text, stream_title) ? 0 : 1001;
      if (title_elem.TextContent(dom_title, 1) != rc || (rc == 0 && dom_title != stream_title))
        abort();
    }
    if (link.OptNextSibling(link) != 0)
      tag = CM_XmlTag();
    else if (link.Tag(tag) != 0)
      abort();
  }
  // The run ended where the reader's did, and no link of the field stands apart from it.
  while (!(tag == field) && !tag.IsNil()) {
    if (link.OptNextSibling(link) != 0) break;
    if (link.Tag(tag) != 0 || tag == field) abort();
  }
  if (tag == field && !tag.IsNil()) abort();
}

void round_trip(const std::string& value) {
  if (!plain_text(value)) return;
  CM_XmlDoc doc;
  CM_XmlWriter writer;
  SUM_String written;
  for (CM_XmlBuilder* builder :
       {static_cast<CM_XmlBuilder*>(&doc), static_cast<CM_XmlBuilder*>(&writer)}) {
    if (builder->CreateRootElem(CM_XmlTag(ns_rdf(), "RDF")) != 0) abort();
    if (builder->SetNamespace(ns_oslc_cm()) != 0) abort();
    if (builder->PushElem(tag_oslc_cm_ChangeRequest()) != 0) abort();
    if (builder->AddAttr(tag_rdf_about(), value) != 0) return;  // not valid native text: refused
  }
  SUM_String body;
  if (doc.Str(body) != 0 || writer.Str(written) != 0 || written != body) abort();
  CM_XmlParser parser(body.str());
  CM_XmlElem root;
  CM_XmlElem record;
  SUM_String back;
  if (parser.GetRoot(root) != 0) abort();
  if (root.Child(tag_oslc_cm_ChangeRequest(), record) != 0) abort();
  if (record.find_attribute("rdf:about", back) != 0) abort();
  if (back.str() != value) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C.UTF-8", 1);
  // Held for the whole run, as a host using Xerces itself would: the parser's own counted
  // initialisation then never tears Xerces down between inputs.
  xercesc::XMLPlatformUtils::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  {
    CM_XmlParser parser(body);
    CM_XmlElem root;
    if (parser.GetRoot(root) == 0) {
      std::vector<std::string> ids;
      walk(root, ids);
      CM_XmlElem message;
      root.OptChild(tag_oslc_cm_message(), message);
      if (root.get_rdf_description_nodes(tag_rdf_Description().QualifiedName()) == 0) {
        ids.push_back("#missing");
        for (const std::string& id : ids) {
          SUM_String title;
          root.get_body_from_nodelist(tag_dcterms_title(), id, title);
        }
      }
    }
  }
  check_reader(body);
  if (size <= 256) round_trip(body);
  return 0;
}
