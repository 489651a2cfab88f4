// Record read against canned answers: the request, answer shapes, cookies, and the links, read
// whole or not at all.
#include "CM_Provider/CM_Oslc/cm_oslc_get.h"

#include <gtest/gtest.h>

#include <algorithm>
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

  // "status:resource=title;..." of the record just read, on top of one link already in the map.
  std::string Links(std::string& error) {
    CM_LinksMap links;
    links.emplace("keep", std::make_unique<CM_VersionInfo>("kept"));
    std::string out =
        std::to_string(get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) + ":";
    for (const auto& link : links)
      out += link.first.str() + "=" + link.second->GetName().str() + ";";
    return out;
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
  auto request = server.requests().at(0);
  EXPECT_EQ("GET", request.method);
  EXPECT_EQ("/oslc/repo/set%20one/db/db%26x/record?vqm.name=MR%201%2F2", request.target);
  EXPECT_EQ("Basic YWxpY2U6cHc=", request.headers["Authorization"]);
  EXPECT_EQ("JSESSIONID=abc", request.headers["Cookie"]);
}

// Nothing of the record read before may pass for the one that failed.
TEST_F(OslcGetTest, FailedReadsGiveTheirStatusAndTextAndNoRecord) {
  const std::string rdf =
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\">";
  struct Case {
    std::string body;
    int http, status, message;
  } const cases[] = {
      {rdf + "<x/></rdf:RDF>", 200, 20001, 7},
      {rdf + "<rdf:Description><oslc_cm:ChangeRequest/></rdf:Description></rdf:RDF>", 200, 20001,
       7},
      {rdf + "<rdf:Description><rdfs:member/></rdf:Description></rdf:RDF>", 200, 20001, 7},
      {"", 200, 20001, 7},
      {"", 404, 20003, 6},
      {"", 401, 20004, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body + std::to_string(c.http));
    ASSERT_EQ(0, Read(record_doc("u", link_elem("http://v/a", "L1"), title_desc("L1", "A"))));
    EXPECT_EQ(c.status, Read(c.body, c.http));
    EXPECT_EQ(oslc_msg(c.message), get.get_error());
    std::string error, links = Links(error);
    const std::string status = links.substr(0, links.find(':'));
    EXPECT_TRUE(status != "0" && status != "1002") << links;
    EXPECT_EQ(":keep=kept;", links.substr(links.find(':'))) << links;
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
  const std::string other = "<dcterms:title>t</dcterms:title>", kept = "keep=kept;";
  struct Case {
    const char* name;
    std::string inner, descriptions, want;  // status:resource=title; in key order
  } const cases[] = {
      {"titles in any order, nested", link_elem("c", "L3") + a + b, tb + nested + ta,
       "0:a=A;b=B;c=G & m;" + kept},
      {"no link property", other, "", "1002:" + kept},
      {"same resource twice keeps the first", a + link_elem("a", "L2"), ta + tb, "0:a=A;" + kept},
      {"non-ASCII title", a, title_desc("L1", "Gr\xc3\xbc \xe6\x97\xa5"),
       "0:a=Gr\xc3\xbc \xe6\x97\xa5;" + kept},
      {"CDATA and comments joined", a, title_desc("L1", "F <![CDATA[a<b]]> <!-- n -->d<?p y?>"),
       "0:a=F a<b d;" + kept},
      {"title holding markup", a, title_desc("L1", "F <b>x</b> d"), "20001:" + kept},
      {"same rdf:ID twice", a + link_elem("z", "L1"), ta, "20001:" + kept},
      {"link without rdf:ID", a + link_elem("b", ""), ta, "20001:" + kept},
      {"link without resource", a + link_elem("", "L2"), ta + tb, "20001:" + kept},
      {"id without description", a + b, ta, "20001:" + kept},
      {"description without title", a, "<rdf:Description rdf:about=\"#L1\"/>", "1001:" + kept},
      {"links split by another property", a + other + b, ta + tb, "20001:" + kept},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Read(record_doc("http://h/r/1", c.inner, c.descriptions)));
    std::string error;
    EXPECT_EQ(c.want, Links(error)) << error;
    if (c.want[0] != '0') EXPECT_NE("", error);
    if (std::string(c.name) == "same rdf:ID twice")
      EXPECT_NE(std::string::npos, error.find("rdf:ID \"L1\""));
  }
}

TEST_F(OslcGetTest, TenThousandLinksAreAllFound) {
  std::string inner, descriptions, error;
  for (int i = 0; i < 10000; ++i) inner += link_elem(std::to_string(i), "L" + std::to_string(i));
  // Descriptions in reverse order: a search that assumed matching order would miss.
  for (int i = 9999; i >= 0; --i)
    descriptions += title_desc("L" + std::to_string(i), "T" + std::to_string(i));
  ASSERT_EQ(0, Read(record_doc("http://h/r/1", inner, descriptions)));
  const std::string links = Links(error);
  EXPECT_EQ(10001, std::count(links.begin(), links.end(), ';'));
  EXPECT_NE(std::string::npos, links.find(";4321=T4321;"));
}

}  // namespace
