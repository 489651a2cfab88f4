// Record update: the PUT address, the body's structure and order, and the answers to failures,
// against canned answers.
#include "CM_Provider/CM_Oslc/cm_oslc_set.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
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
  int ReadAndInit(const std::string& stable_uri) {
    server.push(200, record_doc(stable_uri, "", ""));
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

// The PUT goes to the stable URI as the server gave it, and is conditional on the read's tag.
TEST_F(OslcSetTest, PutGoesToTheStableUriOnTheTagOfTheRead) {
  struct Case {
    const char* path;
    const char* target;
    const char* header;    // ETag line of the read's answer; empty: none
    const char* if_match;  // null: no If-Match on the update
  };
  const Case cases[] = {
      {"/rec/7", "/rec/7?oslc.properties=oslc_cm%3AtracksChangeSet", "ETag: \"7-3\"", "\"7-3\""},
      {"/rec/7?x=1", "/rec/7?x=1?oslc.properties=oslc_cm%3AtracksChangeSet", "etag:   W/\"x\"  ",
       "W/\"x\""},
      {"/rec/7", "/rec/7?oslc.properties=oslc_cm%3AtracksChangeSet", "", nullptr},
      // A tag that could not go back in one header line is not used at all.
      {"/rec/7", "/rec/7?oslc.properties=oslc_cm%3AtracksChangeSet", "ETag: \"a\tb\"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::vector<std::string> headers;
    if (*c.header) headers.push_back(c.header);
    server.push(200, record_doc(server.url() + c.path, "", ""), headers);
    ASSERT_EQ(0, get.Init(session, "MR1"));
    ASSERT_EQ(0, get.Execute());
    ASSERT_EQ(0, set.Initv2(session, get, "tracksChangeSet"));
    ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), CM_LinksMap()));
    server.push(200, "");
    ASSERT_EQ(0, set.Execute()) << set.get_error();
    auto request = server.requests().back();
    EXPECT_EQ("PUT", request.method);
    EXPECT_EQ(c.target, request.target);
    EXPECT_EQ("application/rdf+xml", request.headers["Content-Type"]);
    EXPECT_EQ("Basic Ym9iOnNlY3JldA==", request.headers["Authorization"]);
    EXPECT_EQ(c.if_match ? 1u : 0u, request.headers.count("If-Match"));
    if (c.if_match) EXPECT_EQ(c.if_match, request.headers["If-Match"]);
  }
}

TEST_F(OslcSetTest, BodyListsEveryLinkInKeyOrderUnderTheRecord) {
  const std::string stable = server.url() + "/rec/7";
  ASSERT_EQ(0, ReadAndInit(stable));
  CM_LinksMap links;
  Add(links, "http://v/b", "Bee");
  Add(links, "http://v/a", "A & <x> \"q\"");
  ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  server.push(200, "");
  ASSERT_EQ(0, set.Execute()) << set.get_error();
  const std::string body = LastBody();

  // The four namespace declarations sit on the root (their textual order is the DOM
  // serialiser's, as is the order of the attributes of each link).
  const std::string root = body.substr(0, body.find('>', body.find("<rdf:RDF")));
  for (const char* declaration :
       {"xmlns:oslc=\"http://open-services.net/ns/core#\"",
        "xmlns:oslc_cm=\"http://open-services.net/ns/cm#\"",
        "xmlns:mr=\"http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/\"",
        "xmlns:dcterms=\"http://purl.org/dc/terms/\""}) {
    EXPECT_NE(std::string::npos, root.find(declaration)) << declaration << " in " << root;
  }

  // Parsed back, the document says exactly what was sent.
  CM_XmlParser parser(body);
  CM_XmlElem rdf;
  ASSERT_EQ(0, parser.GetRoot(rdf));
  CM_XmlTag tag;
  ASSERT_EQ(0, rdf.Tag(tag));
  EXPECT_EQ(CM_XmlTag(ns_rdf(), "RDF"), tag);
  CM_XmlElem record;
  ASSERT_EQ(0, rdf.Child(tag_oslc_cm_ChangeRequest(), record));
  SUM_String about;
  ASSERT_EQ(0, record.find_attribute("rdf:about", about));
  EXPECT_EQ(SUM_String(stable), about);
  std::vector<std::pair<std::string, std::string>> seen;
  CM_XmlElem link;
  for (int rc = record.OptFirstChild(link); rc == 0; rc = link.OptNextSibling(link)) {
    ASSERT_EQ(0, link.Tag(tag));
    EXPECT_EQ(tag_oslc_cm_tracksChangeSet(), tag);
    SUM_String resource, title;
    ASSERT_EQ(0, link.find_attribute("rdf:resource", resource));
    ASSERT_EQ(0, link.find_attribute("dcterms:title", title));
    seen.emplace_back(resource.str(), title.str());
  }
  std::vector<std::pair<std::string, std::string>> expected = {{"http://v/a", "A & <x> \"q\""},
                                                               {"http://v/b", "Bee"}};
  EXPECT_EQ(expected, seen);
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

TEST_F(OslcSetTest, ServerRefusalsGiveTheirStatusAndText) {
  const std::string error_body =
      "<oslc:Error xmlns:oslc=\"http://open-services.net/ns/core#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\">"
      "<oslc_cm:message>First problem</oslc_cm:message>"
      "<oslc:extendedError><oslc_cm:message>Second problem</oslc_cm:message>"
      "</oslc:extendedError></oslc:Error>";
  struct Case {
    int http;
    int status;
  };
  for (const Case c : {Case{404, 20001}, Case{500, 20001}, Case{401, 20004}, Case{403, 20004}}) {
    SCOPED_TRACE(c.http);
    ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
    ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), CM_LinksMap()));
    server.push(c.http, error_body);
    EXPECT_EQ(c.status, set.Execute());
    const std::string error = set.get_error();
    if (c.status == 20004) {
      EXPECT_EQ(oslc_msg(5), error);
    } else {
      EXPECT_NE(std::string::npos, error.find("First problem\nSecond problem\n")) << error;
    }
  }
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

}  // namespace
