// Association engine against the tracker simulator: what reaches the tracker for each kind of
// scheduled work, the order of records, every kind of answer and what it leaves behind, the
// retries and their pauses, cookies, tags and the reuse of connections.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"

#include <iterator>
#include <memory>
#include <random>

namespace {

using cmtest::link_list;

// The pauses the engine asked for, recorded instead of waited out.
std::vector<long> g_pauses;
void record_pause(long ms) { g_pauses.push_back(ms); }

class EngineTest : public ::testing::Test {
 protected:
  explicit EngineTest(std::vector<std::string> sim_args = {})
      : sim([&] {
          cmtest::TrackerSimOptions options;
          options.users = {{"alice", "pw"}};
          options.extra_args = std::move(sim_args);
          return options;
        }()) {}

  void SetUp() override {
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    session = cmtest::make_session(sim.base_url(), "alice", "pw");
    m_sleeper = CM_OslcRetry::SetSleeper(&record_pause);
  }
  void TearDown() override { CM_OslcRetry::SetSleeper(m_sleeper); }

  nlohmann::json Stored(const std::string& id) { return sim.record("dbs1", "db1", id)["links"]; }

  // A fresh start for one row: the record stored as given, no actions, log or pauses.
  void Seed(const std::string& id, const std::string& stored) {
    sim.put_record(
        {{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", id}, {"links", link_list(stored)}});
    sim.clear_log();
    actions.clear();
    g_pauses.clear();
  }

  // "+a=Ay,-b": link http://v/a named Ay, then unlink http://v/b.
  void Schedule(const std::string& id, const std::string& text) {
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
      end = std::min(text.find(',', at), text.size());
      const nlohmann::json link = link_list(text.substr(at + 1, end - at - 1))[0];
      cmtest::schedule(actions, text[at] == '+', id, link["resource"], link["title"]);
    }
  }

  int Commit() {
    CM_OslcBaseMr engine;
    EXPECT_EQ(0, engine.init(session));
    int status = engine.do_modify_associations(actions);
    error = engine.get_error();
    return status;
  }

  // Checks the tracker's answers and the pauses against e.g. "G P412 G P | ~": a GET answered
  // 200, a PUT answered 412 (0: no answer), ...; after the bar one pause each, "~" a randomised
  // one in its window (which doubles from the first pause on, up to the largest), or exact ms.
  void ExpectLog(const std::string& expected) {
    std::string answers;
    for (const auto& entry : sim.log()) {
      const int status = entry["status"];
      answers += (answers.empty() ? "" : " ") + entry["method"].get<std::string>().substr(0, 1) +
                 (status == 200 ? "" : std::to_string(status));
    }
    const size_t bar = std::min(expected.find(" |"), expected.size());
    EXPECT_EQ(expected.substr(0, bar), answers);
    std::istringstream in(expected.substr(std::min(bar + 2, expected.size())));
    std::vector<std::string> pauses{std::istream_iterator<std::string>(in), {}};
    ASSERT_EQ(pauses.size(), g_pauses.size());
    for (size_t i = 0; i < pauses.size(); ++i) {
      const bool random = pauses[i] == "~";
      const long low = random ? CM_OslcRetry::kFirstPauseMs / 2 : std::stol(pauses[i]);
      const long high =
          random ? std::min(CM_OslcRetry::kFirstPauseMs << i, CM_OslcRetry::kMaxPauseMs) : low;
      EXPECT_TRUE(low <= g_pauses[i] && g_pauses[i] <= high) << i << ": " << g_pauses[i];
    }
  }

  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  CM_Session session;
  CM_ActionMap actions;
  std::string error;
  CM_OslcRetry::Sleeper m_sleeper = nullptr;
};

TEST_F(EngineTest, ActionsChangeTheLinkSetWhichIsWrittenWholeOnceOrNotAtAll) {
  const std::string umlauts = "Gr\u00fc\u00dfe", cjk = "\u65e5\u672c \u2013 v2";
  const struct {
    std::string seed, actions, stored;
    bool written;
  } rows[] = {
      {"b=Bee", "+c=Sea,+a=Ay", "a=Ay,b=Bee,c=Sea", true},  // kept in key order
      {"a=Old,b=Bee", "+a=New", "a=New,b=Bee", true},
      {"a=Ay", "+a=Ay,-zzz", "a=Ay", false},
      {"a=Ay,b=Bee,c=Sea", "-b=a name the link never had", "a=Ay,c=Sea", true},
      {"a=Ay", "+new=New,-new", "a=Ay", true},
      {"a=Ay", "-a", "", true},
      {"", "+a=Ay", "a=Ay", true},
      {"a=" + umlauts, "+b=" + cjk, "a=" + umlauts + ",b=" + cjk, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.seed + " " + row.actions);
    Seed("MR1", row.seed);
    Schedule("MR1", row.actions);
    ASSERT_EQ(0, Commit()) << error;
    ExpectLog(row.written ? "G P" : "G");
    EXPECT_EQ(link_list(row.stored), Stored("MR1"));
  }
}

// Records go in byte order (B-1, B-10, a-1) over one connection; a failure stops the rest.
TEST_F(EngineTest, RecordsGoInByteOrderOnOneConnectionAndAFailureStopsTheRest) {
  for (const bool fail : {false, true}) {
    for (const char* id : {"a-1", "B-10", "B-1"}) Seed(id, "");
    for (const char* id : {"a-1", "B-10", "B-1"}) Schedule(id, "+x=X");
    if (fail) sim.fault("500", 1, "vqm.name=B-10");
    EXPECT_EQ(fail ? 10001 : 0, Commit()) << error;
    ExpectLog(fail ? "G P G500" : "G P G P G P");
    if (!fail) EXPECT_EQ(1, sim.stats()["connections"].get<int>());
    EXPECT_EQ(link_list("x=X"), Stored("B-1"));
    for (const char* id : {"B-10", "a-1"}) EXPECT_EQ(link_list(fail ? "" : "x=X"), Stored(id));
  }
}

// Seeded "a=Ay" and asked to link "b=Bee", the record meets one kind of answer per row. Passing
// failures are tried again up to CMI_RETRIES (2), lost races read again and applied afresh up to
// CMI_CONFLICT_RETRIES (5); nothing else is tried again, and what failed writes nothing.
TEST_F(EngineTest, EveryKindOfAnswerAndItsRetries) {
  const struct {
    const char *fault, *option;  // option: TAPIR_CMI_<NAME=value> set for the row
    int status;
    const char* log;
  } rows[] = {
      {R"({"mode":"503","count":2})", "", 0, "G503 G503 G P | ~ ~"},
      {R"({"mode":"429","retry_after":"3"})", "", 0, "G429 G P | 3000"},
      {R"({"mode":"503","retry_after":"3600"})", "", 0, "G503 G P | 10000"},
      {R"({"mode":"503","retry_after":"Wed, 21 Oct 2015 07:28:00 GMT"})", "", 0, "G503 G P | 0"},
      {R"({"mode":"502","match":"oslc.properties"})", "", 0, "G P502 P | ~"},
      {R"({"mode":"stall","seconds":5})", "STALL_TIMEOUT=1", 0, "G G P | ~"},
      {R"({"mode":"504","count":3,"retry_after":"1"})", "", 10001, "G504 G504 G504 | 1000 1000"},
      {R"({"mode":"503"})", "RETRIES=0", 10001, "G503"},
      {R"({"mode":"race","resource":"http://v/other","title":"Other"})", "", 0, "G P412 G P | ~"},
      {R"({"mode":"race","resource":"http://v/b","title":"Bee"})", "", 0, "G P412 G | ~"},
      {R"({"mode":"412","count":5,"match":"oslc.properties"})", "", 0,
       "G P412 G P412 G P412 G P412 G P412 G P | ~ ~ ~ ~ ~"},
      {R"({"mode":"409","count":6,"match":"oslc.properties"})", "", 10001,
       "G P409 G P409 G P409 G P409 G P409 G P409 | ~ ~ ~ ~ ~"},
      {R"({"mode":"412","count":2,"match":"oslc.properties"})", "CONFLICT_RETRIES=1", 10001,
       "G P412 G P412 | ~"},
      {R"({"mode":"412","match":"oslc.properties"})", "CONFLICT_RETRIES=-1", 0, "G P412 G P | ~"},
      {R"({"mode":"500"})", "", 10001, "G500"},
      {R"({"mode":"404","match":"oslc.properties"})", "", 10001, "G P404"},
      {R"({"mode":"404"})", "", 10005, "G404"},
      {R"({"mode":"401"})", "", 10006, "G401"},
      {R"({"mode":"link-no-id"})", "", 10001, "G"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.fault) + " " + row.option);
    const std::string option = std::string("TAPIR_CMI_") + (*row.option ? row.option : "NONE=");
    const size_t eq = option.find('=');
    cmtest::ScopedEnv env(option.substr(0, eq).c_str(), option.c_str() + eq + 1);
    Seed("MR1", "a=Ay");
    Schedule("MR1", "+b=Bee");
    const nlohmann::json fault = nlohmann::json::parse(row.fault);
    sim.fault_spec(fault);
    EXPECT_EQ(row.status, Commit()) << error;
    sim.clear_faults();
    ExpectLog(row.log);
    std::string expected = row.status == 0 ? "a=Ay,b=Bee" : "a=Ay";
    if (fault.value("resource", "") == "http://v/other") expected += ",other=Other";
    EXPECT_EQ(link_list(expected), Stored("MR1"));
    if (row.status != 0) EXPECT_NE("", error);
    // Only the last try speaks: the tracker's refusal is in the reply once.
    EXPECT_EQ(error.find("Simulated"), error.rfind("Simulated")) << error;
  }
}

// The read's tag on the update is the update test's business.
TEST_F(EngineTest, UpdateCarriesTheRenewedCookie) {
  ASSERT_EQ(0, session.UpdateCookie("JSESSIONID=STALE"));
  Seed("MR1", "a=Ay");
  Schedule("MR1", "+b=Bee");
  ASSERT_EQ(0, Commit()) << error;
  const std::string stored = cmtest::make_session(sim.base_url()).GetCookie().str();
  EXPECT_EQ(0u, stored.find("JSESSIONID=")) << stored;
  EXPECT_NE("JSESSIONID=STALE", stored);
  std::string sent;
  for (const auto& entry : sim.log()) sent += entry["headers"].value("Cookie", "") + "|";
  EXPECT_EQ("JSESSIONID=STALE|" + stored + "|", sent);
}

TEST_F(EngineTest, TenThousandLinksAreReadAndWrittenWhole) {
  std::string seed;
  for (int i = 0; i < 10000; ++i)
    seed += (i ? "," : "") + std::to_string(100000 + i) + "=T" + std::to_string(i);
  Seed("MR1", seed);
  Schedule("MR1", "+new=New");
  ASSERT_EQ(0, Commit()) << error;
  EXPECT_EQ(link_list(seed + ",new=New"), Stored("MR1"));
}

// Untraced, a record's actions are applied in selector order instead of scheduling order, to lists
// of links rather than a map; the links must come out as the traced, one-by-one application to
// the map leaves them. The selectors share long prefixes, some are prefixes of others, and few
// actions over many links make the walk jump.
TEST_F(EngineTest, ActionsInSelectorOrderLeaveWhatActionsInTurnLeave) {
  std::vector<std::string> pool;
  for (int i = 0; i < 40; ++i) {
    const std::string file = "src/dir/file" + std::to_string(i * 7 % 13) + ".c";
    pool.push_back(i % 3 == 0 ? file : file + "@@/main/" + std::to_string(i));
  }
  std::mt19937 random(20261207);
  auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  // Titles plain, to escape, and not ASCII (converted on the way in and out).
  const char* const titles[] = {"T0", "T1", "T&<2", "T\u00e93"};
  auto title = [&] { return std::string("=") + titles[pick(4)]; };
  for (int trial = 0; trial < 12; ++trial) {
    std::string seed, scheduled;
    for (const std::string& selector : pool)
      if (pick(3) != 0) seed += (seed.empty() ? "" : ",") + selector + title();
    const size_t count = 1 + pick(trial % 2 ? 4 : 40);
    for (size_t i = 0; i < count; ++i) {
      scheduled +=
          std::string(i ? "," : "") + (pick(2) ? "+" : "-") + pool[pick(pool.size())] + title();
    }
    SCOPED_TRACE(seed + " | " + scheduled);
    std::string answers[2];
    for (const bool traced : {true, false}) {
      std::unique_ptr<cmtest::Tracing> trace;
      if (traced) trace = std::make_unique<cmtest::Tracing>("CMMR", 2);
      Seed(traced ? "MR1" : "MR2", seed);
      Schedule(traced ? "MR1" : "MR2", scheduled);
      ASSERT_EQ(0, Commit()) << error;
      answers[traced] = std::to_string(sim.log().size());
    }
    EXPECT_EQ(answers[1], answers[0]) << "written by one and not the other";
    EXPECT_EQ(Stored("MR1"), Stored("MR2"));
  }
}

class NoEtagEngineTest : public EngineTest {
 protected:
  NoEtagEngineTest() : EngineTest({"--no-etag"}) {}
};

TEST_F(NoEtagEngineTest, OnePlainUpdateAndAWarningAndTheOtherWriterLoses) {
  cmtest::Tracing trace("CMMR", 1);
  Seed("MR1", "a=Ay");
  Schedule("MR1", "+b=Bee");
  sim.fault_spec({{"mode", "race"}, {"resource", "http://v/other"}});
  ASSERT_EQ(0, Commit()) << error;
  const std::string traced = trace.text();
  ExpectLog("G P");
  EXPECT_FALSE(sim.log()[1]["headers"].contains("If-Match"));
  EXPECT_NE(std::string::npos, traced.find("without an ETag")) << traced;
  // Without tags nothing tells the plug-in that another writer got in between.
  EXPECT_EQ(link_list("a=Ay,b=Bee"), Stored("MR1"));
}

}  // namespace
