// Record update: the PUT address, the body's structure and order, and the answers to failures,
// against canned answers.
#include "CM_Provider/CM_Oslc/cm_oslc_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "support/temp_home.h"

namespace {

using cmtest::CannedServer;
using cmtest::record_doc;

std::string oslc_msg(int number) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), number);
}

class OslcSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    session = cmtest::make_session(server.url() + "/oslc", "bob", "secret");
  }

  // Reads a record whose rdf:about is stable_uri (empty: none), then prepares the update.
  int ReadAndInit(const std::string& stable_uri, const std::string& header = "") {
    std::vector<std::string> headers;
    if (!header.empty()) headers.push_back(header);
    server.push(200, record_doc(stable_uri, "", ""), headers);
    EXPECT_EQ(0, get.Init(session, "MR1"));
    EXPECT_EQ(0, get.Execute());
    return set.Initv2(session, get, "tracksChangeSet");
  }

  static void Add(CM_LinksMap& links, const std::string& resource, const std::string& title) {
    links[resource.c_str()] = std::make_unique<CM_VersionInfo>(title.c_str());
  }

  // The body the server received with the last request.
  std::string LastBody() {
    auto requests = server.requests();
    return requests.empty() ? "" : requests.back().body;
  }

  cmtest::TempHome home;
  CannedServer server;
  CM_Session session;
  CM_OslcGet get;
  CM_OslcSet set;
};

// The PUT goes to the stable URI as the server gave it, conditional on the read's tag; a refusal
// gives its status and the server's messages.
TEST_F(OslcSetTest, PutGoesToTheStableUriOnTheTagOfTheRead) {
  const std::string query = "?oslc.properties=oslc_cm%3AtracksChangeSet";
  const std::string refusal =
      "<oslc:Error xmlns:oslc=\"http://open-services.net/ns/core#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\"><oslc_cm:message>First</oslc_cm:message>"
      "<oslc:extendedError><oslc_cm:message>Second</oslc_cm:message></oslc:extendedError></"
      "oslc:Error>";
  struct Case {
    const char* path;
    const char* etag;      // ETag line of the read's answer; empty: none
    const char* if_match;  // null: no If-Match on the update
    int http, status;
  };
  const Case cases[] = {
      {"/rec/7", "ETag: \"7-3\"", "\"7-3\"", 200, 0},
      {"/rec/7?x=1", "etag:   W/\"x\"  ", "W/\"x\"", 200, 0},
      {"/rec/7", "", nullptr, 200, 0},
      {"/rec/7", "ETag: \"a\tb\"", nullptr, 200, 0},  // cannot go back in one header line
      {"/rec/7", "", nullptr, 404, 20001},
      {"/rec/7", "", nullptr, 500, 20001},
      {"/rec/7", "", nullptr, 401, 20004},
      {"/rec/7", "", nullptr, 403, 20004},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.etag) + std::to_string(c.http));
    ASSERT_EQ(0, ReadAndInit(server.url() + c.path, *c.etag ? c.etag : ""));
    ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), CM_LinksMap()));
    server.push(c.http, c.http == 200 ? "" : refusal);
    ASSERT_EQ(c.status, set.Execute()) << set.get_error();
    auto request = server.requests().back();
    EXPECT_EQ("PUT", request.method);
    EXPECT_EQ(c.path + query, request.target);
    EXPECT_EQ("application/rdf+xml", request.headers["Content-Type"]);
    EXPECT_EQ("Basic Ym9iOnNlY3JldA==", request.headers["Authorization"]);
    EXPECT_EQ(c.if_match ? 1u : 0u, request.headers.count("If-Match"));
    if (c.if_match) EXPECT_EQ(c.if_match, request.headers["If-Match"]);
    const std::string error = set.get_error();
    if (c.status == 20004) EXPECT_EQ(oslc_msg(5), error);
    if (c.status == 20001) EXPECT_NE(std::string::npos, error.find("First\nSecond\n")) << error;
  }
}

// Byte for byte: the tracker reads declarations and attributes in this order.
TEST_F(OslcSetTest, BodyListsEveryLinkInKeyOrderUnderTheRecord) {
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  CM_LinksMap links;
  Add(links, "http://v/b", "Bee");
  Add(links, "http://v/a", "A & <x> \"q\" \xC3\xA9");
  ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  server.push(200, "");
  ASSERT_EQ(0, set.Execute()) << set.get_error();
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rdf:RDF"
      " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:oslc=\"http://open-services.net/ns/core#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
      " xmlns:mr=\"http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/\""
      " xmlns:dcterms=\"http://purl.org/dc/terms/\"><oslc_cm:ChangeRequest rdf:about=\"" +
          server.url() +
          "/rec/7\"><oslc_cm:tracksChangeSet rdf:resource=\"http://v/a\""
          " dcterms:title=\"A &amp; &lt;x&gt; &quot;q&quot; \xC3\xA9\"/><oslc_cm:tracksChangeSet"
          " rdf:resource=\"http://v/b\" dcterms:title=\"Bee\"/></oslc_cm:ChangeRequest></rdf:RDF>",
      LastBody());
}

TEST_F(OslcSetTest, RecordWithoutStableIdIsNeverWrittenNorABodyTwice) {
  CM_LinksMap links;
  Add(links, "http://v/a", "A");
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  EXPECT_NE(0, set.Execute());
  EXPECT_NE(0, ReadAndInit(""));
  EXPECT_EQ(oslc_msg(10), set.get_error());
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), CM_LinksMap()));
  EXPECT_NE(0, set.Execute());
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  server.push(200, "", {"Set-Cookie: JSESSIONID=renewed; Path=/"});
  ASSERT_EQ(0, set.Execute());
  EXPECT_NE(0, set.Execute());
  std::string methods;
  for (const auto& request : server.requests()) methods += request.method + " ";
  EXPECT_EQ("GET GET PUT ", methods);
  EXPECT_EQ(SUM_String("JSESSIONID=renewed"), cmtest::make_session(server.url()).GetCookie());
}

TEST_F(OslcSetTest, DocumentFailureNamesTheFailingStep) {
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  CM_LinksMap links;
  Add(links, "http://v/a", "A");
  // An element name XML does not allow cannot be opened.
  const CM_XmlTag bad(ns_oslc_cm(), "no good");
  EXPECT_NE(0, set.SetLinksValues(bad, links));
  EXPECT_EQ(format_message(_cm_oslc_CM_Oslc_msg_table_adr(), 29,
                           "lib/CM_Provider/CM_Oslc/cm_oslc_set", 378),
            set.get_error());
}

// A link set that fails halfway (a title the code page cannot hold) spends the update: a later
// Execute sends nothing rather than the half-built body.
TEST_F(OslcSetTest, HalfBuiltBodyIsNeverSent) {
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  CM_LinksMap links;
  Add(links, "http://v/a", "A");
  Add(links, "http://v/b", "bad \xFF");
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  EXPECT_NE(0, set.Execute());
  EXPECT_EQ(1u, server.requests().size());
}

}  // namespace
