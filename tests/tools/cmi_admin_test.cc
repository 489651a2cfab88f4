// cmi as an administrator meets it: logins that stop working when removed or replaced, machine-wide
// option policy, verdicts, checks and batch files, all through the real program and simulator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.h"
#include "support/test_certs.h"
#include "support/tracker_sim.h"

namespace {

using nlohmann::json;

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR10","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR11","links":[{"resource":"keep","title":"Keep"}]}
]})";

using Result = cmtest::ProgramResult;

int mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class CmiAdminTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  std::unique_ptr<cmtest::TrackerSim> sim;

  void SetUp() override {
    unsetenv("CMI_PLUGIN");
    cmtest::TrackerSimOptions opt;
    opt.seed_json = kSeed;
    opt.users = {{"alice", "secret"}};
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running());
  }

  Result cmi(const std::vector<std::string>& args, const std::string& input = "") {
    return cmtest::run_program(CM_CMI_PATH, args, input, home.path());
  }
  std::string connection_file(const json& extra = json::object()) {
    json conn = {
        {"providername", "prov"}, {"baseurl", sim->base_url()}, {"dbset", "S1"}, {"userdb", "DB1"}};
    conn.update(extra);
    const std::string path = home.path() + "/conn.json";
    cmtest::write_file(path, conn.dump(1));
    return path;
  }
  Result store_login(const std::string& password) {
    return cmi({"creds", "add", "--provider", "prov", "--dbset", "S1", "--userdb", "DB1", "--user",
                "alice", "--password-stdin"},
               password + "\n");
  }
  std::vector<std::string> links(const std::string& id) {
    std::vector<std::string> out;
    const json record = sim->record("S1", "DB1", id);
    for (const json& l : record["links"]) out.push_back(l["resource"]);
    std::sort(out.begin(), out.end());
    return out;
  }
  Result link(const std::string& record, const std::vector<std::string>& selectors,
              const std::string& command = "link") {
    std::vector<std::string> args = {command, "--connection", connection_file(), "--record",
                                     record};
    for (const auto& s : selectors) args.insert(args.end(), {"--version", s});
    return cmi(args);
  }
};

TEST_F(CmiAdminTest, RemovedOrReplacedLoginStopsWorkingAtOnce) {
  ASSERT_EQ(store_login("secret").status, 0);
  Result r = link("MR10", {"v1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string jar = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar/prov/S1/DB1";
  ASSERT_TRUE(cmtest::path_exists(jar)) << "the session was not kept";

  // A wrong password replaces the login; the old session must not carry on under it.
  ASSERT_EQ(store_login("wrong").status, 0);
  EXPECT_FALSE(cmtest::path_exists(jar));
  r = link("MR10", {"v2"});
  EXPECT_EQ(r.status, 1) << r.out;

  ASSERT_EQ(store_login("secret").status, 0);
  ASSERT_EQ(link("MR10", {"v2"}).status, 0);
  ASSERT_TRUE(cmtest::path_exists(jar));
  r = cmi({"creds", "remove", "--provider", "prov", "--dbset", "S1", "--userdb", "DB1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(cmtest::path_exists(jar));
  EXPECT_FALSE(
      cmtest::path_exists(home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar/prov"));
  EXPECT_EQ(link("MR10", {"v3"}).status, 1);
}

TEST_F(CmiAdminTest, MachineWideOptionsAreAPolicyEveryUserReads) {
  ASSERT_EQ(cmi({"option", "set", "CMI_CONNECT_TIMEOUT", "7", "--machine"}).status, 0);
  ASSERT_EQ(cmi({"option", "set", "OTHER_NAME", "x", "--machine"}).status, 0);
  EXPECT_EQ(cmi({"option", "get", "CMI_CONNECT_TIMEOUT"}).out, "7\n");
  EXPECT_EQ(cmi({"option", "get", "OTHER_NAME"}).out, "\n") << "only CMI_ options fall back";
  ASSERT_EQ(cmi({"option", "set", "CMI_CONNECT_TIMEOUT", "9"}).status, 0);
  EXPECT_EQ(cmi({"option", "get", "CMI_CONNECT_TIMEOUT"}).out, "9\n") << "the user's value wins";

  const std::string folder = home.machine_registry() + "/Software/Corvane/Tarnwell";
  EXPECT_EQ(mode_of(home.machine_registry()), 0755);
  EXPECT_EQ(mode_of(folder), 0755);
  EXPECT_EQ(mode_of(folder + "/Tarnwell Tapir"), 0644);
  EXPECT_EQ(mode_of(home.path() + "/.Corvane/.Registry/CurrentUser/Software/Corvane/Tarnwell"),
            0700);
}

struct ParseCase {
  std::vector<std::string> args;  // "CONN" stands for a valid connection file
  int status;
  std::string expect;  // in standard output for status 0, else in standard error
};

TEST_F(CmiAdminTest, CommandLinesAreParsedAlikeEverywhere) {
  ASSERT_EQ(store_login("secret").status, 0);
  const std::vector<ParseCase> cases = {
      {{"--version"}, 0, "cmi "},
      {{"--help"}, 0, "usage: cmi"},
      {{"link", "-h"}, 0, "usage: cmi link"},
      {{"unlink", "--help"}, 0, "usage: cmi unlink"},
      {{"check", "--help"}, 0, "usage: cmi check"},
      {{"run", "--help"}, 0, "usage: cmi run"},
      {{"version", "-h"}, 0, "usage: cmi version"},
      {{"creds", "list", "--help"}, 0, "usage: cmi creds list"},
      {{"option", "get", "-h"}, 0, "usage: cmi option get"},
      {{"link", "--connection=CONN", "--record=MR10", "--version=v1"}, 0, "Linked 1 version"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v2"}, 0, "Linked 1"},
      {{}, 2, "a command is required"},
      {{"frob"}, 2, "unknown command 'frob'"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v", "--bogus"},
       2,
       "unknown option '--bogus'"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v", "--bogus=1"},
       2,
       "unknown option '--bogus'"},
      {{"link", "--connection", "CONN", "--record", "MR10", "stray", "--version", "v"},
       2,
       "unexpected argument 'stray'"},
      {{"creds", "list", "extra"}, 2, "unexpected argument 'extra'"},
      {{"creds", "add", "--provider"}, 2, "option --provider needs a value"},
      {{"link", "--record", "MR10", "--version", "v"}, 2, "option --connection is required"},
      {{"link", "--connection", "CONN", "--version", "v"}, 2, "option --record is required"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--name", "n"},
       2,
       "--name must follow a --version"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v", "--from", "-"},
       2,
       "--from cannot be combined"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v", "--trace-level",
        "abc"},
       2,
       "--trace-level must be a number from 0 (off) to 5"},
      {{"link", "--connection", "CONN", "--record", "MR10", "--version", "v", "--trace-level", "9"},
       2,
       "--trace-level must be a number"},
      {{"unlink", "--connection", "CONN", "--record", "MR10", "--version", "v", "--trace-subsystem",
        "CMMR:BOGUS"},
       2,
       "unknown tag \"BOGUS\""},
  };
  const std::string conn = connection_file();
  for (const ParseCase& c : cases) {
    std::vector<std::string> args;
    std::string shown;
    for (std::string a : c.args) {
      const size_t at = a.find("CONN");
      if (at != std::string::npos) a.replace(at, 4, conn);
      args.push_back(a);
      shown += a + " ";
    }
    SCOPED_TRACE(shown);
    const Result r = cmi(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.status == 0) {
      EXPECT_NE(r.out.find(c.expect), std::string::npos) << r.out;
      if (c.expect.rfind("usage", 0) == 0) {
        EXPECT_EQ(r.out.find(c.expect), 0u) << r.out;
      }
    } else {
      EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("--help' for the usage."), std::string::npos) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_EQ(links("MR10"), (std::vector<std::string>{"v1", "v2"}));
}

TEST_F(CmiAdminTest, ConnectionFileMistakesArePointedAt) {
  const std::string base = sim->base_url();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"providername\": \"p\",\n \"baseURL\": \"" + base +
           "\", \"dbset\": \"S1\", \"userdb\": \"DB1\"}",
       "conn.json:2:2: unknown key \"baseURL\"; did you mean \"baseurl\"?"},
      {"{\"providername\": \"p\", \"dbset\": \"S1\",\n \"usrdb\": \"DB1\", \"baseurl\": \"" + base +
           "\"}",
       "conn.json:2:2: unknown key \"usrdb\"; did you mean \"userdb\"?"},
      {"{\"providername\": \"p\",\n  \"baseurl\": }", "conn.json:2:14: not valid JSON"},
      {"{\"providername\": \"p\", \"baseurl\": \"127.0.0.1/oslc\", \"dbset\": \"S1\", \"userdb\": "
       "\"DB1\"}",
       "\"baseurl\" must be an http or https URL"},
      {"{\"providername\": \"p\", \"baseurl\": \"ftp://h/oslc\", \"dbset\": \"S1\", \"userdb\": "
       "\"DB1\"}",
       "\"baseurl\" must use http or https"},
      {"{\"providername\": \"p\", \"baseurl\": \"https:///oslc\", \"dbset\": \"S1\", \"userdb\": "
       "\"DB1\"}",
       "\"baseurl\" has no host name"},
      {"{\"providername\": \"p\", \"baseurl\": \"" + base +
           "\", \"dbset\": \"S1\", \"userdb\": \"DB1\",\n\"tracelevel\": \"abc\"}",
       "conn.json:2:1: \"tracelevel\" must be a number"},
      {"{\"providername\": \"p\", \"baseurl\": \"" + base + "\", \"dbset\": \"S1\"}",
       "lacks \"userdb\""},
      {"[1, 2]", "must hold one JSON object"},
  };
  const std::string file = home.path() + "/conn.json";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    cmtest::write_file(file, c.first);
    for (const char* command : {"link", "check"}) {
      std::vector<std::string> args = {command, "--connection", file, "--record", "MR10"};
      if (std::string(command) == "link") args.insert(args.end(), {"--version", "v"});
      const Result r = cmi(args);
      EXPECT_EQ(r.status, 2);
      EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
    }
  }
  EXPECT_TRUE(links("MR10").empty());
}

TEST_F(CmiAdminTest, VerdictsSayWhatReallyHappened) {
  ASSERT_EQ(store_login("secret").status, 0);
  Result r = link("MR11", {"keep", "v1", "v2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Linked 2 versions to record MR11; 1 was already linked.\n");
  r = link("MR11", {"keep"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Nothing to link: keep is already linked to MR11.\n");
  r = link("MR10", {"tw://vob/a.c@@/main/1"}, "unlink");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Nothing to unlink: tw://vob/a.c@@/main/1 is not linked to MR10.\n");
  r = link("MR11", {"v1", "zz"}, "unlink");
  EXPECT_EQ(r.out, "Unlinked 1 version from record MR11; 1 was not linked.\n");
  EXPECT_EQ(links("MR11"), (std::vector<std::string>{"keep", "v2"}));

  // Machine-readable: the same facts as JSON.
  r = cmi({"link", "--connection", connection_file(), "--record", "MR11", "--version", "keep",
           "--version", "v3", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  json j = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["records"][0]["linked"], json::array({"v3"}));
  EXPECT_EQ(j["records"][0]["already_linked"], json::array({"keep"}));
  r = cmi({"creds", "list", "--json"});
  j = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_array()) << r.out;
  EXPECT_EQ(j[0]["user"], "alice");
  EXPECT_EQ(r.out.find("secret"), std::string::npos);
}

TEST_F(CmiAdminTest, FailuresNameTheRecordAndSayWhatToDo) {
  Result r = link("MR10", {"v1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("record MR10 failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("hint: the tracker refused the login; store it again: cmi creds add "
                       "--provider prov --dbset S1 --userdb DB1"),
            std::string::npos)
      << r.err;

  ASSERT_EQ(store_login("secret").status, 0);
  r = link("NO-SUCH", {"v1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("record NO-SUCH"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("check the record ID (--record) and the base URL"), std::string::npos);

  // The tracker's own text arrives as written, not JSON-escaped.
  cmtest::write_file(home.path() + "/down.json", json{{"providername", "prov"},
                                                      {"baseurl", "http://127.0.0.1:1/oslc"},
                                                      {"dbset", "S1"},
                                                      {"userdb", "DB1"}}
                                                     .dump());
  r = cmi(
      {"link", "--connection", home.path() + "/down.json", "--record", "MR10", "--version", "v"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("\\\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("status code, \"7\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cmi check --connection"), std::string::npos) << r.err;

  r = cmi({"link", "--connection", home.path() + "/down.json", "--record", "MR10", "--version", "v",
           "--json"});
  EXPECT_EQ(r.status, 1);
  json j = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["records"][0]["result"], "failed");
  EXPECT_EQ(j["records"][0]["record"], "MR10");
}

TEST_F(CmiAdminTest, BatchFilesLinkManyRecordsInOneCommit) {
  ASSERT_EQ(store_login("secret").status, 0);
  const std::string batch = home.path() + "/batch.txt";
  cmtest::write_file(batch, "# record selector name\nMR10 a Name of a\n\nMR11 b\nMR10 c\n");
  sim->clear_log();
  Result r = cmi({"link", "--connection", connection_file(), "--from", batch});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Linked 2 versions to record MR10.\nLinked 1 version to record MR11.\n");
  EXPECT_EQ(links("MR10"), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(links("MR11"), (std::vector<std::string>{"b", "keep"}));
  const json record = sim->record("S1", "DB1", "MR10");
  for (const json& l : record["links"])
    if (l["resource"] == "a") EXPECT_EQ(l["title"], "Name of a");

  // A malformed line is named and nothing is committed.
  cmtest::write_file(batch, "MR10 x\nMR11 y\nMR10\n");
  r = cmi({"link", "--connection", connection_file(), "--from", batch});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("batch.txt:3: expected RECORD SELECTOR [NAME]"), std::string::npos) << r.err;
  EXPECT_EQ(links("MR10"), (std::vector<std::string>{"a", "c"}));

  // From standard input, with progress for a large batch.
  std::string lines;
  for (int i = 0; i < 120; ++i) lines += (i % 2 ? "MR10 s" : "MR11 s") + std::to_string(i) + "\n";
  r = cmi({"unlink", "--connection", connection_file(), "--from", "-"}, "MR10 a\nMR11 b\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = cmi({"link", "--connection", connection_file(), "--from", "-"}, lines);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("scheduled 120 of 120 versions"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("committing 120 changes to 2 records"), std::string::npos) << r.err;
  EXPECT_EQ(links("MR10").size(), 61u);
  EXPECT_EQ(links("MR11").size(), 61u);
}

TEST_F(CmiAdminTest, TracingSaysWhereTheTraceGoes) {
  ASSERT_EQ(store_login("secret").status, 0);
  Result r = cmi({"link", "--connection", connection_file(), "--record", "MR10", "--version", "v",
                  "--trace-level", "3", "--trace-subsystem", "CMMR:CMOSLC"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string marker = "trace file: ";
  const size_t at = r.err.find(marker);
  ASSERT_NE(at, std::string::npos) << r.err;
  const std::string path =
      r.err.substr(at + marker.size(), r.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(path.rfind(home.log_dir(), 0), 0u) << path;
  EXPECT_NE(cmtest::read_file(path).find("CM_"), std::string::npos);
  r = link("MR10", {"w"});
  EXPECT_EQ(r.err.find(marker), std::string::npos) << "no trace, no trace line";
}

// The check's lines: step name to result word.
std::map<std::string, std::string> check_results(const std::string& out) {
  std::map<std::string, std::string> results;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const size_t word_end = line.find(' ');
    const size_t name_start = line.find_first_not_of(' ', word_end);
    const size_t name_end = line.find(':', name_start);
    results[line.substr(name_start,
                        name_end == std::string::npos ? name_end : name_end - name_start)] =
        line.substr(0, word_end);
  }
  return results;
}

TEST_F(CmiAdminTest, CheckShowsWhichStepFails) {
  Result r = cmi({"check", "--connection", connection_file()});
  EXPECT_EQ(r.status, 1);
  auto steps = check_results(r.out);
  EXPECT_EQ(steps["plug-in"], "passed") << r.out;
  EXPECT_EQ(steps["URL"], "passed") << r.out;
  EXPECT_EQ(steps["name resolution"], "passed");
  EXPECT_EQ(steps["connection"], "passed");
  EXPECT_EQ(steps["TLS"], "warning");
  EXPECT_EQ(steps["login"], "failed");
  EXPECT_NE(r.out.find("hint: cmi creds add --provider prov"), std::string::npos) << r.out;

  ASSERT_EQ(store_login("secret").status, 0);
  r = cmi({"check", "--connection", connection_file(), "--record", "MR11"});
  EXPECT_EQ(r.status, 0) << r.out;
  steps = check_results(r.out);
  EXPECT_EQ(steps["login"], "passed");
  EXPECT_NE(r.out.find("stored login of user \"alice\""), std::string::npos);
  EXPECT_EQ(r.out.find("secret"), std::string::npos);
  EXPECT_EQ(steps["tracker accepts the login"], "passed");
  EXPECT_NE(r.out.find("MR11 read, 1 link"), std::string::npos) << r.out;
  EXPECT_EQ(steps["ETags"], "passed");

  r = cmi({"check", "--connection", connection_file(), "--record", "NO-SUCH", "--json"});
  EXPECT_EQ(r.status, 1);
  json j = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j["ok"], false);
  bool record_failed = false;
  for (const json& s : j["steps"])
    if (s["step"] == "record") record_failed = s["result"] == "failed" && s.contains("hint");
  EXPECT_TRUE(record_failed) << r.out;

  store_login("wrong");
  r = cmi({"check", "--connection", connection_file()});
  EXPECT_EQ(check_results(r.out)["tracker accepts the login"], "failed") << r.out;

  cmtest::write_file(home.path() + "/down.json", json{{"providername", "prov"},
                                                      {"baseurl", "http://127.0.0.1:1/oslc"},
                                                      {"dbset", "S1"},
                                                      {"userdb", "DB1"}}
                                                     .dump());
  r = cmi({"check", "--connection", home.path() + "/down.json"});
  EXPECT_EQ(r.status, 1);
  steps = check_results(r.out);
  EXPECT_EQ(steps["connection"], "failed") << r.out;
  EXPECT_EQ(steps["login"], "skipped");
}

TEST_F(CmiAdminTest, CheckReportsTheServerCertificate) {
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;
  cmtest::TrackerSimOptions opt;
  opt.seed_json = kSeed;
  opt.users = {{"alice", "secret"}};
  opt.tls = true;
  opt.cert = home.path() + "/server.pem";
  opt.key = home.path() + "/server.key";
  sim = std::make_unique<cmtest::TrackerSim>(opt);
  ASSERT_TRUE(sim->running());
  ASSERT_EQ(store_login("secret").status, 0);

  // Not verifiable against the system CAs; the plug-in does not verify either: a warning.
  Result r = cmi({"check", "--connection", connection_file()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(check_results(r.out)["TLS"], "warning") << r.out;
  EXPECT_NE(r.out.find("TLSv1."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CN = 127.0.0.1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("NOT verified"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CMI_SSL_VERIFY"), std::string::npos) << r.out;

  // The plug-in verifies: without the issuer that fails, with it the check passes.
  ASSERT_EQ(cmi({"option", "set", "CMI_SSL_VERIFY", "1", "--machine"}).status, 0);
  r = cmi({"check", "--connection", connection_file()});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(check_results(r.out)["TLS"], "failed") << r.out;
  ASSERT_EQ(cmi({"option", "set", "CMI_CA_BUNDLE", home.path() + "/ca.pem"}).status, 0);
  r = cmi({"check", "--connection", connection_file()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(check_results(r.out)["TLS"], "passed") << r.out;
  EXPECT_NE(r.out.find(", verified"), std::string::npos) << r.out;
}

TEST_F(CmiAdminTest, TheSimulatorsExampleSeedServesTheReadmeWalkThrough) {
  cmtest::TrackerSimOptions opt;
  opt.seed_json = cmtest::read_file(CM_SOURCE_DIR "/tools/tracker-sim/example-seed.json");
  opt.users = {{"alice", "secret"}};
  sim = std::make_unique<cmtest::TrackerSim>(opt);
  ASSERT_TRUE(sim->running());
  const std::string conn = connection_file({{"dbset", "PROD"}, {"userdb", "CHG"}});
  ASSERT_EQ(cmi({"creds", "add", "--provider", "prov", "--dbset", "PROD", "--userdb", "CHG",
                 "--user", "alice", "--password-stdin"},
                "secret\n")
                .status,
            0);
  Result r = cmi({"check", "--connection", conn, "--record", "MR00042"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("MR00042 read, 1 link"), std::string::npos) << r.out;
  r = cmi(
      {"link", "--connection", conn, "--record", "MR00043", "--version", "tw://vob/a.c@@/main/1"});
  EXPECT_EQ(r.out, "Linked 1 version to record MR00043.\n") << r.err;
}

}  // namespace
