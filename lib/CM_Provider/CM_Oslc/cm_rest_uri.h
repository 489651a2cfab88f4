// Library-internal side of the HTTP transport: CM_RestUriPut, the PUT variant used by the record
// update. Callers: the OSLC record classes and the transport's own tests. CM_RestUri and
// CM_RestUriGet themselves are public (cm_rest_uri.h in include/), reached through this header too.
#ifndef CM_PROVIDER_CM_OSLC_CM_REST_URI_H
#define CM_PROVIDER_CM_OSLC_CM_REST_URI_H

// Angle brackets: the public header of the same name, not this file.
#include <cm_rest_uri.h>

#include <cstddef>
#include <string>

// Largest response body a request accepts; a longer one fails the transfer (20005).
constexpr size_t CM_REST_MAX_RESPONSE = size_t{256} * 1024 * 1024;
// Defaults of the transfer limits, overridable through the options CMI_CONNECT_TIMEOUT,
// CMI_STALL_TIMEOUT (seconds; a stall is less than CM_REST_LOW_SPEED_BYTES per second for that
// long, so a trickle is stopped too) and CMI_TRANSFER_TIMEOUT (seconds for the whole request).
constexpr long CM_REST_CONNECT_TIMEOUT = 30;
constexpr long CM_REST_STALL_TIMEOUT = 120;
constexpr long CM_REST_TRANSFER_TIMEOUT = 600;
constexpr long CM_REST_LOW_SPEED_BYTES = 1024;

// The PUT request of the record update. Not exported.
class CM_RestUriPut : public CM_RestUri {
 public:
  CM_RestUriPut();
  CM_RestUriPut(const CM_RestUriPut& other);
  CM_RestUriPut& operator=(const CM_RestUriPut& other);
  ~CM_RestUriPut() override;

  int Init() override;
};

// One received header line as kept for GetResponseHeaders: cut at a NUL byte, without its line
// end (CR LF or a bare LF).
std::string cm_rest_header_line(const char* data, size_t size);

// The session cookie ("JSESSIONID=value") set by the last Set-Cookie line carrying one that ends
// in ';'; empty when no line does.
std::string cm_rest_session_cookie(const SUM_StringList& lines);

// True when both URLs parse and share scheme, host and port (a missing port read as the scheme's
// default; scheme and host compared without case). Credentials and the session cookie go only to
// the origin of the base URL.
bool cm_rest_same_origin(const std::string& url, const std::string& base_url);

// Path of the PEM file holding certificate and key for a label in the user's certificate store
// ("<home>/.Corvane/.Registry/Tarnwell/CMI/Certs/<label>.pem"); empty when the label cannot name
// a file there (empty, or holding "/" or a leading ".").
std::string cm_rest_cert_file(const std::string& label);

// The value of a transport option (TAPIR_<NAME> first, then the user's settings); empty when
// unset. Read at each use, so a change takes effect at the next request.
std::string cm_rest_option(const char* name);

#endif
