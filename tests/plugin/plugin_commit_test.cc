// COMMIT and VALIDATE end to end: the plug-in loaded with dlopen talks to the tracker simulator.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::Reply;
using nlohmann::json;
using Links = std::map<std::string, std::string>;

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR1","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR2","links":[{"resource":"sel-old","title":"old"}]},
  {"dbset":"S1","userdb":"DB1","id":"MR3","links":[]}
]})";
const char kOk[] = R"({"status_code":"0"})";

class CommitTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  cmtest::PluginHost host;
  std::unique_ptr<cmtest::TrackerSim> sim;

  void SetUp() override {
    ASSERT_TRUE(host.ok()) << host.error();
    cmtest::TrackerSimOptions opt;
    opt.seed_json = kSeed;
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running());
  }
  // A provider of its own per case (providers outlive tests), with links scheduled.
  void* connect(const std::string& name, const std::map<std::string, std::string>& links = {},
                cmtest::TrackerSim* to = nullptr) {
    void* h = host.init(init_request(name, (to ? to : sim.get())->base_url()));
    EXPECT_NE(h, nullptr);
    for (const auto& l : links)
      EXPECT_EQ(host.associate(h, change_request(l.first, l.first, l.second)).rc, 1);
    return h;
  }
  Links links_of(const std::string& id, cmtest::TrackerSim* of = nullptr) {
    Links out;
    json rec = (of ? of : sim.get())->record("S1", "DB1", id);
    if (rec.is_object())
      for (const json& l : rec["links"]) out[l["resource"]] = l["title"];
    return out;
  }
  // A failed COMMIT names the provider, reaches the host escaped, and leaves an empty map.
  void expect_failed(void* h, const std::string& name) {
    Reply r = host.commit(h);
    EXPECT_EQ(r.rc, -1) << r.text;
    EXPECT_EQ(r.status(), "10007") << r.text;
    const std::string err = r.member("error_message");
    EXPECT_EQ(err.rfind("[" + name + "]", 0), 0u) << r.text;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - 2), "\\n") << err;
    sim->clear_faults();
    expect_nothing_sent(h);
  }
  // COMMIT of an empty map succeeds without a request.
  void expect_nothing_sent(void* h) {
    sim->clear_log();
    EXPECT_EQ(host.commit(h).text, kOk);
    EXPECT_EQ(sim->log().size(), 0u);
  }
};

TEST_F(CommitTest, AppliesScheduledLinksRecordByRecord) {
  void* h = connect("commit-ok");
  ASSERT_EQ(host.associate(h, change_request("sel-b", "Version B", "MR1")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("sel-a", "Version A", "MR1")).rc, 1);
  ASSERT_EQ(host.disassociate(h, change_request("sel-old", "whatever", "MR2")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("sel-c", "Version C", "MR2")).rc, 1);
  EXPECT_EQ(host.validate(h, "{\"garbage").text, kOk) << "VALIDATE keeps the scheduled work";
  sim->clear_log();
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0) << c.text;
  EXPECT_EQ(c.text, kOk);
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-a", "Version A"}, {"sel-b", "Version B"}}));
  EXPECT_EQ(links_of("MR2"), (Links{{"sel-c", "Version C"}}));
  // One read and one write per record, records in key order.
  json log = sim->log();
  ASSERT_EQ(log.size(), 4u) << log.dump();
  const char* want[][2] = {{"GET", "MR1"}, {"PUT", ""}, {"GET", "MR2"}, {"PUT", ""}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i]["method"], want[i][0]) << i;
    EXPECT_NE(log[i]["query"].get<std::string>().find(want[i][1]), std::string::npos) << i;
  }
  // The map is empty now, and INITIALIZE of the same connection drops what was scheduled since.
  expect_nothing_sent(h);
  ASSERT_EQ(connect("commit-ok", {{"sel-drop", "MR3"}}), h);
  ASSERT_EQ(connect("commit-ok"), h);
  expect_nothing_sent(h);
}

// Each row: how the tracker fails one COMMIT of MR1 (or of a missing record) and MR3.
TEST_F(CommitTest, TrackerFailuresFailTheCommitAndDropTheWork) {
  const struct {
    const char *mode, *match, *record;
  } cases[] = {{"500", "", "MR1"},         {"500", "/record/", "MR1"},    {"notxml", "", "MR1"},
               {"html", "", "MR1"},        {"close-mid-body", "", "MR1"}, {"no-member", "", "MR1"},
               {"401", "", "MR1"},         {"reset", "", "MR1"},          {"stall", "", "MR1"},
               {nullptr, "", "MR-MISSING"}};
  for (const auto& k : cases) {
    const std::string name =
        std::string("fail-") + (k.mode ? k.mode : "none") + (*k.match ? "-put" : "");
    SCOPED_TRACE(name);
    const bool slow = name == "fail-stall";
    std::unique_ptr<cmtest::ScopedEnv> stall, retries;
    if (slow) {
      stall = std::make_unique<cmtest::ScopedEnv>("TAPIR_CMI_STALL_TIMEOUT", "1");
      // A timed-out read would be tried again.
      retries = std::make_unique<cmtest::ScopedEnv>("TAPIR_CMI_RETRIES", "0");
    }
    void* h = connect(name, {{"sel-h", k.record}, {"sel-y", "MR3"}});
    // Armed for the first try and both retries that a passing failure (reset) gets.
    if (k.mode) sim->fault(k.mode, 3, k.match, slow ? 5 : 0);
    expect_failed(h, name);
    EXPECT_TRUE(links_of("MR1").empty());
    EXPECT_TRUE(links_of("MR3").empty()) << "records after the failing one are untouched";
  }
  void* h = connect("fail-down", {{"sel-d", "MR1"}});
  ASSERT_EQ(sim->stop(), 0);
  Reply down = host.commit(h);
  EXPECT_EQ(down.status(), "10007") << down.text;
  EXPECT_EQ(host.commit(h).rc, 0);
}

TEST_F(CommitTest, StoredLoginAuthenticatesTheCommit) {
  cmtest::TrackerSimOptions opt;
  opt.seed_json = kSeed;
  opt.users = {{"alice", "s3cret pass"}};
  cmtest::TrackerSim secured(opt);
  ASSERT_TRUE(secured.running());
  void* h = connect("auth-prov", {{"sel-auth", "MR1"}}, &secured);
  EXPECT_EQ(host.commit(h).status(), "10007") << "no stored login";

  std::string out;
  ASSERT_EQ(cmtest::run_command("printf 's3cret pass' | " + cmtest::shell_quote(CM_CMI_PATH) +
                                    " creds add --provider auth-prov --dbset S1 --userdb DB1"
                                    " --user alice --password-stdin 2>&1",
                                &out),
            0)
      << out;
  // INITIALIZE picks the login up from the store.
  ASSERT_EQ(connect("auth-prov", {{"sel-auth", "MR1"}}, &secured), h);
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0) << c.text;
  EXPECT_EQ(links_of("MR1", &secured), (Links{{"sel-auth", "sel-auth"}}));
  // The password never lands in the trace or the cookie jar in plain text.
  cmtest::run_command("grep -rl 's3cret pass' '" + home.path() + "' 2>/dev/null", &out);
  EXPECT_EQ(out, "");
}

}  // namespace
