// The plug-in against a hostile tracker (tests/support/hostile_tracker.py) and a careless host:
// what reaches the tracker, what lands on disk, and how long a trickling answer may hold COMMIT.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::PluginHost;
using cmtest::Reply;
using nlohmann::json;

std::string cmi_dir(const cmtest::TempHome& home) {
  return home.path() + "/.Corvane/.Registry/Tarnwell/CMI";
}

class HostileTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  PluginHost host;
  std::unique_ptr<cmtest::TrackerSim> tracker;

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
  json requests(const char* method = nullptr) {
    json out = json::array();
    for (const json& entry : tracker->log())
      if (!method || entry["method"] == method) out.push_back(entry);
    return out;
  }
};

TEST_F(HostileTest, UnusableConnectionNamesAreRefusedAndTouchNothing) {
  const std::string victim = home.path() + "/victim.cfg";
  cmtest::write_file(victim, "precious\n");
  const std::string escape = "../../../../../../../victim.cfg";  // CookieJar/P/S up to the home
  const char* const bad[] = {"", ".", "..", "a/b", "a\rb", "a\nb", "a\x7f"};
  for (const char* key : {"providername", "dbset", "userdb"}) {
    std::vector<std::string> values(std::begin(bad), std::end(bad));
    values.push_back(escape);
    for (const std::string& value : values) {
      json request = json::parse(init_request("names", tracker->base_url()));
      request[key] = value;
      void* h = reinterpret_cast<void*>(0x1);
      Reply r = host.initialize(request.dump(), &h);
      SCOPED_TRACE(std::string(key) + "=" + value);
      EXPECT_EQ(r.rc, -1);
      EXPECT_EQ(h, nullptr);
      EXPECT_EQ(r.status(), "10002");
      EXPECT_NE(r.member("error_message").find(std::string("\"") + key + "\""), std::string::npos)
          << r.text;
    }
  }
  EXPECT_EQ(cmtest::read_file(victim), "precious\n");
  EXPECT_FALSE(cmtest::path_exists(cmi_dir(home) + "/CookieJar"));
  EXPECT_EQ(requests().size(), 0u);
}

TEST_F(HostileTest, ValuesHoldingNulAreRefusedAndNothingIsScheduled) {
  void* h = host.init(init_request("nul", tracker->base_url()));
  ASSERT_NE(h, nullptr);
  Reply a = host.associate(h, change_request("tw://x@@/main/1", "x", std::string("MR1\0OTHER", 9)));
  EXPECT_EQ(a.rc, -1);
  EXPECT_EQ(a.status(), "10002");
  Reply c = host.commit(h);
  EXPECT_EQ(c.rc, 0) << c.text;
  EXPECT_EQ(requests().size(), 0u);
}

// Only the record read goes out: no PUT, and nothing at all to another origin.
TEST_F(HostileTest, UpdatesGoOnlyToTheBaseUrlsOrigin) {
  for (const char* record : {"FOREIGN-PORT", "FOREIGN-HOST", "FOREIGN-SCHEME"}) {
    SCOPED_TRACE(record);
    Reply r = commit_one(std::string("origin-") + record, record);
    EXPECT_EQ(r.rc, -1) << r.text;
    EXPECT_EQ(r.status(), "10007");
    EXPECT_NE(r.member("error_message").find("is not on the tracker's server"), std::string::npos)
        << r.text;
    json log = requests();
    ASSERT_EQ(log.size(), 1u) << log.dump();
    EXPECT_EQ(log[0]["method"], "GET");
    EXPECT_EQ(log[0]["listener"], "main");
  }
  // The same document on its own origin is written: the refusals above are not an accident.
  Reply ok = commit_one("origin-same", "SAME-ORIGIN");
  EXPECT_EQ(ok.rc, 0) << ok.text;
  EXPECT_EQ(requests("PUT").size(), 1u);
}

TEST_F(HostileTest, DuplicateLinkIdsFailTheRecordWithoutAPut) {
  Reply r = commit_one("dup-id", "DUP-ID");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.status(), "10007");
  EXPECT_NE(r.member("error_message").find("rdf:ID \\\"L1\\\""), std::string::npos) << r.text;
  EXPECT_EQ(requests("PUT").size(), 0u);
}

TEST_F(HostileTest, TitlesAreWrittenBackWhole) {
  Reply r = commit_one("cdata", "CDATA-TITLE");
  ASSERT_EQ(r.rc, 0) << r.text;
  json puts = requests("PUT");
  ASSERT_EQ(puts.size(), 1u);
  const std::string body = puts[0]["body"];
  EXPECT_NE(body.find("dcterms:title=\"Fix a &lt; b and  done\""), std::string::npos) << body;
}

// A refused cookie is neither kept in the jar nor sent back.
TEST_F(HostileTest, UnsafeCookiesAreNeitherStoredNorSent) {
  for (const char* record : {"CR-COOKIE", "BIG-COOKIE"}) {
    SCOPED_TRACE(record);
    const std::string provider = std::string("cookie-") + record;
    Reply r = commit_one(provider, record);
    EXPECT_EQ(r.rc, 0) << r.text;
    json log = requests();
    ASSERT_EQ(log.size(), 2u) << log.dump();
    for (const json& entry : log)
      for (const json& header : entry["header_list"])
        EXPECT_NE(header[0].get<std::string>(), "Cookie") << header[1];
    EXPECT_FALSE(cmtest::path_exists(cmi_dir(home) + "/CookieJar/" + provider + "/S1/DB1"));
  }
}

TEST_F(HostileTest, ATricklingAnswerEndsAtTheTransferLimit) {
  cmtest::ScopedEnv limit("TAPIR_CMI_TRANSFER_TIMEOUT", "2");
  Reply r = commit_one("trickle-total", "TRICKLE");
  EXPECT_EQ(r.rc, -1);
  const std::string error = r.member("error_message");
  EXPECT_NE(error.find("\\\"28\\\""), std::string::npos) << error;
  EXPECT_NE(error.find("timed out"), std::string::npos) << error;
}

TEST_F(HostileTest, ATricklingAnswerIsTooSlowForTheStallLimit) {
  cmtest::ScopedEnv stall("TAPIR_CMI_STALL_TIMEOUT", "1");
  Reply r = commit_one("trickle-slow", "TRICKLE");
  EXPECT_EQ(r.rc, -1);
  const std::string error = r.member("error_message");
  EXPECT_NE(error.find("\\\"28\\\""), std::string::npos) << error;
  EXPECT_NE(error.find("too slow"), std::string::npos) << error;
}

class StoredLoginTest : public HostileTest {
 protected:
  void add_login(const std::string& provider) {
    std::string out;
    ASSERT_EQ(0, cmtest::run_command("echo secret | '" CM_CMI_PATH "' creds add --provider '" +
                                         provider + "' --dbset S1 --userdb DB1 --user alice " +
                                         "--password-stdin 2>&1",
                                     &out))
        << out;
  }
  void expect_unreadable_login(const std::string& provider) {
    Reply r = commit_one(provider, "SAME-ORIGIN");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.status(), "10007");
    EXPECT_NE(r.member("error_message").find("cmi creds add"), std::string::npos) << r.text;
    EXPECT_EQ(requests().size(), 0u);
  }
};

TEST_F(StoredLoginTest, AMissingKeyFailsCommitAndSendsNothing) {
  add_login("login-nokey");
  ASSERT_EQ(0, unlink((cmi_dir(home) + "/.cmi_key").c_str()));
  expect_unreadable_login("login-nokey");
}

TEST_F(StoredLoginTest, ADamagedLoginFileFailsCommitAndSendsNothing) {
  add_login("login-damaged");
  cmtest::write_file(cmi_dir(home) + "/MRUser/login-damaged/S1/DB1", "<CMCredential><User");
  expect_unreadable_login("login-damaged");
}

TEST_F(StoredLoginTest, AGoodLoginIsSent) {
  add_login("login-good");
  Reply r = commit_one("login-good", "SAME-ORIGIN");
  EXPECT_EQ(r.rc, 0) << r.text;
  json log = requests();
  ASSERT_FALSE(log.empty());
  // "alice:secret" in base64.
  EXPECT_EQ(log[0]["headers"]["Authorization"], "Basic YWxpY2U6c2VjcmV0");
}

// Store folders open to others are closed; a blocked home names the cause.
TEST(StoreFolders, CmiCredsAddTightensFoldersAndNamesFileSystemCauses) {
  cmtest::TempHome home;
  const std::string cmi = cmi_dir(home);
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + cmi + "/MRUser/p' && chmod 0777 '" + cmi + "' '" +
                                   cmi + "/MRUser' '" + cmi + "/MRUser/p'"));
  const std::string add = "echo secret | '" CM_CMI_PATH
                          "' creds add --provider p --dbset s --userdb d --user u "
                          "--password-stdin 2>&1";
  std::string out;
  ASSERT_EQ(0, cmtest::run_command(add, &out)) << out;
  for (const std::string& folder : {cmi, cmi + "/MRUser", cmi + "/MRUser/p", cmi + "/MRUser/p/s"}) {
    struct stat st;
    ASSERT_EQ(0, stat(folder.c_str(), &st)) << folder;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }

  cmtest::TempHome blocked;
  cmtest::write_file(blocked.path() + "/.Corvane", "a file where a folder belongs");
  EXPECT_NE(0, cmtest::run_command(add, &out));
  EXPECT_NE(out.find(std::strerror(ENOTDIR)), std::string::npos) << out;
}

}  // namespace
