// Record read: request address and login, answer shapes, cookies, and the link collection with
// its failure cases, against canned answers.
#include "CM_Provider/CM_Oslc/cm_oslc_get.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "support/temp_home.h"

namespace {

using cmtest::link_elem;
using cmtest::record_doc;
using cmtest::title_desc;
using Titles = std::map<std::string, std::string>;

std::string oslc_msg(int number) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), number);
}

class OslcGetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()); }

  // Reads one canned record; returns Execute's status.
  int Read(const std::string& body, int status = 200, std::vector<std::string> headers = {}) {
    server.push(status, body, std::move(headers));
    EXPECT_EQ(0, get.Init(cmtest::make_session(server.url() + "/oslc", "alice", "pw"), "MR1"));
    return get.Execute();
  }

  // The links of the record just read, on top of one link already in the map.
  int Links(Titles& out, std::string& error) {
    CM_LinksMap links;
    links.emplace("keep", std::make_unique<CM_VersionInfo>("kept"));
    int status = get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error);
    for (const auto& link : links) out[link.first.str()] = link.second->GetName().str();
    return status;
  }

  cmtest::TempHome home;
  cmtest::CannedServer server;
  CM_OslcGet get;
};

TEST_F(OslcGetTest, AddressEscapesEveryPieceAndCarriesLoginAndCookie) {
  server.push(200, record_doc("http://h/r/1", "", ""));
  CM_Session session =
      cmtest::make_session(server.url() + "/oslc", "alice", "pw", "set one", "db&x");
  ASSERT_EQ(0, session.UpdateCookie("JSESSIONID=abc"));
  ASSERT_EQ(0, get.Init(session, "MR 1/2"));
  ASSERT_EQ(0, get.Execute());
  auto requests = server.requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_EQ("/oslc/repo/set%20one/db/db%26x/record?vqm.name=MR%201%2F2", requests[0].target);
  EXPECT_EQ("Basic YWxpY2U6cHc=", requests[0].headers["Authorization"]);
  EXPECT_EQ("JSESSIONID=abc", requests[0].headers["Cookie"]);
}

TEST_F(OslcGetTest, FailedReadsGiveTheirStatusAndTextAndNoRecord) {
  const std::string ns =
      " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\"";
  struct Case {
    std::string body;
    int http, status, message;
  };
  const std::vector<Case> cases = {
      {"<rdf:RDF" + ns + "><x/></rdf:RDF>", 200, 20001, 7},
      {"<rdf:RDF" + ns + "><rdf:Description><oslc_cm:ChangeRequest/></rdf:Description></rdf:RDF>",
       200, 20001, 7},
      {"<rdf:RDF" + ns + "><rdf:Description><rdfs:member/></rdf:Description></rdf:RDF>", 200, 20001,
       7},
      {"", 200, 20001, 7},
      {"", 404, 20003, 6},
      {"", 401, 20004, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body + std::to_string(c.http));
    ASSERT_EQ(
        0, Read(record_doc("http://h/r/1", link_elem("http://v/a", "L1"), title_desc("L1", "A"))));
    EXPECT_EQ(c.status, Read(c.body, c.http));
    EXPECT_EQ(oslc_msg(c.message), get.get_error());
    // Nothing of the record read before may pass for this one.
    Titles links;
    std::string error;
    const int status = Links(links, error);
    EXPECT_NE(0, status);
    EXPECT_NE(1002, status);
    EXPECT_EQ(1u, links.size());
    SUM_String id;
    EXPECT_NE(0, get.GetStableId(id));
  }
}

TEST_F(OslcGetTest, CookiesAreStoredBeforeTheAnswerIsJudged) {
  EXPECT_EQ(20003, Read("", 404, {"Set-Cookie: JSESSIONID=fresh; Path=/"}));
  EXPECT_EQ(SUM_String("JSESSIONID=fresh"), cmtest::make_session(server.url()).GetCookie());

  server.push(200, record_doc("http://h/r/1", "", ""), {"Set-Cookie: JSESSIONID=x; Path=/"});
  CM_Session no_jar;
  no_jar.get_credential().set_web_url((server.url() + "/oslc").c_str());
  ASSERT_EQ(0, get.Init(no_jar, "MR1"));
  EXPECT_EQ(20001, get.Execute());
  EXPECT_EQ(oslc_msg(30), get.get_error());
}

TEST_F(OslcGetTest, StableIdBelongsToTheRecordJustRead) {
  for (const char* uri : {"http://h/r/1", "http://h/r/2", ""}) {
    ASSERT_EQ(0, Read(record_doc(uri, "", "")));
    SUM_String id("stale");
    ASSERT_EQ(0, get.GetStableId(id));
    EXPECT_EQ(SUM_String(uri), id);
  }
}

// Failing cases would lose links if the readable part were written back: the map stays as it
// was and the status is never 1002 (no links at all).
TEST_F(OslcGetTest, LinksAreReadWholeOrNotAtAll) {
  const std::string a = link_elem("a", "L1"), b = link_elem("b", "L2");
  const std::string ta = title_desc("L1", "A"), tb = title_desc("L2", "B");
  const std::string nested = "<rdf:Description rdf:about=\"x\"><rdfs:member>" +
                             title_desc("L3", "G &amp; m") + "</rdfs:member></rdf:Description>";
  struct Case {
    const char* name;
    std::string inner, descriptions;
    int status;
    const char* want;  // resource=title; in key order, the kept link included
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"titles in any order, nested", link_elem("c", "L3") + a + b, tb + nested + ta, 0,
       "a=A;b=B;c=G & m;keep=kept;"},
      {"no link property", "<dcterms:title>t</dcterms:title>", "", 1002, "keep=kept;"},
      {"same resource twice keeps the first", a + link_elem("a", "L2"), ta + tb, 0, "a=A;keep=kept;"},
      {"non-ASCII title", a, title_desc("L1", "Gr\xc3\xbc \xe6\x97\xa5"), 0, "a=Gr\xc3\xbc \xe6\x97\xa5;keep=kept;"},
      {"CDATA and comments joined", a, title_desc("L1", "F <![CDATA[a<b]]> <!-- n -->d<?p y?>"), 0,
       "a=F a<b d;keep=kept;"},
      {"title holding markup", a, title_desc("L1", "F <b>x</b> d"), 20001, "keep=kept;"},
      {"same rdf:ID twice", a + link_elem("z", "L1"), ta, 20001, "keep=kept;"},
      {"link without rdf:ID", a + link_elem("b", ""), ta, 20001, "keep=kept;"},
      {"link without resource", a + link_elem("", "L2"), ta + tb, 20001, "keep=kept;"},
      {"id without description", a + b, ta, 20001, "keep=kept;"},
      {"description without title", a, "<rdf:Description rdf:about=\"#L1\"/>", 1001, "keep=kept;"},
      {"links split by another property", a + "<dcterms:title>t</dcterms:title>" + b, ta + tb, 20001,
       "keep=kept;"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Read(record_doc("http://h/r/1", c.inner, c.descriptions)));
    Titles got;
    std::string error, flat;
    EXPECT_EQ(c.status, Links(got, error)) << error;
    for (const auto& link : got) flat += link.first + "=" + link.second + ";";
    EXPECT_EQ(c.want, flat);
    if (c.status != 0) EXPECT_FALSE(error.empty());
    if (c.status == 1002)
      EXPECT_EQ(format_message(_cm_oslc_CM_Oslc_msg_table_adr(), 22, "tracksChangeSet"), error);
    if (std::string(c.name) == "same rdf:ID twice")
      EXPECT_NE(std::string::npos, error.find("rdf:ID \"L1\""));
  }
}

TEST_F(OslcGetTest, TenThousandLinksAreAllFound) {
  std::string inner, descriptions;
  const int count = 10000;
  for (int i = 0; i < count; ++i) inner += link_elem(std::to_string(i), "L" + std::to_string(i));
  // Descriptions in reverse order: a search that assumed matching order would miss.
  for (int i = count - 1; i >= 0; --i)
    descriptions += title_desc("L" + std::to_string(i), "T" + std::to_string(i));
  ASSERT_EQ(0, Read(record_doc("http://h/r/1", inner, descriptions)));
  Titles links;
  std::string error;
  ASSERT_EQ(0, Links(links, error)) << error;
  ASSERT_EQ(static_cast<size_t>(count) + 1, links.size());
  EXPECT_EQ("T4321", links["4321"]);
}

}  // namespace
