// Provider identity, scheduling and the trace file, through the entry functions. The trace state
// is process-wide, so every test names its own provider and records and looks only at the lines
// that carry those names.
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;

const char kUrl[] = "http://127.0.0.1:1/unused";

// One home for the whole process: the trace file, once opened, stays open.
cmtest::TempHome s_home;

std::vector<std::string> lines_with(const std::string& needle) {
  std::vector<std::string> lines;
  glob_t g{};
  if (glob((s_home.log_dir() + "/cmmr_trace/*/*.log").c_str(), 0, nullptr, &g) == 0)
    for (size_t i = 0; i < g.gl_pathc; ++i) {
      struct stat st;
      EXPECT_EQ(stat(g.gl_pathv[i], &st) == 0 ? st.st_mode & 0077 : 1, 0u) << "trace file mode";
      std::istringstream in(cmtest::read_file(g.gl_pathv[i]));
      for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) lines.push_back(line);
    }
  globfree(&g);
  return lines;
}
bool has(const std::string& needle) { return !lines_with(needle).empty(); }
// The detail text of a line: what follows the fifth "::".
std::string detail(const std::string& line) {
  size_t pos = 0;
  for (int i = 0; i < 5 && pos != std::string::npos; ++i)
    if ((pos = line.find("::", pos)) != std::string::npos) pos += 2;
  return pos == std::string::npos ? std::string() : line.substr(pos);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host.ok()) << host.error(); }
  cmtest::PluginHost host;
};

TEST_F(TraceTest, ProvidersAreIdentifiedByNameUserdbAndDbsetOnly) {
  void* a = host.init(init_request("key", kUrl, "DB", "SET"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(host.init(init_request("key", "https://elsewhere.example/x", "DB", "SET")), a)
      << "the base URL is no part of the key";
  EXPECT_NE(host.init(init_request("KEY", kUrl, "DB", "SET")), a) << "case matters";
  EXPECT_NE(host.init(init_request("key", kUrl, "db", "SET")), a);
  EXPECT_NE(host.init(init_request("key", kUrl, "DB", "set")), a);
  // "a-b" + "c" and "a" + "b-c" join to the same key.
  void* joined = host.init(init_request("a-b", kUrl, "c", "S"));
  ASSERT_NE(joined, nullptr);
  EXPECT_EQ(host.init(init_request("a", kUrl, "b-c", "S")), joined);
}

TEST_F(TraceTest, EachLevelAddsItsLines) {
  void* h1 = host.init(init_request("lvl1prov", kUrl, "DB", "S", 1, "CMMR:CM_MR"));
  ASSERT_EQ(host.associate(h1, change_request("lvl1-u", "lvl1-v", "lvl1rec")).rc, 1);
  EXPECT_FALSE(has("lvl1rec")) << "level 1 shows no scheduling";

  void* h = host.init(init_request("lvl2prov", kUrl, "DB", "S", 2, "CMMR"));
  ASSERT_EQ(host.associate(h, change_request("usel-X", "verX", "100")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("usel-Y", "verY", "100")).rc, 1);
  ASSERT_EQ(host.disassociate(h, change_request("usel-X", "verX", "100")).rc, 1);
  ASSERT_EQ(host.associate(h, change_request("usel-Z", "verZ", "20")).rc, 1);
  for (const char* line :
       {"::Scheduling ASSOCIATE action for verX usel-X 100",
        "::Scheduling DISASSOCIATE action for verX usel-X 100",
        "::Adding to existing entry for (MR) 100 for (Action) Associate with (TW)usel-Y verY",
        "::Adding to existing entry for (MR) 100 for (Action) Disassociate with (TW)usel-X verX",
        "::Adding new entry for (MR) 20 for (Action) Associate with (TW)usel-Z verZ",
        "associate[lvl2prov-"})
    EXPECT_TRUE(has(line)) << line;
  EXPECT_EQ(lines_with("::Adding new entry for (MR) 100 ").size(), 1u);
  EXPECT_FALSE(has("::Entering")) << "entry lines belong to level 3";
  // The last dump: record 100 (byte-wise before 20) with its actions in scheduling order.
  std::vector<std::string> dump;
  for (const std::string& l : lines_with("::dump_action_map::")) dump.push_back(detail(l));
  ASSERT_GE(dump.size(), 6u);
  const std::vector<std::string> want = {"Size of list for 100 = 3", "Associate 100 with verX",
                                         "Associate 100 with verY",  "Disassociate 100 with verX",
                                         "Size of list for 20 = 1",  "Associate 20 with verZ"};
  EXPECT_EQ(std::vector<std::string>(dump.end() - 6, dump.end()), want);

  void* h3 = host.init(init_request("lvl3prov", kUrl, "DB", "S", 3, "CMMR"));
  ASSERT_EQ(host.associate(h3, change_request("u3", "v3", "lvl3rec")).rc, 1);
  std::set<std::string> details;
  for (const std::string& l : lines_with("::associate[lvl3prov-")) details.insert(detail(l));
  EXPECT_TRUE(details.count("Entering") && details.count("Exiting"));
  EXPECT_FALSE(has("\"providername\":\"lvl3prov\"")) << "a level 4 line";
  for (const std::string name : {"lvl4prov", "lvl5prov"}) {
    // The request is traced before this request's settings apply: the second call shows it.
    for (int i = 0; i < 2; ++i)
      ASSERT_NE(host.init(init_request(name, kUrl, "DB", "S", name[3] - '0', "CMMR")), nullptr);
    EXPECT_TRUE(has("\"providername\":\"" + name + "\"")) << name;
    EXPECT_TRUE(has("::Looking for " + name + "-DB-S"));
  }
  EXPECT_TRUE(has("::Home directory = " + s_home.path()));
}

TEST_F(TraceTest, SubsystemFilterAndLevelZeroLeaveTracingAsItWas) {
  void* h = host.init(init_request("filtprov", kUrl, "DB", "S", 5, "CMOSLC"));
  ASSERT_EQ(host.associate(h, change_request("uf", "vf", "filtrec")).rc, 1);
  EXPECT_FALSE(has("filtrec")) << "CMMR is not among the traced subsystems";
  ASSERT_NE(host.init(init_request("zeroprov", kUrl, "DB", "S", 2, "CMMR")), nullptr);
  void* z = host.init(init_request("zeroprov", kUrl, "DB", "S", 0, "CMOSLC"));
  ASSERT_EQ(host.associate(z, change_request("uz", "vz", "zerorec")).rc, 1);
  EXPECT_TRUE(has("::Scheduling ASSOCIATE action for vz uz zerorec"))
      << "trace level 0 keeps the earlier settings";
}

// Each row: the label file's content (null: no file) and the login choice INITIALIZE makes.
TEST_F(TraceTest, CertificateLabelComesFromTheFirstLineOfTheLabelFile) {
  const std::string file = s_home.path() + "/.cmi_cert_label";
  const char* const kLogin = "Setting user creds from credenroll";
  const struct {
    const char *content, *choice;
  } cases[] = {{"card-label-1\r\nsecond line\n", "Setting smart card cert label to card-label-1"},
               {"\nlabel-on-line-two\n", kLogin},
               {nullptr, kLogin}};
  for (const auto& c : cases) {
    std::remove(file.c_str());
    if (c.content) cmtest::write_file(file, c.content);
    const size_t opened = lines_with("::File " + file + " is open").size();
    ASSERT_NE(host.init(init_request("certprov", kUrl, "DB", "S", 4, "CMMR")), nullptr);
    EXPECT_EQ(detail(lines_with("::CM_MRProvider::set_session::Setting ").back()), c.choice);
    EXPECT_EQ(lines_with("::File " + file + " is open").size(), opened + (c.content ? 1 : 0));
  }
  EXPECT_EQ(detail(lines_with("::Label read is ").front()), "Label read is  card-label-1");
}

TEST_F(TraceTest, TheLoginIsShownWithoutItsPassword) {
  cmtest::TrackerSimOptions options;
  options.seed_json = R"({"records":[{"dbset":"S1","userdb":"DB1","id":"pwrec","links":[]}]})";
  options.users = {{"alice", "pw-of-alice"}};
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  ASSERT_EQ(cmtest::run_command("echo pw-of-alice | " + cmtest::shell_quote(CM_CMI_PATH) +
                                " creds add --provider pwprov --dbset S1 --userdb DB1 --user alice"
                                " --password-stdin"),
            0);
  void* h = host.init(init_request("pwprov", sim.base_url(), "DB1", "S1", 4, "CMOSLC"));
  ASSERT_EQ(host.associate(h, change_request("u", "v", "pwrec")).rc, 1);
  EXPECT_EQ(host.commit(h).rc, 0);
  EXPECT_TRUE(has("alice:********"));
  EXPECT_FALSE(has("pw-of-alice"));
}

TEST_F(TraceTest, LongProviderNamesAreCutInMethodLabels) {
  void* h = host.init(init_request(std::string(5000, 'n'), kUrl, "DB", "S", 3, "CMMR"));
  ASSERT_EQ(host.associate(h, change_request("ul", "vl", "longrec")).rc, 1);
  const auto lines = lines_with("::associate[nnnn");
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) EXPECT_EQ(l.find("]"), std::string::npos) << "cut label";
}

}  // namespace
