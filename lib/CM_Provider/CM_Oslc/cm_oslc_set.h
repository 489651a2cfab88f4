// CM_OslcSet: writes the complete link set of one change-request record back to the tracker with
// one selective PUT (stable URI + ?oslc.properties=oslc_cm%3A<property>), whose RDF/XML body lists
// every link the record keeps. Owned by the association engine, which reuses one object for every
// modified record, after CM_OslcGet has read that record. Owns its request and the body document.
// One thread at a time; no exception leaves it. Status codes: 0 success, 20001 body or cookie
// failure or a 404 answer, the request's own status otherwise, or the XML layer's status.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_SET_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_SET_H

#include <cstdint>
#include <memory>
#include <string>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_oslc_get.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"
#include "CM_Provider/cm_session.h"
#include "CM_Provider/cm_status.h"

// Initv2's status when the record's stable URI is not on the base URL's origin (scheme, host,
// port): nothing is sent, and get_error() says where the record pointed.
enum { CM_OSLC_SET_FOREIGN_ORIGIN = 20010 };

class CM_OslcSet {
 public:
  CM_OslcSet();
  ~CM_OslcSet();
  CM_OslcSet(const CM_OslcSet&) = delete;
  CM_OslcSet& operator=(const CM_OslcSet&) = delete;

  // Prepares the PUT for the record get_request has just read; property is the local name of the
  // link property. Starts the body: rdf:RDF with its namespaces and the open record element.
  int Initv2(const CM_Session& session, CM_OslcGet& get_request, const SUM_String& property);
  // One empty links_field element (rdf:resource, dcterms:title) per link, in key order.
  int SetLinksValues(const CM_XmlTag& links_field, const CM_LinksMap& links);
  // The same for a list of links.
  int SetLinkList(const CM_XmlTag& links_field, const CM_LinkList& list);
  // Closes the body, sends it and stores a new session cookie.
  int Execute();
  std::string get_error() const { return m_error_text; }
  // The request of the last Execute, for its outcome (status, headers).
  CM_RestUri& GetRequest() { return m_request; }
  // Lets the request reuse the connections of a libcurl share handle owned by the caller.
  void SetConnectionShare(void* share) { m_request.SetConnectionShare(share); }

 private:
  int Pvt_InitXmlDocv2(const SUM_String& stable_id);
  int Pvt_SetNamespaces();
  // One link element, in one step when the writer can, else through the builder's calls; left:
  // how many links follow.
  int Pvt_AddLink(const CM_XmlTag& links_field, CM_XmlWriter::EmptyElem& fast,
                  std::string_view selector, std::string_view title, size_t left);
  void Pvt_InternalError(int position);

  CM_RestUriPut m_request;
  // The body's builder: m_traced when traced, else m_writer, kept from record to record with the
  // names it converted.
  CM_XmlBuilder* m_document = nullptr;
  std::unique_ptr<CM_XmlTracedWriter> m_traced;
  CM_XmlWriter m_writer;
  std::int32_t m_executed = 0;
  std::int32_t m_initialized = 0;
  CM_Session m_session;
  std::string m_error_text;
};

#endif
