// Record read against canned answers: the request, answer shapes, cookies, and the links, read
// whole or not at all.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"

#include <map>
#include <random>
#include <string>

namespace {

using cmtest::link_elem;
using cmtest::record_doc;
using cmtest::title_desc;

class OslcGetTest : public cmtest::CannedTest {
 protected:
  // "read status|stable id|links status:resource=title;..." of a body read right after another
  // record, with one link already in the map. Every piece of the address is escaped.
  std::string Read(const std::string& body, int http = 200, std::vector<std::string> headers = {}) {
    const CM_Session session =
        cmtest::make_session(server.url() + "/oslc", "alice", "pw", "set one", "db&x");
    server.push(200, record_doc("http://h/old", link_elem("old", "L1"), title_desc("L1", "O")));
    server.push(http, body, std::move(headers));
    std::string out;
    for (const char* before : {"", "0|"}) {  // the other record reads, then the body
      EXPECT_EQ(before, out);
      EXPECT_EQ(0, get.Init(session, "MR 1/2"));
      out = std::to_string(get.Execute()) + "|";
      auto request = server.requests().back();
      EXPECT_EQ("GET /oslc/repo/set%20one/db/db%26x/record?vqm.name=MR%201%2F2 Basic YWxpY2U6cHc=",
                request.method + " " + request.target + " " + request.headers["Authorization"]);
    }
    SUM_String id("-");
    out += (get.GetStableId(id) == 0 ? id.str() : "-") + "|";
    CM_LinksMap links;
    links.emplace("keep", links.NewVersion("kept"));
    out += std::to_string(get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error)) + ":";
    for (const auto& link : links)
      out += link.first.str() + "=" + link.second->GetName().str() + ";";
    return out;
  }

  std::string error;  // of the last links read
  CM_OslcGet get;
};

TEST_F(OslcGetTest, CookiesAreStoredBeforeTheAnswerIsJudgedAndSentBack) {
  EXPECT_EQ("20003|-|1072:keep=kept;", Read("", 404, {"Set-Cookie: JSESSIONID=fresh; Path=/"}));
  Read(record_doc("http://h/r/1", "", ""));
  EXPECT_EQ("JSESSIONID=fresh", server.requests().back().headers["Cookie"]);
  server.push(200, record_doc("http://h/r/1", "", ""), {"Set-Cookie: JSESSIONID=x; Path=/"});
  CM_Session no_jar;
  no_jar.get_credential().set_web_url((server.url() + "/oslc").c_str());
  ASSERT_EQ(0, get.Init(no_jar, "MR1"));
  EXPECT_EQ(20001, get.Execute());  // the cookie cannot be stored
}

// A failed read leaves nothing of the record read before; failing link cases would lose links if
// the readable part were written back: the map stays as it was and the status is never 1002 (no
// links at all).
TEST_F(OslcGetTest, RecordsAndLinksAreReadWholeOrNotAtAll) {
  const std::string a = link_elem("a", "L1"), b = link_elem("b", "L2");
  const std::string ta = title_desc("L1", "A"), tb = title_desc("L2", "B");
  const std::string nested = "<rdf:Description rdf:about=\"x\"><rdfs:member>" +
                             title_desc("L3", "G &amp; m") + "</rdfs:member></rdf:Description>";
  const std::string other = "<dcterms:title>t</dcterms:title>", kept = "keep=kept;";
  auto bare = [](const std::string& inner) {  // no record element at all
    return "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
           " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
           " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\">" +
           inner + "</rdf:RDF>";
  };
  auto doc = [](const std::string& inner, const std::string& descriptions) {
    return record_doc("http://h/r/1", inner, descriptions);
  };
  const std::string ok = "0|http://h/r/1|", gone = "20001|-|1072:";
  struct Case {
    const char* name;
    std::string body, want;  // read|id|links status:resource=title; in key order, kept last
  } const cases[] = {
      {"titles in any order, nested", doc(link_elem("c", "L3") + a + b, tb + nested + ta),
       ok + "0:a=A;b=B;c=G & m;"},
      {"no link property", doc(other, ""), ok + "1002:"},
      {"no rdf:about", record_doc("", a, ta), "0||0:a=A;"},
      {"description twice: first counts", doc(a, ta + title_desc("L1", "B")), ok + "0:a=A;"},
      {"same resource twice", doc(a + link_elem("a", "L2"), ta + tb), ok + "0:a=A;"},
      {"CDATA and comments joined",
       doc(a, title_desc("L1", "F <![CDATA[a<b]]> <!-- n -->d<?p y?>")), ok + "0:a=F a<b d;"},
      {"title holding markup", doc(a, title_desc("L1", "F <b>x</b> d")), ok + "20001:"},
      {"same rdf:ID twice", doc(a + link_elem("z", "L1"), ta), ok + "20001:"},
      {"link without rdf:ID", doc(a + link_elem("b", ""), ta), ok + "20001:"},
      {"link without resource", doc(a + link_elem("", "L2"), ta + tb), ok + "20001:"},
      {"id without description", doc(a + b, ta), ok + "20001:"},
      {"description without title", doc(a, "<rdf:Description rdf:about=\"#L1\"/>"), ok + "1001:"},
      {"links split by another property", doc(a + other + b, ta + tb), ok + "20001:"},
      {"link property of another namespace",
       doc("<dcterms:tracksChangeSet rdf:resource=\"a\" rdf:ID=\"L1\"/>", ta), ok + "1002:"},
      {"no record", bare("<x/>"), gone},
      {"no change request", bare("<rdf:Description><rdfs:member/></rdf:Description>"), gone},
      {"no member", bare("<rdf:Description><oslc_cm:ChangeRequest/></rdf:Description>"), gone},
      {"empty", "", gone},
  };
  for (int level : {0, 5}) {  // the description search answers the same when traced
    cmtest::Tracing trace("CMOSLC", level);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + std::string(" at trace level ") + std::to_string(level));
      EXPECT_EQ(c.want + kept, Read(c.body)) << error;
      if (c.want.find("|0:") == std::string::npos) EXPECT_NE("", error);
    }
  }
}

// The links map keeps its nodes and versions in blocks it reuses after clear: every link must
// read back as stored through growth past many blocks, erasures, overwrites and refills.
TEST(LinksMap, EveryLinkReadsBackThroughRoundsOfItsBlocks) {
  CM_LinksMap links;
  std::map<std::string, std::string> model;
  std::mt19937 random(7);
  for (int round = 0; round < 3; ++round) {
    const int count = round == 1 ? 300 : 5000;  // a small record between large ones
    for (int i = 0; i < count; ++i) {
      const std::string key = "tw://vob/src/f" + std::to_string(random() % 8000) + ".c@@/main/1";
      // Titles short and long: a long one lives outside the version, a short one inside.
      const std::string title = std::string(random() % 40, 't') + std::to_string(i);
      switch (random() % 4) {
        case 0:
          links.erase(SUM_String(key));
          model.erase(key);
          break;
        case 1:
          links[SUM_String(key)] = links.NewVersion(SUM_String(title));
          model[key] = title;
          break;
        default:
          links.emplace(SUM_String(key), links.NewVersion(SUM_String(title)));
          model.emplace(key, title);
      }
    }
    ASSERT_EQ(model.size(), links.size()) << "round " << round;
    auto want = model.begin();
    for (const auto& link : links) {
      EXPECT_EQ(want->first, link.first.str());
      EXPECT_EQ(want->second, link.second->GetName().str());
      ++want;
    }
    links.clear();
    model.clear();
  }
}

}  // namespace
