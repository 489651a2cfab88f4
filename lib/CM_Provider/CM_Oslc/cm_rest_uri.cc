// One HTTP(S) request over libcurl's easy interface: URL building, headers, transfer limits,
// client certificate, status mapping and the session cookie. The protocol's header lines and
// error bodies come from the request's CM_RestProtocol.
#include "CM_Provider/CM_Oslc/cm_rest_request.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string_view>

#include <cm_option.h>
#include "CM_Provider/CM_Oslc/cm_rest_protocol.h"
#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

namespace {

const char kTag[] = "CMOSLC";
const char kClass[] = "CM_RestUri";
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_rest_uri";
const char kUserAgent[] = "Tarnwell-agent/7.1.2.9";
const char kKeystore[] = "PKV_MS_CERTIFICATE_STORE";
// Header bytes accepted per response; a server that keeps sending headers is cut off. Below
// libcurl's own limit (300 KiB), so that ours fires first and the error names its size.
const size_t kMaxHeaderBytes = size_t{256} * 1024;
// Unused room of a response beyond twice its size that is given back before it is handed over.
const size_t kMaxIdleRoom = size_t{64} * 1024;
// Answers are read in pieces this large rather than libcurl's 16 KiB: a record of many links is
// megabytes, and each piece costs a receive call and a callback.
const long kReceiveBufferBytes = 512L * 1024;

// The body collected by one Run, kept up to its first NUL byte (the response is text). Every
// byte received counts against CM_REST_MAX_RESPONSE, the dropped ones too.
struct ResponseBody {
  CURL* curl = nullptr;
  std::string text;
  size_t size = 0;           // bytes taken in, including any after a NUL
  size_t traced_room = 0;    // the room a doubling buffer would have; its growth is traced
  bool keep_success = true;  // a 200 or 201 answer's body is kept
  bool started = false;      // the first body bytes arrived (the announced length was read)
  bool cut = false;          // a NUL arrived: nothing more is kept
  bool over_cap = false;     // the body passed CM_REST_MAX_RESPONSE: transfer aborted
  bool lost = false;         // memory ran out: the rest of the body was dropped
};

struct HeaderSink {
  SUM_StringList* lines = nullptr;
  size_t bytes = 0;
  bool over_cap = false;
};

// Reads a CurrentUser option (environment override TAPIR_<NAME> first). Empty when unset.
std::string read_option(const char* name) { return CM_CommitCache::option(name); }

// A positive number of seconds from an option, else the default.
long option_seconds(const char* name, long fallback) {
  std::string text = read_option(name);
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value <= 0) return fallback;
  return value;
}

std::string escape_text(CURL* curl, const char* text) {
  char* escaped = curl_easy_escape(curl, text, 0);
  if (escaped == nullptr) return std::string();
  std::string out(escaped);
  curl_free(escaped);
  return out;
}

// A copy of a header list, or null when the source is empty or memory ran out.
curl_slist* copy_header_list(const curl_slist* source) {
  curl_slist* head = nullptr;
  for (const curl_slist* item = source; item != nullptr; item = item->next) {
    curl_slist* grown = curl_slist_append(head, item->data);
    if (grown == nullptr) {
      curl_slist_free_all(head);
      return nullptr;
    }
    head = grown;
  }
  return head;
}

// Largest session cookie kept and sent back.
const size_t kMaxCookieBytes = 4096;

// The pieces end to end, in one allocation.
std::string joined(std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string out;
  out.reserve(size);
  for (std::string_view piece : pieces) out.append(piece.data(), piece.size());
  return out;
}

bool cookie_is_sendable(std::string_view cookie) {
  if (cookie.size() > kMaxCookieBytes) return false;
  for (unsigned char c : cookie)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// Length of a received header line as kept: up to a NUL byte, without its line end (CR LF, or a
// bare LF from a sloppy server).
size_t header_line_length(const char* data, size_t size) {
  const auto* nul = static_cast<const char*>(memchr(data, '\0', size));
  size_t length = nul != nullptr ? static_cast<size_t>(nul - data) : size;
  if (length > 0 && data[length - 1] == '\n') --length;
  if (length > 0 && data[length - 1] == '\r') --length;
  return length;
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace {

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// "scheme://host:port" in lower case, or empty when the URL cannot be read.
std::string url_origin(const std::string& text) {
  std::unique_ptr<CURLU, UrlFree> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return "";
  std::string origin;
  for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
    char* value = nullptr;
    const unsigned flags = part == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0;
    if (curl_url_get(url.get(), part, &value, flags) != CURLUE_OK || value == nullptr) return "";
    origin += value;
    origin += part == CURLUPART_SCHEME ? "://" : part == CURLUPART_HOST ? ":" : "";
    curl_free(value);
  }
  for (char& c : origin) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return origin;
}

}  // namespace

bool cm_rest_same_origin(const std::string& url, const std::string& base_url) {
  // Every update of a COMMIT is checked against the same base URL: its origin is read once.
  static thread_local std::string s_base;
  static thread_local std::string s_base_origin;
  if (base_url != s_base) {
    std::string origin = url_origin(base_url);
    std::string base = base_url;
    s_base_origin.swap(origin);
    s_base.swap(base);
  }
  const std::string origin = url_origin(url);
  return !origin.empty() && origin == s_base_origin;
}

std::string cm_rest_cert_file(const std::string& label) {
  if (label.empty() || label[0] == '.' || label.find('/') != std::string::npos ||
      label.find('\0') != std::string::npos) {
    return std::string();
  }
  return std::string(sysutl_cmi_dir().c_str()) + "/Certs/" + label + ".pem";
}

std::string cm_rest_option(const char* name) { return read_option(name); }

struct CM_RestUri::Pvt_Handles {
  CURL* curl = nullptr;
  // The header list of the last Init; the handle points at it until the next Init.
  curl_slist* headers = nullptr;
  const CM_RestProtocol* protocol = nullptr;
  // The request body the upload cursor reads.
  std::string upload;
  bool keep_success_body = true;

  Pvt_Handles() = default;
  // A handle and header list of its own, pointing at the same protocol, and a copy of the body.
  explicit Pvt_Handles(const Pvt_Handles& other)
      : curl(other.curl ? curl_easy_duphandle(other.curl) : nullptr),
        headers(copy_header_list(other.headers)),
        protocol(other.protocol),
        upload(other.upload),
        keep_success_body(other.keep_success_body) {}
  Pvt_Handles& operator=(const Pvt_Handles&) = delete;
  ~Pvt_Handles() {
    if (curl != nullptr) curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
  }
  void set_headers(curl_slist* list) {
    curl_slist_free_all(headers);
    headers = list;
  }
};

CM_RestUri::CM_RestUri()
    : m_first_param(1),
      m_initialized(0),
      m_has_run(0),
      m_handles(std::make_unique<Pvt_Handles>()),
      m_upload{nullptr, 0, 0} {
  CM_TraceScope scope(kTag, kClass, "CM_RestUri");
  m_handles->curl = curl_easy_init();
}

CM_RestUri::CM_RestUri(const CM_RestUri& other)
    : m_first_param(other.m_first_param),
      m_initialized(other.m_initialized),
      m_has_run(other.m_has_run),
      m_base_uri(other.m_base_uri),
      m_resource(other.m_resource),
      m_username(other.m_username),
      m_password(other.m_password),
      m_cert_label(other.m_cert_label),
      m_cookie(other.m_cookie),
      m_handles(std::make_unique<Pvt_Handles>(*other.m_handles)),
      m_upload{nullptr, other.m_upload.size, other.m_upload.pos},
      m_response_headers(other.m_response_headers),
      m_error_text(other.m_error_text),
      m_transfer_status(other.m_transfer_status),
      m_http_status(other.m_http_status) {
  if (other.m_upload.data != nullptr) m_upload.data = m_handles->upload.data();
  Pvt_RepointHandle();
}

CM_RestUri& CM_RestUri::operator=(const CM_RestUri& other) {
  if (this == &other) return *this;
  // The new handle and list are made first; the old ones go when they are replaced.
  m_handles = std::make_unique<Pvt_Handles>(*other.m_handles);
  m_first_param = other.m_first_param;
  m_initialized = other.m_initialized;
  m_has_run = other.m_has_run;
  m_base_uri = other.m_base_uri;
  m_resource = other.m_resource;
  m_username = other.m_username;
  m_password = other.m_password;
  m_cert_label = other.m_cert_label;
  m_cookie = other.m_cookie;
  m_upload = other.m_upload;
  if (m_upload.data != nullptr) m_upload.data = m_handles->upload.data();
  m_response_headers = other.m_response_headers;
  m_error_text = other.m_error_text;
  m_transfer_status = other.m_transfer_status;
  m_http_status = other.m_http_status;
  Pvt_RepointHandle();
  return *this;
}

CM_RestUri::~CM_RestUri() {
  CM_TraceScope scope(kTag, kClass, "~CM_RestUri");
  m_handles.reset();
}

void CM_RestUri::SetProtocol(const CM_RestProtocol* protocol) { m_handles->protocol = protocol; }

void CM_RestUri::Pvt_RepointHandle() {
  CURL* curl = m_handles->curl;
  if (curl == nullptr) return;
  // A duplicated handle still points at the source object's header list and upload cursor.
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_handles->headers);
  curl_easy_setopt(curl, CURLOPT_READDATA, &m_upload);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
}

void CM_RestUri::SetBaseUri(const SUM_String& uri) { m_base_uri = uri; }

void CM_RestUri::AppendResourceParam(const SUM_String& segment, const int& escape) {
  m_resource += "/";
  if (escape != 0) {
    m_resource += escape_text(m_handles->curl, segment.c_str()).c_str();
  } else {
    m_resource += segment;
  }
}

void CM_RestUri::AppendValue(const SUM_String& value) {
  m_resource += GetPreSep();
  m_resource += escape_text(m_handles->curl, value.c_str()).c_str();
}

void CM_RestUri::AppendNameValue(const SUM_String& name, const SUM_String& value) {
  m_resource += GetPreSep();
  m_resource += escape_text(m_handles->curl, name.c_str()).c_str();
  m_resource += "=";
  m_resource += escape_text(m_handles->curl, value.c_str()).c_str();
}

void CM_RestUri::AppendNameValues(const SUM_String& name, const SUM_StringList& values) {
  m_resource += GetPreSep();
  m_resource += escape_text(m_handles->curl, name.c_str()).c_str();
  m_resource += "=";
  for (int i = 0; i < values.count(); ++i) {
    if (i > 0) m_resource += ",";
    m_resource += escape_text(m_handles->curl, values[i].c_str()).c_str();
  }
}

void CM_RestUri::SetUsername(const SUM_String& user) { m_username = user; }
void CM_RestUri::SetPassword(const SUM_String& password) { m_password = password; }
void CM_RestUri::SetCookie(const SUM_String& cookie) { m_cookie = cookie; }
void CM_RestUri::GetCookie(SUM_String& cookie) const { cookie = m_cookie; }
void CM_RestUri::set_cert_label(std::string label) { m_cert_label = std::move(label); }
void CM_RestUri::SetConnectionShare(void* share) {
  if (m_handles->curl)
    curl_easy_setopt(m_handles->curl, CURLOPT_SHARE, static_cast<CURLSH*>(share));
}
std::string CM_RestUri::error_msg() { return m_error_text; }

int CM_RestUri::AppendHeader(const SUM_String& line) {
  const std::string text = line.str();
  if (text.find_first_of("\r\n") != std::string::npos || text.size() != strlen(text.c_str()) ||
      m_handles->headers == nullptr) {
    return CM_REST_OPTION_REFUSED;
  }
  // Appending keeps the head, which the handle already points at.
  if (curl_slist_append(m_handles->headers, text.c_str()) == nullptr) {
    return CM_REST_OPTION_REFUSED;
  }
  return CM_REST_OK;
}

SUM_String CM_RestUri::GetPreSep() {
  CM_TraceScope scope(kTag, kClass, "GetPreSep");
  if (m_first_param != 0) {
    m_first_param = 0;
    return SUM_String("?");
  }
  return SUM_String("&");
}

int CM_RestUri::SetHttpMethodType(HttpMethodType method) {
  CM_TraceScope scope(kTag, kClass, "SetHttpMethodType");
  if (m_has_run != 0) {
    cm_internal_error(kSource, __LINE__);
    return CM_REST_INTERNAL;
  }
  CURL* curl = m_handles->curl;
  // Options outlive Init, so a method set by an earlier request on this handle is undone first.
  switch (method) {
    case PUT:
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      break;
    case POST:
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      break;
    case DELETE:
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
      break;
    case GET:
    default:
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
      break;
  }
  return CM_REST_OK;
}

int CM_RestUri::Init(HttpMethodType method) {
  CM_TraceScope scope(kTag, kClass, "Init");
  m_first_param = 1;
  m_has_run = 0;
  m_base_uri.Empty();
  m_resource.Empty();
  m_upload = UploadCursor{nullptr, 0, 0};
  m_transfer_status = -1;
  m_http_status = 0;

  int rc = SetHttpMethodType(method);
  if (rc != 0) return rc;

  rc = [&]() -> int {
    CURL* curl = m_handles->curl;
    if (curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent) != CURLE_OK) {
      return CM_REST_OPTION_REFUSED;
    }

    struct ListFree {
      void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    std::unique_ptr<curl_slist, ListFree> headers;
    auto add = [&headers](const char* line) {
      curl_slist* grown = curl_slist_append(headers.get(), line);
      if (grown == nullptr) return false;
      if (!headers) headers.reset(grown);
      return true;
    };
    bool built = true;
    if (m_handles->protocol != nullptr) {
      for (const std::string& line : m_handles->protocol->RequestHeaders(method))
        built = built && add(line.c_str());
    }
    built = built && add("Keep-Alive: 300") && add("Connection: keep-alive");
    if (!built) return CM_REST_OPTION_REFUSED;

    const bool verify = read_option("CMI_SSL_VERIFY") == "1";
    const std::string ca_bundle = verify ? read_option("CMI_CA_BUNDLE") : std::string();
    if (curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CM_RestUri::WriteMemoryCallback) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CM_RestUri::WriteHeaderCallback) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &CM_RestUri::ReadMemoryCallback) != CURLE_OK ||
        // Never let the library fall back to reading standard input.
        curl_easy_setopt(curl, CURLOPT_READDATA, &m_upload) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK) {
      return CM_REST_OPTION_REFUSED;
    }
    // The handle now reads the new list; the previous one may go.
    m_handles->set_headers(headers.release());

    // Only a speed-up: a libcurl that refuses the size reads in its own pieces. Traced, the
    // answer's growth lines follow the pieces, so they stay libcurl's own.
    curl_easy_setopt(
        curl, CURLOPT_BUFFERSIZE,
        scope.is_enabled(3) ? static_cast<long>(CURL_MAX_WRITE_SIZE) : kReceiveBufferBytes);

    // Limits that keep a dead or hostile server from holding the host forever, and no
    // protocol but http and https even when a server redirects elsewhere.
    if (curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                         option_seconds("CMI_CONNECT_TIMEOUT", CM_REST_CONNECT_TIMEOUT)) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_TIMEOUT,
                         option_seconds("CMI_TRANSFER_TIMEOUT", CM_REST_TRANSFER_TIMEOUT)) !=
            CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, CM_REST_LOW_SPEED_BYTES) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                         option_seconds("CMI_STALL_TIMEOUT", CM_REST_STALL_TIMEOUT)) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_bundle.empty() ? nullptr : ca_bundle.c_str()) !=
            CURLE_OK) {
      return CM_REST_OPTION_REFUSED;
    }

    // The keystore name selects the user's certificate folder; nothing to hand to the library.
    scope.print(4, "Setting keystore to %s", kKeystore);

    if (m_cert_label.empty()) {
      // A label given to an earlier request on this handle must not linger.
      curl_easy_setopt(curl, CURLOPT_SSLCERT, nullptr);
      curl_easy_setopt(curl, CURLOPT_SSLKEY, nullptr);
      curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, nullptr);
      curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, nullptr);
      return CM_REST_OK;
    }
    scope.print(4, "Setting certificate label to %s", m_cert_label.c_str());
    const std::string pem = cm_rest_cert_file(m_cert_label);
    if (!pem.empty() && is_regular_file(pem)) {
      if (curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM") != CURLE_OK ||
          curl_easy_setopt(curl, CURLOPT_SSLCERT, pem.c_str()) != CURLE_OK ||
          curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "PEM") != CURLE_OK ||
          curl_easy_setopt(curl, CURLOPT_SSLKEY, pem.c_str()) != CURLE_OK) {
        return CM_REST_OPTION_REFUSED;
      }
      return CM_REST_OK;
    }
    // Not in the folder: the label of a certificate and key on a PKCS#11 token.
    const std::string object = escape_text(curl, m_cert_label.c_str());
    const std::string cert_uri = "pkcs11:object=" + object + ";type=cert";
    const std::string key_uri = "pkcs11:object=" + object + ";type=private";
    if (curl_easy_setopt(curl, CURLOPT_SSLENGINE, "pkcs11") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "ENG") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSLCERT, cert_uri.c_str()) != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "ENG") != CURLE_OK ||
        curl_easy_setopt(curl, CURLOPT_SSLKEY, key_uri.c_str()) != CURLE_OK) {
      return CM_REST_OPTION_REFUSED;
    }
    return CM_REST_OK;
  }();

  m_initialized = 1;
  return rc;
}

void CM_RestUri::SetUploadData(const SUM_String& body) {
  Pvt_SetUpload(std::string(body.c_str(), static_cast<size_t>(body.GetLength())));
}

void CM_RestUri::KeepSuccessBody(bool keep) { m_handles->keep_success_body = keep; }

void CM_RestUri::TakeUploadData(std::string&& body) { Pvt_SetUpload(std::move(body)); }

void CM_RestUri::Pvt_SetUpload(std::string&& body) {
  CM_TraceScope scope(kTag, kClass, "SetUploadData");
  m_upload.pos = 0;
  m_handles->upload = std::move(body);
  // The text is never null (an empty body reads as ""); the line stays for readers of the trace.
  scope.print(4, "Upload data is Not null.");
  m_upload.data = m_handles->upload.data();
  m_upload.size = m_handles->upload.size();
  CURL* curl = m_handles->curl;
  scope.print(4, "Setting readdata");
  curl_easy_setopt(curl, CURLOPT_READDATA, &m_upload);
  scope.print(4, "Setting chunk size");
  curl_easy_setopt(curl, CURLOPT_INFILESIZE, static_cast<long>(m_upload.size));
  scope.print(4, "Setting field size");
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_upload.size));
}

size_t CM_RestUri::ReadMemoryCallback(void* dest, size_t size, size_t count, void* user) {
  CM_TraceScope scope(kTag, kClass, "ReadMemoryCallback");
  auto* cursor = static_cast<UploadCursor*>(user);
  if (cursor == nullptr || cursor->data == nullptr || cursor->pos >= cursor->size) return 0;
  size_t room = size * count;
  size_t n = cursor->size - cursor->pos;
  if (n > room) n = room;
  memcpy(dest, cursor->data + cursor->pos, n);
  cursor->pos += n;
  return n;
}

size_t CM_RestUri::WriteMemoryCallback(void* data, size_t size, size_t count, void* user) {
  CM_TraceScope scope(kTag, kClass, "WriteMemoryCallback");
  auto* body = static_cast<ResponseBody*>(user);
  const size_t n = size * count;
  if (body == nullptr) return 0;
  if (body->size + n > CM_REST_MAX_RESPONSE) {
    body->over_cap = true;
    return 0;  // aborts the transfer
  }
  if (body->lost) return n;
  // The trace shows a growth step wherever a buffer doubling from 4 KiB would take one, whatever
  // the string below does, so that it reads the same however the body is stored.
  const size_t needed = body->size + n + 1;
  if (needed > body->traced_room) {
    CM_TraceScope growth(kTag, kClass, "MyRealloc");
    size_t grown = body->traced_room < 4096 ? 4096 : body->traced_room * 2;
    if (grown > CM_REST_MAX_RESPONSE + 1) grown = CM_REST_MAX_RESPONSE + 1;
    body->traced_room = grown < needed ? needed : grown;
  }
  if (!body->started) {
    body->started = true;
    long code = 0;
    body->cut = !body->keep_success &&
                curl_easy_getinfo(body->curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK &&
                (code == 200 || code == 201);
    // An announced length is room taken once, so the body is not copied while it grows; never
    // more than the cap, whatever a server announces. Only a saving: failing to get it is not
    // running out of memory.
    curl_off_t announced = -1;
    if (!body->cut &&
        curl_easy_getinfo(body->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > 0) {
      try {
        body->text.reserve(std::min(static_cast<size_t>(announced), CM_REST_MAX_RESPONSE));
      } catch (const std::bad_alloc&) {
      }
    }
  }
  if (!body->cut) {
    const char* bytes = static_cast<const char*>(data);
    const auto* nul = static_cast<const char*>(memchr(bytes, '\0', n));
    try {
      body->text.append(bytes, nul != nullptr ? static_cast<size_t>(nul - bytes) : n);
    } catch (const std::bad_alloc&) {
      // No exception may cross into libcurl; Run reports the loss.
      body->lost = true;
      return n;
    }
    body->cut = nul != nullptr;
  }
  body->size += n;
  return n;
}

size_t CM_RestUri::WriteHeaderCallback(void* data, size_t size, size_t count, void* user) {
  CM_TraceScope scope(kTag, kClass, "WriteHeaderCallback");
  auto* sink = static_cast<HeaderSink*>(user);
  const size_t n = size * count;
  if (sink == nullptr || sink->lines == nullptr) return n;
  sink->bytes += n;
  if (sink->bytes > kMaxHeaderBytes) {
    sink->over_cap = true;
    return 0;
  }
  const char* text = static_cast<const char*>(data);
  const SUM_String line(text, static_cast<int>(header_line_length(text, n)));
  scope.print(5, "Got header: \"%s\"", line.c_str());
  sink->lines->append(line);
  return n;
}

std::string cm_rest_header_line(const char* data, size_t size) {
  return std::string(data, header_line_length(data, size));
}

std::string cm_rest_session_cookie(const SUM_StringList& lines) {
  CM_TraceScope scope(kTag, kClass, "cm_rest_session_cookie");
  std::string found;
  static const char kSetCookie[] = "Set-Cookie: ";
  for (int i = 0; i < lines.count(); ++i) {
    // Read in place: a response has several lines, a COMMIT thousands of responses.
    const std::string_view line = sum_view(lines[i]);
    const char* text = line.data();
    scope.print(4, "Header is: \"%s\"", text);
    const size_t at = line.find(kSetCookie);
    if (at == std::string_view::npos) continue;
    scope.print(4, "Found set-cookie in : \"%s\"", text);
    const size_t rest_at = at + sizeof kSetCookie - 1;
    const std::string_view rest = line.substr(rest_at);
    const size_t start = rest.find("JSESSIONID=");
    if (start == std::string_view::npos) continue;
    const size_t end = rest.find(';', start);
    if (end == std::string_view::npos) continue;
    scope.print(4, "Found JSESSIONID in : \"%s\"", text + rest_at);
    const std::string value(rest.substr(start, end - start));
    if (!cookie_is_sendable(value)) {
      // Sent back, a CR or LF would split our request headers.
      scope.print_always("Refusing cookie of %zu bytes: control characters or longer than %zu",
                         value.size(), kMaxCookieBytes);
      continue;
    }
    found = value;
    scope.print(4, "Found JSESSIONID : \"%s\"", found.c_str());
  }
  return found;
}

int CM_RestUri::Run(std::string& response) {
  CM_TraceScope scope(kTag, kClass, "Run");
  if (m_initialized != 1) {
    cm_internal_error(kSource, __LINE__);
    return CM_REST_INTERNAL;
  }
  if (m_has_run != 0) {
    cm_internal_error(kSource, __LINE__);
    return CM_REST_INTERNAL;
  }
  CURL* curl = m_handles->curl;
  m_response_headers.clear();
  ResponseBody body;
  body.curl = curl;
  body.keep_success = m_handles->keep_success_body;
  HeaderSink sink;
  sink.lines = &m_response_headers;

  const std::string url = joined({sum_view(m_base_uri), sum_view(m_resource)});
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());

  const std::string userpwd = joined({sum_view(m_username), ":", sum_view(m_password)});
  if (scope.is_enabled(4)) {
    const SUM_String shown = m_username + ":********";
    scope.print(4, "Setting auth info to %s", shown.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_USERPWD, userpwd.c_str());

  scope.print_always("Setting cookie in request %s", m_cookie.c_str());
  // An empty text would still send an empty Cookie header; a cookie that could split the request
  // headers is never sent.
  const bool send_cookie = m_cookie.GetLength() > 0 && cookie_is_sendable(sum_view(m_cookie));
  curl_easy_setopt(curl, CURLOPT_COOKIE, send_cookie ? m_cookie.c_str() : nullptr);

  char errbuf[CURL_ERROR_SIZE];
  errbuf[0] = '\0';
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);

  scope.print(1, "Sending with curl to address: \"%s\"", url.c_str());
  CURLcode result = curl != nullptr ? curl_easy_perform(curl) : CURLE_FAILED_INIT;
  // The buffers above die with this call; the handle must not keep pointing at them.
  Pvt_RepointHandle();
  m_initialized = 0;
  m_has_run = 1;
  m_transfer_status = static_cast<int>(result);

  if (result == CURLE_OK || result == CURLE_PARTIAL_FILE) {
    if (body.lost) {
      result = CURLE_OUT_OF_MEMORY;
      snprintf(errbuf, sizeof errbuf, "out of memory while receiving the response");
    }
  } else if (body.over_cap) {
    snprintf(errbuf, sizeof errbuf, "response body larger than %zu bytes", CM_REST_MAX_RESPONSE);
  } else if (sink.over_cap) {
    snprintf(errbuf, sizeof errbuf, "response headers larger than %zu bytes", kMaxHeaderBytes);
  } else if (errbuf[0] == '\0') {
    snprintf(errbuf, sizeof errbuf, "%s", curl_easy_strerror(result));
  }
  if (result != CURLE_OK && result != CURLE_PARTIAL_FILE) {
    scope.print(4, "Curl status = %d, error msg %s", static_cast<int>(result), errbuf);
    m_error_text = format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcCurlStatus,
                                  static_cast<int>(result), errbuf);
    scope.print(4, "Curl msg = %s", m_error_text.c_str());
    return CM_REST_TRANSFER_FAILED;
  }

  long http_code = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &http_code) != CURLE_OK) http_code = 0;
  m_http_status = http_code;
  scope.print(1, "HTTP Code = \"%d\"", static_cast<int>(http_code));

  if (body.size > 0 && http_code != 401) {
    // Room a server announced but did not fill (or that a NUL left over) is given back; growth
    // by doubling never leaves this much.
    if (body.text.capacity() > 2 * body.text.size() + kMaxIdleRoom) body.text.shrink_to_fit();
    response = std::move(body.text);
  }

  ParseSessionCookie();

  scope.print(4, "Return code is http_code = %d", static_cast<int>(http_code));
  int rc = CM_REST_OK;
  if (http_code == 200 || http_code == 201) {
    rc = CM_REST_OK;
  } else if (http_code == 401 || http_code == 403) {
    m_error_text = format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcAuthFailed);
    rc = CM_REST_AUTH_FAILED;
  } else if (http_code == 404) {
    m_error_text = format_message(_cm_oslc_CM_Oslc_msg_table_adr(), kOslcNotFound);
    rc = CM_REST_NOT_FOUND;
  } else {
    if (m_handles->protocol != nullptr) m_handles->protocol->ReadErrorBody(response, m_error_text);
    rc = CM_REST_HTTP_ERROR;
  }
  scope.print(4, "Return code is %d", rc);
  return rc;
}

int CM_RestUri::GetResponseHeaders(SUM_StringList& out) const {
  CM_TraceScope scope(kTag, kClass, "GetResponseHeaders");
  if (m_has_run != 1) {
    cm_internal_error(kSource, __LINE__);
    return CM_REST_INTERNAL;
  }
  out = m_response_headers;
  return CM_REST_OK;
}

int CM_RestUri::ParseSessionCookie() {
  CM_TraceScope scope(kTag, kClass, "ParseSessionCookie");
  {
    // What reading the headers through GetResponseHeaders traces; Run has just filled them, and
    // they are read in place instead of copied.
    CM_TraceScope reading(kTag, kClass, "GetResponseHeaders");
  }
  const std::string found = cm_rest_session_cookie(m_response_headers);
  if (found.empty()) {
    m_cookie.Empty();
    return CM_REST_NO_COOKIE;
  }
  scope.print(4, "Updating cookie : \"%s\"", found.c_str());
  m_cookie = SUM_String(found);
  return CM_REST_OK;
}
