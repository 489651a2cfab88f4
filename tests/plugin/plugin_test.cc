// The plug-in loaded with dlopen as a host loads it: the entry table and its replies, COMMIT
// against the tracker simulator, and a hostile tracker (what reaches it, what lands on disk, how
// long a trickling answer may hold COMMIT).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::PluginHost;
using cmtest::Reply;
using nlohmann::json;
using Links = std::map<std::string, std::string>;
using Op = Reply (PluginHost::*)(void*, const std::string&);

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR1","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR2","links":[{"resource":"keep","title":"old keep"},
                                                   {"resource":"sel-old","title":"old"}]},
  {"dbset":"S1","userdb":"DB1","id":"MR3","links":[]}]})";
const char kOk[] = R"({"status_code":"0"})";
const char kUrl[] = "http://127.0.0.1:1/unused";  // for requests that reach no tracker
const Op kOps[] = {&PluginHost::associate, &PluginHost::disassociate, &PluginHost::commit,
                   &PluginHost::validate};

class PluginTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  cmtest::PluginHost host;
  std::unique_ptr<cmtest::TrackerSim> sim;
  const std::string cmi = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";

  void SetUp() override {
    ASSERT_TRUE(host.ok()) << host.error();
    Start({});
  }
  // An error reply holds the status first, then the message, and nothing else.
  static void expect_error(const Reply& r, const std::string& status) {
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text.rfind("{\"status_code\":\"" + status + "\",\"error_message\":\"", 0), 0u)
        << r.text;
    EXPECT_EQ(r.json().size(), 2u) << r.text;
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

TEST_F(PluginTest, GetfunctionMatchesExactNamesOnly) {
  std::set<void*> found;
  for (const char* name : {"INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT", "VALIDATE"})
    found.insert(host.getfunction(name));
  EXPECT_EQ(found.size(), 5u);
  for (const char* bad : {"initialize", "COMMIT ", " COMMIT", "", "COMMI", "COMMITX", "Validate"})
    EXPECT_EQ(host.getfunction(bad), nullptr) << "'" << bad << "'";
}

// Each row: one request and the reply it must get; the handle is a working one unless null.
TEST_F(PluginTest, RequestsAndTheirReplies) {
  void* h = host.init(init_request("entry", kUrl));
  ASSERT_NE(h, nullptr);
  // The parser's own tests refuse each missing member; these cross the entry functions.
  const std::string bad_changes[] = {
      "", "garbage", R"({"twversion":{"universal_selector":"u","display_name":"n"},"cmtask":{}})",
      change_request("u", "n", std::string("MR1\0OTHER", 9))};
  struct Row {
    Op op;
    bool null_handle;
    std::string request;
    int rc;
    std::string reply;  // exact text, or the status code of an error reply
  };
  std::vector<Row> rows;
  for (Op op : kOps) rows.push_back({op, true, change_request("u", "n", "1"), -1, "No memory."});
  for (const std::string& bad : bad_changes)
    for (Op op : {kOps[0], kOps[1]}) rows.push_back({op, false, bad, -1, "10002"});
  rows.push_back({&PluginHost::validate, false, "anything at all", 0, kOk});
  rows.push_back({&PluginHost::commit, false, "not even json", 0, kOk});  // nothing scheduled
  const std::string huge(1 << 20, 'u');  // a huge but valid change is scheduled like any other
  for (Op op : {kOps[0], kOps[1]}) {
    rows.push_back({op, false, change_request("u", "n", "R"), 1, kOk});
    rows.push_back({op, false, change_request(huge, huge, "R"), 1, kOk});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.request.substr(0, 80));
    const Reply r = (host.*row.op)(row.null_handle ? nullptr : h, row.request);
    if (row.rc == -1 && !row.null_handle) {
      expect_error(r, row.reply);
    } else {
      EXPECT_EQ(r.rc, row.rc);
      EXPECT_EQ(r.text, row.reply);
    }
  }
  ASSERT_EQ(host.init(init_request("entry", kUrl)), h) << "the same provider, its work dropped";
  EXPECT_EQ(host.commit(h).text, kOk);
}

// Malformed requests, and connection names that cannot be folder names, get a null handle.
TEST_F(PluginTest, FailedInitializeStoresANullHandle) {
  const std::string victim = home.path() + "/victim.cfg";
  cmtest::write_file(victim, "precious\n");
  std::vector<std::string> rows = {"", "not json", "[1,2,3]", R"({"providername":"p"})",
                                   R"({"providername":"p","baseurl":"u","dbset":"s"})"};
  // CookieJar/P/S up to the home, then the victim.
  for (const char* key : {"providername", "dbset", "userdb"})
    for (const std::string value :
         {"", ".", "..", "a/b", "a\rb", "a\nb", "a\x7f", "../../../../../../../victim.cfg"}) {
      json request = json::parse(init_request("names", kUrl));
      request[key] = value;
      rows.push_back(request.dump());
    }
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    void* handle = reinterpret_cast<void*>(0x1);
    expect_error(host.initialize(row, &handle), "10002");
    EXPECT_EQ(handle, nullptr);
  }
  EXPECT_EQ(cmtest::read_file(victim), "precious\n");
  EXPECT_FALSE(cmtest::path_exists(cmi + "/CookieJar"));
  Reply ok;
  ASSERT_NE(host.init(init_request("entry-init", kUrl), &ok), nullptr);
  EXPECT_EQ(std::to_string(ok.rc) + ok.text, std::string("0") + kOk);
}

TEST_F(PluginTest, AppliesScheduledLinksRecordByRecord) {
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
  std::string order;
  for (const json& e : sim->log()) {
    const std::string method = e["method"], query = e["query"];
    order += method == "GET" ? query.substr(query.find("MR"), 3) + " " : method + ", ";
  }
  EXPECT_EQ(order, "MR1 PUT, MR2 PUT, MR3 PUT, ");
  // The map is empty now, and INITIALIZE of the same connection drops what was scheduled since.
  expect_nothing_sent(h);
  ASSERT_EQ(connect("commit-ok", {{"sel-drop", "MR3"}}), h);
  ASSERT_EQ(connect("commit-ok"), h);
  expect_nothing_sent(h);
}

// Each row: how the tracker fails one COMMIT of MR1 (or of MR2, or of a missing record) and MR3:
// only the update, only the read, or links that cannot all be read; then a tracker that is gone.
// Retries and how each answer maps to a status are the engine's tests' business.
TEST_F(PluginTest, TrackerFailuresFailTheCommitAndDropTheWork) {
  const struct {
    const char *mode, *match, *record;
  } cases[] = {{"500", "/record/", "MR1"},
               {"500", "vqm", "MR1"},
               {"link-no-id", "", "MR2"},
               {nullptr, "", "MR-MISSING"}};
  int row = 0;
  for (const auto& k : cases) {
    const std::string name = "fail-" + std::to_string(++row);
    SCOPED_TRACE(name);
    void* h = connect(name, {{"sel-h", k.record}, {"sel-y", "MR3"}});
    if (k.mode) sim->fault(k.mode, 3, k.match);
    const Reply r = host.commit(h);
    EXPECT_EQ(r.rc, -1) << r.text;
    EXPECT_EQ(r.status(), "10007") << r.text;
    // The provider first, the tracker's text escaped once more for the host.
    const std::string err = r.member("error_message");
    EXPECT_EQ(err.rfind("[" + name + "]", 0), 0u) << r.text;
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
TEST_F(PluginTest, OnlyAReadableStoredLoginIsSent) {
  cmtest::TrackerSimOptions options;
  options.users = {{"alice", "s3cret pass"}};
  Start(options);
  const std::string add = cmtest::shell_quote(CM_CMI_PATH) +
                          " creds add --dbset S1 --userdb DB1 --user alice --password-stdin"
                          " 2>&1 --provider ";
  const struct {
    const char* provider;
    const char* spoil;  // a shell command run in the store folder once the login is stored
  } cases[] = {{"login-nokey", "rm .cmi_key"},
               {"login-damaged", "printf '<CMCredential><User' > MRUser/login-damaged/S1/DB1"},
               {"login-good", "true"}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.provider);
    std::string out;
    const std::string spoil = " && cd '" + cmi + "' && " + k.spoil;
    ASSERT_EQ(cmtest::run_command("printf 's3cret pass' | " + add + k.provider + spoil, &out), 0)
        << out;
    void* h = host.init(init_request(k.provider, sim->base_url()));
    ASSERT_EQ(host.associate(h, change_request("sel-auth", "Auth", "MR1")).rc, 1);
    sim->clear_log();
    const Reply r = host.commit(h);
    if (std::string(k.provider) == "login-good") {
      EXPECT_EQ(r.text, kOk);
    } else {  // nothing is sent without the password
      EXPECT_NE(r.member("error_message").find("cmi creds add"), std::string::npos) << r.text;
      EXPECT_EQ(sim->log().size(), 0u);
    }
  }
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-auth", "Auth"}}));
}

// The certificate label read at INITIALIZE (~/.cmi_cert_label) selects the client certificate
// from the user's certificate folder, and COMMIT authenticates with it over HTTPS.
TEST_F(PluginTest, CertificateLabelSelectsTheClientCertificate) {
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;
  cmtest::TrackerSimOptions options;
  options.tls = true;
  options.cert = home.path() + "/server.pem";
  options.key = home.path() + "/server.key";
  options.client_ca = home.path() + "/ca.pem";
  const std::string p = home.path();
  Start(options);
  // Without a label there is no client certificate and the handshake is refused.
  for (bool labelled : {false, true}) {
    if (labelled)
      ASSERT_EQ(
          cmtest::run_command("cd '" + p + "' && echo card-1 >.cmi_cert_label && mkdir -p '" + cmi +
                              "/Certs' && cp client-bundle.pem '" + cmi + "/Certs/card-1.pem'"),
          0);
    void* h = connect("cert-prov", {{"sel-cert", "MR1"}});
    EXPECT_EQ(host.commit(h).status(), labelled ? "0" : "10007");
  }
  EXPECT_EQ(links_of("MR1"), (Links{{"sel-cert", "sel-cert"}}));
  EXPECT_EQ(sim->log().back().value("client_cert", ""), "card-holder");
}

// Each row: a record that tests/support/hostile_tracker.py answers in a hostile way, and what
// COMMIT must and must not do.
TEST_F(PluginTest, HostileAnswersAreMetSafely) {
  Start({{}, {}, false, {}, {}, {}, {}, {}, CM_SOURCE_DIR "/tests/support/hostile_tracker.py"});
  const struct {
    const char* record;
    const char* error;            // a piece of the error message; null: COMMIT succeeds
    const char* put_has;          // a piece of the written record; null: nothing is written
    const char *limit, *seconds;  // a transfer limit set for the row
  } cases[] = {
      // Updates go only to the base URL's origin: the read, and nothing to another origin (the
      // request layer's table holds the other origin rows).
      {"FOREIGN-PORT", "is not on the tracker's server", nullptr, nullptr, nullptr},
      {"SAME-ORIGIN", nullptr, "tw://new@@/main/2", nullptr, nullptr},
      {"DUP-ID", "rdf:ID \\\"L1\\\"", nullptr, nullptr, nullptr},
      // A refused cookie is neither kept in the jar nor sent back (which cookies are refused is
      // the request layer's table).
      {"CR-COOKIE", nullptr, "", nullptr, nullptr},
      // Titles are written back whole.
      {"CDATA-TITLE", nullptr, "dcterms:title=\"Fix a &lt; b and  done\"", nullptr, nullptr},
      {"TRICKLE", "timed out", nullptr, "TAPIR_CMI_TRANSFER_TIMEOUT", "2"},
      {"TRICKLE", "too slow", nullptr, "TAPIR_CMI_STALL_TIMEOUT", "1"},
  };
  for (const auto& k : cases) {
    const std::string provider = std::string("hostile-") + k.record + (k.limit ? k.limit : "");
    SCOPED_TRACE(provider);
    cmtest::ScopedEnv limit(k.limit ? k.limit : "TAPIR_UNUSED", k.seconds);
    void* h = host.init(init_request(provider, sim->base_url()));
    ASSERT_EQ(host.associate(h, change_request("tw://new@@/main/2", "New", k.record)).rc, 1);
    sim->clear_log();
    const Reply r = host.commit(h);
    EXPECT_EQ(r.rc, k.error ? -1 : 0) << r.text;
    if (k.error) EXPECT_NE(r.member("error_message").find(k.error), std::string::npos) << r.text;
    if (k.limit) EXPECT_NE(r.member("error_message").find("\\\"28\\\""), std::string::npos);
    const json log = sim->log();
    size_t gets = 0;
    for (const json& entry : log) {
      gets += entry["method"] == "GET";
      EXPECT_EQ(entry["listener"], "main");
      for (const json& header : entry["header_list"]) EXPECT_NE(header[0], "Cookie") << header[1];
    }
    if (!k.limit) EXPECT_EQ(gets, 1u);  // a timed-out read is tried again
    ASSERT_EQ(log.size() - gets, k.put_has ? 1u : 0u);
    if (k.put_has)
      EXPECT_NE(log.back()["body"].get<std::string>().find(k.put_has), std::string::npos);
    EXPECT_FALSE(cmtest::path_exists(cmi + "/CookieJar/" + provider + "/S1/DB1"));
  }
}

}  // namespace
