#include "cmi_record.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>

#include <fstream>

#include <cm_mr_credential.h>
#include <cm_rest_uri.h>

namespace {

namespace xc = XERCES_CPP_NAMESPACE;

std::string home_folder() {
  CM_MRCredential probe("", "", "", "", "");
  const std::string store = probe.get_file_path().str();
  const size_t at = store.find("/.Corvane/");
  return at == std::string::npos ? std::string(".") : store.substr(0, at);
}

// Refuses any document type declaration: a record answer never needs one, and a DTD is the
// door to entity expansion and external reads.
class NoDtdParser : public xc::XercesDOMParser {
 public:
  NoDtdParser() { getScanner()->setDisallowDTD(true); }
};

// Keeps Xerces-C's initialisation counted, so the plug-in loaded beside cmi is not disturbed.
struct XercesScope {
  XercesScope() { xc::XMLPlatformUtils::Initialize(); }
  ~XercesScope() { xc::XMLPlatformUtils::Terminate(); }
  XercesScope(const XercesScope&) = delete;
  XercesScope& operator=(const XercesScope&) = delete;
};

struct QuietErrors : xc::ErrorHandler {
  void warning(const xc::SAXParseException&) override {}
  void error(const xc::SAXParseException&) override { ++count; }
  void fatalError(const xc::SAXParseException&) override { ++count; }
  void resetErrors() override { count = 0; }
  int count = 0;
};

std::string utf8(const XMLCh* text) {
  if (text == nullptr) return "";
  xc::TranscodeToStr out(text, "UTF-8");
  return std::string(reinterpret_cast<const char*>(out.str()), out.length());
}

// The rdf:resource of every oslc_cm:tracksChangeSet element of the answer; false when the
// answer is not well-formed XML.
bool linked_selectors(const std::string& body, std::set<std::string>& out) {
  static const XMLCh kCm[] = u"http://open-services.net/ns/cm#";
  static const XMLCh kRdf[] = u"http://www.w3.org/1999/02/22-rdf-syntax-ns#";
  static const XMLCh kTracks[] = u"tracksChangeSet";
  static const XMLCh kResource[] = u"resource";
  try {
    XercesScope scope;
    QuietErrors errors;
    xc::SecurityManager security;
    security.setEntityExpansionLimit(100);
    NoDtdParser parser;
    parser.setErrorHandler(&errors);
    parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
    parser.setDoNamespaces(true);
    parser.setLoadExternalDTD(false);
    parser.setDisableDefaultEntityResolution(true);
    parser.setSecurityManager(&security);
    parser.setCreateEntityReferenceNodes(false);
    xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(body.data()), body.size(),
                                 "record", false);
    parser.parse(source);
    const xc::DOMDocument* doc = parser.getDocument();
    if (errors.count != 0 || parser.getErrorCount() != 0 || doc == nullptr) return false;
    const xc::DOMNodeList* links = doc->getElementsByTagNameNS(kCm, kTracks);
    for (XMLSize_t i = 0; links != nullptr && i < links->getLength(); ++i) {
      const auto* link = static_cast<const xc::DOMElement*>(links->item(i));
      if (link->hasAttributeNS(kRdf, kResource))
        out.insert(utf8(link->getAttributeNS(kRdf, kResource)));
    }
    return true;
  } catch (...) {
    return false;  // any Xerces-C exception: the answer cannot be read
  }
}

}  // namespace

std::string cmi_login_user(const CmiConnection& connection, std::string* password) {
  CM_MRCredential login;
  if (login.lookup(connection.provider.c_str(), connection.dbset.c_str(), connection.userdb.c_str(),
                   "") != 0)
    return "";
  if (password) *password = login.get_user_password().str();
  return login.get_user_name().str();
}

std::string cmi_cert_label() {
  std::ifstream in(home_folder() + "/.cmi_cert_label");
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

CmiRecord cmi_read_record(const CmiConnection& connection, const std::string& id) {
  CmiRecord record;
  CM_RestUriGet request;
  request.set_cert_label(cmi_cert_label());
  record.status = request.Init();
  if (record.status != 0) {
    record.error = request.error_msg();
    return record;
  }
  request.SetBaseUri(connection.baseurl.c_str());
  const int escape = 1;
  for (const std::string& segment : {std::string("repo"), connection.dbset, std::string("db"),
                                     connection.userdb, std::string("record")})
    request.AppendResourceParam(segment.c_str(), escape);
  request.AppendNameValue("vqm.name", id.c_str());
  std::string password;
  const std::string user = cmi_login_user(connection, &password);
  if (!user.empty()) {
    request.SetUsername(user.c_str());
    request.SetPassword(password.c_str());
  }
  std::string body;
  record.status = request.Run(body);
  if (record.status != 0) {
    record.error = request.error_msg();
    if (record.error.empty()) {
      std::string server;
      if (CM_RestUri::get_server_error(body, server) == 0) record.error = server;
    }
    return record;
  }
  SUM_StringList headers;
  if (request.GetResponseHeaders(headers) == 0) {
    for (int i = 0; i < headers.count(); ++i) {
      const std::string line = headers[i].str();
      if (line.size() > 5 && (line.compare(0, 5, "ETag:") == 0 ||
                              line.compare(0, 5, "etag:") == 0 || line.compare(0, 5, "Etag:") == 0))
        record.etag = true;
    }
  }
  if (!linked_selectors(body, record.links)) {
    record.status = 1;
    record.error = "the tracker's answer is not a well-formed record";
  }
  return record;
}
