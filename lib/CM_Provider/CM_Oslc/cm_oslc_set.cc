#include "CM_Provider/CM_Oslc/cm_oslc_set.h"

#include <string>
#include <utility>

#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"

namespace {

const char* const kTag = "CMOSLC";
const char* const kClass = "CM_OslcSet";
const char* const kSourcePath = "lib/CM_Provider/CM_Oslc/cm_oslc_set";

// Steps of writing one link, as message 29 reports them.
enum {
  kPosOpenLink = 378,
  kPosResource = 386,
  kPosTitle = 394,
  kPosCloseLink = 400,
};

std::string oslc_message(int number) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), number);
}

}  // namespace

CM_OslcSet::CM_OslcSet() { CM_TraceScope scope(kTag, kClass, "CM_OslcSet"); }

CM_OslcSet::~CM_OslcSet() { CM_TraceScope scope(kTag, kClass, "~CM_OslcSet"); }

int CM_OslcSet::Initv2(const CM_Session& session, CM_OslcGet& get_request,
                       const SUM_String& property) {
  CM_TraceScope scope(kTag, kClass, "Initv2");
  m_session = session;
  const SUM_String& label = m_session.get_cert_label();
  scope.print(4, "Setting cert label to %s", label.c_str());
  m_request.set_cert_label(label.str());

  // A failed Init shows in Run's result; nothing to decide here.
  (void)m_request.Init();

  SUM_String stable_id;
  int status = get_request.GetStableId(stable_id);
  if (status == 0 && stable_id.GetLength() == 0) {
    // A record without rdf:about has no address to write to.
    status = CM_OSLC_BAD_ANSWER;
  }
  if (status != 0) {
    scope.print(4, "Get stable id failed with %d", status);
    m_error_text = oslc_message(kOslcNoStableId);
    return status;
  }
  scope.print(4, "Stable id = %s", stable_id.c_str());
  // The record's document names the address; the login and cookie must not follow it elsewhere.
  const SUM_String base_url = m_session.get_web_url();
  if (!cm_rest_same_origin(stable_id.str(), base_url.str())) {
    scope.print(2, "Refusing to send to %s: not the origin of %s", stable_id.c_str(),
                base_url.c_str());
    m_error_text = format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcForeignOrigin,
                                  stable_id.c_str(), base_url.c_str());
    return CM_OSLC_SET_FOREIGN_ORIGIN;
  }
  m_request.SetBaseUri(stable_id);
  m_request.AppendNameValue("oslc.properties", SUM_String("oslc_cm:") + property);

  m_request.SetUsername(m_session.get_user_name());
  m_request.SetPassword(m_session.get_user_password());
  m_request.SetCookie(m_session.GetCookie());

  // The tag of the read makes the update conditional: a tracker refuses it (412) when another
  // writer changed the record in between, instead of losing that writer's links.
  const SUM_String& etag = get_request.GetETag();
  if (etag.GetLength() > 0) {
    scope.print(4, "Setting If-Match to %s", etag.c_str());
    status = m_request.AppendHeader(SUM_String("If-Match: ") + etag);
    if (status != 0) return status;
  }

  status = Pvt_InitXmlDocv2(stable_id);
  if (status != 0) {
    scope.print(4, "Pvt_InitXmlDocv2 failed with %d", status);
    m_error_text = oslc_message(kOslcInvalidDocument);
    return status;
  }
  m_initialized = 1;
  m_executed = 0;
  return 0;
}

int CM_OslcSet::Pvt_InitXmlDocv2(const SUM_String& stable_id) {
  CM_TraceScope scope(kTag, kClass, "Pvt_InitXmlDocv2");
  const CM_XmlTag root_tag(ns_rdf(), "RDF");
  const CM_XmlTag record_tag(ns_oslc_cm(), tag_oslc_cm_ChangeRequest().Name());

  // Traced, each body shows the DOM builder's steps, as a builder of its own per record.
  if (scope.is_enabled(3)) {
    m_traced = std::make_unique<CM_XmlTracedWriter>();
    m_document = m_traced.get();
  } else {
    m_traced.reset();
    m_writer.Clear();
    m_document = &m_writer;
  }
  scope.print(4, "Initializing XML doc...");
  int status = m_document->CreateRootElem(root_tag);
  if (status != 0) return status;
  scope.print(4, "Root element %s created", root_tag.Name().c_str());

  status = Pvt_SetNamespaces();
  if (status != 0) return status;
  scope.print(4, "Root element namespaces added");

  status = m_document->PushElem(record_tag);
  if (status != 0) return status;
  status = m_document->AddAttr(tag_rdf_about(), stable_id);
  if (status != 0) return status;
  scope.print(4, "Stable ID added to ChangeRequest element");
  return 0;
}

int CM_OslcSet::Pvt_SetNamespaces() {
  CM_TraceScope scope(kTag, kClass, "Pvt_SetNamespaces");
  for (const CM_XmlNamespace* ns : {&ns_oslc(), &ns_oslc_cm(), &ns_mr(), &ns_dcterms()}) {
    int status = m_document->SetNamespace(*ns);
    if (status != 0) return status;
  }
  return 0;
}

void CM_OslcSet::Pvt_InternalError(int position) {
  m_error_text =
      format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcInternal, kSourcePath, position);
}

int CM_OslcSet::SetLinksValues(const CM_XmlTag& links_field, const CM_LinksMap& links) {
  CM_LinkList list;
  list.links.reserve(links.size());
  for (const auto& link : links) {
    const std::string_view title = list.Keep(link.second ? link.second->GetName() : SUM_String());
    list.links.push_back(CM_LinkView{sum_view(link.first), title});
  }
  return SetLinkList(links_field, list);
}

int CM_OslcSet::SetLinkList(const CM_XmlTag& links_field, const CM_LinkList& list) {
  CM_TraceScope scope(kTag, kClass, "SetLinksValues(map)");
  if (!m_document || m_initialized != 1) {
    cm_internal_error(kSourcePath, __LINE__);
    Pvt_InternalError(kPosOpenLink);
    return CM_XML_INTERNAL;
  }
  CM_XmlWriter::EmptyElem fast;
  size_t left = list.links.size();
  for (const CM_LinkView& link : list.links) {
    const int status = Pvt_AddLink(links_field, fast, link.selector, link.title, --left);
    if (status != 0) return status;
  }
  return 0;
}

int CM_OslcSet::Pvt_AddLink(const CM_XmlTag& links_field, CM_XmlWriter::EmptyElem& fast,
                            std::string_view selector, std::string_view title, size_t left) {
  // Untraced, the writer takes a link in one step once it knows the names (after its first link):
  // the calls below remain for the rest, with their refusals.
  if (m_document == &m_writer) {
    if (!fast.found())
      m_writer.FindEmptyElem(links_field, tag_rdf_resource(), tag_dcterms_title(), fast);
    if (m_writer.WriteEmptyElem(fast, selector, title, left)) return 0;
  }
  const CM_XmlTag& resource_tag = tag_rdf_resource();
  const CM_XmlTag& title_tag = tag_dcterms_title();
  // A half-built body must never be sent: a failure spends the update until the next Initv2.
  const auto failed = [this](int status, int position) {
    Pvt_InternalError(position);
    m_initialized = 0;
    return status;
  };
  int status = m_document->PushElem(links_field);
  if (status != 0) return failed(status, kPosOpenLink);
  status = m_document->AddAttr(resource_tag,
                               SUM_String(selector.data(), static_cast<int>(selector.size())));
  if (status != 0) return failed(status, kPosResource);
  status = m_document->AddAttr(title_tag, SUM_String(title.data(), static_cast<int>(title.size())));
  if (status != 0) return failed(status, kPosTitle);
  status = m_document->PopElem();
  if (status != 0) return failed(status, kPosCloseLink);
  return 0;
}

int CM_OslcSet::Execute() {
  CM_TraceScope scope(kTag, kClass, "Execute");
  if (!m_document || m_initialized != 1) {
    cm_internal_error(kSourcePath, __LINE__);
    return CM_OSLC_BAD_DOCUMENT;
  }
  if (m_document->PopElem() != 0) return CM_OSLC_BAD_DOCUMENT;

  // The body goes to the request by move: a large update is not copied on its way.
  std::string body;
  if ((m_traced ? m_traced->Str(body) : m_writer.Take(body)) != 0) {
    m_error_text = oslc_message(kOslcInvalidDocument);
    return CM_OSLC_BAD_DOCUMENT;
  }
  // The document is spent: a second Execute without Initv2 must not send it again.
  m_initialized = 0;
  m_request.TakeUploadData(std::move(body));
  // Only a failure's body is read: the record a tracker sends back after the update is not.
  m_request.KeepSuccessBody(false);
  std::string response;
  const int status = m_request.Run(response);

  SUM_String cookie;
  m_request.GetCookie(cookie);
  if (cookie.GetLength() > 0 && m_session.UpdateCookie(cookie) != 0) {
    m_error_text = oslc_message(kOslcCookieNotUpdated);
    return CM_OSLC_COOKIE_NOT_STORED;
  }

  if (status == CM_REST_NOT_FOUND) {
    m_error_text = m_request.error_msg();
    CM_RestUri::get_server_error(response, m_error_text);
    return CM_OSLC_UPDATE_GONE;
  }
  if (status == 0) {
    m_executed = 1;
    return 0;
  }
  m_error_text = cm_oslc_request_error(m_request);
  return status;
}
