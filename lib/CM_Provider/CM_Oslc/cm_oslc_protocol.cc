#include "CM_Provider/CM_Oslc/cm_oslc_protocol.h"

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_trace.h"

namespace {

const char kTag[] = "CMOSLC";
// The error-body reader has always traced as a method of the request class.
const char kClass[] = "CM_RestUri";

class OslcProtocol : public CM_RestProtocol {
 public:
  std::vector<std::string> RequestHeaders(HttpMethodType method) const override {
    if (method == PUT || method == POST) {
      // An empty Expect: the body goes out without waiting for a 100 Continue.
      return {"OSLC-Core-Version: 2.0", "Content-Type: application/rdf+xml",
              "Expect: ", "Accept: application/rdf+xml"};
    }
    return {"OSLC-Core-Version: 2.0", "Accept: application/xml"};
  }
  int ReadErrorBody(const std::string& body, std::string& message) const override {
    return CM_RestUri::get_server_error(body, message);
  }
};

}  // namespace

const CM_RestProtocol& cm_oslc_protocol() {
  static const OslcProtocol protocol;
  return protocol;
}

int CM_RestUri::get_server_error(const std::string& body, std::string& message) {
  CM_TraceScope scope(kTag, kClass, "get_server_error");
  scope.print(2, "Server response is: \"%s\"", body.c_str());
  CM_XmlParser parser(body);
  CM_XmlElem root;
  if (parser.GetRoot(root) != 0) return CM_REST_HTTP_ERROR;
  CM_XmlElem first;
  if (root.Child(tag_oslc_cm_message(), first) != 0) return CM_REST_HTTP_ERROR;
  SUM_String text;
  first.Data(text, 0);
  message += text.str();
  message += "\n";
  CM_XmlElem sibling = first;
  while (sibling.OptNextSibling(sibling) == 0) {
    CM_XmlElem child;
    if (sibling.OptChild(tag_oslc_cm_message(), child) != 0) continue;
    SUM_String more;
    child.Data(more, 0);
    message += more.str();
    message += "\n";
  }
  return CM_REST_OK;
}
