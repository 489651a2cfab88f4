// Request object tests against a scripted loopback server: URL building and headers as they
// reach the wire (and the trace), what each kind of answer or failed transfer leaves behind,
// state errors and the origin check of updates.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"

#include <cstdio>

namespace {

using cmtest::CannedServer;
using Conn = CannedServer::Conn;
using Reply = CannedServer::Reply;

Reply script(CannedServer::Script script) { return Reply{0, "", {}, std::move(script)}; }
Reply raw(const std::string& bytes) {
  return script([=](const Conn& c) { c.send(bytes); });
}

// The request's header lines except Host and Content-Length, in order, each ending in "|".
std::string sent_headers(const CannedServer::Request& request) {
  std::string out;
  const std::string& head = request.head;
  for (size_t at = 0, end; (end = head.find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = head.substr(at, end - at);
    if (line.rfind("Host:", 0) != 0 && line.rfind("Content-Length:", 0) != 0) out += line + "|";
  }
  return out;
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

const char kErrorBody[] =
    "<?xml version=\"1.0\"?>\n"
    "<oslc:Error xmlns:oslc=\"http://open-services.net/ns/core#\""
    " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\">"
    "<oslc_cm:message>Record MR9 is locked</oslc_cm:message>"
    "<oslc:extendedError><oslc_cm:message>Try again later</oslc_cm:message></oslc:extendedError>"
    "</oslc:Error>";

class RestUriTest : public cmtest::CannedTest {
 protected:
  // GET of the server's URL on a fresh Init.
  int get(CM_RestUri& req, std::string& response) {
    EXPECT_EQ(0, req.Init());
    req.SetBaseUri(server.url().c_str());
    return req.Run(response);
  }
};

// One handle through every method switch (each method follows DELETE once: a custom method must
// not linger); an added header, the URL's segments and query and the cookie of the first answer
// go out once (Init starts afresh; the second answer has no cookie); a header that would carry
// another is refused. The password reaches the wire only in the Authorization line, never the
// trace.
TEST_F(RestUriTest, MethodsHeadersLoginAndCookieOnOneHandle) {
  const std::string steps = "PDGUDUPDPG", letters = "PDGU";  // Post, Delete, Get, pUt
  const HttpMethodType methods[] = {POST, DELETE, GET, PUT};
  const char* names[] = {"POST", "DELETE", "GET", "PUT"};
  const std::string body = "<rdf:RDF>\xC3\xA9 links</rdf:RDF>";
  server.push(200, "ok", {"Set-Cookie: JSESSIONID=s1; Path=/"});
  for (size_t i = 1; i < steps.size(); ++i) server.push(200, "ok");
  cmtest::Tracing trace("CMOSLC", 5);
  MethodRequest req(POST);
  std::string response;
  SUM_StringList ids;  // escaped one by one
  for (const char* id : {"1", "2,5", "\xC3\xA9"}) ids.append(id);
  for (size_t i = 0; i < steps.size(); ++i) {
    req.m_method = methods[letters.find(steps[i])];
    ASSERT_EQ(0, req.Init());
    req.SetBaseUri((server.url() + "/oslc").c_str());
    if (i == 0) {
      EXPECT_EQ(0, req.AppendHeader("If-Match: \"1-2\""));
      EXPECT_EQ(20006, req.AppendHeader("X-A: 1\r\nX-Injected: 1"));
      EXPECT_EQ(20006, req.AppendHeader("X-B: 1\nX-Injected: 1"));
      req.AppendResourceParam("a b", 1);
      req.AppendResourceParam("x/y", 0);
      req.AppendNameValue("q", "v 1");
      req.AppendNameValues("ids", SUM_StringList());  // an empty list leaves the name and "="
      req.AppendValue("&");
    }
    if (i == 1) req.AppendNameValues("ids", ids);
    req.SetUsername("alice");
    req.SetPassword("s3cret");
    if (steps[i] == 'P' || steps[i] == 'U') req.SetUploadData(body.c_str());
    ASSERT_EQ(0, req.Run(response)) << i;
  }
  const std::string traced = trace.text();
  EXPECT_NE(std::string::npos, traced.find("alice:")) << traced;
  EXPECT_EQ(std::string::npos, traced.find("s3cret"));
  auto seen = server.requests();
  ASSERT_EQ(steps.size(), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    const bool with_body = steps[i] == 'P' || steps[i] == 'U';
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(names[letters.find(steps[i])]) + " " +
                  (i == 0   ? "/oslc/a%20b/x/y?q=v%201&ids=&%26"
                   : i == 1 ? "/oslc?ids=1,2%2C5,%C3%A9"
                            : "/oslc"),
              seen[i].method + " " + seen[i].target);
    EXPECT_EQ(with_body ? body : "", seen[i].body);
    EXPECT_EQ(std::string("Authorization: Basic YWxpY2U6czNjcmV0|") +  // alice:s3cret
                  "User-Agent: Tarnwell-agent/7.1.2.9|" + (i == 1 ? "Cookie: JSESSIONID=s1|" : "") +
                  "OSLC-Core-Version: 2.0|" +  // no Expect: 100-continue either
                  (with_body ? "Content-Type: application/rdf+xml|Accept: application/rdf+xml|"
                             : "Accept: application/xml|") +
                  "Keep-Alive: 300|Connection: keep-alive|" + (i == 0 ? "If-Match: \"1-2\"|" : ""),
              sent_headers(seen[i]));
  }
}

// A body of 2 GiB, sent until the client gives up: chunked, or under its announced length.
Reply endless_body(bool announced) {
  return script([announced](const Conn& c) {
    const std::string block(1 << 16, 'z');
    const std::string chunk = announced ? block : "10000\r\n" + block + "\r\n";
    if (!c.send(announced ? "HTTP/1.1 200 OK\r\nContent-Length: 2147483648\r\n\r\n"
                          : "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"))
      return;
    for (int i = 0; i < (1 << 15) && c.send(chunk); ++i) {
    }
  });
}

// A chunked answer: the body's length is not known before it ends.
Reply chunked(const std::string& body) {
  return script([body](const Conn& c) {
    std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += 40000) {
      const std::string piece = body.substr(at, 40000);
      char size[16];
      snprintf(size, sizeof size, "%zx\r\n", piece.size());
      out += size + piece + "\r\n";
    }
    c.send(out + "0\r\n\r\n");
  });
}

std::string cookie_of_size(size_t size) { return "JSESSIONID=" + std::string(size - 11, 'c'); }
Reply cookies(std::vector<std::string> values) {  // a 200 answer "x" with these Set-Cookie lines
  for (auto& value : values) value = "Set-Cookie: " + value;
  return Reply{200, "x", std::move(values)};
}

// What an answer or a failed transfer leaves behind: the status, the response text (which starts
// as "old"), the session cookie (which starts as JSESSIONID=previous) and the error text; with
// success bodies not kept, a success leaves the response empty.
TEST_F(RestUriTest, WhatEachAnswerLeavesBehind) {
  cmtest::ScopedEnv stall("TAPIR_CMI_STALL_TIMEOUT", "1");
  const std::string kept = "JSESSIONID=previous";
  const std::string before_nul(100000, 'a'), unannounced = std::string(150000, 'u') + "end";
  struct Row {
    Reply reply;
    int rc;
    std::string response, cookie;
    const char* error = nullptr;  // null: no error text; "": any
  };
  const Row rows[] = {
      {cookies({"JSESSIONID=abc123; Path=/; HttpOnly"}), 0, "x", "JSESSIONID=abc123"},
      {Reply{201, "<made/>"}, 0, "<made/>", ""},
      {Reply{204, ""}, 20001, "old", ""},
      // A redirect is not followed; a refused login keeps its body out.
      {Reply{302, "<moved/>", {"Location: file:///etc/passwd"}}, 20001, "<moved/>", ""},
      {Reply{401, "<no/>", {"Set-Cookie: JSESSIONID=a4; Path=/"}}, 20004, "old", "JSESSIONID=a4",
       ""},
      {Reply{403, "<forbidden/>"}, 20004, "<forbidden/>", "", ""},
      // A 404 cut short is complete.
      {raw("HTTP/1.1 404 No\r\nContent-Length: 500\r\n\r\n<partial"), 20003, "<partial", "", ""},
      {Reply{500, kErrorBody}, 20001, kErrorBody, "", "Record MR9 is locked\nTry again later\n"},
      // The response is text: it ends at a NUL byte, even one far into the body.
      {Reply{200, std::string("ab\0cd", 5)}, 0, "ab", ""},
      {Reply{200, std::string(1, '\0') + "x"}, 0, "", ""},
      {Reply{200, before_nul + '\0' + std::string(100000, 'b')}, 0, before_nul, ""},
      // A body of unknown length arrives whole; so does one that falls short of an absurd
      // announced length (no room is taken for what was announced beyond the cap).
      {chunked(unannounced), 0, unannounced, ""},
      {raw("HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n<partial"), 0, "<partial",
       ""},
      // Bare LF lines.
      {raw("HTTP/1.1 200 OK\nSet-Cookie: JSESSIONID=lf1; Path=/\nContent-Length: 2\n\nok"), 0, "ok",
       "JSESSIONID=lf1"},
      // Which Set-Cookie gives the session cookie.
      {cookies({"lang=en; JSESSIONID=zz9; Path=/"}), 0, "x", "JSESSIONID=zz9"},
      {cookies({"JSESSIONID=abc"}), 0, "x", ""},  // no attribute after it
      {cookies({"JSESSIONID=one; Path=/", "JSESSIONID=two; a"}), 0, "x", "JSESSIONID=two"},
      {cookies({"JSESSIONID=one; Path=/", "lang=de; Path=/"}), 0, "x", "JSESSIONID=one"},
      {cookies({"JSESSIONID=a\tb; Path=/"}), 0, "x", ""},  // control characters
      {cookies({cookie_of_size(4096) + "; Path=/"}), 0, "x", cookie_of_size(4096)},
      {cookies({cookie_of_size(4097) + "; Path=/"}), 0, "x", ""},
      // Failed transfers leave response and cookie alone.
      {script([](const Conn& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'x'));
         linger l{1, 0};  // closed with a TCP reset, not an orderly shutdown
         ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
       }),
       20005, "old", kept, ""},                                      // reset mid-body
      {script([](const Conn&) {}), 20005, "old", kept, ""},          // closed before answering
      {raw("SSH-2.0-OpenSSH_9.2\r\n\r\n"), 20005, "old", kept, ""},  // not HTTP
      {script([](const Conn& c) {
         const std::string line = "X-Fill: " + std::string(1000, 'h') + "\r\n";
         for (int i = 0; i < 20000 && c.send(i == 0 ? "HTTP/1.1 200 OK\r\n" : line); ++i) {
         }
       }),
       20005, "old", kept, "262144"},  // endless headers: the cap, not libcurl's limit
      {script([](const Conn& c) {
         c.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc");
         char scratch[512];  // until the client hangs up or the server stops
         for (pollfd p{c.fd, POLLIN, 0}; !c.stop;)
           if (::poll(&p, 1, 50) > 0 && ::recv(c.fd, scratch, sizeof scratch, 0) <= 0) return;
       }),
       20005, "old", kept, ""},  // stalled: the transfer time limit
      // Bodies over their cap, announced or not.
      {endless_body(false), 20005, "old", kept, "larger than 268435456 bytes"},
      {endless_body(true), 20005, "old", kept, "larger than 268435456 bytes"},
  };
  // Once more with success bodies not kept: all else stays, the caps too.
  for (const bool keep : {true, false}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(testing::Message() << (keep ? "kept " : "not kept ") << &row - rows);
      server.push(row.reply);
      CM_RestUriGet req;
      req.KeepSuccessBody(keep);
      req.SetCookie(kept.c_str());
      std::string response = "old";
      EXPECT_EQ(row.rc, get(req, response));
      EXPECT_EQ(keep || row.rc != 0 ? row.response : "", response);
      SUM_String cookie;
      req.GetCookie(cookie);
      EXPECT_EQ(row.cookie, cookie.str());
      EXPECT_EQ(row.error != nullptr, !req.error_msg().empty());
      if (row.error)
        EXPECT_NE(std::string::npos, req.error_msg().find(row.error)) << req.error_msg();
    }
  }
}

TEST_F(RestUriTest, RunNeedsInitAndRunsOncePerInit) {
  server.push(200, "first");
  server.push(200, "second");
  CM_RestUriGet req;
  std::string response = "kept";
  testing::internal::CaptureStderr();
  EXPECT_EQ(1072, req.Run(response));
  ASSERT_EQ(0, get(req, response));
  EXPECT_EQ(1072, req.Run(response));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ("first", response);
  EXPECT_EQ(1u, server.requests().size());
  ASSERT_EQ(0, get(req, response));  // a new Init makes the object usable again
  EXPECT_EQ("second", response);
}

// A copy, made by construction or assignment, sends the body the source was given (copied or
// taken over) from its own text, also once the source is gone.
TEST_F(RestUriTest, CopiesSendTheirOwnBody) {
  const std::string body = std::string(size_t{1} << 20, 'p') + "</rdf:RDF>";
  for (const bool taken : {false, true}) {
    SCOPED_TRACE(taken);
    server.push(200, "ok");
    server.push(200, "ok");
    auto source = std::make_unique<CM_RestUriPut>();
    ASSERT_EQ(0, source->Init());
    source->SetBaseUri(server.url().c_str());
    if (taken) {
      source->TakeUploadData(std::string(body));
    } else {
      source->SetUploadData(body.c_str());
    }
    CM_RestUriPut copied(*source);
    CM_RestUriPut assigned;
    assigned = *source;
    source.reset();
    std::string response;
    EXPECT_EQ(0, copied.Run(response));
    EXPECT_EQ(0, assigned.Run(response));
  }
  const auto seen = server.requests();
  ASSERT_EQ(4u, seen.size());
  for (const auto& request : seen) EXPECT_TRUE(request.body == body) << request.body.size();
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
