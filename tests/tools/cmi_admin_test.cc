// cmi as an administrator meets it: logins that stop working when removed or replaced, machine-wide
// option policy, verdicts, checks and batch files, all through the real program and simulator.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using nlohmann::json;

const char kSeed[] = R"({"records":[
  {"dbset":"S1","userdb":"DB1","id":"MR10","links":[]},
  {"dbset":"S1","userdb":"DB1","id":"MR11","links":[{"resource":"keep","title":"Keep"}]}
]})";

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

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
    const std::string in = home.path() + "/stdin", out = home.path() + "/stdout",
                      err = home.path() + "/stderr";
    cmtest::write_file(in, input);
    std::string command = quote(CM_CMI_PATH);
    for (const auto& a : args) command += " " + quote(a);
    Result r;
    r.status =
        cmtest::run_command(command + " <" + quote(in) + " >" + quote(out) + " 2>" + quote(err));
    r.out = cmtest::read_file(out);
    r.err = cmtest::read_file(err);
    return r;
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

}  // namespace
