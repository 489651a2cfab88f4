#include "CM_Provider/cm_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;

ino_t inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
    m_cmi = home.path() + "/.Corvane/.Registry/Tarnwell/CMI";
  }
  void TearDown() override { CM_Trace::reset(); }
  std::string trace() const { return read_file(CM_Trace::file_path()); }

  cmtest::TempHome home;
  std::string m_cmi;
  CM_ProviderConfig m_config{"prov1", "https://mr.example:8443/merrow", "db1", "dbs1"};
};

TEST_F(SessionTest, NewSessionIsEmpty) {
  CM_Session s;
  EXPECT_EQ(nullptr, s.get_cookie_jar());
  EXPECT_EQ(0, s.get_provider_name().GetLength());
  EXPECT_EQ(0, s.get_user_name().GetLength());
  EXPECT_EQ(0, s.get_cert_label().GetLength());
  EXPECT_EQ(0, s.GetCookie().GetLength());
  EXPECT_EQ(10001, s.UpdateCookie("abc"));
}

TEST_F(SessionTest, ServerConfigSetsCoordinatesAndJarLocation) {
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  EXPECT_EQ("prov1", s.get_provider_name().str());
  EXPECT_EQ("dbs1", s.get_dbset().str());
  EXPECT_EQ("db1", s.get_user_database_name().str());
  EXPECT_EQ("https://mr.example:8443/merrow", s.get_web_url().str());
  const CM_CookieJar* jar = s.get_cookie_jar();
  ASSERT_NE(nullptr, jar);
  EXPECT_EQ(m_cmi + "/CookieJar/prov1/dbs1", jar->get_dir_path().str());
  EXPECT_EQ("db1", jar->get_file_name().str());
  EXPECT_EQ("Cookie", jar->get_element_name().str());
  EXPECT_NE(std::string::npos, trace().find("::init_server_config::Cookie jar path " + m_cmi +
                                            "/CookieJar/prov1/dbs1"));
  // Setting up writes nothing to disk.
  EXPECT_FALSE(path_exists(m_cmi + "/CookieJar"));
}

TEST_F(SessionTest, NullConfigLeavesSessionUnconfigured) {
  CM_Session s;
  EXPECT_EQ(10004, s.init_server_config(nullptr));
  EXPECT_EQ(nullptr, s.get_cookie_jar());
  EXPECT_EQ(0, s.get_provider_name().GetLength());
}

TEST_F(SessionTest, CookiePersistsForTheNextSessionOfTheSameConnection) {
  {
    CM_Session first;
    ASSERT_EQ(0, first.init_server_config(&m_config));
    ASSERT_EQ(0, first.UpdateCookie("JSESSIONID=one"));
    EXPECT_EQ("JSESSIONID=one", first.GetCookie().str());
  }
  std::string file = m_cmi + "/CookieJar/prov1/dbs1/db1";
  ASSERT_TRUE(path_exists(file));
  EXPECT_EQ(std::string::npos, read_file(file).find("JSESSIONID=one"));

  CM_Session second;
  ASSERT_EQ(0, second.init_server_config(&m_config));
  EXPECT_EQ("JSESSIONID=one", second.GetCookie().str());

  // Another user database of the same provider has a cookie of its own.
  CM_ProviderConfig other("prov1", "https://mr.example:8443/merrow", "db2", "dbs1");
  CM_Session third;
  ASSERT_EQ(0, third.init_server_config(&other));
  EXPECT_EQ(0, third.GetCookie().GetLength());
}

TEST_F(SessionTest, UnchangedCookieLeavesTheFileUntouched) {
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  ASSERT_EQ(0, s.UpdateCookie("same"));
  std::string file = m_cmi + "/CookieJar/prov1/dbs1/db1";
  ino_t before = inode_of(file);
  EXPECT_EQ(0, s.UpdateCookie("same"));
  EXPECT_EQ(before, inode_of(file));
  EXPECT_NE(std::string::npos, trace().find("::UpdateCookie::Return from set_cookie = 0"));
}

TEST_F(SessionTest, JarFailureBecomes10001) {
  cmtest::run_command("mkdir -p '" + m_cmi + "/CookieJar'");
  cmtest::write_file(m_cmi + "/CookieJar/prov1", "a file blocking the folder");
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  testing::internal::CaptureStderr();
  EXPECT_EQ(10001, s.UpdateCookie("abc"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("Unable to create a integration cookie jar."));
  EXPECT_NE(std::string::npos, trace().find("Return from set_cookie = 1001"));
  EXPECT_EQ(0, s.GetCookie().GetLength());
}

TEST_F(SessionTest, AssignmentGivesTheTargetItsOwnJarOnTheSameFile) {
  CM_Session provider_session;
  ASSERT_EQ(0, provider_session.init_server_config(&m_config));
  provider_session.set_cert_label("card label");
  CM_Session request_session;
  request_session = provider_session;

  const CM_CookieJar* mine = provider_session.get_cookie_jar();
  const CM_CookieJar* theirs = request_session.get_cookie_jar();
  ASSERT_NE(nullptr, theirs);
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(mine->get_dir_path(), theirs->get_dir_path());
  EXPECT_EQ(mine->get_file_name(), theirs->get_file_name());
  EXPECT_EQ(mine->get_element_name(), theirs->get_element_name());
  EXPECT_EQ("card label", request_session.get_cert_label().str());
  EXPECT_EQ("https://mr.example:8443/merrow", request_session.get_web_url().str());
  EXPECT_EQ("prov1", request_session.get_provider_name().str());

  // A cookie handed back through the copy is what the original reads next.
  ASSERT_EQ(0, request_session.UpdateCookie("from-request"));
  EXPECT_EQ("from-request", provider_session.GetCookie().str());

  // The copy outlives the original without sharing its jar.
  CM_Session survivor;
  {
    CM_Session temporary(provider_session);
    survivor = temporary;
  }
  EXPECT_EQ("from-request", survivor.GetCookie().str());
}

TEST_F(SessionTest, AssigningASessionWithoutJarDropsTheTargetsJar) {
  CM_Session configured;
  ASSERT_EQ(0, configured.init_server_config(&m_config));
  CM_Session empty;
  configured = empty;
  EXPECT_EQ(nullptr, configured.get_cookie_jar());
  EXPECT_EQ(0, configured.get_provider_name().GetLength());
  EXPECT_EQ(0, configured.GetCookie().GetLength());
  CM_Session& self = configured;
  configured = self;
  EXPECT_EQ(nullptr, configured.get_cookie_jar());
}

TEST_F(SessionTest, UserCredsComeFromTheStore) {
  ASSERT_EQ(0, CM_MRCredential("alice", "secret pw", "prov1", "db1", "dbs1").add());
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  EXPECT_EQ(0, s.init_user_creds());
  EXPECT_EQ("alice", s.get_user_name().str());
  EXPECT_EQ("secret pw", s.get_user_password().str());
  // The base URL of the request survives the look-up.
  EXPECT_EQ("https://mr.example:8443/merrow", s.get_web_url().str());
  EXPECT_NE(std::string::npos, trace().find("Lookup of creds for prov1, dbs1, db1"));

  CM_Session copy;
  copy = s;
  EXPECT_EQ("secret pw", copy.get_user_password().str());
}

TEST_F(SessionTest, MissingLoginLeavesUserEmptyAndSucceeds) {
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  EXPECT_EQ(0, s.init_user_creds());
  EXPECT_EQ(0, s.get_user_name().GetLength());
  EXPECT_EQ(0, s.get_user_password().GetLength());
}

TEST_F(SessionTest, NamesWithBlanksAndNonAsciiReachTheFileSystem) {
  CM_ProviderConfig config("Prov Ä", "http://h/", "user db ü", "set 1");
  ASSERT_EQ(0, CM_MRCredential("jürgen", "pw ö", "Prov Ä", "user db ü", "set 1").add());
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&config));
  ASSERT_EQ(0, s.init_user_creds());
  EXPECT_EQ("jürgen", s.get_user_name().str());
  EXPECT_EQ("pw ö", s.get_user_password().str());
  ASSERT_EQ(0, s.UpdateCookie("c"));
  EXPECT_TRUE(path_exists(m_cmi + "/CookieJar/Prov Ä/set 1/user db ü"));
}

}  // namespace
