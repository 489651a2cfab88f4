// cmi as its users meet it: the real program run from a shell, its exit status and output, a
// fresh home folder and the tracker simulator on an ephemeral port. Most tests are lists of
// command lines with the status and text each must give.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::path_exists;
using nlohmann::json;
using Links = std::vector<std::string>;

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR10","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR11","links":[{"resource":"keep","title":"Keep"}]}]})";
const std::string kLogin = "cmi creds add --provider prov --dbset S1 --userdb DB1 --user alice";
const std::string kAdd = "echo secret | " + kLogin + " --password-stdin";
const std::string kLink = "cmi link --connection $CONN --record ";

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One shell command line, with `cmi` on the PATH, $CONN and $DOWN naming connection files (the
// simulator, a port nobody listens on) and $CMI the store folder. Its status must match, and each
// tab-separated part of `expect` occur in standard output or error; "=TEXT" must be all of standard
// output.
struct Step {
  std::string line;
  int status;
  std::string expect;
};
struct Result {
  int status;
  std::string out, err;
};

class CmiTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  std::unique_ptr<cmtest::TrackerSim> sim;
  // Program input and output, outside the home folder searched for passwords.
  const std::string io = cmtest::make_temp_dir("cmi-io");
  const std::string cmi_dir = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";
  const std::string conn = home.path() + "/conn.json";

  void SetUp() override {
    unsetenv("CMI_PLUGIN");
    ASSERT_EQ(symlink(CM_CMI_PATH, (io + "/cmi").c_str()), 0);
    Start(false);
  }
  void TearDown() override { cmtest::run_command("rm -rf " + cmtest::shell_quote(io)); }

  void Start(bool tls) {
    cmtest::TrackerSimOptions opt;
    opt.seed_json = kSeed;
    opt.users = {{"alice", "secret"}};
    opt.tls = tls;
    opt.cert = home.path() + "/server.pem";
    opt.key = home.path() + "/server.key";
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running()) << sim->stderr_text();
    json c = {
        {"providername", "prov"}, {"baseurl", sim->base_url()}, {"dbset", "S1"}, {"userdb", "DB1"}};
    cmtest::write_file(conn, c.dump(1));
    c["baseurl"] = "http://127.0.0.1:1/oslc";
    cmtest::write_file(home.path() + "/down.json", c.dump(1));
  }
  std::vector<Result> Run(const std::vector<Step>& steps) {
    std::vector<Result> results;
    for (const Step& s : steps) {
      SCOPED_TRACE(s.line);
      // The redirections are the outer shell's, in the io folder, whatever the line does.
      const int status = cmtest::run_command(
          "cd " + cmtest::shell_quote(io) + " && PATH=$PWD:$PATH CONN=" +
          cmtest::shell_quote(conn) + " DOWN=" + cmtest::shell_quote(home.path() + "/down.json") +
          " CMI=" + cmtest::shell_quote(cmi_dir) + "; (" + s.line + ") >out 2>err </dev/null");
      results.push_back({status, cmtest::read_file(io + "/out"), cmtest::read_file(io + "/err")});
      const Result& r = results.back();
      EXPECT_EQ(r.status, s.status) << r.out << r.err;
      if (s.expect.rfind("=", 0) == 0) EXPECT_EQ(r.out, s.expect.substr(1)) << r.err;
      std::istringstream parts(s.expect);
      for (std::string part; s.expect[0] != '=' && std::getline(parts, part, '\t');)
        EXPECT_TRUE(has(r.out + r.err, part)) << part << "\n" << r.out << r.err;
    }
    return results;
  }
  Links links(const std::string& id) {
    Links out;
    const json record = sim->record("S1", "DB1", id);
    for (const json& l : record["links"]) out.push_back(l["resource"]);
    std::sort(out.begin(), out.end());
    return out;
  }
  // True when the text occurs in any file under the home folder.
  bool home_holds(const std::string& text) {
    return cmtest::run_command("grep -rqF -e " + cmtest::shell_quote(text) + " " +
                               cmtest::shell_quote(home.path())) == 0;
  }
};

TEST_F(CmiTest, MisuseIsNamedWithTheUsageAndChangesNothing) {
  const std::vector<Result> results = Run({
      {"cmi", 2, "cmi: a command is required"},
      {kLink + "MR10 --version v --bogus=1", 2, "cmi link: unknown option '--bogus'"},
      {kLink + "MR10 stray --version v", 2, "unexpected argument 'stray'"},
      {"cmi creds add --provider", 2, "option --provider needs a value"},
      {"cmi link --record MR10 --version v", 2, "option --connection is required"},
      {kLink + "MR10 --name n", 2, "--name must follow a --version"},
      {kLink + "MR10 --version v --trace-level 9", 2, "--trace-level must be a number"},
      {kLink + "MR10 --version v --trace-subsystem CMMR:BOGUS", 2, "unknown tag \"BOGUS\""},
      {"cmi creds add --provider a/b --dbset s --userdb d --user u", 2, "must not contain '/'"},
      {"cmi creds add --provider p --dbset '' --userdb d --user u", 2, "--dbset is empty"},
      {"echo pw | " + kLogin + " --password-stdin --provider q", 2, "more than once"},
      {"cmi option set 'bad name' v", 2, "must hold only letters, digits and '_'"},
      {"cmi option set A 'two\nlines'", 2, "the value must be a single line"},
  });
  for (const Result& r : results) {
    EXPECT_TRUE(has(r.err, "--help' for the usage.")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  Run({{"cmi --version", 0, "=cmi 8.0.0.6\n"},
       {"cmi unlink -h", 0, "usage: cmi unlink"},
       {"cmi option set --help", 0, "usage: cmi option set"}});
  EXPECT_FALSE(path_exists(cmi_dir + "/MRUser"));
  EXPECT_TRUE(links("MR10").empty());
}

TEST_F(CmiTest, ConnectionFileMistakesArePointedAt) {
  // A connection file with the given members between the provider name and the databases.
  const auto with = [](const std::string& members) {
    return "{\"providername\": \"p\", " + members + ", \"dbset\": \"S1\", \"userdb\": \"DB1\"}";
  };
  const std::string url = "\"" + sim->base_url() + "\"";
  const std::pair<std::string, std::string> cases[] = {
      {with("\n \"baseURL\": " + url), "2:2: unknown key \"baseURL\"; did you mean \"baseurl\"?"},
      {"{\"providername\": \"p\",\n  \"baseurl\": }", "conn.json:2:14: not valid JSON"},
      {with("\"baseurl\": \"ftp://h/oslc\""), "\"baseurl\" must use http or https"},
      {with("\"baseurl\": \"https:///oslc\""), "\"baseurl\" has no host name"},
      {with("\"baseurl\": " + url + ",\n\"tracelevel\": \"abc\""),
       "conn.json:2:1: \"tracelevel\" must be a number"},
      {"{\"providername\": \"p\", \"baseurl\": " + url + ", \"dbset\": \"S1\"}",
       "lacks \"userdb\""},
      {"[1, 2]", "must hold one JSON object"},
  };
  for (const auto& c : cases) {
    cmtest::write_file(conn, c.first);
    Run({{kLink + "MR10 --version v", 2, c.second},
         {"cmi check --connection $CONN --record MR10", 2, c.second}});
  }
}

TEST_F(CmiTest, LoginsAreStoredListedReplacedAndRemoved) {
  const std::string add = "cmi creds add --password-stdin --provider ";
  const std::vector<Result> results = Run({
      {"cmi creds list", 0, "=No stored logins.\n"},
      {"echo 'Tr0ub4dor&3' | " + add + "zeta --dbset s --userdb d --user u1 --url https://kept/", 0,
       "=Stored login 'u1' for provider 'zeta', dbset 's', user database 'd'.\n"},
      {"echo p2 | " + add + "alpha --dbset 'set 2' --userdb Dätenbank --user jürgen", 0, ""},
      {"echo p3 | " + add + "alpha --dbset 'set 1' --userdb db --user u3", 0, ""},
      // Replaced without --url: the URL stays, no second row; CR LF ends the password line.
      {"printf 'crlf-pw\\r\\n' | " + add + "zeta --dbset s --userdb d --user u1-new", 0, ""},
      {"cmi creds list", 0,
       "=PROVIDER  DBSET  USERDB     USER    URL\n"
       "alpha     set 1  db         u3\n"
       "alpha     set 2  Dätenbank  jürgen\n"
       "zeta      s      d          u1-new  https://kept/\n"},
      {"cmi creds list --json", 0,
       R"({"dbset":"s","provider":"zeta","url":"https://kept/","user":"u1-new","userdb":"d"}])"},
      {"echo pw | " + add + "zeta --dbset s --userdb d --user zeta-user --url=https://changed/", 0,
       ""},
      {"cmi creds list", 0, "https://changed/"},
      {"echo | " + add + "p --dbset s --userdb d --user u", 1, "the password is empty"},
      {"printf %0400d 0 | " + add + "p --dbset s --userdb d --user u", 1, "cannot be stored"},
      {"cmi creds remove --provider alpha --dbset 'set 1' --userdb db", 0,
       "=Removed login for provider 'alpha', dbset 'set 1', user database 'db'.\n"},
      {"cmi creds remove --provider alpha --dbset 'set 2' --userdb Dätenbank", 0, ""},
  });
  for (const Result& r : results) EXPECT_FALSE(has(r.out + r.err, "Tr0ub4dor"));
  EXPECT_TRUE(home_holds("zeta-user"));  // the search itself works
  for (const char* secret : {"Tr0ub4dor", "crlf-pw", "p2"}) EXPECT_FALSE(home_holds(secret));
  EXPECT_FALSE(path_exists(cmi_dir + "/MRUser/p"));
  EXPECT_FALSE(path_exists(cmi_dir + "/MRUser/alpha")) << "emptied folders go";

  // A damaged login file can still be removed, and with the last login its URL goes.
  cmtest::write_file(cmi_dir + "/MRUser/zeta/s/d", "<CMCredential><UserName>x</User");
  Run({{"cmi creds list", 0, "=No stored logins.\n"},
       {"cmi creds remove --provider zeta --dbset s --userdb d", 0, ""},
       {"cmi creds remove --provider zeta --dbset s --userdb d", 1,
        "no stored login for provider"}});
  EXPECT_FALSE(path_exists(cmi_dir + "/MRUser"));
  EXPECT_FALSE(path_exists(cmi_dir + "/MRUserURL"));
}

// Store folders open to others are closed; a blocked home names the cause.
TEST_F(CmiTest, CredsAddTightensFoldersAndNamesFileSystemCauses) {
  Run({{"mkdir -p \"$CMI/MRUser/prov\" && cd \"$CMI\" && chmod 0777 . MRUser MRUser/prov && " +
            kAdd + " >/dev/null && stat -c %a . MRUser MRUser/prov MRUser/prov/S1",
        0, "=700\n700\n700\n700\n"},
       {"mkdir blocked && echo x > blocked/.Corvane && export HOME=$PWD/blocked && " + kAdd, 1,
        std::strerror(ENOTDIR)}});
}

TEST_F(CmiTest, ThePasswordPromptNeedsATerminalAndDoesNotEcho) {
  // setsid leaves the program without a controlling terminal to prompt on.
  Run({{"echo pw | setsid -w cmi creds add --provider p --dbset s --userdb d --user u", 2, ""}});
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
  const std::string slave = ptsname(master);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    const int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
    for (int std_fd : {0, 1, 2}) dup2(fd, std_fd);
    execl(CM_CMI_PATH, "cmi", "creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d",
          "--user", "tty-user", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Reads until `want` appears (empty: until the program closes); the poll limit only keeps a
  // broken program from hanging the suite.
  std::string screen;
  const auto read_until = [&](const std::string& want) {
    char buf[256];
    for (pollfd p = {master, POLLIN, 0}; want.empty() || !has(screen, want);) {
      if (poll(&p, 1, 30000) <= 0) return false;
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) return want.empty();  // the program has gone
      screen.append(buf, static_cast<size_t>(n));
    }
    return true;
  };
  const bool prompted = read_until("Password for tty-user: ");
  if (prompted) {
    EXPECT_EQ(write(master, "typed-on-the-tty\n", 17), 17);
    read_until("");
  } else {
    kill(child, SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(master);
  ASSERT_TRUE(prompted) << screen;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_FALSE(has(screen, "typed-on-the-tty")) << screen;
  EXPECT_FALSE(home_holds("typed-on-the-tty"));
  Run({{"cmi creds list", 0, "tty-user"}});
}

TEST_F(CmiTest, OptionsArePerUserWithAMachineWidePolicy) {
  Run({
      {"cmi option set CMI_CONNECT_TIMEOUT 7 --machine 2>&1", 0, "="},
      {"cmi option set OTHER_NAME x --machine", 0, "="},
      {"cmi option get CMI_CONNECT_TIMEOUT", 0, "=7\n"},
      {"cmi option get OTHER_NAME", 0, "=\n"},             // only CMI_ options fall back
      {"cmi option set CMI_CONNECT_TIMEOUT -1", 0, "="},   // looks like an option, is a value
      {"cmi option get CMI_CONNECT_TIMEOUT", 0, "=-1\n"},  // the user's value wins
      {"cmi option get UNSET_OPT --default=-5", 0, "=-5\n"},
      {"TAPIR_CMI_CONNECT_TIMEOUT=env cmi option get CMI_CONNECT_TIMEOUT", 0, "=env\n"},
      {"TAPIR_CMI_CONNECT_TIMEOUT=x cmi option set CMI_CONNECT_TIMEOUT v2", 0,
       "TAPIR_CMI_CONNECT_TIMEOUT is set in the environment"},
      {"cmi option get CMI_CONNECT_TIMEOUT", 0, "=v2\n"},
      {"cd ~/machine-registry && stat -c %a . 'Software/Corvane/Tarnwell/Tarnwell Tapir' "
       "~/.Corvane/.Registry/CurrentUser/Software/Corvane/Tarnwell",
       0, "=755\n644\n700\n"},
  });
}

// A regression: a replaced or removed login must not keep working through the kept session.
TEST_F(CmiTest, RemovedOrReplacedLoginStopsWorkingAtOnce) {
  const std::string jar = cmi_dir + "/CookieJar/prov/S1/DB1";
  Run({{kAdd, 0, ""}, {kLink + "MR10 --version v1", 0, ""}});
  ASSERT_TRUE(path_exists(jar)) << "the session was not kept";
  Run({{"echo wrong | " + kLogin + " --password-stdin", 0, ""},
       {kLink + "MR10 --version v2", 1, ""}});
  EXPECT_FALSE(path_exists(jar));
  Run({{kAdd, 0, ""},
       {kLink + "MR10 --version v2", 0, ""},
       {"cmi creds remove --provider prov --dbset S1 --userdb DB1", 0, ""},
       {kLink + "MR10 --version v3", 1, ""}});
  EXPECT_FALSE(path_exists(cmi_dir + "/CookieJar/prov"));
  EXPECT_EQ(links("MR10"), (Links{"v1", "v2"}));
}

TEST_F(CmiTest, VerdictsAndFailuresSayWhatReallyHappened) {
  const std::vector<Result> results = Run({
      {kLink + "MR10 --version v1", 1,
       "record MR10 failed, its links were not changed: [prov]\thint: the tracker refused the "
       "login; store it again: cmi creds add --provider prov --dbset S1 --userdb DB1"},
      {kAdd, 0, ""},
      {kLink + "MR10 --version v1 --name 'Version 1' --version=v2", 0,
       "=Linked 2 versions to record MR10.\n"},
      {kLink + "MR11 --version keep --version v3", 0,
       "=Linked 1 version to record MR11; 1 was already linked.\n"},
      {kLink + "MR11 --version keep", 0, "=Nothing to link: keep is already linked to MR11.\n"},
      {"cmi unlink --connection $CONN --record MR10 --version tw://a@@/1", 0,
       "=Nothing to unlink: tw://a@@/1 is not linked to MR10.\n"},
      {"cmi unlink --connection $CONN --record MR10 --version v2 --version zz", 0,
       "=Unlinked 1 version from record MR10; 1 was not linked.\n"},
      {kLink + "MR11 --version keep --version v4 --json", 0,
       R"("ok":true,"records":[{"already_linked":["keep"],"linked":["v4"],"record":"MR11")"},
      {kLink + "NO-SUCH --version v1", 1, "check the record ID (--record) and the base URL"},
      // The tracker's own text arrives as written, not JSON-escaped.
      {"cmi link --connection $DOWN --record MR10 --version v", 1,
       "status code, \"7\"\tcmi check --connection"},
      {"cmi link --connection $DOWN --record MR10 --version v --json", 1,
       R"({"command":"link","ok":false,"records":[{"error":)"
       "\t"
       R"("record":"MR10","result":"failed")"},
  });
  EXPECT_FALSE(has(results[9].err, "\\\"")) << results[9].err;
  EXPECT_EQ(links("MR10"), (Links{"v1"}));
  EXPECT_EQ(sim->record("S1", "DB1", "MR10")["links"][0]["title"], "Version 1");
  EXPECT_EQ(sim->record("S1", "DB1", "MR11")["links"][1]["title"], "v3") << "default: selector";
}

TEST_F(CmiTest, BatchesLinkManyRecordsInOneCommitAndTraceWhereAsked) {
  const std::string batch = home.path() + "/batch.txt";
  cmtest::write_file(batch, "MR10 x\nMR11 y\nMR10\n");
  Run({{kAdd, 0, ""},
       {"cmi link --connection $CONN --from " + batch, 2,
        "batch.txt:3: expected RECORD SELECTOR [NAME]"}});
  EXPECT_TRUE(links("MR10").empty()) << "nothing is committed";
  cmtest::write_file(batch, "# record selector name\nMR10 a Name of a\n\nMR11 b\nMR10 c\n");
  Run({{"cmi link --connection $CONN --from " + batch, 0,
        "=Linked 2 versions to record MR10.\nLinked 1 version to record MR11.\n"}});
  EXPECT_EQ(links("MR11"), (Links{"b", "keep"}));
  EXPECT_EQ(sim->record("S1", "DB1", "MR10")["links"][0]["title"], "Name of a");
  // From standard input, with progress for a large batch, and a trace where asked.
  Run(
      {{"for i in $(seq 0 119); do echo MR1$((i % 2)) s$i; done | cmi link --connection $CONN "
        "--from - --trace-level 3 --trace-subsystem CMMR:CMOSLC 2>&1 | tee log && grep -q "
        "'Scheduling ASSOCIATE action for s118 s118 MR10' \"$(sed -n 's/^.*trace file: //p' log)\"",
        0,
        "scheduled 120 of 120 versions\tcommitting 120 changes to 2 records\ttrace file: " +
            home.log_dir() + "/"}});
  EXPECT_EQ(links("MR10").size(), 62u);
  EXPECT_FALSE(has(Run({{kLink + "MR10 --version w", 0, ""}})[0].err, "trace file"));
}

TEST_F(CmiTest, CheckShowsWhichStepFails) {
  Run({
      {"cmi check --connection $CONN", 1,
       "passed  plug-in: \tpassed  URL: " + sim->base_url() +
           "\npassed  name resolution: \tpassed  connection: \twarning TLS: not used: the URL "
           "is plain http, logins travel unencrypted (hint: use an https base URL)\nfailed  login: "
           "no stored login for this connection (hint: cmi creds add --provider prov --dbset S1 "
           "--userdb DB1 --user NAME)\nfailed  tracker accepts the login\tskipped record: "},
      {kAdd, 0, ""},
      {"cmi check --connection $CONN --record MR11", 0,
       "passed  login: stored login of user \"alice\"\npassed  tracker accepts the login\n"
       "passed  record: MR11 read, 1 link\npassed  ETags: sent"},
      {"cmi check --connection $CONN --record NO-SUCH --json", 1,
       R"("ok":false,)"
       "\t"
       R"({"detail":"NO-SUCH: not found","hint":"check --record and the base URL )"},
      {"echo wrong | " + kLogin + " --password-stdin", 0, ""},
      {"cmi check --connection $CONN", 1, "failed  tracker accepts the login"},
      {"cmi check --connection $DOWN", 1,
       "failed  connection: \tskipped login: an earlier step failed"},
  });
}

TEST_F(CmiTest, CheckReportsTheServerCertificate) {
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;
  Start(true);
  // Not verifiable against the system CAs, and the plug-in does not verify either: a warning.
  // Once the plug-in verifies, that fails without the issuer and passes with it.
  Run({{kAdd, 0, ""},
       {"cmi check --connection $CONN", 0,
        "warning TLS: TLSv1.\tcertificate subject \"CN = 127.0.0.1\"\tNOT verified"},
       {"cmi option set CMI_SSL_VERIFY 1 --machine", 0, ""},
       {"cmi check --connection $CONN", 1, "failed  TLS: "},
       {"cmi option set CMI_CA_BUNDLE " + home.path() + "/ca.pem", 0, ""},
       {"cmi check --connection $CONN", 0, ", verified\n"}});
}

TEST_F(CmiTest, RunDrivesTheOperationsFromAScript) {
  const std::string init = "INITIALIZE " + cmtest::init_request("prov", sim->base_url()) + "\n";
  const auto change = [](const char* op, const char* selector, const char* record) {
    return std::string(op) + " " + cmtest::change_request(selector, selector, record);
  };
  const auto run = [](const std::string& script) { return "printf %s '" + script + "' | cmi run"; };
  const std::string ok = " {\"status_code\":\"0\"}\n";
  Run({
      {kAdd, 0, ""},
      {run("# a comment\n\n" + init + change("ASSOCIATE", "s1", "MR10") + "\r\n" +
           change("DISASSOCIATE", "keep", "MR11") + "\nVALIDATE\n  COMMIT\n"),
       0,
       "=INITIALIZE 0" + ok + "ASSOCIATE 1" + ok + "DISASSOCIATE 1" + ok + "VALIDATE 0" + ok +
           "COMMIT 0" + ok},
      {run(init + "LINK {}\nVALIDATE\n"), 1,
       "cmi run: <stdin>:2: unknown operation 'LINK'\tVALIDATE 0" + ok},
      {run(init + change("ASSOCIATE", "x", "NOPE") + "\nCOMMIT\n"), 1,
       "COMMIT -1 {\"status_code\":\"10007\",\"error_message\":\"[prov]"},
  });
  EXPECT_EQ(links("MR10"), (Links{"s1"}));
  EXPECT_TRUE(links("MR11").empty());
}

TEST_F(CmiTest, ThePluginIsFoundOrTheReasonGiven) {
  const std::string version = Run({{"cmi version", 0, "libcmmrv1_0 "}})[0].out;
  Run({
      {"CMI_PLUGIN=/nonexistent/lib.so cmi version", 1,
       "cannot load the plug-in /nonexistent/lib.so (from CMI_PLUGIN): \t--plugin PATH"},
      {"CMI_PLUGIN=/nonexistent/lib.so cmi version --plugin " CM_PLUGIN_PATH, 0, "=" + version},
      {"cmi version --plugin /lib/x86_64-linux-gnu/libz.so.1", 1,
       "not a change-management plug-in"},
      {"cmi run --plugin /nonexistent/none.so -", 2, "cannot load the plug-in"},
      {"cmi run /nonexistent/absent", 2, "cannot open"},
  });
}

}  // namespace
