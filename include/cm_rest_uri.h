// CM_RestUri: one HTTP(S) request to the tracker's OSLC REST interface over libcurl's easy
// interface, and CM_RestUriGet, its GET variant. Exported: the plug-in's record classes and other
// programs that link libcmmrv1_0.so build and send their requests with these classes.
//
// Use: construct a variant, optionally set_cert_label, Init(), SetBaseUri and the Append
// operations, credentials and cookie, SetUploadData for methods with a body, Run() once, then
// GetCookie / error_msg / GetResponseHeaders. A further request on the same object starts with
// Init() again. One object serves one thread at a time.
//
// Ownership: each object owns its HTTP library handle and header list, kept behind an opaque
// pointer so that nothing of the library shows here. A copy (copy constructor or operator=) gets
// a handle of its own, with every option that points into an object re-pointed at the copy's own
// fields, so no handle or list is ever released twice and copies run independently.
//
// The transport knows no server's protocol: the variants below speak the tracker's (its header
// lines, and the messages of its error bodies added to error_msg).
//
// Status codes: CM_REST_* below. No method throws.
#ifndef CM_REST_URI_H
#define CM_REST_URI_H

#include <cstddef>
#include <memory>
#include <string>

#include "cm_export.h"
#include "sum_string.h"

enum {
  CM_REST_OK = 0,
  CM_REST_NO_COOKIE = 1002,         // no session cookie in the response
  CM_REST_INTERNAL = 1072,          // operation called in the wrong state
  CM_REST_HTTP_ERROR = 20001,       // unexpected HTTP status or unreadable error body
  CM_REST_NOT_FOUND = 20003,        // 404
  CM_REST_AUTH_FAILED = 20004,      // 401, 403
  CM_REST_TRANSFER_FAILED = 20005,  // the transfer failed
  CM_REST_OPTION_REFUSED = 20006,   // an HTTP library option was refused
};

enum HttpMethodType { GET = 0, PUT = 1, POST = 2, DELETE = 3 };

class CM_RestProtocol;

class CM_EXPORT CM_RestUri {
 public:
  CM_RestUri();
  CM_RestUri(const CM_RestUri& other);
  CM_RestUri& operator=(const CM_RestUri& other);
  virtual ~CM_RestUri();

  void SetBaseUri(const SUM_String& uri);
  // "/" then the segment, URL-escaped when escape is non-zero, verbatim otherwise.
  void AppendResourceParam(const SUM_String& segment, const int& escape);
  // The separator ("?" for the first query parameter after Init, "&" after it), then escaped text.
  void AppendValue(const SUM_String& value);
  void AppendNameValue(const SUM_String& name, const SUM_String& value);
  // name=v1,v2,... with every piece escaped; an empty list leaves "name=".
  void AppendNameValues(const SUM_String& name, const SUM_StringList& values);

  void SetUsername(const SUM_String& user);
  void SetPassword(const SUM_String& password);
  void SetCookie(const SUM_String& cookie);
  void GetCookie(SUM_String& cookie) const;
  // Client certificate label; empty means none. Takes effect at the next Init.
  void set_cert_label(std::string label);
  // Makes this request use the connection cache of a libcurl share handle (CURLSH*; null: its
  // own cache again), so that the requests of one commit reuse each other's keep-alive
  // connections. The caller owns the share; it must outlive the request or be detached first.
  void SetConnectionShare(void* share);

  // Request body for PUT and POST; needed after every Init that precedes such a Run.
  void SetUploadData(const SUM_String& body);
  // The same, keeping the caller's text instead of a copy of it.
  void TakeUploadData(std::string&& body);
  // Whether Run keeps the body of a 200 or 201 answer (kept by default). A caller that reads
  // only failures' bodies spares the copy of a large one; it still counts against the cap.
  void KeepSuccessBody(bool keep);
  // Sends the request once. response receives the body up to its first NUL byte (nothing of a
  // success not kept); it is left as it was for a 401, an empty body or a failed transfer.
  int Run(std::string& response);
  // The header lines of the last response without CR LF; 1072 before any Run.
  int GetResponseHeaders(SUM_StringList& out) const;
  std::string error_msg();
  // Replaces the error text, e.g. to drop the messages of a try that is being repeated.
  void set_error_msg(const std::string& text) { m_error_text = text; }
  // One more header line ("Name: value") for the request prepared by the last Init; the next
  // Init drops it. 0, or 20006 when the line holds a CR, LF or NUL or cannot be added.
  int AppendHeader(const SUM_String& line);
  // Outcome of the last Run, for callers that decide whether to try again: the libcurl result
  // (0 once a transfer completed, -1 when none was attempted since Init) and the HTTP status
  // (0 when no answer arrived).
  int GetTransferStatus() const { return m_transfer_status; }
  long GetHttpStatus() const { return m_http_status; }

  // Appends the server's oslc_cm:message texts in the error body to message, each followed by a
  // line feed. 0, or 20001 when the body is not XML or holds no message.
  static int get_server_error(const std::string& body, std::string& message);

  virtual int Init() = 0;

 protected:
  int Init(HttpMethodType method);
  // The protocol whose header lines and error bodies this request uses (null: none); it must
  // live as long as the request. Copies keep it.
  void SetProtocol(const CM_RestProtocol* protocol);

 private:
  struct UploadCursor {
    const char* data;
    size_t size;
    size_t pos;
  };
  // The library handle, the header list of the last Init and the protocol; defined inside.
  struct Pvt_Handles;

  SUM_String GetPreSep();
  int ParseSessionCookie();
  int SetHttpMethodType(HttpMethodType method);
  void Pvt_SetUpload(std::string&& body);
  static size_t WriteMemoryCallback(void* data, size_t size, size_t count, void* user);
  static size_t WriteHeaderCallback(void* data, size_t size, size_t count, void* user);
  static size_t ReadMemoryCallback(void* dest, size_t size, size_t count, void* user);
  // Gives this object's handle options that point into the object (after a duplication).
  void Pvt_RepointHandle();

  int m_first_param;
  int m_initialized;
  int m_has_run;
  SUM_String m_base_uri;
  SUM_String m_resource;
  SUM_String m_username;
  SUM_String m_password;
  std::string m_cert_label;
  SUM_String m_cookie;
  std::unique_ptr<Pvt_Handles> m_handles;
  // Unused, always empty: the upload text lives with the handles. Kept so that the object keeps
  // its size and layout for programs built against earlier headers.
  SUM_String m_upload_data;
  UploadCursor m_upload;
  SUM_StringList m_response_headers;
  std::string m_error_text;
  int m_transfer_status = -1;
  long m_http_status = 0;
};

class CM_EXPORT CM_RestUriGet : public CM_RestUri {
 public:
  CM_RestUriGet();
  CM_RestUriGet(const CM_RestUriGet& other);
  CM_RestUriGet& operator=(const CM_RestUriGet& other);
  ~CM_RestUriGet() override;

  int Init() override;
};

#endif
