// Record read: request address and login, answer shapes, cookies, and the link collection with
// its failure cases, against canned answers.
#include "CM_Provider/CM_Oslc/cm_oslc_get.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "support/temp_home.h"

namespace {

using cmtest::CannedServer;
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
    CM_Session session = cmtest::make_session(server.url() + "/oslc", "alice", "pw");
    EXPECT_EQ(0, get.Init(session, "MR1"));
    return get.Execute();
  }

  std::map<std::string, std::string> Flatten(const CM_LinksMap& links) {
    std::map<std::string, std::string> out;
    for (const auto& link : links) out[link.first.str()] = link.second->GetName().str();
    return out;
  }

  cmtest::TempHome home;
  CannedServer server;
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

TEST_F(OslcGetTest, AnswersOfTheWrongShapeAreNotUnderstood) {
  const std::string ns =
      " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\"";
  const std::vector<std::string> bodies = {
      "<rdf:RDF" + ns + "><x/></rdf:RDF>",
      "<rdf:RDF" + ns + "><rdf:Description><oslc_cm:ChangeRequest/></rdf:Description></rdf:RDF>",
      "<rdf:RDF" + ns + "><rdf:Description><rdfs:member/></rdf:Description></rdf:RDF>",
      "<html><body>maintenance</body></html>",
      "not xml at all",
      "",
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    EXPECT_EQ(20001, Read(body));
    EXPECT_EQ(oslc_msg(7), get.get_error());
  }
}

TEST_F(OslcGetTest, HttpFailuresPassThroughWithTheirTexts) {
  EXPECT_EQ(20003, Read("", 404));
  EXPECT_EQ(oslc_msg(6), get.get_error());
  EXPECT_EQ(20004, Read("", 401));
  EXPECT_EQ(oslc_msg(5), get.get_error());
}

TEST_F(OslcGetTest, NewCookieIsStoredEvenWhenTheReadFails) {
  EXPECT_EQ(20003, Read("", 404, {"Set-Cookie: JSESSIONID=fresh; Path=/"}));
  CM_Session reread = cmtest::make_session(server.url());
  EXPECT_EQ(SUM_String("JSESSIONID=fresh"), reread.GetCookie());
}

TEST_F(OslcGetTest, CookieThatCannotBeStoredFailsAGoodRead) {
  server.push(200, record_doc("http://h/r/1", "", ""), {"Set-Cookie: JSESSIONID=x; Path=/"});
  CM_Session no_jar;
  no_jar.get_credential().set_web_url((server.url() + "/oslc").c_str());
  ASSERT_EQ(0, get.Init(no_jar, "MR1"));
  EXPECT_EQ(20001, get.Execute());
  EXPECT_EQ(oslc_msg(30), get.get_error());
}

TEST_F(OslcGetTest, StableIdBelongsToTheRecordJustRead) {
  ASSERT_EQ(0, Read(record_doc("http://h/r/1", "", "")));
  SUM_String id;
  ASSERT_EQ(0, get.GetStableId(id));
  EXPECT_EQ(SUM_String("http://h/r/1"), id);

  ASSERT_EQ(0, Read(record_doc("http://h/r/2", "", "")));
  ASSERT_EQ(0, get.GetStableId(id));
  EXPECT_EQ(SUM_String("http://h/r/2"), id);

  ASSERT_EQ(0, Read(record_doc("", "", "")));
  ASSERT_EQ(0, get.GetStableId(id));
  EXPECT_EQ(SUM_String(""), id);
}

TEST_F(OslcGetTest, LinksAreKeyedByResourceWithTheirDescriptionsTitles) {
  // Descriptions in another order than the links, one of them nested deeper.
  const std::string doc = record_doc(
      "http://h/r/1",
      link_elem("http://v/c", "L3") + link_elem("http://v/a", "L1") + link_elem("http://v/b", "L2"),
      title_desc("L2", "Beta") + "<rdf:Description rdf:about=\"x\"><rdfs:member>" +
          title_desc("L3", "Gamma &amp; more") + "</rdfs:member></rdf:Description>" +
          title_desc("L1", "Alpha"));
  ASSERT_EQ(0, Read(doc));
  CM_LinksMap links;
  std::string error;
  ASSERT_EQ(0, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) << error;
  std::map<std::string, std::string> expected = {
      {"http://v/a", "Alpha"}, {"http://v/b", "Beta"}, {"http://v/c", "Gamma & more"}};
  EXPECT_EQ(expected, Flatten(links));
}

TEST_F(OslcGetTest, RecordWithoutLinkPropertyHasNoLinks) {
  ASSERT_EQ(0, Read(record_doc("http://h/r/1", "<dcterms:title>t</dcterms:title>", "")));
  CM_LinksMap links;
  std::string error;
  EXPECT_EQ(1002, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error));
  EXPECT_TRUE(links.empty());
  EXPECT_EQ(format_message(_cm_oslc_CM_Oslc_msg_table_adr(), 22, "tracksChangeSet"), error);
}

TEST_F(OslcGetTest, DuplicateResourcesKeepTheFirst) {
  const std::string doc = record_doc(
      "http://h/r/1",
      link_elem("http://v/a", "L1") + link_elem("http://v/b", "L3") + link_elem("http://v/b", "L2"),
      title_desc("L1", "A") + title_desc("L2", "B-two") + title_desc("L3", "B-three"));
  ASSERT_EQ(0, Read(doc));
  CM_LinksMap links;
  std::string error;
  ASSERT_EQ(0, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) << error;
  std::map<std::string, std::string> expected = {{"http://v/a", "A"}, {"http://v/b", "B-two"}};
  EXPECT_EQ(expected, Flatten(links));
}

// The second link of an ID would be lost on writing back.
TEST_F(OslcGetTest, DuplicateIdsFailTheRecord) {
  const std::string doc =
      record_doc("http://h/r/1", link_elem("http://v/a", "L1") + link_elem("http://v/z", "L1"),
                 title_desc("L1", "A"));
  ASSERT_EQ(0, Read(doc));
  CM_LinksMap links;
  std::string error;
  EXPECT_EQ(CM_OSLC_LINKS_UNREADABLE,
            get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error));
  EXPECT_TRUE(links.empty());
  EXPECT_NE(std::string::npos, error.find("rdf:ID \"L1\"")) << error;
}

// A title is all of its text: CDATA and the text around comments are joined, never cut.
TEST_F(OslcGetTest, TitlesAreTheirWholeText) {
  struct Case {
    const char* body;
    int status;
    const char* title;
  };
  const Case cases[] = {
      {"Fix <![CDATA[a < b]]> done", 0, "Fix a < b done"},
      {"Fix <!-- note --> done", 0, "Fix  done"},
      {"<![CDATA[x]]><?pi y?>z", 0, "xz"},
      {"Fix <b>bold</b> done", CM_OSLC_LINKS_UNREADABLE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const std::string doc =
        record_doc("http://h/r/1", link_elem("http://v/a", "L1"), title_desc("L1", c.body));
    ASSERT_EQ(0, Read(doc));
    CM_LinksMap links;
    std::string error;
    EXPECT_EQ(c.status, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) << error;
    if (c.status == 0) {
      std::map<std::string, std::string> expected = {{"http://v/a", c.title}};
      EXPECT_EQ(expected, Flatten(links));
    } else {
      EXPECT_TRUE(links.empty());
    }
  }
}

// Every one of these would lose links if the readable part were written back.
TEST_F(OslcGetTest, LinksThatCannotAllBeReadFailWithoutTouchingTheMap) {
  struct Case {
    const char* name;
    std::string inner;
    std::string descriptions;
  };
  const std::vector<Case> cases = {
      {"link without rdf:ID", link_elem("http://v/a", "L1") + link_elem("http://v/b", ""),
       title_desc("L1", "A")},
      {"link without resource", link_elem("http://v/a", "L1") + link_elem("", "L2"),
       title_desc("L1", "A") + title_desc("L2", "B")},
      {"id without description", link_elem("http://v/a", "L1") + link_elem("http://v/b", "L2"),
       title_desc("L1", "A")},
      {"description without title", link_elem("http://v/a", "L1"),
       "<rdf:Description rdf:about=\"#L1\"><dcterms:description>A</dcterms:description>"
       "</rdf:Description>"},
      {"links split by another property",
       link_elem("http://v/a", "L1") + "<dcterms:title>t</dcterms:title>" +
           link_elem("http://v/b", "L2"),
       title_desc("L1", "A") + title_desc("L2", "B")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, Read(record_doc("http://h/r/1", c.inner, c.descriptions)));
    CM_LinksMap links;
    links.emplace("http://keep", std::make_unique<CM_VersionInfo>("kept"));
    std::string error;
    int status = get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error);
    EXPECT_NE(0, status);
    EXPECT_NE(1002, status) << "a partial set must not read as a record without links";
    EXPECT_EQ(1u, links.size());
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(OslcGetTest, NothingIsReportedFromARecordThatWasNotRead) {
  ASSERT_EQ(0,
            Read(record_doc("http://h/r/1", link_elem("http://v/a", "L1"), title_desc("L1", "A"))));
  ASSERT_EQ(20003, Read("", 404));
  CM_LinksMap links;
  std::string error;
  int status = get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error);
  EXPECT_NE(0, status);
  EXPECT_NE(1002, status);
  EXPECT_TRUE(links.empty());
  SUM_String id;
  EXPECT_NE(0, get.GetStableId(id));
}

TEST_F(OslcGetTest, NonAsciiTitlesArriveInTheNativeCodePage) {
  const std::string title =
      "Gr\xc3\xbc\xc3\x9f"
      "e \xe6\x97\xa5\xe6\x9c\xac";
  ASSERT_EQ(
      0, Read(record_doc("http://h/r/1", link_elem("http://v/a", "L1"), title_desc("L1", title))));
  CM_LinksMap links;
  std::string error;
  ASSERT_EQ(0, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) << error;
  ASSERT_EQ(1u, links.size());
  EXPECT_EQ(title, links.begin()->second->GetName().str());
}

TEST_F(OslcGetTest, TenThousandLinksAreAllFound) {
  std::string inner;
  std::string descriptions;
  const int count = 10000;
  for (int i = 0; i < count; ++i)
    inner += link_elem("http://v/" + std::to_string(i), "L" + std::to_string(i));
  // Descriptions in reverse order: a search that assumed matching order would miss.
  for (int i = count - 1; i >= 0; --i)
    descriptions += title_desc("L" + std::to_string(i), "T" + std::to_string(i));
  ASSERT_EQ(0, Read(record_doc("http://h/r/1", inner, descriptions)));
  CM_LinksMap links;
  std::string error;
  ASSERT_EQ(0, get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) << error;
  ASSERT_EQ(static_cast<size_t>(count), links.size());
  EXPECT_EQ(SUM_String("T4321"), links[SUM_String("http://v/4321")]->GetName());
}

}  // namespace
