// Association engine against the tracker simulator: what reaches the tracker for each kind of
// scheduled work, the order of records, failures and what they leave behind, cookies, and the
// reuse of connections.
#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_retry.h"
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

cmtest::TrackerSimOptions SimOptions(std::vector<std::string> extra_args = {}) {
  cmtest::TrackerSimOptions options;
  options.users = {{"alice", "pw"}};
  options.extra_args = std::move(extra_args);
  return options;
}

// The pauses the engine asked for, recorded instead of waited out.
std::vector<long> g_pauses;
void record_pause(long ms) { g_pauses.push_back(ms); }

class EngineTest : public ::testing::Test {
 protected:
  explicit EngineTest(std::vector<std::string> sim_args = {}) : sim(SimOptions(sim_args)) {}

  void SetUp() override {
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    session = cmtest::make_session(sim.base_url(), "alice", "pw");
    g_pauses.clear();
    m_sleeper = CM_OslcRetry::SetSleeper(&record_pause);
  }
  void TearDown() override { CM_OslcRetry::SetSleeper(m_sleeper); }

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

  // "METHOD STATUS" of every tracker request, in order.
  std::vector<std::string> Answers() {
    std::vector<std::string> out;
    for (const auto& entry : sim.log())
      out.push_back(entry["method"].get<std::string>() + " " +
                    std::to_string(entry["status"].get<int>()));
    return out;
  }

  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  CM_Session session;
  CM_ActionMap actions;
  std::string error;
  CM_OslcRetry::Sleeper m_sleeper = nullptr;
};

class NoEtagEngineTest : public EngineTest {
 protected:
  NoEtagEngineTest() : EngineTest({"--no-etag"}) {}
};

class StrictEngineTest : public EngineTest {
 protected:
  StrictEngineTest() : EngineTest({"--require-if-match"}) {}
};

TEST_F(EngineTest, EmptyMapTouchesNothing) {
  EXPECT_EQ(0, Commit());
  EXPECT_TRUE(Requests().empty());
}

TEST_F(EngineTest, ActionsChangeTheLinkSetWhichIsWrittenWholeOnceOrNotAtAll) {
  const std::string umlauts =
      "Gr\xc3\xbc\xc3\x9f"
      "e";
  const std::string cjk = "\xe6\x97\xa5\xe6\x9c\xac \xe2\x80\x93 v2";
  struct Action {
    bool add;
    const char* selector;
    std::string name;
  };
  struct Case {
    const char* name;
    Links seed;
    std::vector<Action> actions;
    Links stored;
    bool written;
  };
  const Case cases[] = {
      {"adds in key order",
       {{"http://v/b", "Bee"}},
       {{true, "http://v/c", "Sea"}, {true, "http://v/a", "Ay"}},
       {{"http://v/a", "Ay"}, {"http://v/b", "Bee"}, {"http://v/c", "Sea"}},
       true},
      {"another name retitles",
       {{"http://v/a", "Old"}, {"http://v/b", "Bee"}},
       {{true, "http://v/a", "New"}},
       {{"http://v/a", "New"}, {"http://v/b", "Bee"}},
       true},
      {"nothing changed",
       {{"http://v/a", "Ay"}},
       {{true, "http://v/a", "Ay"}, {false, "http://v/zzz", ""}},
       {{"http://v/a", "Ay"}},
       false},
      {"removal by selector alone",
       {{"http://v/a", "Ay"}, {"http://v/b", "Bee"}},
       {{false, "http://v/a", "a name the link never had"}},
       {{"http://v/b", "Bee"}},
       true},
      {"add then remove",
       {{"http://v/a", "Ay"}},
       {{true, "http://v/new", "New"}, {false, "http://v/new", ""}},
       {{"http://v/a", "Ay"}},
       true},
      {"last link removed", {{"http://v/a", "Ay"}}, {{false, "http://v/a", ""}}, {}, true},
      {"first link", {}, {{true, "http://v/a", "Ay"}}, {{"http://v/a", "Ay"}}, true},
      {"non-ASCII titles",
       {{"http://v/a", umlauts}},
       {{true, "http://v/b", cjk}},
       {{"http://v/a", umlauts}, {"http://v/b", cjk}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Seed("MR1", c.seed);
    sim.clear_log();
    actions.clear();
    for (const Action& a : c.actions) {
      if (a.add)
        Associate("MR1", a.selector, a.name);
      else
        Disassociate("MR1", a.selector, a.name);
    }
    ASSERT_EQ(0, Commit()) << error;
    const std::vector<std::string> read_only = {"GET MR1"}, read_write = {"GET MR1", "PUT"};
    EXPECT_EQ(c.written ? read_write : read_only, Requests());
    if (c.written) EXPECT_EQ(c.stored, LastPutLinks());
    EXPECT_EQ(c.stored, Stored("MR1"));
  }
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
    // Armed for the first try and both retries that a passing failure (reset) gets.
    sim.fault(c.mode, 3, "", 1);
    EXPECT_EQ(c.status, Commit());
    sim.clear_faults();
    EXPECT_FALSE(error.empty());
    for (const auto& request : Requests()) EXPECT_NE("PUT", request);
    EXPECT_EQ(original, Stored("MR1"));
  }
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

// ---- Writers racing on one record, and passing failures -------------------------------------

std::string mr_msg(int number, const char* id, int tries) {
  return format_message(_cm_mr_CM_Oslc_msg_table_adr(), number, id, tries);
}

TEST_F(EngineTest, UpdateIsConditionalOnTheTagOfTheRead) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/b", "Bee");
  const std::string read_tag = sim.record("dbs1", "db1", "MR1")["etag"];
  ASSERT_EQ(0, Commit()) << error;
  auto log = sim.log();
  ASSERT_EQ(2u, log.size());
  EXPECT_FALSE(log[0]["headers"].contains("If-Match"));
  EXPECT_EQ(read_tag, log[1]["headers"].value("If-Match", ""));
  EXPECT_NE(read_tag, sim.record("dbs1", "db1", "MR1")["etag"].get<std::string>());
  EXPECT_EQ((std::vector<std::string>{"GET 200", "PUT 200"}), Answers());
  EXPECT_TRUE(g_pauses.empty());
}

TEST_F(EngineTest, AnotherWritersLinkSurvivesTheRace) {
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/b", "Bee");
  Disassociate("MR1", "http://v/a");
  sim.fault_spec({{"mode", "race"}, {"resource", "http://v/other"}, {"title", "Other"}});
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET 200", "PUT 412", "GET 200", "PUT 200"}), Answers());
  // The actions were applied afresh to what the other writer left.
  EXPECT_EQ((Links{{"http://v/b", "Bee"}, {"http://v/other", "Other"}}), Stored("MR1"));
  ASSERT_EQ(1u, g_pauses.size());
  EXPECT_GE(g_pauses[0], CM_OslcRetry::kFirstPauseMs / 2);
  EXPECT_LE(g_pauses[0], CM_OslcRetry::kFirstPauseMs);
}

TEST_F(EngineTest, ARaceThatMadeTheChangeAlreadyNeedsNoWrite) {
  Seed("MR1", {});
  Associate("MR1", "http://v/b", "Bee");
  // The other writer linked the very same version: nothing is left to write.
  sim.fault_spec({{"mode", "race"}, {"resource", "http://v/b"}, {"title", "Bee"}});
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET 200", "PUT 412", "GET 200"}), Answers());
  EXPECT_EQ((Links{{"http://v/b", "Bee"}}), Stored("MR1"));
}

TEST_F(EngineTest, LostRacesAreRetriedWithGrowingPausesUntilTheLimit) {
  struct Case {
    const char* mode;
    const char* option;  // TAPIR_CMI_CONFLICT_RETRIES, null: unset
    int lost;            // PUTs refused in a row
    int retries;         // the limit in force
  };
  const Case cases[] = {{"412", nullptr, 5, 5}, {"409", nullptr, 6, 5}, {"412", "1", 2, 1},
                        {"409", "0", 1, 0},     {"412", "x", 6, 5},     {"412", "-1", 1, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " lost " + std::to_string(c.lost) + " option " +
                 (c.option ? c.option : "unset"));
    std::unique_ptr<cmtest::ScopedEnv> option;
    if (c.option)
      option = std::make_unique<cmtest::ScopedEnv>("TAPIR_CMI_CONFLICT_RETRIES", c.option);
    Seed("MR1", {{"http://v/a", "Ay"}});
    actions.clear();
    sim.clear_log();
    g_pauses.clear();
    Associate("MR1", "http://v/b", "Bee");
    sim.fault(c.mode, c.lost, "oslc.properties");
    const bool succeeds = c.lost <= c.retries;
    const int puts = succeeds ? c.lost + 1 : c.retries + 1;
    EXPECT_EQ(succeeds ? 0 : 10001, Commit()) << error;
    sim.clear_faults();
    std::vector<std::string> expected;
    for (int i = 0; i < puts; ++i) {
      expected.push_back("GET 200");
      expected.push_back(i + 1 < puts || !succeeds ? std::string("PUT ") + c.mode : "PUT 200");
    }
    EXPECT_EQ(expected, Answers());
    if (succeeds) {
      EXPECT_EQ((Links{{"http://v/a", "Ay"}, {"http://v/b", "Bee"}}), Stored("MR1"));
    } else {
      EXPECT_EQ(mr_msg(33, "MR1", puts), error);
      EXPECT_EQ((Links{{"http://v/a", "Ay"}}), Stored("MR1"));
    }
    // One pause before each new read; each lies in its window, the windows double up to 1 s.
    ASSERT_EQ(static_cast<size_t>(puts - 1), g_pauses.size());
    long ceiling = CM_OslcRetry::kFirstPauseMs;
    for (long pause : g_pauses) {
      EXPECT_GE(pause, ceiling / 2);
      EXPECT_LE(pause, ceiling);
      ceiling = std::min(ceiling * 2, CM_OslcRetry::kMaxPauseMs);
    }
  }
}

TEST_F(EngineTest, PassingFailuresAreTriedAgainOthersNever) {
  struct Case {
    const char* mode;
    int count;
    const char* match;        // "" the read, "oslc.properties" the update
    const char* retry_after;  // null: none sent
    int status;
    std::vector<std::string> answers;
    std::vector<long> pauses;  // exact, or -1 for one pause of the randomised kind
  };
  const Case cases[] = {
      {"503", 2, "", nullptr, 0, {"GET 503", "GET 503", "GET 200", "PUT 200"}, {-1, -1}},
      {"429", 1, "", "3", 0, {"GET 429", "GET 200", "PUT 200"}, {3000}},
      {"503", 1, "", "3600", 0, {"GET 503", "GET 200", "PUT 200"}, {10000}},
      {"503", 1, "", "Wed, 21 Oct 2015 07:28:00 GMT", 0, {"GET 503", "GET 200", "PUT 200"}, {0}},
      {"502", 1, "oslc.properties", nullptr, 0, {"GET 200", "PUT 502", "PUT 200"}, {-1}},
      {"reset", 1, "", nullptr, 0, {"GET 0", "GET 200", "PUT 200"}, {-1}},
      {"504", 3, "", "1", 10001, {"GET 504", "GET 504", "GET 504"}, {1000, 1000}},
      {"500", 1, "", nullptr, 10001, {"GET 500"}, {}},
      {"500", 1, "oslc.properties", nullptr, 10001, {"GET 200", "PUT 500"}, {}},
      {"404", 1, "", nullptr, 10005, {"GET 404"}, {}},
      {"401", 1, "", nullptr, 10006, {"GET 401"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " x" + std::to_string(c.count) + " " + c.match);
    Seed("MR1", {});
    actions.clear();
    sim.clear_log();
    g_pauses.clear();
    Associate("MR1", "http://v/b", "Bee");
    nlohmann::json fault = {{"mode", c.mode}, {"count", c.count}, {"match", c.match}};
    if (c.retry_after) fault["retry_after"] = c.retry_after;
    sim.fault_spec(fault);
    EXPECT_EQ(c.status, Commit()) << error;
    sim.clear_faults();
    EXPECT_EQ(c.answers, Answers());
    ASSERT_EQ(c.pauses.size(), g_pauses.size());
    for (size_t i = 0; i < c.pauses.size(); ++i) {
      if (c.pauses[i] >= 0) {
        EXPECT_EQ(c.pauses[i], g_pauses[i]);
      } else {
        EXPECT_GE(g_pauses[i], CM_OslcRetry::kFirstPauseMs / 2);
        EXPECT_LE(g_pauses[i], CM_OslcRetry::kFirstPauseMs << i);
      }
    }
    if (c.status != 0) {
      EXPECT_TRUE(Stored("MR1").empty());
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST_F(EngineTest, TimedOutReadIsTriedAgain) {
  cmtest::ScopedEnv stall_limit("TAPIR_CMI_STALL_TIMEOUT", "1");
  Seed("MR1", {});
  Associate("MR1", "http://v/b", "Bee");
  sim.fault("stall", 1, "", 5);
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET 200", "GET 200", "PUT 200"}), Answers());
  EXPECT_EQ(1u, g_pauses.size());
  EXPECT_EQ((Links{{"http://v/b", "Bee"}}), Stored("MR1"));
}

TEST_F(EngineTest, WhenEveryTryFailsTheReplyIsTheOneOfASingleTry) {
  Seed("MR1", {});
  Associate("MR1", "http://v/b", "Bee");
  std::string single;
  {
    cmtest::ScopedEnv no_retries("TAPIR_CMI_RETRIES", "0");
    sim.fault("503", 1);
    EXPECT_EQ(10001, Commit());
    single = error;
  }
  EXPECT_EQ(1u, sim.log().size());
  sim.clear_log();
  sim.fault("503", 3);
  EXPECT_EQ(10001, Commit());
  EXPECT_EQ(single, error);
  EXPECT_EQ(3u, sim.log().size());
  EXPECT_NE(std::string::npos, error.find("Simulated passing failure (503).")) << error;
}

TEST_F(EngineTest, RetriesAreTraced) {
  CM_Trace::set_file("tester", static_cast<int>(getpid()));
  CM_Trace::configure("CMMR", 2);
  Seed("MR1", {});
  Associate("MR1", "http://v/b", "Bee");
  sim.fault("503", 1);
  sim.fault("412", 1, "oslc.properties");
  EXPECT_EQ(0, Commit()) << error;
  CM_Trace::close();
  const std::string trace = cmtest::read_file(CM_Trace::file_path());
  CM_Trace::reset();
  EXPECT_NE(std::string::npos,
            trace.find("The read of record MR1 failed (HTTP 503): trying again, retry 1 of 2"))
      << trace;
  EXPECT_NE(std::string::npos,
            trace.find("Record MR1 was changed by another writer (HTTP 412): reading it again,"
                       " retry 1 of 5"))
      << trace;
  EXPECT_EQ(std::string::npos, trace.find("without an ETag"));
}

TEST_F(NoEtagEngineTest, OnePlainUpdateAndAWarningAndTheOtherWriterLoses) {
  CM_Trace::set_file("tester", static_cast<int>(getpid()));
  CM_Trace::configure("CMMR", 1);
  Seed("MR1", {{"http://v/a", "Ay"}});
  Associate("MR1", "http://v/b", "Bee");
  sim.fault_spec({{"mode", "race"}, {"resource", "http://v/other"}});
  ASSERT_EQ(0, Commit()) << error;
  CM_Trace::close();
  const std::string trace = cmtest::read_file(CM_Trace::file_path());
  CM_Trace::reset();
  EXPECT_EQ((std::vector<std::string>{"GET 200", "PUT 200"}), Answers());
  EXPECT_FALSE(sim.log()[1]["headers"].contains("If-Match"));
  EXPECT_NE(std::string::npos, trace.find("Record MR1 was read without an ETag")) << trace;
  // Without tags nothing tells the plug-in that another writer got in between.
  EXPECT_EQ((Links{{"http://v/a", "Ay"}, {"http://v/b", "Bee"}}), Stored("MR1"));
}

TEST_F(StrictEngineTest, TrackerThatInsistsOnIfMatchIsServed) {
  Seed("MR1", {});
  Associate("MR1", "http://v/b", "Bee");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ((std::vector<std::string>{"GET 200", "PUT 200"}), Answers());
  EXPECT_EQ((Links{{"http://v/b", "Bee"}}), Stored("MR1"));
}

}  // namespace
