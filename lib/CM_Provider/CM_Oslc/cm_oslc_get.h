// CM_OslcGet: reads one change-request record from the tracker (HTTP GET of RDF/XML), and answers
// whether it exists, what its stable URI is and which versions it links to (with their titles).
// Owned by the association engine, which reuses one object for every record of a commit; the
// record update takes the stable URI from it. Owns its request and the parser of the last answer;
// the element wrappers point into that parser's document. One thread at a time; no exception
// leaves it. Status codes: 0 success, 1002 the record has no link property (GetLinksValues only),
// 20001 cookie not stored / answer not the expected RDF/XML / links not all readable, otherwise
// the request's or the XML layer's own status.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_GET_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_GET_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <cm_version_info.h>
#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_oslc_links_map.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/cm_session.h"
#include "CM_Provider/cm_status.h"
#include "CM_Provider/cm_trace.h"

// The failed request's error text; when the server gave no message (an empty 204, a redirect),
// message 12 with the answer's status line, so that no failure goes without a text.
std::string cm_oslc_request_error(CM_RestUri& request);

class CM_OslcGet {
 public:
  CM_OslcGet();
  ~CM_OslcGet();
  CM_OslcGet(const CM_OslcGet&) = delete;
  CM_OslcGet& operator=(const CM_OslcGet&) = delete;

  // Prepares the GET of record_id: web URL + /repo/<dbset>/db/<userdb>/record?vqm.name=<id>,
  // every piece escaped, login and cookie from the session. 0 or the request's Init failure.
  int Init(const CM_Session& session, const SUM_String& record_id);
  // Sends the GET, stores a new session cookie, parses the answer and finds the record element.
  int Execute();
  // The record's rdf:about, read once per record and cached.
  int GetStableId(SUM_String& stable_id);
  // Adds the record's links of property links_field to links. Failure texts go to error_text.
  // 0; CM_OSLC_NO_PROPERTY when the record has no such property; CM_OSLC_LINKS_UNREADABLE (with
  // links left untouched) when any link of the record cannot be read in full; else the XML layer's
  // status.
  int GetLinksValues(const CM_XmlTag& links_field, CM_LinksMap& links, std::string& error_text);
  // GetLinksValues into an empty list, with the same statuses, texts and trace; left empty but
  // on success.
  int GetLinkList(const CM_XmlTag& links_field, CM_LinkList& list, std::string& error_text);
  // Execute's reading of a successful answer. may_stream lets the streaming reader answer
  // (Execute allows it while the XML layer is untraced); otherwise, and wherever the reader is
  // unsure, the answer is read into a DOM, with the same outcome.
  int ReadAnswer(std::string answer, bool may_stream);
  std::string get_error() const { return m_error_text; }
  // The ETag of the last record answer, as the tracker sent it; empty when it sent none (or one
  // that could not be sent back in a header).
  const SUM_String& GetETag() const { return m_etag; }
  // The request of the last Execute, for its outcome (status, headers).
  CM_RestUri& GetRequest() { return m_request; }
  // Lets the request reuse the connections of a libcurl share handle owned by the caller.
  void SetConnectionShare(void* share) { m_request.SetConnectionShare(share); }

 private:
  int Pvt_ReadAnswer(const CM_TraceScope& scope, std::string answer, bool may_stream);
  // A parser over m_answer in place of the reader's answer.
  void Pvt_NewParser();
  int Pvt_ParseOutRecordNodeV2();
  // GetLinkList from the reader's answer; kUnsure when that answer does not settle it.
  int Pvt_StreamLinkList(const CM_XmlTag& links_field, CM_LinkList& list, std::string& error_text);
  // GetLinkList from a DOM of the answer, traced under the caller's scope.
  int Pvt_DomLinks(const CM_TraceScope& scope, const CM_XmlTag& links_field, CM_LinkList& list,
                   std::string& error_text);
  static std::string Pvt_NoProperty(const SUM_String& field_name);
  // id ("#" + rdf:ID) -> resource of every link element of the record.
  // Part of GetLinksValues, traced under its scope.
  int Pvt_CollectLinkIds(const CM_TraceScope& scope, const CM_XmlTag& links_field, CM_XmlElem first,
                         std::map<SUM_String, SUM_String>& id_to_resource, std::string& error_text);

  std::string m_error_text;
  CM_RestUriGet m_request;
  std::unique_ptr<CM_XmlParser> m_parser;
  std::unique_ptr<CM_XmlRecordReader> m_reader;  // kept for every answer of a commit
  std::unique_ptr<CM_XmlRecord> m_record;        // set: the reader's answer stands for the DOM
  std::string m_answer;  // its bytes, which the record points into, for a DOM read when needed
  CM_XmlElem m_record_elem;
  CM_XmlElem m_description_elem;
  std::int32_t m_executed = 0;
  std::int32_t m_initialized = 0;
  SUM_String m_stable_id;
  CM_Session m_session;
  SUM_String m_record_id;
  SUM_String m_etag;
};

#endif
