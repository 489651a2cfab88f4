// COMMIT end to end: the plug-in loaded with dlopen talks to the tracker simulator.
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
  {"dbset":"S1","userdb":"DB1","id":"MR2","links":[{"resource":"keep","title":"old keep"},
                                                   {"resource":"sel-old","title":"old"}]},
  {"dbset":"S1","userdb":"DB1","id":"MR3","links":[]}]})";
const char kOk[] = R"({"status_code":"0"})";

class CommitTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  cmtest::PluginHost host;
  std::unique_ptr<cmtest::TrackerSim> sim;
  const std::string cmi = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";

  void SetUp() override {
    ASSERT_TRUE(host.ok()) << host.error();
    Start({});
  }
  void Start(const cmtest::TrackerSimOptions& base) {
    cmtest::TrackerSimOptions opt = base;
    opt.seed_json = kSeed;
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running()) << sim->stderr_text();
  }
  // A provider of its own per case (providers outlive tests), with links scheduled.
  void* connect(const std::string& name, const Links& links = {}) {
    void* h = host.init(init_request(name, sim->base_url()));
    EXPECT_NE(h, nullptr);
    for (const auto& l : links)
      EXPECT_EQ(host.associate(h, change_request(l.first, l.first, l.second)).rc, 1);
    return h;
  }
  Links links_of(const std::string& id) {
    Links out;
    const json rec = sim->record("S1", "DB1", id);
    if (rec.is_object())
      for (const json& l : rec["links"]) out[l["resource"]] = l["title"];
    return out;
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
  const struct {
    bool link;
    const char *selector, *name, *record;
  } actions[] = {{true, "sel-b", "Version B", "MR1"}, {true, "sel-a", "Version A", "MR1"},
                 {false, "sel-old", "any", "MR2"},    {true, "sel-c", "Version C", "MR2"},
                 {true, "keep", "Keep anew", "MR2"},  {true, "sel-x", "X", "MR3"},
                 {false, "sel-x", "X", "MR3"}};
  for (const auto& a : actions) {
    const std::string req = change_request(a.selector, a.name, a.record);
    ASSERT_EQ((a.link ? host.associate(h, req) : host.disassociate(h, req)).rc, 1);
  }
  EXPECT_EQ(host.validate(h, "{\"garbage").text, kOk) << "VALIDATE keeps the scheduled work";
  sim->clear_log();
  EXPECT_EQ(host.commit(h).text, kOk);
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-a", "Version A"}, {"sel-b", "Version B"}}));
  EXPECT_EQ(links_of("MR2"), (Links{{"keep", "Keep anew"}, {"sel-c", "Version C"}}));
  EXPECT_EQ(links_of("MR3"), Links()) << "actions run in the order they were scheduled";
  // One read and one write per record, records in key order.
  const json log = sim->log();
  ASSERT_EQ(log.size(), 6u) << log.dump();
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(log[i]["method"], i % 2 ? "PUT" : "GET") << i;
    if (i % 2 == 0)
      EXPECT_NE(log[i]["query"].get<std::string>().find("MR" + std::to_string(i / 2 + 1)),
                std::string::npos);
  }
  // The map is empty now, and INITIALIZE of the same connection drops what was scheduled since.
  expect_nothing_sent(h);
  ASSERT_EQ(connect("commit-ok", {{"sel-drop", "MR3"}}), h);
  ASSERT_EQ(connect("commit-ok"), h);
  expect_nothing_sent(h);
}

// Each row: how the tracker fails one COMMIT of MR1 (or of MR2, or of a missing record) and MR3:
// every request, only the update, only the read, or links that cannot all be read.
TEST_F(CommitTest, TrackerFailuresFailTheCommitAndDropTheWork) {
  const struct {
    const char *mode, *match, *record;
  } cases[] = {{"500", "", "MR1"},       {"500", "/record/", "MR1"}, {"500", "vqm", "MR1"},
               {"notxml", "", "MR1"},    {"html", "", "MR1"},        {"close-mid-body", "", "MR1"},
               {"no-member", "", "MR1"}, {"401", "", "MR1"},         {"reset", "", "MR1"},
               {"stall", "", "MR1"},     {"link-no-id", "", "MR2"},  {nullptr, "", "MR-MISSING"}};
  int row = 0;
  for (const auto& k : cases) {
    const std::string name = "fail-" + std::to_string(++row);
    SCOPED_TRACE(name);
    const bool slow = k.mode && std::string(k.mode) == "stall";
    // A timed-out read would be tried again.
    cmtest::ScopedEnv stall("TAPIR_CMI_STALL_TIMEOUT", slow ? "1" : nullptr),
        retries("TAPIR_CMI_RETRIES", slow ? "0" : nullptr);
    void* h = connect(name, {{"sel-h", k.record}, {"sel-y", "MR3"}});
    // Armed for the first try and both retries that a passing failure (reset) gets.
    if (k.mode) sim->fault(k.mode, 3, k.match, slow ? 5 : 0);
    const Reply r = host.commit(h);
    EXPECT_EQ(r.rc, -1) << r.text;
    EXPECT_EQ(r.status(), "10007") << r.text;
    // The provider first, the tracker's text escaped once more for the host.
    const std::string err = r.member("error_message");
    EXPECT_EQ(err.rfind("[" + name + "]", 0), 0u) << r.text;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.size() - 2), "\\n") << err;
    sim->clear_faults();
    expect_nothing_sent(h);
    EXPECT_TRUE(links_of("MR1").empty());
    EXPECT_TRUE(links_of("MR3").empty()) << "records after the failing one are untouched";
  }
  void* h = connect("fail-down", {{"sel-d", "MR1"}});
  ASSERT_EQ(sim->stop(), 0);
  EXPECT_EQ(host.commit(h).status(), "10007");
  EXPECT_EQ(host.commit(h).rc, 0);
}

// Each row: how the stored login is set up, and whether COMMIT may send it.
TEST_F(CommitTest, OnlyAReadableStoredLoginIsSent) {
  cmtest::TrackerSimOptions opt;
  opt.users = {{"alice", "s3cret pass"}};
  Start(opt);
  const struct {
    const char* provider;
    const char* spoil;  // a shell command run in the store folder; null: no login stored
  } cases[] = {{"login-none", nullptr},
               {"login-nokey", "rm .cmi_key"},
               {"login-damaged", "printf '<CMCredential><User' > MRUser/login-damaged/S1/DB1"},
               {"login-good", "true"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.provider);
    std::string out;
    if (k.spoil)
      ASSERT_EQ(cmtest::run_command("printf 's3cret pass' | " + cmtest::shell_quote(CM_CMI_PATH) +
                                        " creds add --provider " + k.provider +
                                        " --dbset S1 --userdb DB1 --user alice --password-stdin"
                                        " 2>&1 && cd '" +
                                        cmi + "' && " + k.spoil,
                                    &out),
                0)
          << out;
    void* h = host.init(init_request(k.provider, sim->base_url()));
    ASSERT_EQ(host.associate(h, change_request("sel-auth", "Auth", "MR1")).rc, 1);
    sim->clear_log();
    const Reply r = host.commit(h);
    const bool good = std::string(k.provider) == "login-good";
    EXPECT_EQ(r.status(), good ? "0" : "10007") << r.text;
    if (k.spoil && !good) {
      EXPECT_NE(r.member("error_message").find("cmi creds add"), std::string::npos) << r.text;
      EXPECT_EQ(sim->log().size(), 0u) << "nothing is sent without the password";
    }
  }
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-auth", "Auth"}}));
  std::string out;
  cmtest::run_command("grep -rl 's3cret pass' '" + home.path() + "' 2>/dev/null", &out);
  EXPECT_EQ(out, "") << "the password never lands on disk in plain text";
}

// The certificate label read at INITIALIZE (~/.cmi_cert_label) selects the client certificate
// from the user's certificate folder, and COMMIT authenticates with it over HTTPS.
TEST_F(CommitTest, CertificateLabelSelectsTheClientCertificate) {
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;
  cmtest::TrackerSimOptions opt;
  opt.tls = true;
  opt.cert = home.path() + "/server.pem";
  opt.key = home.path() + "/server.key";
  opt.client_ca = home.path() + "/ca.pem";
  Start(opt);
  // Without a label there is no client certificate and the handshake is refused.
  for (bool labelled : {false, true}) {
    if (labelled) {
      ASSERT_EQ(cmtest::run_command("mkdir -p '" + cmi + "/Certs' && cp '" + home.path() +
                                    "/client-bundle.pem' '" + cmi + "/Certs/card-1.pem'"),
                0);
      cmtest::write_file(home.path() + "/.cmi_cert_label", "card-1\n");
    }
    void* h = connect("cert-prov", {{"sel-cert", "MR1"}});
    EXPECT_EQ(host.commit(h).status(), labelled ? "0" : "10007");
  }
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-cert", "sel-cert"}}));
  EXPECT_EQ(sim->log().back().value("client_cert", ""), "card-holder");
}

}  // namespace
