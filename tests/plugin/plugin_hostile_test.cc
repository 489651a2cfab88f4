// The plug-in against a hostile tracker (tests/support/hostile_tracker.py) and a careless host:
// what reaches the tracker, what lands on disk, and how long a trickling answer may hold COMMIT.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
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

class HostileTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  cmtest::PluginHost host;
  std::unique_ptr<cmtest::TrackerSim> tracker;
  const std::string cmi = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";

  void SetUp() override {
    ASSERT_TRUE(host.ok()) << host.error();
    cmtest::TrackerSimOptions opt;
    opt.program = CM_SOURCE_DIR "/tests/support/hostile_tracker.py";
    tracker = std::make_unique<cmtest::TrackerSim>(opt);
    ASSERT_TRUE(tracker->running()) << tracker->stderr_text();
  }
  // One COMMIT of one new link to `record` on a provider of its own (providers outlive tests).
  Reply commit_one(const std::string& provider, const std::string& record) {
    void* h = host.init(init_request(provider, tracker->base_url()));
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(host.associate(h, change_request("tw://new@@/main/2", "New", record)).rc, 1);
    tracker->clear_log();
    return host.commit(h);
  }
  size_t count(const char* method) {
    size_t n = 0;
    for (const json& entry : tracker->log()) n += !method || entry["method"] == method;
    return n;
  }
  void add_login(const std::string& provider, const std::string& dbset = "S1") {
    std::string out;
    ASSERT_EQ(0, cmtest::run_command("echo secret | " + cmtest::shell_quote(CM_CMI_PATH) +
                                         " creds add --provider " + provider + " --dbset " + dbset +
                                         " --userdb DB1 --user alice --password-stdin 2>&1",
                                     &out))
        << out;
  }
};

TEST_F(HostileTest, UnusableConnectionNamesAreRefusedAndTouchNothing) {
  const std::string victim = home.path() + "/victim.cfg";
  cmtest::write_file(victim, "precious\n");
  // CookieJar/P/S up to the home, then the victim.
  const std::string values[] = {"",     ".",    "..",    "a/b",
                                "a\rb", "a\nb", "a\x7f", "../../../../../../../victim.cfg"};
  for (const char* key : {"providername", "dbset", "userdb"}) {
    for (const std::string& value : values) {
      SCOPED_TRACE(std::string(key) + "=" + value);
      json request = json::parse(init_request("names", tracker->base_url()));
      request[key] = value;
      void* h = reinterpret_cast<void*>(0x1);
      Reply r = host.initialize(request.dump(), &h);
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(r.status(), "10002");
      EXPECT_NE(r.member("error_message").find(std::string("\"") + key + "\""), std::string::npos)
          << r.text;
    }
  }
  EXPECT_EQ(cmtest::read_file(victim), "precious\n");
  EXPECT_FALSE(cmtest::path_exists(cmi + "/CookieJar"));
  EXPECT_EQ(count(nullptr), 0u);
}

// Each row: a record the tracker answers in a hostile way, and what COMMIT must and must not do.
TEST_F(HostileTest, HostileAnswersAreMetSafely) {
  const char* const kForeign = "is not on the tracker's server";
  const struct {
    const char* record;
    const char* error;  // a piece of the error message; null: COMMIT succeeds
    size_t puts;
    const char* put_has;          // a piece of the written record
    const char *limit, *seconds;  // a transfer limit set for the row
  } cases[] = {
      // Updates go only to the base URL's origin: the read, and nothing to another origin.
      {"FOREIGN-PORT", kForeign, 0, "", nullptr, nullptr},
      {"FOREIGN-HOST", kForeign, 0, "", nullptr, nullptr},
      {"FOREIGN-SCHEME", kForeign, 0, "", nullptr, nullptr},
      {"SAME-ORIGIN", nullptr, 1, "tw://new@@/main/2", nullptr, nullptr},
      {"DUP-ID", "rdf:ID \\\"L1\\\"", 0, "", nullptr, nullptr},
      // A refused cookie is neither kept in the jar nor sent back.
      {"CR-COOKIE", nullptr, 1, "", nullptr, nullptr},
      {"BIG-COOKIE", nullptr, 1, "", nullptr, nullptr},
      // Titles are written back whole.
      {"CDATA-TITLE", nullptr, 1, "dcterms:title=\"Fix a &lt; b and  done\"", nullptr, nullptr},
      {"TRICKLE", "timed out", 0, "", "TAPIR_CMI_TRANSFER_TIMEOUT", "2"},
      {"TRICKLE", "too slow", 0, "", "TAPIR_CMI_STALL_TIMEOUT", "1"},
  };
  for (const auto& k : cases) {
    const std::string provider = std::string("hostile-") + k.record + (k.limit ? k.limit : "");
    SCOPED_TRACE(provider);
    std::unique_ptr<cmtest::ScopedEnv> limit;
    if (k.limit) limit = std::make_unique<cmtest::ScopedEnv>(k.limit, k.seconds);
    Reply r = commit_one(provider, k.record);
    EXPECT_EQ(r.rc, k.error ? -1 : 0) << r.text;
    if (k.error) {
      EXPECT_EQ(r.status(), "10007");
      EXPECT_NE(r.member("error_message").find(k.error), std::string::npos) << r.text;
    }
    if (k.limit) EXPECT_NE(r.member("error_message").find("\\\"28\\\""), std::string::npos);
    json log = tracker->log();
    if (!k.limit) EXPECT_EQ(count("GET"), 1u);  // a timed-out read is tried again
    ASSERT_EQ(count("PUT"), k.puts);
    if (k.puts) EXPECT_NE(log.back()["body"].get<std::string>().find(k.put_has), std::string::npos);
    for (const json& entry : log) {
      EXPECT_EQ(entry["listener"], "main");
      for (const json& header : entry["header_list"]) EXPECT_NE(header[0], "Cookie") << header[1];
    }
    EXPECT_FALSE(cmtest::path_exists(cmi + "/CookieJar/" + provider + "/S1/DB1"));
  }
}

// Each row: how the stored login is set up, and whether COMMIT may send it.
TEST_F(HostileTest, OnlyAReadableStoredLoginIsSent) {
  const struct {
    const char* provider;
    std::function<void(const std::string&)> spoil;
  } cases[] = {
      {"login-good", [](const std::string&) {}},
      {"login-nokey", [](const std::string& cmi) { unlink((cmi + "/.cmi_key").c_str()); }},
      {"login-damaged",
       [](const std::string& cmi) {
         cmtest::write_file(cmi + "/MRUser/login-damaged/S1/DB1", "<CMCredential><User");
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.provider);
    add_login(k.provider);
    k.spoil(cmi);
    Reply r = commit_one(k.provider, "SAME-ORIGIN");
    if (std::string(k.provider) == "login-good") {
      EXPECT_EQ(r.rc, 0) << r.text;
      ASSERT_EQ(count(nullptr), 2u);
      // "alice:secret" in base64.
      EXPECT_EQ(tracker->log()[0]["headers"]["Authorization"], "Basic YWxpY2U6c2VjcmV0");
    } else {
      EXPECT_EQ(r.status(), "10007");
      EXPECT_NE(r.member("error_message").find("cmi creds add"), std::string::npos) << r.text;
      EXPECT_EQ(count(nullptr), 0u);
    }
  }
}

// Store folders open to others are closed; a blocked home names the cause.
TEST_F(HostileTest, CmiCredsAddTightensFoldersAndNamesFileSystemCauses) {
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + cmi + "/MRUser/p' && chmod 0777 '" + cmi + "' '" +
                                   cmi + "/MRUser' '" + cmi + "/MRUser/p'"));
  add_login("p", "s");
  for (const std::string& folder : {cmi, cmi + "/MRUser", cmi + "/MRUser/p", cmi + "/MRUser/p/s"}) {
    struct stat st;
    ASSERT_EQ(0, stat(folder.c_str(), &st)) << folder;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
  cmtest::TempHome blocked;
  cmtest::write_file(blocked.path() + "/.Corvane", "a file where a folder belongs");
  std::string out;
  EXPECT_NE(0, cmtest::run_command("echo secret | " + cmtest::shell_quote(CM_CMI_PATH) +
                                       " creds add --provider p --dbset s --userdb d --user u"
                                       " --password-stdin 2>&1",
                                   &out));
  EXPECT_NE(out.find(std::strerror(ENOTDIR)), std::string::npos) << out;
}

}  // namespace
