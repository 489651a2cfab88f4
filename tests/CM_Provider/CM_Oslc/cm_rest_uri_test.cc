// Request object tests against a scripted loopback server: URL building and headers as they
// reach the wire, status and cookie handling, state errors, copies, and misbehaving servers.
#include "CM_Provider/CM_Oslc/cm_oslc_protocol.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"

namespace {

// Sets an environment variable for one scope and restores the previous state.
using cmtest::ScopedEnv;

// One accepted connection as the scripted reply sees it.
struct Conn {
  int fd;
  const std::atomic<bool>& stop;

  bool send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Blocks until the client hangs up (or the server stops).
  void wait_for_hangup() const {
    char scratch[512];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && recv(fd, scratch, sizeof scratch, 0) <= 0) return;
    }
  }
  // Closes with a TCP reset instead of an orderly shutdown.
  void reset() const {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
};

using Reply = std::function<void(const Conn&)>;

// A loopback HTTP server on an ephemeral port: records each raw request (headers and body) and
// answers connection i with replies[i] (the last reply repeats).
class Loopback {
 public:
  // read_body false: the reply starts as soon as the request headers are in.
  explicit Loopback(std::vector<Reply> replies, bool read_body = true)
      : m_replies(std::move(replies)), m_read_body(read_body) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_listen, 8) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "loopback server could not listen";
      return;
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
  }
  ~Loopback() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }
  std::string request(size_t i) {
    auto all = requests();
    return i < all.size() ? all[i] : std::string();
  }

 private:
  void serve() {
    size_t served = 0;
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      std::string raw = read_request(fd);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(raw);
      }
      const Reply& reply = m_replies[served < m_replies.size() ? served : m_replies.size() - 1];
      ++served;
      reply(Conn{fd, m_stop});
      close(fd);
    }
  }

  std::string read_request(int fd) {
    std::string raw;
    char buf[4096];
    size_t body_needed = std::string::npos;
    size_t header_end = std::string::npos;
    while (!m_stop) {
      if (header_end != std::string::npos && raw.size() >= header_end + body_needed) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, static_cast<size_t>(n));
      if (header_end == std::string::npos) {
        size_t at = raw.find("\r\n\r\n");
        if (at == std::string::npos) continue;
        header_end = at + 4;
        body_needed = 0;
        std::string head = raw.substr(0, header_end);
        for (auto& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        size_t cl = head.find("\r\ncontent-length:");
        if (cl != std::string::npos && m_read_body)
          body_needed = strtoul(head.c_str() + cl + 17, nullptr, 10);
      }
    }
    return raw;
  }

  std::vector<Reply> m_replies;
  bool m_read_body;
  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::vector<std::string> m_requests;
};

// A complete answer with a Content-Length.
Reply answer(const std::string& status, const std::string& body,
             const std::string& extra_headers = "") {
  return [=](const Conn& c) {
    c.send("HTTP/1.1 " + status + "\r\n" + extra_headers + "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  };
}

Reply raw_answer(const std::string& bytes) {
  return [=](const Conn& c) { c.send(bytes); };
}

// Head of a request up to the blank line, and the body after it.
std::string head_of(const std::string& raw) { return raw.substr(0, raw.find("\r\n\r\n") + 2); }
std::string body_of(const std::string& raw) {
  size_t at = raw.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : raw.substr(at + 4);
}
std::string request_line(const std::string& raw) { return raw.substr(0, raw.find("\r\n")); }
bool has_header(const std::string& raw, const std::string& line) {
  return head_of(raw).find("\r\n" + line + "\r\n") != std::string::npos;
}

// Exposes the protected method-taking Init for the two methods without a variant class.
class MethodRequest : public CM_RestUri {
 public:
  explicit MethodRequest(HttpMethodType method) : m_method(method) {
    SetProtocol(&cm_oslc_protocol());
  }
  int Init() override { return CM_RestUri::Init(m_method); }
  HttpMethodType m_method;
};

const char kAuthFailed[] =
    "Authorization failed.  Please check your credentials and connection information.\n";
const char kNotFound[] = "The requested resource was not found.\n";

const char kErrorBody[] =
    "<?xml version=\"1.0\"?>\n"
    "<oslc:Error xmlns:oslc=\"http://open-services.net/ns/core#\""
    " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\">"
    "<oslc_cm:message>Record MR9 is locked</oslc_cm:message>"
    "<oslc:extendedError><oslc_cm:message>Try again later</oslc_cm:message></oslc:extendedError>"
    "</oslc:Error>";

class RestUriTest : public ::testing::Test {
 protected:
  // GET of base + path on a fresh Init.
  int get(CM_RestUri& req, const std::string& base, std::string& response) {
    EXPECT_EQ(0, req.Init());
    req.SetBaseUri(base.c_str());
    return req.Run(response);
  }
  cmtest::TempHome home;
};

// ---- URL building, seen in the request line ----

TEST_F(RestUriTest, UrlSegmentsQueryAndSeparators) {
  Loopback server({answer("200 OK", "ok")});
  CM_RestUriGet req;
  std::vector<std::string> expected;

  ASSERT_EQ(0, req.Init());
  req.SetBaseUri((server.url() + "/oslc").c_str());
  req.AppendResourceParam("repo", 1);
  req.AppendResourceParam("a b", 1);
  req.AppendResourceParam("x/y", 0);
  req.AppendNameValue("q", "v 1");
  req.AppendValue("z");
  std::string response;
  ASSERT_EQ(0, req.Run(response));
  expected.push_back("GET /oslc/repo/a%20b/x/y?q=v%201&z HTTP/1.1");

  // Init starts a fresh URL and a fresh query; list values are escaped one by one.
  ASSERT_EQ(0, req.Init());
  req.SetBaseUri((server.url() + "/oslc").c_str());
  SUM_StringList ids;
  ids.append("1");
  ids.append("2,5");
  ids.append("\xC3\xA9");
  req.AppendNameValues("ids", ids);
  req.AppendNameValue("oslc.properties", "oslc_cm:tracksChangeSet");
  ASSERT_EQ(0, req.Run(response));
  expected.push_back(
      "GET /oslc?ids=1,2%2C5,%C3%A9&oslc.properties=oslc_cm%3AtracksChangeSet HTTP/1.1");

  // An empty list leaves the name and "=".
  ASSERT_EQ(0, req.Init());
  req.SetBaseUri(server.url().c_str());
  req.AppendResourceParam("r", 1);
  req.AppendNameValues("ids", SUM_StringList());
  req.AppendValue("&");
  ASSERT_EQ(0, req.Run(response));
  expected.push_back("GET /r?ids=&%26 HTTP/1.1");

  auto seen = server.requests();
  ASSERT_EQ(expected.size(), seen.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], request_line(seen[i]));
}

// ---- headers and methods on the wire ----

// Names and values of the request's header lines from the first to Connection, in order.
std::vector<std::string> sent_headers(const std::string& raw) {
  std::vector<std::string> out;
  const std::string head = head_of(raw);
  for (size_t at = head.find("\r\n") + 2; at < head.size(); at = head.find("\r\n", at) + 2) {
    const std::string line = head.substr(at, head.find("\r\n", at) - at);
    if (line.rfind("Host:", 0) != 0 && line.rfind("Content-Length:", 0) != 0) out.push_back(line);
  }
  return out;
}

TEST_F(RestUriTest, VariantsSendTheirHeadersCredentialsCookieAndBody) {
  const std::string body = "<rdf:RDF>\xC3\xA9 links</rdf:RDF>";
  Loopback server({answer("200 OK", "<x/>"), answer("200 OK", "")});
  CM_RestUriGet get;
  CM_RestUriPut put;
  for (CM_RestUri* req : {static_cast<CM_RestUri*>(&get), static_cast<CM_RestUri*>(&put)}) {
    ASSERT_EQ(0, req->Init());
    req->SetBaseUri(server.url().c_str());
    req->AppendResourceParam("record", 1);
    req->SetUsername("alice");
    req->SetPassword("s3cret");
    req->SetCookie("JSESSIONID=abc");
    if (req == &put) req->SetUploadData(body.c_str());
    std::string response = "untouched";
    ASSERT_EQ(0, req->Run(response));
    EXPECT_EQ(req == &get ? "<x/>" : "untouched", response);  // an empty body is not copied
  }
  const std::vector<std::string> common = {"Authorization: Basic YWxpY2U6czNjcmV0",  // alice:s3cret
                                           "User-Agent: Tarnwell-agent/7.1.2.9",
                                           "Cookie: JSESSIONID=abc"};
  std::vector<std::string> get_lines = common, put_lines = common;
  for (const char* line : {"OSLC-Core-Version: 2.0", "Accept: application/xml", "Keep-Alive: 300",
                           "Connection: keep-alive"})
    get_lines.push_back(line);
  for (const char* line :
       {"OSLC-Core-Version: 2.0", "Content-Type: application/rdf+xml",
        "Accept: application/rdf+xml", "Keep-Alive: 300", "Connection: keep-alive"})
    put_lines.push_back(line);
  EXPECT_EQ("GET /record HTTP/1.1", request_line(server.request(0)));
  EXPECT_EQ(get_lines, sent_headers(server.request(0)));
  EXPECT_EQ("PUT /record HTTP/1.1", request_line(server.request(1)));
  EXPECT_EQ(put_lines, sent_headers(server.request(1)));  // no Expect: 100-continue either
  EXPECT_EQ(body, body_of(server.request(1)));
  EXPECT_TRUE(has_header(server.request(1), "Content-Length: " + std::to_string(body.size())));
}

TEST_F(RestUriTest, AddedHeaderLastsOneRequestAndCannotSmuggleAnother) {
  Loopback server({answer("412 Precondition Failed", ""), answer("200 OK", "")});
  CM_RestUriPut req;
  ASSERT_EQ(0, req.Init());
  EXPECT_EQ(-1, req.GetTransferStatus());
  EXPECT_EQ(0, req.AppendHeader("If-Match: \"1-2\""));
  EXPECT_EQ(20006, req.AppendHeader("X-A: 1\r\nX-Injected: 1"));
  EXPECT_EQ(20006, req.AppendHeader("X-B: 1\nX-Injected: 1"));
  req.SetBaseUri(server.url().c_str());
  req.SetUploadData("<x/>");
  std::string response;
  EXPECT_EQ(20001, req.Run(response));
  EXPECT_EQ(0, req.GetTransferStatus());
  EXPECT_EQ(412, req.GetHttpStatus());
  EXPECT_TRUE(has_header(server.request(0), "If-Match: \"1-2\""));
  EXPECT_EQ(std::string::npos, server.request(0).find("Injected"));

  ASSERT_EQ(0, req.Init());
  EXPECT_EQ(0, req.GetHttpStatus());
  req.SetBaseUri(server.url().c_str());
  req.SetUploadData("<x/>");
  EXPECT_EQ(0, req.Run(response));
  EXPECT_EQ(std::string::npos, server.request(1).find("If-Match"));
}

TEST_F(RestUriTest, MethodsSwitchCleanlyOnOneHandle) {
  Loopback server({answer("200 OK", "ok")});
  MethodRequest req(POST);
  std::string response;
  struct Step {
    HttpMethodType method;
    const char* line;
    const char* accept;
  };
  // Every method follows DELETE once: a custom method must not linger.
  const Step steps[] = {
      {POST, "POST /p HTTP/1.1", "Accept: application/rdf+xml"},
      {DELETE, "DELETE /p HTTP/1.1", "Accept: application/xml"},
      {GET, "GET /p HTTP/1.1", "Accept: application/xml"},
      {PUT, "PUT /p HTTP/1.1", "Accept: application/rdf+xml"},
      {DELETE, "DELETE /p HTTP/1.1", "Accept: application/xml"},
      {PUT, "PUT /p HTTP/1.1", "Accept: application/rdf+xml"},
      {POST, "POST /p HTTP/1.1", "Accept: application/rdf+xml"},
      {DELETE, "DELETE /p HTTP/1.1", "Accept: application/xml"},
      {POST, "POST /p HTTP/1.1", "Accept: application/rdf+xml"},
      {GET, "GET /p HTTP/1.1", "Accept: application/xml"},
  };
  for (const Step& step : steps) {
    req.m_method = step.method;
    ASSERT_EQ(0, req.Init());
    req.SetBaseUri(server.url().c_str());
    req.AppendResourceParam("p", 1);
    if (step.method == PUT || step.method == POST) req.SetUploadData("body-text");
    ASSERT_EQ(0, req.Run(response)) << step.line;
  }
  auto seen = server.requests();
  ASSERT_EQ(std::size(steps), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(steps[i].line);
    EXPECT_EQ(steps[i].line, request_line(seen[i]));
    EXPECT_TRUE(has_header(seen[i], steps[i].accept));
    bool with_body = steps[i].method == PUT || steps[i].method == POST;
    EXPECT_EQ(with_body ? "body-text" : "", body_of(seen[i]));
    EXPECT_EQ(with_body, has_header(seen[i], "Content-Type: application/rdf+xml"));
  }
}

TEST_F(RestUriTest, EmptyCookieSendsNoCookieHeader) {
  Loopback server(
      {answer("200 OK", "a", "Set-Cookie: JSESSIONID=s1; Path=/\r\n"), answer("200 OK", "b")});
  CM_RestUriGet req;
  std::string response;
  ASSERT_EQ(0, get(req, server.url(), response));
  // The cookie taken from the first answer goes out with the second request.
  ASSERT_EQ(0, get(req, server.url(), response));
  ASSERT_EQ(0, get(req, server.url(), response));
  auto seen = server.requests();
  ASSERT_EQ(3u, seen.size());
  EXPECT_EQ(std::string::npos, head_of(seen[0]).find("Cookie:"));
  EXPECT_TRUE(has_header(seen[1], "Cookie: JSESSIONID=s1"));
  EXPECT_EQ(std::string::npos, head_of(seen[2]).find("Cookie:"));
}

// ---- status mapping ----

TEST_F(RestUriTest, StatusClassesMapToCodesTextsAndResponse) {
  struct Case {
    const char* status;
    const char* body;
    int rc;
    const char* response;  // expected response text after Run, which starts as "old"
    std::string error;
  };
  const Case cases[] = {
      {"200 OK", "<ok/>", 0, "<ok/>", ""},
      {"201 Created", "<made/>", 0, "<made/>", ""},
      {"202 Accepted", "later", 20001, "later", ""},
      {"204 No Content", "", 20001, "old", ""},
      {"302 Found", "moved", 20001, "moved", ""},
      {"401 Unauthorized", "<denied/>", 20004, "old", kAuthFailed},
      {"403 Forbidden", "<forbidden/>", 20004, "<forbidden/>", kAuthFailed},
      {"404 Not Found", "<gone/>", 20003, "<gone/>", kNotFound},
      {"500 Server Error", kErrorBody, 20001, kErrorBody,
       "Record MR9 is locked\nTry again later\n"},
      {"503 Busy", "<html>busy</html>", 20001, "<html>busy</html>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    Loopback server({answer(c.status, c.body)});
    CM_RestUriGet req;
    std::string response = "old";
    EXPECT_EQ(c.rc, get(req, server.url(), response));
    EXPECT_EQ(c.response, response);
    EXPECT_EQ(c.error, req.error_msg());
  }
}

TEST_F(RestUriTest, ErrorTextIsReplacedByAuthAndAppendedByServerErrors) {
  Loopback server({answer("500 Oops", kErrorBody), answer("500 Oops", kErrorBody),
                   answer("401 Unauthorized", "")});
  CM_RestUriGet req;
  std::string response;
  EXPECT_EQ(20001, get(req, server.url(), response));
  EXPECT_EQ(20001, get(req, server.url(), response));
  EXPECT_EQ("Record MR9 is locked\nTry again later\nRecord MR9 is locked\nTry again later\n",
            req.error_msg());
  EXPECT_EQ(20004, get(req, server.url(), response));
  EXPECT_EQ(kAuthFailed, req.error_msg());
}

// ---- cookies and response headers ----

TEST_F(RestUriTest, SessionCookieVariants) {
  struct Case {
    const char* name;
    std::string headers;
    const char* cookie;
  };
  const Case cases[] = {
      {"plain", "Set-Cookie: JSESSIONID=abc123; Path=/; HttpOnly\r\n", "JSESSIONID=abc123"},
      {"none", "X-Other: 1\r\n", ""},
      {"last attribute", "Set-Cookie: JSESSIONID=abc123\r\n", ""},
      {"other cookie first", "Set-Cookie: lang=en; JSESSIONID=zz9; Path=/\r\n", "JSESSIONID=zz9"},
      {"later wins", "Set-Cookie: JSESSIONID=one; Path=/\r\nSet-Cookie: JSESSIONID=two; Path=/\r\n",
       "JSESSIONID=two"},
      {"later without value keeps earlier",
       "Set-Cookie: JSESSIONID=one; Path=/\r\nSet-Cookie: lang=de; Path=/\r\n", "JSESSIONID=one"},
      {"lower-case header name", "set-cookie: JSESSIONID=abc; Path=/\r\n", ""},
      {"other cookie only", "Set-Cookie: SESSION=abc; Path=/\r\n", ""},
      {"empty value", "Set-Cookie: JSESSIONID=; Path=/\r\n", "JSESSIONID="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server({answer("200 OK", "x", c.headers)});
    CM_RestUriGet req;
    req.SetCookie("JSESSIONID=previous");
    std::string response;
    EXPECT_EQ(0, get(req, server.url(), response));
    SUM_String cookie;
    req.GetCookie(cookie);
    EXPECT_STREQ(c.cookie, cookie.c_str());
  }
}

TEST_F(RestUriTest, CookieFromErrorAnswersToo) {
  Loopback server({answer("401 Unauthorized", "", "Set-Cookie: JSESSIONID=a401; Path=/\r\n"),
                   answer("404 Not Found", "")});
  CM_RestUriGet req;
  std::string response;
  SUM_String cookie;
  EXPECT_EQ(20004, get(req, server.url(), response));
  req.GetCookie(cookie);
  EXPECT_STREQ("JSESSIONID=a401", cookie.c_str());
  EXPECT_EQ(20003, get(req, server.url(), response));
  req.GetCookie(cookie);
  EXPECT_STREQ("", cookie.c_str());
}

TEST_F(RestUriTest, ResponseHeaderLinesLoseTheirLineEnds) {
  Loopback server({raw_answer("HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 2\r\n\r\nok"),
                   // A sloppy server ending its lines with a bare LF.
                   raw_answer("HTTP/1.1 200 OK\nSet-Cookie: JSESSIONID=lf1; Path=/\n"
                              "Content-Length: 2\nConnection: close\n\nok")});
  CM_RestUriGet req;
  std::string response;
  ASSERT_EQ(0, get(req, server.url(), response));
  SUM_StringList lines;
  ASSERT_EQ(0, req.GetResponseHeaders(lines));
  ASSERT_EQ(4, lines.count());
  EXPECT_STREQ("HTTP/1.1 200 OK", lines[0].c_str());
  EXPECT_STREQ("X-A: 1", lines[1].c_str());
  EXPECT_STREQ("Content-Length: 2", lines[2].c_str());
  EXPECT_STREQ("", lines[3].c_str());

  ASSERT_EQ(0, get(req, server.url(), response));
  EXPECT_EQ("ok", response);
  ASSERT_EQ(0, req.GetResponseHeaders(lines));
  ASSERT_EQ(5, lines.count());
  EXPECT_STREQ("Set-Cookie: JSESSIONID=lf1; Path=/", lines[1].c_str());
  EXPECT_STREQ("", lines[4].c_str());
  SUM_String cookie;
  req.GetCookie(cookie);
  EXPECT_STREQ("JSESSIONID=lf1", cookie.c_str());
}

// ---- error bodies ----

TEST(RestUriErrorBody, CollectsMessagesOfRootAndFollowingSiblings) {
  const std::string ns =
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\" xmlns:o=\"http://example.org/o#\"";
  struct Case {
    const char* name;
    std::string body;
    int rc;
    const char* message;  // after appending to "prefix\n"
  };
  const Case cases[] = {
      {"message and sibling",
       "<r" + ns +
           "><oslc_cm:message>A</oslc_cm:message><e><oslc_cm:message>B</oslc_cm:message>"
           "</e></r>",
       0, "prefix\nA\nB\n"},
      {"siblings without messages are skipped",
       "<r" + ns +
           "><o:code>7</o:code><oslc_cm:message>A</oslc_cm:message><e/>"
           "<f><oslc_cm:message>B</oslc_cm:message></f><g><x/><oslc_cm:message>C</oslc_cm:message>"
           "</g></r>",
       0, "prefix\nA\nB\nC\n"},
      {"other prefix for the same namespace",
       "<r xmlns:cm=\"http://open-services.net/ns/cm#\"><cm:message>only</cm:message></r>", 0,
       "prefix\nonly\n"},
      {"message in another namespace",
       "<r xmlns:oslc=\"http://open-services.net/ns/core#\"><oslc:message>A</oslc:message></r>",
       20001, "prefix\n"},
      {"no message", "<r" + ns + "><e/></r>", 20001, "prefix\n"},
      {"not XML", "<html><body>Server Error</body>", 20001, "prefix\n"},
      {"empty", "", 20001, "prefix\n"},
      {"doctype refused",
       "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r" + ns +
           "><oslc_cm:message>&x;</oslc_cm:message></r>",
       20001, "prefix\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string message = "prefix\n";
    EXPECT_EQ(c.rc, CM_RestUri::get_server_error(c.body, message));
    EXPECT_EQ(c.message, message);
  }
}

// ---- state errors ----

TEST_F(RestUriTest, RunNeedsInitAndRunsOncePerInit) {
  Loopback server({answer("200 OK", "first"), answer("200 OK", "second")});
  CM_RestUriGet req;
  std::string response = "kept";

  testing::internal::CaptureStderr();
  EXPECT_EQ(1072, req.Run(response));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("lib/CM_Provider/CM_Oslc/cm_rest_uri")) << log;
  EXPECT_EQ("kept", response);

  ASSERT_EQ(0, req.Init());
  req.SetBaseUri(server.url().c_str());
  req.SetCookie("JSESSIONID=mine");
  EXPECT_EQ(0, req.Run(response));
  EXPECT_EQ("first", response);

  testing::internal::CaptureStderr();
  response = "kept";
  EXPECT_EQ(1072, req.Run(response));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("cmioslc"));
  EXPECT_EQ("kept", response);
  EXPECT_EQ(1u, server.requests().size());

  // A new Init makes the object usable again.
  ASSERT_EQ(0, req.Init());
  req.SetBaseUri(server.url().c_str());
  EXPECT_EQ(0, req.Run(response));
  EXPECT_EQ("second", response);
  EXPECT_EQ(2u, server.requests().size());
}

TEST_F(RestUriTest, HeadersOnlyAfterARun) {
  CM_RestUriGet req;
  SUM_StringList lines;
  lines.append("caller's");
  testing::internal::CaptureStderr();
  EXPECT_EQ(1072, req.GetResponseHeaders(lines));
  ASSERT_EQ(0, req.Init());
  EXPECT_EQ(1072, req.GetResponseHeaders(lines));
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(1, lines.count());
  EXPECT_STREQ("caller's", lines[0].c_str());
}

TEST_F(RestUriTest, RefusedOptionStillLeavesTheRequestRunnable) {
  // No engine can be found for a token label, so Init reports a refused option.
  ScopedEnv engines("OPENSSL_ENGINES", (home.path() + "/no-engines").c_str());
  Loopback server({answer("200 OK", "ok")});
  CM_RestUriGet req;
  req.set_cert_label("token-object");
  EXPECT_EQ(20006, req.Init());
  req.SetBaseUri(server.url().c_str());
  std::string response;
  EXPECT_EQ(0, req.Run(response));
  EXPECT_EQ("ok", response);
}

// ---- copies ----

TEST_F(RestUriTest, CopiesOwnTheirHandleAndOutliveTheOriginal) {
  Loopback server({answer("200 OK", "ok")});
  auto original = std::make_unique<CM_RestUriPut>();
  ASSERT_EQ(0, original->Init());
  original->SetBaseUri(server.url().c_str());
  original->AppendResourceParam("copy", 1);
  original->SetUsername("bob");
  original->SetPassword("pw");
  original->SetUploadData("<payload/>");

  CM_RestUriPut copy(*original);
  CM_RestUriPut assigned;
  assigned = *original;
  original.reset();  // the copies must not depend on anything the original owned

  std::string response;
  EXPECT_EQ(0, copy.Run(response));
  EXPECT_EQ(0, assigned.Run(response));
  auto seen = server.requests();
  ASSERT_EQ(2u, seen.size());
  for (const std::string& raw : seen) {
    EXPECT_EQ("PUT /copy HTTP/1.1", request_line(raw));
    EXPECT_EQ("<payload/>", body_of(raw));
    EXPECT_TRUE(has_header(raw, "OSLC-Core-Version: 2.0"));
    EXPECT_TRUE(has_header(raw, "Authorization: Basic Ym9iOnB3"));
  }
}

TEST_F(RestUriTest, AssignmentOverAUsedObjectAndSelfAssignment) {
  Loopback server({answer("200 OK", "ok", "Set-Cookie: JSESSIONID=k1; Path=/\r\n")});
  CM_RestUriGet used;
  std::string response;
  ASSERT_EQ(0, get(used, server.url(), response));

  CM_RestUriGet fresh;
  used = fresh;  // drops the used handle and takes a duplicate of an unused one
  EXPECT_EQ(1072, [&] {
    testing::internal::CaptureStderr();
    int rc = used.Run(response);
    testing::internal::GetCapturedStderr();
    return rc;
  }());

  CM_RestUriGet ran;
  ASSERT_EQ(0, get(ran, server.url(), response));
  CM_RestUriGet& alias = ran;
  ran = alias;
  SUM_String cookie;
  ran.GetCookie(cookie);
  EXPECT_STREQ("JSESSIONID=k1", cookie.c_str());
  SUM_StringList lines;
  EXPECT_EQ(0, ran.GetResponseHeaders(lines));
  EXPECT_EQ(0, get(ran, server.url(), response));
  EXPECT_EQ(0, get(used, server.url(), response));
}

// ---- trace ----

TEST_F(RestUriTest, TraceShowsTheRequestButNeverThePassword) {
  Loopback server({answer("200 OK", "ok", "Set-Cookie: JSESSIONID=t1; Path=/\r\n")});
  CM_Trace::set_file("tester", static_cast<int>(getpid()));
  CM_Trace::configure("CMOSLC", 5);
  {
    // A label with a file in the store: the token engine stays unloaded in this process.
    const std::string certs = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/Certs";
    ASSERT_EQ(0, cmtest::run_command("mkdir -p " + certs));
    cmtest::write_file(certs + "/card-label.pem", "not used over plain http");
    CM_RestUriGet req;
    req.set_cert_label("card-label");
    ASSERT_EQ(0, req.Init());
    req.SetBaseUri(server.url().c_str());
    req.SetUsername("alice");
    req.SetPassword("pa55-word");
    std::string response;
    ASSERT_EQ(0, req.Run(response));
  }
  const std::string path = CM_Trace::file_path();
  CM_Trace::close();
  CM_Trace::reset();
  const std::string trace = cmtest::read_file(path);
  EXPECT_NE(std::string::npos, trace.find("Setting keystore to PKV_MS_CERTIFICATE_STORE"));
  EXPECT_NE(std::string::npos, trace.find("Setting certificate label to card-label"));
  EXPECT_NE(std::string::npos, trace.find("Setting auth info to alice:********"));
  EXPECT_NE(std::string::npos, trace.find("Sending with curl to address: \"" + server.url()));
  EXPECT_NE(std::string::npos, trace.find("HTTP Code = \"200\""));
  EXPECT_NE(std::string::npos, trace.find("Updating cookie : \"JSESSIONID=t1\""));
  EXPECT_EQ(std::string::npos, trace.find("pa55-word"));
}

// ---- misbehaving peers ----

TEST_F(RestUriTest, RefusedConnectionIsATransferFailure) {
  // A bound socket that never listens: connecting to its port is refused.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len));
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  CM_RestUriGet req;
  req.SetCookie("JSESSIONID=keep");
  std::string response = "old";
  EXPECT_EQ(20005, get(req, url, response));
  close(fd);
  EXPECT_EQ("old", response);
  EXPECT_EQ(0u, req.error_msg().find("CURL returned status code, \"7\", and the following "
                                     "message: \""))
      << req.error_msg();
  SUM_String cookie;
  req.GetCookie(cookie);
  EXPECT_STREQ("JSESSIONID=keep", cookie.c_str());
}

// A 2 GB body, sent with a Content-Length or in chunks, until the client gives up.
Reply endless_body(bool chunked) {
  return [=](const Conn& c) {
    constexpr size_t two_gb = size_t{2} * 1024 * 1024 * 1024;
    std::string head = "HTTP/1.1 200 OK\r\n";
    head += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                    : "Content-Length: " + std::to_string(two_gb) + "\r\n\r\n";
    if (!c.send(head)) return;
    const std::string block(1 << 16, 'z');
    const std::string chunk = "10000\r\n" + block + "\r\n";
    for (size_t sent = 0; sent < two_gb && c.send(chunked ? chunk : block); sent += block.size()) {
    }
  };
}

TEST_F(RestUriTest, BrokenAnswersAreTransferFailures) {
  ScopedEnv stall("TAPIR_CMI_STALL_TIMEOUT", "1");
  struct Case {
    const char* name;
    Reply reply;
    const char* error;  // in the error text after "CURL returned status code"
  };
  const Case cases[] = {
      {"reset mid-body",
       [](const Conn& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'x'));
         c.reset();
       },
       ""},
      {"closed before answering", [](const Conn&) {}, ""},
      {"not HTTP", raw_answer("SSH-2.0-OpenSSH_9.2\r\n\r\n"), ""},
      {"endless headers",
       [](const Conn& c) {
         if (!c.send("HTTP/1.1 200 OK\r\n")) return;
         const std::string line = "X-Fill: " + std::string(1000, 'h') + "\r\n";
         for (int i = 0; i < 20000 && c.send(line); ++i) {
         }
       },
       ""},
      {"stalled",
       [](const Conn& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
         c.wait_for_hangup();
       },
       ", \"28\""},
      {"huge body", endless_body(false), "268435456"},
      {"huge chunked body", endless_body(true), "268435456"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loopback server({c.reply});
    CM_RestUriGet req;
    std::string response = "old";
    EXPECT_EQ(20005, get(req, server.url(), response));
    EXPECT_EQ("old", response);
    EXPECT_EQ(0u, req.error_msg().find("CURL returned status code")) << req.error_msg();
    EXPECT_NE(std::string::npos, req.error_msg().find(c.error)) << req.error_msg();
  }
}

TEST_F(RestUriTest, UploadIntoAClosedConnectionFailsWithoutSignal) {
  // The server refuses before reading the body and resets; writing on must not raise SIGPIPE.
  Loopback server({[](const Conn& c) {
                    c.send("HTTP/1.1 413 Too Large\r\nConnection: close\r\n\r\n");
                    c.reset();
                  }},
                  false);
  CM_RestUriPut req;
  ASSERT_EQ(0, req.Init());
  req.SetBaseUri(server.url().c_str());
  req.SetUploadData(std::string(size_t{32} << 20, 'b').c_str());
  std::string response = "old";
  int rc = req.Run(response);
  EXPECT_TRUE(rc == 20005 || rc == 20001) << rc;
}

TEST_F(RestUriTest, BodyCutShortCountsAsCompletedTransfer) {
  Loopback server({[](const Conn& c) {
    c.send("HTTP/1.1 404 Not Found\r\nContent-Length: 500\r\n\r\n<partial");
  }});
  CM_RestUriGet req;
  std::string response;
  EXPECT_EQ(20003, get(req, server.url(), response));
  EXPECT_EQ("<partial", response);
}

TEST_F(RestUriTest, OnlyHttpIsEverFetched) {
  const std::string secret_path = home.path() + "/secret.txt";
  cmtest::write_file(secret_path, "TOP-SECRET");
  Loopback server({answer("302 Found", "<moved/>", "Location: file://" + secret_path + "\r\n")});

  CM_RestUriGet req;
  std::string response;
  EXPECT_EQ(20001, get(req, server.url(), response));
  EXPECT_EQ("<moved/>", response);

  response = "old";
  for (const std::string& url : {"file://" + secret_path, std::string("ftp://127.0.0.1/x")}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(20005, get(req, url, response));
    EXPECT_EQ("old", response);
  }
}

// Updates go only to the base URL's origin; the rows change the base between calls, as one
// process with two connections would.
TEST(RestOrigin, UpdatesStayWithTheBaseUrlsOrigin) {
  const struct {
    const char* url;
    const char* base;
    bool same;
  } rows[] = {
      {"http://t.example/oslc/r/1", "http://t.example/oslc", true},
      {"HTTP://T.Example:80/r/1", "http://t.example/oslc", true},
      {"http://t.example:8080/r/1", "http://t.example/oslc", false},
      {"https://t.example/r/1", "http://t.example/oslc", false},
      {"https://t.example/r/1", "https://t.example:443/x", true},
      {"http://t.example/r/1", "https://t.example:443/x", false},
      {"http://other.example/r/1", "http://other.example/", true},
      {"http://t.example/r/1", "http://other.example/", false},
      {"not a url", "http://t.example/oslc", false},
      {"http://t.example/r/1", "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.url) + " against " + row.base);
    EXPECT_EQ(row.same, cm_rest_same_origin(row.url, row.base));
  }
}

}  // namespace
