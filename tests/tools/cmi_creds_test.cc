// The cmi login and option commands, driven as a user would: through the program, its exit
// status and its output, in a fresh home folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;

using Result = cmtest::ProgramResult;

class CmiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Input and output files stay outside the home folder, which is searched for passwords.
    char pattern[] = "/tmp/cmi-io-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_io = pattern;
  }
  void TearDown() override { cmtest::run_command("rm -rf " + cmtest::shell_quote(m_io)); }

  Result cmi(const std::vector<std::string>& args, const std::string& input = "",
             const std::string& prefix = "") {
    return cmtest::run_program(CM_CMI_PATH, args, input, m_io, prefix);
  }
  Result add(const std::string& provider, const std::string& dbset, const std::string& userdb,
             const std::string& user, const std::string& password,
             std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"creds",   "add", "--provider",      provider,
                                     "--dbset", dbset, "--userdb",        userdb,
                                     "--user",  user,  "--password-stdin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return cmi(args, password + "\n");
  }
  // True when the text occurs in any file under the home folder.
  bool home_holds(const std::string& text) {
    return cmtest::run_command("grep -r -q -F -e " + cmtest::shell_quote(text) + " " +
                               cmtest::shell_quote(home.path())) == 0;
  }
  std::string store() const { return home.path() + "/.Corvane/.Registry/Tarnwell/CMI/MRUser"; }

  cmtest::TempHome home;
  std::string m_io;
};

TEST_F(CmiTest, AddedLoginIsListedAndItsPasswordIsNowhereInPlainText) {
  const std::string password = "Tr0ub4dor&3-horse";
  Result a = add("prov1", "dbs1", "db1", "alice", password, {"--url", "https://mr.example/"});
  ASSERT_EQ(0, a.status) << a.err;
  Result l = cmi({"creds", "list"});
  ASSERT_EQ(0, l.status) << l.err;
  EXPECT_NE(std::string::npos, l.out.find("prov1"));
  EXPECT_NE(std::string::npos, l.out.find("dbs1"));
  EXPECT_NE(std::string::npos, l.out.find("db1"));
  EXPECT_NE(std::string::npos, l.out.find("alice"));
  EXPECT_NE(std::string::npos, l.out.find("https://mr.example/"));
  for (const Result* r : {&a, &l}) {
    EXPECT_EQ(std::string::npos, r->out.find(password));
    EXPECT_EQ(std::string::npos, r->err.find(password));
  }
  EXPECT_TRUE(path_exists(store() + "/prov1/dbs1/db1"));
  EXPECT_TRUE(home_holds("alice"));  // the search itself works
  EXPECT_FALSE(home_holds(password));
  EXPECT_FALSE(home_holds("Tr0ub4dor"));
}

TEST_F(CmiTest, EmptyStoreListsNothing) {
  Result l = cmi({"creds", "list"});
  EXPECT_EQ(0, l.status);
  EXPECT_EQ("No stored logins.\n", l.out);
  EXPECT_FALSE(path_exists(store()));
}

TEST_F(CmiTest, ListShowsEveryLoginOnceInOrder) {
  ASSERT_EQ(0, add("zeta", "s", "d", "u1", "p1").status);
  ASSERT_EQ(0, add("alpha", "set 2", "Dätenbank", "jürgen", "p2").status);
  ASSERT_EQ(0, add("alpha", "set 1", "db", "u3", "p3").status);
  // Replacing a login does not add a second row.
  ASSERT_EQ(0, add("zeta", "s", "d", "u1-new", "p4").status);
  Result l = cmi({"creds", "list"});
  ASSERT_EQ(0, l.status);
  size_t first = l.out.find("set 1");
  size_t second = l.out.find("jürgen");
  size_t third = l.out.find("u1-new");
  ASSERT_NE(std::string::npos, first);
  ASSERT_NE(std::string::npos, second);
  ASSERT_NE(std::string::npos, third);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_EQ(std::string::npos, l.out.find(" u1 "));
  // Header plus three rows.
  EXPECT_EQ(4, std::count(l.out.begin(), l.out.end(), '\n'));
}

TEST_F(CmiTest, RemoveDeletesTheLoginAndItsEmptiedFolders) {
  ASSERT_EQ(0, add("p", "s", "d1", "u", "pw", {"--url", "http://one/"}).status);
  ASSERT_EQ(0, add("p", "s", "d2", "u", "pw").status);
  Result r = cmi({"creds", "remove", "--provider", "p", "--dbset", "s", "--userdb", "d1"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(path_exists(store() + "/p/s/d1"));
  EXPECT_TRUE(path_exists(store() + "/p/s/d2"));
  Result l = cmi({"creds", "list"});
  EXPECT_EQ(std::string::npos, l.out.find("d1"));
  EXPECT_EQ(std::string::npos, l.out.find("http://one/"));

  ASSERT_EQ(0,
            cmi({"creds", "remove", "--provider", "p", "--dbset", "s", "--userdb", "d2"}).status);
  EXPECT_FALSE(path_exists(store()));
  EXPECT_EQ("No stored logins.\n", cmi({"creds", "list"}).out);

  Result again = cmi({"creds", "remove", "--provider", "p", "--dbset", "s", "--userdb", "d2"});
  EXPECT_EQ(1, again.status);
  EXPECT_NE(std::string::npos, again.err.find("no stored login"));
}

TEST_F(CmiTest, DamagedLoginFileCanStillBeRemoved) {
  ASSERT_EQ(0, cmtest::run_command("mkdir -p " + cmtest::shell_quote(store() + "/p/s")));
  cmtest::write_file(store() + "/p/s/d", "<CMCredential><UserName>x</User");
  EXPECT_EQ("No stored logins.\n", cmi({"creds", "list"}).out);
  EXPECT_EQ(0, cmi({"creds", "remove", "--provider", "p", "--dbset", "s", "--userdb", "d"}).status);
  EXPECT_FALSE(path_exists(store() + "/p/s/d"));
}

TEST_F(CmiTest, UrlIsKeptWhenALoginIsReplacedWithoutOne) {
  ASSERT_EQ(0, add("p", "s", "d", "u", "pw", {"--url", "https://kept/"}).status);
  ASSERT_EQ(0, add("p", "s", "d", "u", "new-pw").status);
  EXPECT_NE(std::string::npos, cmi({"creds", "list"}).out.find("https://kept/"));
  ASSERT_EQ(0, add("p", "s", "d", "u", "pw", {"--url=https://changed/"}).status);
  std::string out = cmi({"creds", "list"}).out;
  EXPECT_NE(std::string::npos, out.find("https://changed/"));
  EXPECT_EQ(std::string::npos, out.find("https://kept/"));
}

TEST_F(CmiTest, MisuseIsRefusedWithStatus2AndStoresNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"creds"},
      {"creds", "frobnicate"},
      {"creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d", "--password-stdin"},
      {"creds", "add", "--provider", "p", "--dbset", "s", "--user", "u", "--password-stdin"},
      {"creds", "add", "--provider", "a/b", "--dbset", "s", "--userdb", "d", "--user", "u",
       "--password-stdin"},
      {"creds", "add", "--provider", "..", "--dbset", "s", "--userdb", "d", "--user", "u",
       "--password-stdin"},
      {"creds", "add", "--provider", "p", "--dbset", "", "--userdb", "d", "--user", "u",
       "--password-stdin"},
      {"creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d", "--user", "u",
       "--password-stdin", "--colour"},
      {"creds", "add", "--provider", "p", "--provider", "q", "--dbset", "s", "--userdb", "d",
       "--user", "u", "--password-stdin"},
      {"creds", "add", "--provider"},
      {"creds", "list", "extra"},
      {"creds", "remove", "--provider", "p", "--dbset", "s"},
      {"option"},
      {"option", "get"},
      {"option", "get", "A", "B"},
      {"option", "set", "A"},
      {"option", "set", "bad name", "v"},
      {"option", "set", "A", "two\nlines"},
      {"option", "fetch", "A"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    Result r = cmi(args, "pw\n");
    EXPECT_EQ(2, r.status);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_FALSE(path_exists(store()));
}

TEST_F(CmiTest, HelpIsOfferedEverywhere) {
  const std::vector<std::vector<std::string>> cases = {
      {"creds", "--help"},       {"creds", "add", "--help"}, {"creds", "list", "--help"},
      {"creds", "remove", "-h"}, {"option", "--help"},       {"option", "set", "--help"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back() + " " + args[1]);
    Result r = cmi(args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("usage: cmi "));
  }
}

TEST_F(CmiTest, UnusablePasswordsAreRefused) {
  Result empty = add("p", "s", "d", "u", "");
  EXPECT_EQ(1, empty.status);
  EXPECT_NE(std::string::npos, empty.err.find("empty"));
  Result huge = add("p", "s", "d", "u", std::string(400, 'x'));
  EXPECT_EQ(1, huge.status);
  EXPECT_NE(std::string::npos, huge.err.find("cannot be stored"));
  EXPECT_FALSE(path_exists(store() + "/p/s/d"));
  // A password line ending in CR LF is taken without the CR.
  ASSERT_EQ(0, cmi({"creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d", "--user",
                    "u", "--password-stdin"},
                   "crlf-pw\r\n")
                   .status);
  EXPECT_FALSE(home_holds("crlf-pw"));
}

TEST_F(CmiTest, WithoutATerminalThePromptRefersToPasswordStdin) {
  // setsid leaves the program without a controlling terminal to prompt on.
  Result r =
      cmi({"creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d", "--user", "u"},
          "pw\n", "setsid -w ");
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("--password-stdin"));
  EXPECT_FALSE(path_exists(store() + "/p/s/d"));
}

// Reads from fd into out until `want` appears or the other side closes. The poll limit only
// keeps a broken program from hanging the suite.
bool read_until(int fd, std::string& out, const std::string& want) {
  while (want.empty() || out.find(want) == std::string::npos) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, 30000);
    if (ready <= 0) return false;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return want.empty();
    out.append(buf, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(CmiTest, TerminalPromptDoesNotEchoThePassword) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  std::string slave = ptsname(master);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
    if (fd < 0) _exit(127);
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close(master);
    execl(CM_CMI_PATH, "cmi", "creds", "add", "--provider", "p", "--dbset", "s", "--userdb", "d",
          "--user", "tty-user", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  bool prompted = read_until(master, screen, "Password for tty-user: ");
  if (prompted) {
    const char typed[] = "typed-on-the-tty\n";
    EXPECT_EQ(static_cast<ssize_t>(sizeof typed - 1), write(master, typed, sizeof typed - 1));
    read_until(master, screen, "");
  }
  int status = 0;
  if (!prompted) kill(child, SIGKILL);
  ASSERT_EQ(child, waitpid(child, &status, 0));
  close(master);
  ASSERT_TRUE(prompted) << screen;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << screen;
  EXPECT_EQ(std::string::npos, screen.find("typed-on-the-tty")) << screen;
  EXPECT_NE(std::string::npos, screen.find("Stored login 'tty-user'"));
  EXPECT_FALSE(home_holds("typed-on-the-tty"));
  EXPECT_NE(std::string::npos, cmi({"creds", "list"}).out.find("tty-user"));
}

TEST_F(CmiTest, ConcurrentAddsAllArriveWhole) {
  // Ten programs at once: each its own login, all of them also rewriting one shared login.
  std::string script =
      "fail=0; pids=''; for i in 0 1 2 3 4 5 6 7 8 9; do "
      "( printf 'pw%s\\n' $i | " +
      cmtest::shell_quote(CM_CMI_PATH) +
      " creds add --provider p --dbset s --userdb db$i --user u$i "
      "--password-stdin >/dev/null && printf 'pw%s\\n' $i | " +
      cmtest::shell_quote(CM_CMI_PATH) +
      " creds add --provider p --dbset s --userdb shared --user s$i "
      "--password-stdin >/dev/null ) & pids=\"$pids $!\"; done; "
      "for p in $pids; do wait $p || fail=1; done; exit $fail";
  ASSERT_EQ(0, cmtest::run_command(script));
  std::string out = cmi({"creds", "list"}).out;
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(std::string::npos, out.find("db" + std::to_string(i) + " ")) << out;
  }
  EXPECT_NE(std::string::npos, out.find("shared"));
  EXPECT_EQ(12, std::count(out.begin(), out.end(), '\n')) << out;
  // No temporary file was left behind by the replacements.
  std::string leftovers;
  cmtest::run_command("find " + cmtest::shell_quote(store()) + " -name '.*tmp*'", &leftovers);
  EXPECT_EQ("", leftovers);
}

TEST_F(CmiTest, OptionsRoundTripPerUserAndPerMachine) {
  EXPECT_EQ(0, cmi({"option", "set", "CMI_TEST_OPT", "user value"}).status);
  EXPECT_EQ("user value\n", cmi({"option", "get", "CMI_TEST_OPT"}).out);
  EXPECT_EQ("\n", cmi({"option", "get", "CMI_TEST_OPT", "--machine"}).out);

  EXPECT_EQ(0, cmi({"option", "set", "CMI_TEST_OPT", "machine value", "--machine"}).status);
  EXPECT_EQ("machine value\n", cmi({"option", "get", "--machine", "CMI_TEST_OPT"}).out);
  EXPECT_EQ("user value\n", cmi({"option", "get", "CMI_TEST_OPT"}).out);
  EXPECT_TRUE(path_exists(home.machine_registry()));

  EXPECT_EQ("fallback\n", cmi({"option", "get", "UNSET_OPT", "--default", "fallback"}).out);
  EXPECT_EQ("-5\n", cmi({"option", "get", "UNSET_OPT", "--default=-5"}).out);
  // A value that looks like an option is still a value.
  EXPECT_EQ(0, cmi({"option", "set", "CMI_NEG", "-1"}).status);
  EXPECT_EQ("-1\n", cmi({"option", "get", "CMI_NEG"}).out);

  // The environment override wins over the stored value.
  Result env = cmi({"option", "get", "CMI_TEST_OPT"}, "", "TAPIR_CMI_TEST_OPT=from-env ");
  EXPECT_EQ("from-env\n", env.out);
  Result hidden = cmi({"option", "set", "CMI_TEST_OPT", "v2"}, "", "TAPIR_CMI_TEST_OPT=x ");
  EXPECT_EQ(0, hidden.status);
  EXPECT_NE(std::string::npos, hidden.err.find("TAPIR_CMI_TEST_OPT"));
  EXPECT_EQ("v2\n", cmi({"option", "get", "CMI_TEST_OPT"}).out);
}

}  // namespace
