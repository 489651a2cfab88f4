// Association engine against the tracker simulator: what reaches the tracker for each kind of
// scheduled work, the order of records, failures and what they leave behind, cookies, and the
// reuse of connections.
#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using Links = std::vector<std::pair<std::string, std::string>>;  // resource, title

std::string oslc_msg(int number) {
  return format_message(_cm_oslc_CM_Oslc_msg_table_adr(), number);
}

cmtest::TrackerSimOptions SimOptions() {
  cmtest::TrackerSimOptions options;
  options.users = {{"alice", "pw"}};
  return options;
}

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : sim(SimOptions()) {}

  void SetUp() override {
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    session = cmtest::make_session(sim.base_url(), "alice", "pw");
  }

  void Seed(const std::string& id, const Links& links) {
    nlohmann::json rec = {{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", id}};
    rec["links"] = nlohmann::json::array();
    for (const auto& link : links)
      rec["links"].push_back({{"resource", link.first}, {"title", link.second}});
    sim.put_record(rec);
  }

  Links Stored(const std::string& id) {
    Links out;
    const nlohmann::json record = sim.record("dbs1", "db1", id);
    for (const auto& link : record["links"])
      out.emplace_back(link["resource"].get<std::string>(), link["title"].get<std::string>());
    return out;
  }

  void Schedule(const std::string& id, CM_ActionType type, const std::string& selector,
                const std::string& name) {
    auto data = std::make_unique<CM_ChangeData>();
    data->set_universal_selector(selector.c_str());
    data->set_display_name(name.c_str());
    data->set_record_id(id.c_str());
    actions.add(std::make_unique<CM_Action>(type, data.release()));
  }
  void Associate(const std::string& id, const std::string& selector, const std::string& name) {
    Schedule(id, CM_ActionType::Associate, selector, name);
  }
  void Disassociate(const std::string& id, const std::string& selector,
                    const std::string& name = "ignored") {
    Schedule(id, CM_ActionType::Disassociate, selector, name);
  }

  int Commit() {
    CM_OslcBaseMr engine;
    EXPECT_EQ(0, engine.init(session));
    int status = engine.do_modify_associations(actions);
    error = engine.get_error();
    return status;
  }

  // "GET id" / "PUT" for every tracker request, in order.
  std::vector<std::string> Requests() {
    std::vector<std::string> out;
    for (const auto& entry : sim.log()) {
      std::string method = entry["method"];
      std::string query = entry["query"];
      size_t name = query.find("vqm.name=");
      out.push_back(method == "GET" && name != std::string::npos ? "GET " + query.substr(name + 9)
                                                                 : method);
    }
    return out;
  }

  // The links of the last PUT body, read back as RDF/XML.
  Links LastPutLinks() {
    std::string body;
    for (const auto& entry : sim.log())
      if (entry["method"] == "PUT") body = entry["body"];
    Links out;
    CM_XmlParser parser(body);
    CM_XmlElem root, record, link;
    if (parser.GetRoot(root) != 0 || root.Child(tag_oslc_cm_ChangeRequest(), record) != 0) {
      ADD_FAILURE() << "PUT body is not a record document: " << body;
      return out;
    }
    for (int rc = record.OptChild(tag_oslc_cm_tracksChangeSet(), link); rc == 0;
         rc = link.OptNextSibling(link)) {
      SUM_String resource, title;
      link.find_attribute("rdf:resource", resource);
      link.find_attribute("dcterms:title", title);
      out.emplace_back(resource.str(), title.str());
    }
    return out;
  }

  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  CM_Session session;
  CM_ActionMap actions;
  std::string error;
};

TEST_F(EngineTest, EmptyMapTouchesNothing) {
  EXPECT_EQ(0, Commit());
  EXPECT_TRUE(Requests().empty());
}

TEST_F(EngineTest, AddWritesTheWholeSetOnce) {
  Seed("MR1", {{"http://v/b", "Bee"}});
  Associate("MR1", "http://v/c", "Sea");
  Associate("MR1", "http://v/a", "Ay");
  ASSERT_EQ(0, Commit()) << error;
  Links expected = {{"http://v/a", "Ay"}, {"http://v/b", "Bee"}, {"http://v/c", "Sea"}};
  EXPECT_EQ(expected, LastPutLinks());
  EXPECT_EQ(expected, Stored("MR1"));
  EXPECT_EQ((std::vector<std::string>{"GET MR1", "PUT"}), Requests());
}

TEST_F(EngineTest, SameVersionWithAnotherNameRetitles) {
  Seed("MR1", {{"http://v/a", "Old"}, {"http://v/b", "Bee"}});
  Associate("MR1", "http://v/a", "New");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((Links{{"http://v/a", "New"}, {"http://v/b", "Bee"}}), Stored("MR1"));
}

TEST_F(EngineTest, ActionsThatChangeNothingAreNotWritten) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/a", "Ay");
  Disassociate("MR1", "http://v/zzz");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET MR1"}), Requests());
  EXPECT_EQ((Links{{"http://v/a", "Ay"}}), Stored("MR1"));
}

TEST_F(EngineTest, RemovalFindsTheLinkBySelectorAlone) {
  Seed("MR1", {{"http://v/a", "Ay"}, {"http://v/b", "Bee"}});
  Disassociate("MR1", "http://v/a", "a name the link never had");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((Links{{"http://v/b", "Bee"}}), Stored("MR1"));
}

TEST_F(EngineTest, AddThenRemoveWritesTheOriginalSet) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/new", "New");
  Disassociate("MR1", "http://v/new");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET MR1", "PUT"}), Requests());
  EXPECT_EQ((Links{{"http://v/a", "Ay"}}), LastPutLinks());
  EXPECT_EQ((Links{{"http://v/a", "Ay"}}), Stored("MR1"));
}

TEST_F(EngineTest, RemovingTheLastLinkClearsTheProperty) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Disassociate("MR1", "http://v/a");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET MR1", "PUT"}), Requests());
  EXPECT_TRUE(Stored("MR1").empty());
}

TEST_F(EngineTest, RecordWithoutLinksGetsItsFirst) {
  Seed("MR1", {});
  Associate("MR1", "http://v/a", "Ay");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((Links{{"http://v/a", "Ay"}}), Stored("MR1"));
}

TEST_F(EngineTest, RecordsGoInByteOrderAndAFailureStopsTheRest) {
  for (const char* id : {"a-1", "B-10", "B-1"}) {
    Seed(id, {});
    Associate(id, "http://v/x", "X");
  }
  sim.fault("500", 1, "vqm.name=B-10");
  EXPECT_EQ(10001, Commit());
  EXPECT_NE(std::string::npos, error.find("Simulated server failure.")) << error;
  EXPECT_EQ((std::vector<std::string>{"GET B-1", "PUT", "GET B-10"}), Requests());
  EXPECT_EQ((Links{{"http://v/x", "X"}}), Stored("B-1"));
  EXPECT_TRUE(Stored("B-10").empty());
  EXPECT_TRUE(Stored("a-1").empty());
}

TEST_F(EngineTest, MissingRecordAndRefusedLoginHaveTheirOwnStatus) {
  Associate("NOPE", "http://v/x", "X");
  EXPECT_EQ(10005, Commit());
  EXPECT_EQ(oslc_msg(6), error);

  Seed("MR1", {});
  actions.clear();
  Associate("MR1", "http://v/x", "X");
  // Without the session cookie of the first run the login alone decides.
  std::remove(session.get_cookie_jar()->get_file_path().c_str());
  session = cmtest::make_session(sim.base_url(), "alice", "wrong");
  EXPECT_EQ(10006, Commit());
  EXPECT_EQ(oslc_msg(5), error);
  EXPECT_TRUE(Stored("MR1").empty());
}

TEST_F(EngineTest, UpdateRefusedByTheServerReportsItsMessages) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/b", "Bee");
  for (const char* mode : {"500", "404"}) {
    SCOPED_TRACE(mode);
    sim.fault(mode, 1, "oslc.properties");
    EXPECT_EQ(10001, Commit());
    EXPECT_NE(std::string::npos,
              error.find(std::string(mode) == "500" ? "Simulated server failure.\n"
                                                    : "Simulated missing resource.\n"))
        << error;
    EXPECT_EQ((Links{{"http://v/a", "Ay"}}), Stored("MR1"));
  }
}

TEST_F(EngineTest, RenewedCookieIsPersistedAndUsedAtOnce) {
  ASSERT_EQ(0, session.UpdateCookie("JSESSIONID=STALE"));
  Seed("MR1", {});
  Associate("MR1", "http://v/a", "Ay");
  ASSERT_EQ(0, Commit()) << error;

  const std::string stored = cmtest::make_session(sim.base_url()).GetCookie().str();
  EXPECT_EQ(0u, stored.find("JSESSIONID=")) << stored;
  EXPECT_NE("JSESSIONID=STALE", stored);
  auto log = sim.log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("JSESSIONID=STALE", log[0]["headers"].value("Cookie", ""));
  EXPECT_EQ(stored, log[1]["headers"].value("Cookie", ""));
}

TEST_F(EngineTest, TraceFollowsTheRecordAndItsFailure) {
  CM_Trace::set_file("tester", static_cast<int>(getpid()));
  CM_Trace::configure("CMMR", 4);
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/b", "Bee");
  Associate("MR9", "http://v/b", "Bee");
  EXPECT_EQ(10005, Commit());
  CM_Trace::close();
  const std::string trace = cmtest::read_file(CM_Trace::file_path());
  CM_Trace::reset();
  for (const char* line :
       {"Processing record MR1", "Got 1 associations for MR1", "Associating Bee with MR1",
        "Adding association of http://v/b with Bee", "Number of links = 2",
        "Status 0 from m_set_request.Execute for record id MR1", "Processing record MR9",
        "Converted 20003 to 10005",
        "Error messagr from get request = The requested resource was not found.",
        "Returning status 10005 for record id MR9"}) {
    EXPECT_NE(std::string::npos, trace.find(line)) << line;
  }
}

TEST_F(EngineTest, PartlyReadableLinksAreNeverWrittenBack) {
  Links original = {{"http://v/a", "Ay"}, {"http://v/b", "Bee"}};
  Seed("MR1", original);
  for (const char* mode : {"link-no-id", "desc-no-title"}) {
    SCOPED_TRACE(mode);
    sim.clear_log();
    actions.clear();
    Associate("MR1", "http://v/c", "Sea");
    sim.fault(mode);
    EXPECT_EQ(10001, Commit());
    EXPECT_NE(std::string::npos, error.find("MR1")) << error;
    EXPECT_EQ((std::vector<std::string>{"GET MR1"}), Requests());
    EXPECT_EQ(original, Stored("MR1"));
  }
}

TEST_F(EngineTest, BrokenReadAnswersWriteNothing) {
  Links original = {{"http://v/a", "Ay"}};
  Seed("MR1", original);
  struct Case {
    const char* mode;
    int status;
  };
  const Case cases[] = {{"500", 10001},       {"html", 10001},     {"notxml", 10001},
                        {"no-member", 10001}, {"204", 10001},      {"close-mid-body", 10001},
                        {"stall", 10001},     {"401", 10006},      {"404", 10005},
                        {"reset", 10001},     {"redirect", 10001}, {"lf-headers", 10001}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    sim.clear_log();
    actions.clear();
    Associate("MR1", "http://v/b", "Bee");
    sim.fault(c.mode, 1, "", 1);
    EXPECT_EQ(c.status, Commit());
    EXPECT_FALSE(error.empty());
    for (const auto& request : Requests()) EXPECT_NE("PUT", request);
    EXPECT_EQ(original, Stored("MR1"));
  }
}

TEST_F(EngineTest, NonAsciiTitlesSurviveTheRoundTrip) {
  const std::string kept =
      "Gr\xc3\xbc\xc3\x9f"
      "e";
  const std::string added = "\xe6\x97\xa5\xe6\x9c\xac \xe2\x80\x93 v2";
  Seed("MR1", {{"http://v/a", kept}});
  Associate("MR1", "http://v/b", added);
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((Links{{"http://v/a", kept}, {"http://v/b", added}}), Stored("MR1"));
}

TEST_F(EngineTest, TenThousandLinksAreReadAndWrittenWhole) {
  Links original;
  for (int i = 0; i < 10000; ++i)
    original.emplace_back("http://v/" + std::to_string(100000 + i), "T" + std::to_string(i));
  Seed("MR1", original);
  Associate("MR1", "http://v/new", "New");
  ASSERT_EQ(0, Commit()) << error;
  Links stored = Stored("MR1");
  ASSERT_EQ(10001u, stored.size());
  std::set<std::pair<std::string, std::string>> stored_set(stored.begin(), stored.end());
  for (const auto& link : original) EXPECT_EQ(1u, stored_set.count(link));
  EXPECT_EQ(1u, stored_set.count({"http://v/new", "New"}));
}

TEST_F(EngineTest, OneCommitKeepsItsConnectionOpen) {
  for (int i = 0; i < 100; ++i) {
    const std::string id = "MR" + std::to_string(1000 + i);
    Seed(id, {});
    Associate(id, "http://v/x", "X");
  }
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ(200u, Requests().size());
  EXPECT_EQ(1, sim.stats()["connections"].get<int>());
}

}  // namespace
