// COMMIT and VALIDATE end to end: the plug-in loaded with dlopen talks to the tracker simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::PluginHost;
using cmtest::Reply;
using nlohmann::json;

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR1","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR2","links":[{"resource":"sel-old","title":"old"}]},
  {"dbset":"S1","userdb":"DB1","id":"MR3","links":[]}
]})";

// Selector -> title of a record's links, from the simulator.
std::map<std::string, std::string> links_of(cmtest::TrackerSim& sim, const std::string& id) {
  std::map<std::string, std::string> out;
  json rec = sim.record("S1", "DB1", id);
  if (rec.is_object() && rec.contains("links"))
    for (const json& l : rec["links"]) out[l["resource"]] = l["title"];
  return out;
}

size_t tracker_requests(cmtest::TrackerSim& sim) {
  json log = sim.log();
  return log.is_array() ? log.size() : 0;
}

class CommitTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  PluginHost host;
  void SetUp() override {
    ASSERT_TRUE(host.ok()) << host.error();
    cmtest::TrackerSimOptions opt;
    opt.seed_json = kSeed;
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running());
  }
  // A provider of its own per test (providers outlive tests), on the simulator's URL.
  void* connect(const std::string& name) {
    void* h = host.init(init_request(name, sim->base_url()));
    EXPECT_NE(h, nullptr);
    return h;
  }
  void expect_failed(const Reply& r, const std::string& name) {
    EXPECT_EQ(r.rc, -1) << r.text;
    EXPECT_EQ(r.status(), "10007") << r.text;
    EXPECT_EQ(r.member("error_message").rfind("[" + name + "]", 0), 0u) << r.text;
  }
  std::unique_ptr<cmtest::TrackerSim> sim;
};

TEST_F(CommitTest, AppliesScheduledLinksRecordByRecord) {
  void* h = connect("commit-ok");
  ASSERT_EQ(host.associate(h, change_request("sel-a", "Version A", "MR1")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("sel-b", "Version B", "MR1")).rc, 1);
  ASSERT_EQ(host.disassociate(h, change_request("sel-old", "whatever", "MR2")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("sel-c", "Version C", "MR2")).rc, 1);
  sim->clear_log();
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0) << c.text;
  EXPECT_EQ(c.text, R"({"status_code":"0"})");
  EXPECT_EQ(links_of(*sim, "MR1"),
            (std::map<std::string, std::string>{{"sel-a", "Version A"}, {"sel-b", "Version B"}}));
  EXPECT_EQ(links_of(*sim, "MR2"), (std::map<std::string, std::string>{{"sel-c", "Version C"}}));
  // One read and one write per record, records in key order.
  json log = sim->log();
  ASSERT_EQ(log.size(), 4u) << log.dump();
  EXPECT_EQ(log[0]["method"], "GET");
  EXPECT_NE(log[0]["query"].get<std::string>().find("MR1"), std::string::npos);
  EXPECT_EQ(log[1]["method"], "PUT");
  EXPECT_EQ(log[2]["method"], "GET");
  EXPECT_NE(log[2]["query"].get<std::string>().find("MR2"), std::string::npos);
  EXPECT_EQ(log[3]["method"], "PUT");

  // The map is empty now: a second COMMIT sends nothing and succeeds plainly.
  sim->clear_log();
  Reply again = host.commit(h);
  EXPECT_EQ(again.rc, 0);
  EXPECT_EQ(again.text, R"({"status_code":"0"})");
  EXPECT_EQ(tracker_requests(*sim), 0u);
}

TEST_F(CommitTest, NothingToDoAndReinitializeDropScheduledWork) {
  void* h = connect("commit-none");
  sim->clear_log();
  Reply empty = host.commit(h, "ignored");
  EXPECT_EQ(empty.rc, 0);
  EXPECT_EQ(empty.text, R"({"status_code":"0"})");

  ASSERT_EQ(host.associate(h, change_request("sel-drop", "Dropped", "MR3")).rc, 1);
  ASSERT_EQ(connect("commit-none"), h);  // same connection: same handle, work discarded
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(tracker_requests(*sim), 0u);
  EXPECT_TRUE(links_of(*sim, "MR3").empty());
}

TEST_F(CommitTest, ValidateLeavesScheduledActionsInPlace) {
  void* h = connect("commit-validate");
  ASSERT_EQ(host.associate(h, change_request("sel-v", "Validated", "MR3")).rc, 1);
  Reply v = host.validate(h, "{\"garbage");
  EXPECT_EQ(v.rc, 0);
  EXPECT_EQ(v.text, R"({"status_code":"0"})");
  ASSERT_EQ(host.commit(h).rc, 0);
  EXPECT_EQ(links_of(*sim, "MR3"), (std::map<std::string, std::string>{{"sel-v", "Validated"}}));
}

TEST_F(CommitTest, FailureEmptiesTheMapAndEscapesTheErrorText) {
  void* h = connect("commit-fail");
  ASSERT_EQ(host.associate(h, change_request("sel-x", "X", "MR-MISSING")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("sel-y", "Y", "MR3")).rc, 1);
  Reply c = host.commit(h);
  expect_failed(c, "commit-fail");
  // The engine's text ends with a line feed; it reaches the host escaped, as two characters.
  const std::string err = c.member("error_message");
  EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  ASSERT_GT(err.size(), 2u);
  EXPECT_EQ(err.substr(err.size() - 2), "\\n") << err;
  EXPECT_TRUE(links_of(*sim, "MR3").empty()) << "records after the failing one are untouched";

  sim->clear_log();
  Reply again = host.commit(h);
  EXPECT_EQ(again.rc, 0) << "the failed work was dropped";
  EXPECT_EQ(tracker_requests(*sim), 0u);
}

TEST_F(CommitTest, HostileTrackerFailsTheCommitAndDropsTheWork) {
  struct Case {
    const char* mode;
    const char* match;
  } cases[] = {{"500", ""},  {"500", "PUT"},         {"notxml", ""},
               {"html", ""}, {"close-mid-body", ""}, {"no-member", ""},
               {"401", ""},  {"reset", ""}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.mode) + " " + k.match);
    const std::string name = std::string("hostile-") + k.mode + k.match;
    void* h = connect(name);
    ASSERT_EQ(host.associate(h, change_request("sel-h", "H", "MR1")).rc, 1);
    if (std::string(k.match) == "PUT") {
      // Let the read through; fail the write of the record.
      sim->fault("500", 1, "/record/");
    } else {
      // Armed for the first try and both retries that a passing failure (reset) gets.
      sim->fault(k.mode, 3);
    }
    Reply c = host.commit(h);
    expect_failed(c, name);
    EXPECT_TRUE(links_of(*sim, "MR1").empty());
    sim->clear_faults();
    EXPECT_EQ(host.commit(h).rc, 0) << "map emptied";
  }
}

TEST_F(CommitTest, SlowTrackerIsAbandonedAfterTheStallLimit) {
  setenv("TAPIR_CMI_STALL_TIMEOUT", "1", 1);
  setenv("TAPIR_CMI_RETRIES", "0", 1);  // a timed-out read would be tried again
  void* h = connect("commit-slow");
  ASSERT_EQ(host.associate(h, change_request("sel-s", "S", "MR1")).rc, 1);
  sim->fault("stall", 1, "", 5);
  Reply c = host.commit(h);
  unsetenv("TAPIR_CMI_STALL_TIMEOUT");
  unsetenv("TAPIR_CMI_RETRIES");
  expect_failed(c, "commit-slow");
  EXPECT_EQ(host.commit(h).rc, 0);
}

TEST_F(CommitTest, TrackerDownFailsCleanly) {
  void* h = connect("commit-down");
  ASSERT_EQ(host.associate(h, change_request("sel-d", "D", "MR1")).rc, 1);
  ASSERT_EQ(sim->stop(), 0);
  Reply c = host.commit(h);
  expect_failed(c, "commit-down");
  EXPECT_EQ(host.commit(h).rc, 0);
}

TEST_F(CommitTest, StoredLoginAuthenticatesTheCommit) {
  cmtest::TrackerSimOptions opt;
  opt.seed_json = kSeed;
  opt.users = {{"alice", "s3cret pass"}};
  cmtest::TrackerSim secured(opt);
  ASSERT_TRUE(secured.running());

  // Without a stored login the tracker refuses.
  void* h = host.init(init_request("auth-prov", secured.base_url()));
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(host.associate(h, change_request("sel-auth", "Auth", "MR1")).rc, 1);
  expect_failed(host.commit(h), "auth-prov");

  std::string out;
  const std::string add = std::string("printf 's3cret pass' | '") + CM_CMI_PATH +
                          "' creds add --provider auth-prov --dbset S1 --userdb DB1 --user alice"
                          " --password-stdin 2>&1";
  ASSERT_EQ(cmtest::run_command(add, &out), 0) << out;

  // INITIALIZE picks the login up from the store.
  ASSERT_EQ(host.init(init_request("auth-prov", secured.base_url())), h);
  ASSERT_EQ(host.associate(h, change_request("sel-auth", "Auth", "MR1")).rc, 1);
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0) << c.text;
  json rec = secured.record("S1", "DB1", "MR1");
  ASSERT_EQ(rec["links"].size(), 1u) << rec.dump();
  EXPECT_EQ(rec["links"][0]["resource"], "sel-auth");
  // The password never lands in the trace or the cookie jar in plain text.
  std::string files;
  cmtest::run_command("grep -rl 's3cret pass' '" + home.path() + "' 2>/dev/null", &files);
  EXPECT_EQ(files, "");
}

}  // namespace
