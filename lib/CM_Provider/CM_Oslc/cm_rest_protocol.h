// CM_RestProtocol: what a server's protocol adds to the HTTP transport (CM_RestUri): its own
// request header lines and the reading of its error bodies. The transport moves bytes, headers,
// cookies and statuses and knows nothing of any one server; the request variants hand it the
// tracker's protocol (cm_oslc_protocol.h). Implementations are stateless and live for the
// process; the transport only points at them.
#ifndef CM_PROVIDER_CM_OSLC_CM_REST_PROTOCOL_H
#define CM_PROVIDER_CM_OSLC_CM_REST_PROTOCOL_H

#include <cm_rest_uri.h>

#include <string>
#include <vector>

class CM_RestProtocol {
 public:
  virtual ~CM_RestProtocol() = default;
  // Header lines of a request of this method, sent before the transport's own, in this order.
  virtual std::vector<std::string> RequestHeaders(HttpMethodType method) const = 0;
  // Appends the server's messages in an error body to message. 0, or CM_REST_HTTP_ERROR when the
  // body holds none; the transport's status stays CM_REST_HTTP_ERROR either way.
  virtual int ReadErrorBody(const std::string& body, std::string& message) const = 0;
};

#endif
