// cmi as the host stand-in: run scripts, link and unlink, version, and how it finds the plug-in.
#include <glob.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
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

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class CmiTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  std::unique_ptr<cmtest::TrackerSim> sim;
  std::string cmi = cmtest::shell_quote(CM_CMI_PATH);

  void SetUp() override {
    unsetenv("CMI_PLUGIN");
    cmtest::TrackerSimOptions opt;
    opt.seed_json = kSeed;
    sim = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(sim->running());
  }
  std::string connection_file(const std::string& name) {
    const std::string path = home.path() + "/" + name + ".json";
    cmtest::write_file(path, json{{"providername", name},
                                  {"baseurl", sim->base_url()},
                                  {"dbset", "S1"},
                                  {"userdb", "DB1"}}
                                 .dump());
    return path;
  }
  std::string init_line(const std::string& name) {
    return "INITIALIZE " + json{{"providername", name},
                                {"baseurl", sim->base_url()},
                                {"dbset", "S1"},
                                {"userdb", "DB1"}}
                               .dump();
  }
  static std::string change(const std::string& op, const std::string& sel, const std::string& rec) {
    return op + " " +
           json{{"twversion", {{"universal_selector", sel}, {"display_name", "V " + sel}}},
                {"cmtask", {{"taskid", rec}}}}
               .dump();
  }
  int run_script(const std::string& script, std::string* out, const std::string& extra = "") {
    const std::string file = home.path() + "/script.txt";
    cmtest::write_file(file, script);
    return cmtest::run_command(cmi + " run " + extra + cmtest::shell_quote(file) + " 2>&1", out);
  }
  std::vector<std::string> selectors(const std::string& id) {
    std::vector<std::string> out;
    json rec = sim->record("S1", "DB1", id);
    if (rec.is_object())
      for (const json& l : rec["links"]) out.push_back(l["resource"]);
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(CmiTest, RunPrintsEachOperationAndSucceeds) {
  std::string out;
  const std::string script = "# a comment\n\n" + init_line("run-ok") + "\n" +
                             change("ASSOCIATE", "s1", "MR10") + "\r\n" +
                             change("ASSOCIATE", "s2", "MR10") + "\n" +
                             change("DISASSOCIATE", "keep", "MR11") + "\nVALIDATE\n  COMMIT\n";
  ASSERT_EQ(run_script(script, &out), 0) << out;
  const std::vector<std::string> want = {
      R"(INITIALIZE 0 {"status_code":"0"})", R"(ASSOCIATE 1 {"status_code":"0"})",
      R"(ASSOCIATE 1 {"status_code":"0"})",  R"(DISASSOCIATE 1 {"status_code":"0"})",
      R"(VALIDATE 0 {"status_code":"0"})",   R"(COMMIT 0 {"status_code":"0"})"};
  EXPECT_EQ(split_lines(out), want);
  EXPECT_EQ(selectors("MR10"), (std::vector<std::string>{"s1", "s2"}));
  EXPECT_TRUE(selectors("MR11").empty());
}

TEST_F(CmiTest, RunReportsFailuresInItsExitStatus) {
  std::string out;
  // Before any INITIALIZE the handle is null.
  ASSERT_EQ(run_script("COMMIT\n", &out), 1) << out;
  EXPECT_EQ(out, "COMMIT -1 No memory.\n");

  ASSERT_EQ(run_script(init_line("run-fail") + "\nASSOCIATE {bad json\nVALIDATE\n", &out), 1);
  auto lines = split_lines(out);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[1].rfind("ASSOCIATE -1 {\"status_code\":\"10002\"", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], R"(VALIDATE 0 {"status_code":"0"})") << "later operations still run";

  ASSERT_EQ(run_script(init_line("run-fail") + "\nLINK {}\n", &out), 1);
  EXPECT_NE(out.find("unknown operation 'LINK'"), std::string::npos) << out;

  ASSERT_EQ(
      run_script(init_line("run-fail") + "\n" + change("ASSOCIATE", "x", "NOPE") + "\nCOMMIT\n",
                 &out),
      1);
  EXPECT_NE(out.find("COMMIT -1 {\"status_code\":\"10007\",\"error_message\":\"[run-fail]"),
            std::string::npos)
      << out;
}

TEST_F(CmiTest, RunReadsStandardInputAndRefusesMisuse) {
  std::string out;
  const std::string cmd =
      "printf '%s\\n' " + cmtest::shell_quote("VALIDATE") + " | " + cmi + " run - 2>&1";
  ASSERT_EQ(cmtest::run_command(cmd, &out), 1) << "VALIDATE without a handle fails: " << out;
  EXPECT_EQ(out, "VALIDATE -1 No memory.\n");
  EXPECT_EQ(cmtest::run_command(
                cmi + " run " + cmtest::shell_quote(home.path() + "/absent") + " 2>&1", &out),
            2);
  EXPECT_NE(out.find("cannot open"), std::string::npos) << out;
}

TEST_F(CmiTest, PluginLocationCanBeChosen) {
  std::string out;
  EXPECT_EQ(cmtest::run_command(cmi + " version 2>&1", &out), 0) << out;
  EXPECT_FALSE(out.empty());
  const std::string version = out;

  EXPECT_NE(run_script("VALIDATE\n", &out,
                       "--plugin " + cmtest::shell_quote(home.path() + "/none.so") + " "),
            0);
  EXPECT_NE(out.find("cannot load the plug-in"), std::string::npos) << out;

  // CMI_PLUGIN is used when given; --plugin wins over it.
  EXPECT_NE(cmtest::run_command("CMI_PLUGIN=/nonexistent/lib.so " + cmi + " version 2>&1", &out),
            0);
  // A plug-in that does not load is named with where its path came from and how to choose one.
  for (const char* hint : {"/nonexistent/lib.so", "CMI_PLUGIN", "--plugin"})
    EXPECT_NE(out.find(hint), std::string::npos) << hint << "\n" << out;
  EXPECT_EQ(cmtest::run_command("CMI_PLUGIN=/nonexistent/lib.so " + cmi + " version --plugin " +
                                    cmtest::shell_quote(CM_PLUGIN_PATH) + " 2>&1",
                                &out),
            0)
      << out;
  EXPECT_EQ(out, version);
  // A file that is no plug-in is refused with a reason.
  const std::string fake = home.path() + "/fake.so";
  EXPECT_NE(
      cmtest::run_command(cmi + " version --plugin /lib/x86_64-linux-gnu/libz.so.1 2>&1", &out), 0);
  EXPECT_NE(out.find("not a change-management plug-in"), std::string::npos) << out;
  (void)fake;
}

TEST_F(CmiTest, LinkAndUnlinkChangeTheRecord) {
  const std::string conn = connection_file("link-prov");
  std::string out;
  ASSERT_EQ(cmtest::run_command(cmi + " link --connection " + cmtest::shell_quote(conn) +
                                    " --record MR10 --version v1 --name 'Version 1'"
                                    " --version v2 --name 'Version 2' --version v3 2>&1",
                                &out),
            0)
      << out;
  EXPECT_EQ(out, "Linked 3 versions to record MR10.\n");
  EXPECT_EQ(selectors("MR10"), (std::vector<std::string>{"v1", "v2", "v3"}));
  json rec = sim->record("S1", "DB1", "MR10");
  for (const json& l : rec["links"]) {
    if (l["resource"] == "v3") {
      EXPECT_EQ(l["title"], "v3") << "the name defaults to the selector";
    }
  }

  ASSERT_EQ(cmtest::run_command(cmi + " unlink --connection " + cmtest::shell_quote(conn) +
                                    " --record MR10 --version v2 2>&1",
                                &out),
            0)
      << out;
  EXPECT_EQ(out, "Unlinked 1 version from record MR10.\n");
  EXPECT_EQ(selectors("MR10"), (std::vector<std::string>{"v1", "v3"}));
}

TEST_F(CmiTest, LinkExplainsWhatWentWrong) {
  std::string out;
  const std::string conn = connection_file("link-bad");
  EXPECT_EQ(cmtest::run_command(cmi + " link --record MR10 --version v 2>&1", &out), 2);
  EXPECT_NE(out.find("--connection is required"), std::string::npos) << out;
  EXPECT_EQ(cmtest::run_command(cmi + " link --connection " + cmtest::shell_quote(conn) +
                                    " --record MR10" + " --name n 2>&1",
                                &out),
            2);
  EXPECT_NE(out.find("--name must follow a --version"), std::string::npos) << out;

  const std::string broken = home.path() + "/broken.json";
  cmtest::write_file(broken, R"({"providername":"p","baseurl":"u","dbset":"s"})");
  EXPECT_EQ(cmtest::run_command(cmi + " link --connection " + cmtest::shell_quote(broken) +
                                    " --record MR10 --version v 2>&1",
                                &out),
            2);
  EXPECT_NE(out.find("lacks \"userdb\""), std::string::npos) << out;
  cmtest::write_file(broken, "not json");
  EXPECT_EQ(cmtest::run_command(cmi + " link --connection " + cmtest::shell_quote(broken) +
                                    " --record MR10 --version v 2>&1",
                                &out),
            2);

  EXPECT_EQ(cmtest::run_command(cmi + " link --connection " + cmtest::shell_quote(conn) +
                                    " --record NO-SUCH --version v 2>&1",
                                &out),
            1);
  EXPECT_NE(out.find("failed"), std::string::npos) << out;
  EXPECT_NE(out.find("NO-SUCH"), std::string::npos) << out;
}

TEST_F(CmiTest, LongBatchesReportProgressAndTracePassesThrough) {
  const std::string conn = connection_file("link-long");
  std::string cmd = cmi + " link --connection " + cmtest::shell_quote(conn) + " --record MR10" +
                    " --trace-level 2 --trace-subsystem CMMR";
  for (int i = 0; i < 150; ++i) cmd += " --version sel" + std::to_string(i);
  std::string out;
  ASSERT_EQ(cmtest::run_command(cmd + " 2>" + cmtest::shell_quote(home.path() + "/err.txt"), &out),
            0)
      << out;
  EXPECT_EQ(out, "Linked 150 versions to record MR10.\n");
  const std::string err = cmtest::read_file(home.path() + "/err.txt");
  EXPECT_NE(err.find("scheduled 150 of 150 versions"), std::string::npos) << err;
  EXPECT_NE(err.find("committing 150 changes to record MR10"), std::string::npos) << err;
  EXPECT_EQ(selectors("MR10").size(), 150u);

  glob_t g{};
  const std::string pattern = home.log_dir() + "/cmmr_trace/*/*.log";
  ASSERT_EQ(glob(pattern.c_str(), 0, nullptr, &g), 0) << "no trace file";
  const std::string trace = cmtest::read_file(g.gl_pathv[0]);
  globfree(&g);
  EXPECT_NE(trace.find("Scheduling ASSOCIATE action for sel149 sel149 MR10"), std::string::npos);
}

}  // namespace
