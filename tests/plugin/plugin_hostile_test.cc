// The plug-in against a hostile tracker (tests/support/hostile_tracker.py): what reaches the
// tracker, what lands on disk, and how long a trickling answer may hold COMMIT.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::Reply;
using nlohmann::json;

// Each row: a record the tracker answers in a hostile way, and what COMMIT must and must not do.
TEST(HostileTest, HostileAnswersAreMetSafely) {
  cmtest::TempHome home;
  cmtest::PluginHost host;
  ASSERT_TRUE(host.ok()) << host.error();
  cmtest::TrackerSimOptions opt;
  opt.program = CM_SOURCE_DIR "/tests/support/hostile_tracker.py";
  cmtest::TrackerSim tracker(opt);
  ASSERT_TRUE(tracker.running()) << tracker.stderr_text();
  const char* const kForeign = "is not on the tracker's server";
  const struct {
    const char* record;
    const char* error;            // a piece of the error message; null: COMMIT succeeds
    const char* put_has;          // a piece of the written record; null: nothing is written
    const char *limit, *seconds;  // a transfer limit set for the row
  } cases[] = {
      // Updates go only to the base URL's origin: the read, and nothing to another origin.
      {"FOREIGN-PORT", kForeign, nullptr, nullptr, nullptr},
      {"FOREIGN-HOST", kForeign, nullptr, nullptr, nullptr},
      {"FOREIGN-SCHEME", kForeign, nullptr, nullptr, nullptr},
      {"SAME-ORIGIN", nullptr, "tw://new@@/main/2", nullptr, nullptr},
      {"DUP-ID", "rdf:ID \\\"L1\\\"", nullptr, nullptr, nullptr},
      // A refused cookie is neither kept in the jar nor sent back.
      {"CR-COOKIE", nullptr, "", nullptr, nullptr},
      {"BIG-COOKIE", nullptr, "", nullptr, nullptr},
      // Titles are written back whole.
      {"CDATA-TITLE", nullptr, "dcterms:title=\"Fix a &lt; b and  done\"", nullptr, nullptr},
      {"TRICKLE", "timed out", nullptr, "TAPIR_CMI_TRANSFER_TIMEOUT", "2"},
      {"TRICKLE", "too slow", nullptr, "TAPIR_CMI_STALL_TIMEOUT", "1"},
  };
  for (const auto& k : cases) {
    const std::string provider = std::string("hostile-") + k.record + (k.limit ? k.limit : "");
    SCOPED_TRACE(provider);
    cmtest::ScopedEnv limit(k.limit ? k.limit : "TAPIR_UNUSED", k.seconds);
    void* h = host.init(init_request(provider, tracker.base_url()));
    ASSERT_EQ(host.associate(h, change_request("tw://new@@/main/2", "New", k.record)).rc, 1);
    tracker.clear_log();
    const Reply r = host.commit(h);
    EXPECT_EQ(r.rc, k.error ? -1 : 0) << r.text;
    if (k.error) EXPECT_NE(r.member("error_message").find(k.error), std::string::npos) << r.text;
    if (k.limit) EXPECT_NE(r.member("error_message").find("\\\"28\\\""), std::string::npos);
    const json log = tracker.log();
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
    EXPECT_FALSE(cmtest::path_exists(home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar/" +
                                     provider + "/S1/DB1"));
  }
}

// Store folders open to others are closed; a blocked home names the cause.
TEST(HostileTest, CmiCredsAddTightensFoldersAndNamesFileSystemCauses) {
  cmtest::TempHome home;
  const std::string cmi = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";
  const std::string add = "echo secret | " + cmtest::shell_quote(CM_CMI_PATH) +
                          " creds add --provider p --dbset s --userdb d --user u --password-stdin";
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + cmi + "/MRUser/p' && chmod 0777 '" + cmi + "' '" +
                                   cmi + "/MRUser' '" + cmi + "/MRUser/p' && " + add));
  for (const std::string& folder : {cmi, cmi + "/MRUser", cmi + "/MRUser/p", cmi + "/MRUser/p/s"}) {
    struct stat st;
    ASSERT_EQ(0, stat(folder.c_str(), &st)) << folder;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
  cmtest::TempHome blocked;
  cmtest::write_file(blocked.path() + "/.Corvane", "a file where a folder belongs");
  std::string out;
  EXPECT_NE(0, cmtest::run_command(add + " 2>&1", &out));
  EXPECT_NE(out.find(std::strerror(ENOTDIR)), std::string::npos) << out;
}

}  // namespace
