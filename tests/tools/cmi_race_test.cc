// Writers racing on one record: separate cmi processes, each loading the real plug-in, link
// versions to the same record at the same moment, round after round; every link must arrive.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

constexpr int kWriters = 8;
constexpr int kRounds = 10;

class RaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    sim.put_record(
        {{"dbset", "S1"}, {"userdb", "DB1"}, {"id", "MR1"}, {"links", nlohmann::json::array()}});
    cmtest::write_file(conn, nlohmann::json{{"providername", "race"},
                                            {"baseurl", sim.base_url()},
                                            {"dbset", "S1"},
                                            {"userdb", "DB1"}}
                                 .dump());
  }
  std::string Link(const std::string& selector) {
    return cmtest::shell_quote(CM_CMI_PATH) + " link --connection " + cmtest::shell_quote(conn) +
           " --record MR1 --version " + cmtest::shell_quote(selector);
  }

  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  const std::string conn = home.path() + "/conn.json", errors = home.path() + "/errors.txt";
};

TEST_F(RaceTest, EveryWriterSucceedsAndEveryLinkArrives) {
  // In one round a writer loses a race only to another writer's successful update between its
  // read and its write: at most kWriters - 1 lost races, more than the default limit (5).
  cmtest::ScopedEnv limit("TAPIR_CMI_CONFLICT_RETRIES", std::to_string(kWriters - 1).c_str());
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string script = "pids=''; ", out;
    for (int w = 0; w < kWriters; ++w)
      script += Link("tw://w" + std::to_string(w) + "@@/" + std::to_string(round)) +
                " >/dev/null 2>>" + cmtest::shell_quote(errors) + " & pids=\"$pids $!\"; ";
    cmtest::run_command(script + "n=0; for p in $pids; do wait $p || n=$((n + 1)); done; echo $n",
                        &out);
    failed += std::stoi(out);
  }
  EXPECT_EQ(failed, 0) << cmtest::read_file(errors);
  const nlohmann::json record = sim.record("S1", "DB1", "MR1");
  std::set<std::string> stored;
  for (const auto& link : record["links"]) stored.insert(link["resource"]);
  EXPECT_EQ(stored.size(), size_t{kWriters * kRounds});
}

TEST_F(RaceTest, ARecordThatKeepsChangingFailsTheLinkWithItsMessage) {
  sim.fault("412", 6, "oslc.properties");  // the first try and all 5 retries lose
  std::string out;
  EXPECT_EQ(cmtest::run_command(Link("tw://a") + " 2>&1", &out), 1) << out;
  EXPECT_NE(out.find("[race]Record \"MR1\" kept changing"), std::string::npos) << out;
  EXPECT_TRUE(sim.record("S1", "DB1", "MR1")["links"].empty());
  // Each try a read and a conditional write; cmi reads the record itself too, before the commit
  // and again to name the record that failed.
  std::string methods;
  for (const auto& entry : sim.log()) methods += entry["method"].get<std::string>()[0];
  EXPECT_EQ(methods, "GGPGPGPGPGPGPG");
}

}  // namespace
