#include "CM_Provider/CM_Oslc/cm_oslc_get.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <numeric>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_index.h"
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"

namespace {

const char* const kTag = "CMOSLC";
const char* const kClass = "CM_OslcGet";
// Pvt_StreamLinkList: the reader's answer does not settle the question.
const int kUnsure = -1;

std::string oslc_message(int number) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), number);
}

// The ETag among the answer's header lines; empty when there is none or it is not one line of
// visible ASCII that could go back in an If-Match header.
SUM_String etag_of(const CM_RestUri& request) {
  SUM_StringList lines;
  if (request.GetResponseHeaders(lines) != 0) return SUM_String();
  static const char kName[] = "etag:";
  std::string found;
  for (int i = 0; i < lines.count(); ++i) {
    const std::string line = lines[i].str();
    if (line.size() < sizeof kName - 1 || strncasecmp(line.c_str(), kName, sizeof kName - 1) != 0)
      continue;
    const size_t start = line.find_first_not_of(" \t", sizeof kName - 1);
    const size_t end = line.find_last_not_of(" \t");
    found = start == std::string::npos ? std::string() : line.substr(start, end - start + 1);
  }
  for (char c : found)
    if (c < 0x20 || c > 0x7e) return SUM_String();
  return SUM_String(found);
}

// Whether description about is "#" + id.
bool names_link(std::string_view about, std::string_view id) {
  return about.size() == id.size() + 1 && about[0] == '#' && about.substr(1) == id;
}

// Whether two links have one ID: an open-addressing table of indices, one allocation.
bool has_duplicate(const std::vector<CM_XmlRecord::Link>& links) {
  size_t slots = 16;
  while (slots < links.size() * 2) slots *= 2;
  std::vector<uint32_t> table(slots, 0);  // index + 1; 0 is free
  const std::hash<std::string_view> hash;
  for (size_t i = 0; i < links.size(); ++i) {
    const std::string_view id = links[i].id;
    for (size_t at = hash(id) & (slots - 1);; at = (at + 1) & (slots - 1)) {
      if (table[at] == 0) {
        table[at] = static_cast<uint32_t>(i + 1);
        break;
      }
      if (links[table[at] - 1].id == id) return true;
    }
  }
  return false;
}

// Each link's title: that of the first description whose rdf:about is "#" + its rdf:ID; null
// when none is. Trackers list the descriptions in the order of the links, after a few others:
// then the links' run of descriptions is checked in step, and only the few before it searched,
// instead of indexing every description (a hash of 100,000 titles costs more in cache misses
// than all the rest of reading them).
std::vector<const CM_XmlRecord::Title*> link_titles(const CM_XmlRecord& record) {
  const std::vector<CM_XmlRecord::Link>& links = record.links;
  const std::vector<CM_XmlRecord::Description>& all = record.descriptions;
  std::vector<const CM_XmlRecord::Title*> titles(links.size(), nullptr);
  if (links.empty()) return titles;
  const size_t kFewBefore = 8;
  size_t start = 0;
  while (start < all.size() && start <= kFewBefore &&
         !names_link(all[start].about, links[0].raw_id))
    ++start;
  bool in_step = start <= kFewBefore && all.size() - start >= links.size();
  for (size_t i = 0; in_step && i < links.size(); ++i) {
    in_step = names_link(all[start + i].about, links[i].raw_id);
    titles[i] = &all[start + i].title;
  }
  // A description before the run naming a link would be that link's first.
  for (size_t j = 0; in_step && j < start; ++j)
    for (const CM_XmlRecord::Link& link : links)
      if (names_link(all[j].about, link.raw_id)) in_step = false;
  if (in_step) return titles;

  std::unordered_map<std::string_view, const CM_XmlRecord::Title*> first;
  first.reserve(all.size());
  for (const CM_XmlRecord::Description& description : all)
    first.emplace(description.about, &description.title);
  std::string about;
  for (size_t i = 0; i < links.size(); ++i) {
    about.assign(1, '#');
    about.append(links[i].raw_id);
    const auto at = first.find(about);
    titles[i] = at == first.end() ? nullptr : at->second;
  }
  return titles;
}

}  // namespace

std::string cm_oslc_request_error(CM_RestUri& request) {
  std::string text = request.error_msg();
  if (!text.empty()) return text;
  SUM_StringList headers;
  std::string status_line = "no answer";
  if (request.GetResponseHeaders(headers) == 0) {
    // The last status line counts: an interim 100 answer may precede it.
    for (int i = 0; i < headers.count(); ++i)
      if (headers[i].Find("HTTP/") == 0) status_line = headers[i].str();
  }
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcServerError, status_line.c_str());
}

CM_OslcGet::CM_OslcGet() { CM_TraceScope scope(kTag, kClass, "CM_OslcGet"); }

CM_OslcGet::~CM_OslcGet() {
  CM_TraceScope scope(kTag, kClass, "~CM_OslcGet");
  // Element wrappers point into the parser's document: drop them first.
  m_record_elem = CM_XmlElem();
  m_description_elem = CM_XmlElem();
  m_parser.reset();
  m_record.reset();
}

int CM_OslcGet::Init(const CM_Session& session, const SUM_String& record_id) {
  CM_TraceScope scope(kTag, kClass, "Init(session, record_id)");
  m_session = session;
  const SUM_String& label = m_session.get_cert_label();
  scope.print(4, "Setting cert label to %s", label.c_str());
  m_request.set_cert_label(label.str());

  int status = m_request.Init();
  if (status != 0) return status;

  m_request.SetBaseUri(m_session.get_web_url());
  const int escape = 1;
  m_request.AppendResourceParam("repo", escape);
  m_request.AppendResourceParam(m_session.get_dbset(), escape);
  m_request.AppendResourceParam("db", escape);
  m_request.AppendResourceParam(m_session.get_user_database_name(), escape);
  m_request.AppendResourceParam("record", escape);
  m_request.AppendNameValue("vqm.name", record_id);

  m_request.SetUsername(m_session.get_user_name());
  m_request.SetPassword(m_session.get_user_password());
  m_request.SetCookie(m_session.GetCookie());

  m_record_id = record_id;
  m_executed = 0;
  m_initialized = 1;
  m_stable_id.Empty();
  return 0;
}

int CM_OslcGet::Execute() {
  CM_TraceScope scope(kTag, kClass, "Execute");
  m_executed = 1;
  m_initialized = 0;
  // Whatever happens below, the record of an earlier Execute must not be taken for this one.
  m_record_elem = CM_XmlElem();
  m_record.reset();
  m_stable_id.Empty();

  std::string response;
  int status = m_request.Run(response);
  scope.print(4, "Return status from Run = %d", status);
  m_etag = status == 0 ? etag_of(m_request) : SUM_String();

  // The server may renew the session even on a failing answer: keep the cookie first.
  SUM_String cookie;
  m_request.GetCookie(cookie);
  if (cookie.GetLength() > 0 && m_session.UpdateCookie(cookie) != 0) {
    m_error_text = oslc_message(kOslcCookieNotUpdated);
    return CM_OSLC_COOKIE_NOT_STORED;
  }

  if (status != 0) {
    m_error_text = cm_oslc_request_error(m_request);
    scope.print(4, "Return error message from Run = %s", m_error_text.c_str());
    return status;
  }
  return Pvt_ReadAnswer(scope, std::move(response), !scope.is_enabled(3));
}

int CM_OslcGet::ReadAnswer(std::string answer, bool may_stream) {
  CM_TraceScope scope(kTag, kClass, "ReadAnswer");
  m_record_elem = CM_XmlElem();
  return Pvt_ReadAnswer(scope, std::move(answer), may_stream);
}

int CM_OslcGet::Pvt_ReadAnswer(const CM_TraceScope& scope, std::string answer, bool may_stream) {
  // Execute has already dropped the record element; a traced read shows each wrapper it makes.
  m_description_elem = CM_XmlElem();
  m_stable_id.Empty();
  m_record.reset();
  m_answer = std::move(answer);
  if (may_stream) {
    if (!m_reader) m_reader = std::make_unique<CM_XmlRecordReader>(record_shape());
    auto record = std::make_unique<CM_XmlRecord>();
    if (m_reader->Read(m_answer, tag_oslc_cm_tracksChangeSet(), *record)) {
      m_record = std::move(record);
      return 0;
    }
  }
  Pvt_NewParser();
  scope.print(4, "Parser %s NULL", m_parser ? "is not" : "is");

  const int status = Pvt_ParseOutRecordNodeV2();
  if (status != 0) {
    scope.print(4, "Error status from Pvt_ParseOutRecordNodeV2 = %d", status);
    m_error_text = oslc_message(kOslcNotUnderstood);
    return CM_OSLC_BAD_ANSWER;
  }
  scope.print(4, "Return status from Pvt_ParseOutRecordNodeV2 = %d", status);
  return 0;
}

void CM_OslcGet::Pvt_NewParser() {
  m_record.reset();
  // The spent parser's Xerces objects serve this response too: built once per COMMIT.
  std::unique_ptr<CM_XmlParser::Kit> kit = m_parser ? m_parser->TakeKit() : nullptr;
  m_parser.reset();
  m_parser = std::make_unique<CM_XmlParser>(m_answer, std::move(kit));
  m_answer.clear();
}

int CM_OslcGet::Pvt_ParseOutRecordNodeV2() {
  CM_TraceScope scope(kTag, kClass, "Pvt_ParseOutRecordNodeV2");
  CM_XmlElem root;
  int status = m_parser->GetRoot(root);
  scope.print(4, "Status from GetRoot = %d", status);
  if (status != 0) return status;

  scope.print(4, "Looking for %s", tag_rdf_Description().QualifiedName().c_str());
  status = root.Child(tag_rdf_Description(), m_description_elem);
  if (status != 0) return status;

  scope.print(4, "Looking for %s", tag_rdfs_member().QualifiedName().c_str());
  CM_XmlElem member;
  status = m_description_elem.Child(tag_rdfs_member(), member);
  if (status != 0) return status;

  scope.print(4, "Looking for %s", tag_oslc_cm_ChangeRequest().QualifiedName().c_str());
  return member.Child(tag_oslc_cm_ChangeRequest(), m_record_elem);
}

int CM_OslcGet::GetStableId(SUM_String& stable_id) {
  CM_TraceScope scope(kTag, kClass, "GetStableId");
  if (m_stable_id.GetLength() > 0) {
    scope.print(4, "stable id = %s", m_stable_id.c_str());
    stable_id = m_stable_id;
    return 0;
  }
  scope.print(4, "Getting stable id");
  if (m_record) {
    stable_id = m_record->about;
    m_stable_id = stable_id;
    return 0;
  }
  if (m_record_elem.IsNil()) {
    // Nothing was read successfully: there is no record to ask.
    m_error_text = oslc_message(kOslcNoStableId);
    return CM_XML_NOT_FOUND;
  }
  int status = m_record_elem.find_attribute(tag_rdf_about().QualifiedName(), stable_id);
  if (status != 0) {
    m_error_text = oslc_message(kOslcNoStableId);
    return status;
  }
  scope.print(4, "Returning stable id %s", stable_id.c_str());
  m_stable_id = stable_id;
  return 0;
}

int CM_OslcGet::Pvt_CollectLinkIds(const CM_TraceScope& scope, const CM_XmlTag& links_field,
                                   CM_XmlElem elem,
                                   std::map<SUM_String, SUM_String>& id_to_resource,
                                   std::string& error_text) {
  const SUM_String resource_name = tag_rdf_resource().QualifiedName();
  const SUM_String id_name = tag_rdf_ID().QualifiedName();
  int status = 0;
  for (;;) {
    SUM_String resource;
    status = elem.find_attribute(resource_name, resource);
    if (status != 0) {
      error_text = oslc_message(kOslcNoAttribute);
      scope.print(4, "Error getting attribute %s", resource_name.c_str());
      break;
    }
    SUM_String id;
    status = elem.find_attribute(id_name, id);
    if (status != 0) {
      error_text = oslc_message(kOslcNoAttribute);
      scope.print(4, "Error getting attribute %s", id_name.c_str());
      break;
    }
    // Without a resource or an ID the link cannot be written back as it was: writing the rest
    // would drop it from the tracker.
    if (resource.GetLength() == 0 || id.GetLength() == 0) {
      error_text = oslc_message(kOslcNoAttribute);
      error_text +=
          "A link of record \"" + m_record_id.str() + "\" has no " +
          (resource.GetLength() == 0 ? resource_name.str() : id_name.str()) +
          (resource.GetLength() == 0 ? std::string() : " (resource \"" + resource.str() + "\")") +
          "; the record's links were left unchanged.\n";
      return CM_OSLC_LINKS_UNREADABLE;
    }
    SUM_String key = SUM_String("#") + id;
    scope.print(4, "Found Resource = %s, id = %s", resource.c_str(), key.c_str());
    // A second link with the same ID would vanish from the map, and from the record on writing.
    if (!id_to_resource.emplace(key, resource).second) {
      error_text = format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcDuplicateId,
                                  m_record_id.c_str(), id.c_str());
      return CM_OSLC_LINKS_UNREADABLE;
    }

    status = elem.OptNextSibling(elem);
    scope.print(4, "Status from OptNextSibling = %d", status);
    if (status != 0) {
      error_text = oslc_message(kOslcNoAttribute);
      break;
    }
    CM_XmlTag tag;
    status = elem.Tag(tag);
    if (status != 0) break;
    if (!(tag == links_field)) {
      // The links end here. A further link after another property would be lost on writing.
      CM_XmlElem rest = elem;
      while (rest.OptNextSibling(rest) == 0) {
        CM_XmlTag rest_tag;
        if (rest.Tag(rest_tag) == 0 && rest_tag == links_field) {
          error_text = "Record \"" + m_record_id.str() + "\" lists its " +
                       links_field.QualifiedName().str() +
                       " links apart from each other; the record's links were left unchanged.\n";
          return CM_OSLC_LINKS_UNREADABLE;
        }
      }
      return 0;
    }
  }
  return status == CM_XML_NOT_FOUND ? 0 : status;
}

std::string CM_OslcGet::Pvt_NoProperty(const SUM_String& field_name) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcNoChild, field_name.c_str());
}

int CM_OslcGet::Pvt_StreamLinkList(const CM_XmlTag& links_field, CM_LinkList& list,
                                   std::string& error_text) {
  list.Clear();
  const CM_XmlRecord& record = *m_record;
  if (!record.has_property) {
    error_text = Pvt_NoProperty(links_field.Name());
    return CM_OSLC_NO_PROPERTY;
  }
  if (!record.links_plain) return kUnsure;
  // An ID twice is the DOM read's failure; more links than an index holds are left to it too.
  if (record.links.size() >= UINT32_MAX || has_duplicate(record.links)) return kUnsure;
  const std::vector<const CM_XmlRecord::Title*> titles = link_titles(record);
  const std::vector<CM_XmlRecord::Link>& all = record.links;
  list.links.reserve(all.size());
  // ASCII titles are native text as they stand; the others are converted here.
  const bool ascii_native = native_ascii_is_identity();
  // Trackers list the links in resource order, each resource once: then the list needs no sort.
  bool ascending = true;
  for (size_t i = 0; i < all.size(); ++i) {
    const CM_XmlRecord::Title* title = titles[i];
    if (title == nullptr || !title->found || !title->plain) return kUnsure;
    std::string_view text = title->text;
    if (!ascii_native || !ascii_only(text.data(), text.size())) {
      SUM_String native;
      if (!utf8_to_native(text, native)) return kUnsure;
      text = list.Keep(std::move(native));
    }
    list.links.push_back(CM_LinkView{all[i].resource, text});
    ascending = ascending && (i == 0 || all[i - 1].resource < all[i].resource);
  }
  if (!ascending) {
    // By resource; of equal resources the first in ID order stays, as in the DOM read's map,
    // which goes by ID.
    std::vector<uint32_t> order(all.size());
    std::iota(order.begin(), order.end(), 0U);
    std::sort(order.begin(), order.end(), [&all](uint32_t a, uint32_t b) {
      const int by_resource = all[a].resource.compare(all[b].resource);
      return by_resource != 0 ? by_resource < 0 : all[a].id < all[b].id;
    });
    std::vector<CM_LinkView> sorted;
    sorted.reserve(order.size());
    for (size_t k = 0; k < order.size(); ++k) {
      if (k > 0 && all[order[k]].resource == all[order[k - 1]].resource) continue;
      sorted.push_back(list.links[order[k]]);
    }
    list.links.swap(sorted);
  }
  // The DOM walk leaves this text behind when it runs out of siblings.
  if (record.run_to_end) error_text = oslc_message(kOslcNoAttribute);
  return 0;
}

int CM_OslcGet::GetLinksValues(const CM_XmlTag& links_field, CM_LinksMap& links,
                               std::string& error_text) {
  CM_LinkList list;
  const int status = GetLinkList(links_field, list, error_text);
  if (status != 0) return status;
  // Only a complete set reaches the caller; any resource already in the map stays. In resource
  // order, each new last key goes in at the end without a search.
  for (const CM_LinkView& link : list.links) {
    SUM_String key(link.selector.data(), static_cast<int>(link.selector.size()));
    auto at = links.end();
    if (!links.empty() && !links.key_comp()(std::prev(at)->first, key)) {
      at = links.lower_bound(key);
      if (at != links.end() && !links.key_comp()(key, at->first)) continue;
    }
    const SUM_String title(link.title.data(), static_cast<int>(link.title.size()));
    links.emplace_hint(at, std::move(key), links.NewVersion(title));
  }
  return 0;
}

int CM_OslcGet::GetLinkList(const CM_XmlTag& links_field, CM_LinkList& list,
                            std::string& error_text) {
  CM_TraceScope scope(kTag, kClass, "GetLinksValues");
  scope.print(4, "Checking for %s tag", links_field.Name().c_str());
  if (m_record && links_field == m_record->field) {
    const int status = Pvt_StreamLinkList(links_field, list, error_text);
    if (status != kUnsure) return status;
  }
  list.Clear();
  return Pvt_DomLinks(scope, links_field, list, error_text);
}

int CM_OslcGet::Pvt_DomLinks(const CM_TraceScope& scope, const CM_XmlTag& links_field,
                             CM_LinkList& list, std::string& error_text) {
  const SUM_String& field_name = links_field.Name();
  if (m_record) {
    // The reader's answer does not cover this question: the DOM of the same bytes does.
    Pvt_NewParser();
    if (Pvt_ParseOutRecordNodeV2() != 0) {
      error_text = oslc_message(kOslcNotUnderstood);
      return CM_OSLC_BAD_ANSWER;
    }
  }

  if (m_record_elem.IsNil() || !m_parser) {
    // No record was read: answering "no links" here would let a caller clear the record.
    cm_internal_error("lib/CM_Provider/CM_Oslc/cm_oslc_get", __LINE__);
    error_text = oslc_message(kOslcNotUnderstood);
    return CM_XML_INTERNAL;
  }
  CM_XmlElem first;
  if (m_record_elem.OptChild(links_field, first) != 0) {
    scope.print(4, "Could not find field = %s", field_name.c_str());
    error_text = Pvt_NoProperty(field_name);
    return CM_OSLC_NO_PROPERTY;
  }

  std::map<SUM_String, SUM_String> id_to_resource;
  int status = Pvt_CollectLinkIds(scope, links_field, first, id_to_resource, error_text);
  if (status != 0) return status;

  if (scope.is_enabled(4)) {
    scope.print(4, "id to resource map....Start");
    for (const auto& entry : id_to_resource)
      scope.print(4, "id = \"%s\", resource = \"%s\"", entry.first.c_str(), entry.second.c_str());
    scope.print(4, "id to resource map....End");
  }

  CM_XmlElem root;
  status = m_parser->GetRoot(root);
  if (status != 0) return status;

  // Index the descriptions by rdf:about once, so that finding every title costs O(links).
  scope.print(4, "Calling get_rdf_description_nodes");
  CM_XmlDescriptionIndex descriptions;
  status = descriptions.Build(root.Node(), tag_rdf_Description().QualifiedName());
  if (status != 0) {
    error_text = oslc_message(kOslcNoAttribute);
    return status;
  }

  scope.print(4, "Find title for each link");
  std::map<SUM_String, SUM_String> found;  // resource -> title
  for (const auto& entry : id_to_resource) {
    const SUM_String& key = entry.first;
    const SUM_String& resource = entry.second;
    scope.print(4, "Getting title for %s", key.c_str());
    CM_XmlText wanted;
    status = wanted.Convert(key);
    // What went wrong, for a text that says which link and why.
    const char* problem = "has an rdf:ID that cannot be converted";
    int message = kOslcNoAttribute;
    SUM_String title;
    if (status == 0) {
      const int found = descriptions.Find(wanted.get());
      if (found < 0) {
        status = CM_XML_NOT_FOUND;
        problem = "has no rdf:Description giving its title";
      } else {
        CM_XmlElem description(descriptions.At(found));
        CM_XmlElem title_elem;
        status = description.Child(tag_dcterms_title(), title_elem);
        if (status != 0) {
          problem = "has a description without dcterms:title";
        } else {
          // All of the title or none: a title cut at a CDATA section or comment would be
          // written back shortened.
          status = title_elem.TextContent(title, 1);
          if (status == CM_XML_NOT_FOUND) {
            problem = "has a title holding markup, not only text";
          } else {
            problem = "has a title that the native code page cannot hold";
            message = kOslcNotNative;
          }
        }
      }
    }
    scope.print(4, "Status from get_body_from_nodelist = %d", status);
    if (status != 0) {
      error_text = oslc_message(message);
      error_text += "The link to \"" + resource.str() + "\" (" + key.str() + ") of record \"" +
                    m_record_id.str() + "\" " + problem +
                    "; the record's links were left unchanged.\n";
      return status == CM_XML_NOT_FOUND ? CM_OSLC_LINKS_UNREADABLE : status;
    }
    scope.print(4, "Found body %s for resource %s", title.c_str(), resource.c_str());
    found.emplace(resource, title);
  }
  // Only a complete set reaches the caller, in resource order.
  list.links.reserve(found.size());
  for (auto& entry : found)
    list.links.push_back(CM_LinkView{list.Keep(entry.first), list.Keep(std::move(entry.second))});
  return 0;
}
