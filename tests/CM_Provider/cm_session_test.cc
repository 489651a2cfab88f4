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

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
  }
  void TearDown() override { CM_Trace::reset(); }
  std::string trace() const { return read_file(CM_Trace::file_path()); }

  cmtest::TempHome home;
  const std::string m_jars = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar";
  CM_ProviderConfig m_config{"Prov Ä", "https://mr.example:8443/merrow", "db 1", "dbs1"};
};

TEST_F(SessionTest, CookiePersistsForTheNextSessionOfTheSameConnectionOnly) {
  CM_Session none;
  EXPECT_EQ(10004, none.init_server_config(nullptr));
  EXPECT_EQ(10001, none.UpdateCookie("abc"));  // no jar
  {
    CM_Session first;
    ASSERT_EQ(0, first.init_server_config(&m_config));
    EXPECT_FALSE(path_exists(m_jars));  // setting up writes nothing
    ASSERT_EQ(0, first.UpdateCookie("JSESSIONID=one"));
  }
  ASSERT_TRUE(path_exists(m_jars + "/Prov Ä/dbs1/db 1"));
  CM_Session second;
  ASSERT_EQ(0, second.init_server_config(&m_config));
  EXPECT_EQ("JSESSIONID=one", second.GetCookie().str());
  EXPECT_EQ("https://mr.example:8443/merrow", second.get_web_url().str());
  CM_ProviderConfig other("Prov Ä", "https://mr.example:8443/merrow", "db2", "dbs1");
  CM_Session third;
  ASSERT_EQ(0, third.init_server_config(&other));
  EXPECT_EQ(0, third.GetCookie().GetLength());
}

TEST_F(SessionTest, JarFailureBecomes10001) {
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + m_jars + "'"));
  cmtest::write_file(m_jars + "/Prov Ä", "a file blocking the folder");
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  testing::internal::CaptureStderr();
  EXPECT_EQ(10001, s.UpdateCookie("abc"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(m_jars));
  EXPECT_NE(std::string::npos, trace().find("Return from set_cookie = 1001"));
}

TEST_F(SessionTest, EveryCopyHasItsOwnJarOnTheSameFile) {
  CM_Session provider_session;
  ASSERT_EQ(0, provider_session.init_server_config(&m_config));
  provider_session.set_cert_label("card label");
  CM_Session request_session;
  request_session = provider_session;
  ASSERT_NE(nullptr, request_session.get_cookie_jar());
  EXPECT_NE(provider_session.get_cookie_jar(), request_session.get_cookie_jar());
  EXPECT_EQ("card label", request_session.get_cert_label().str());
  // A cookie handed back through the copy is what the original reads next.
  ASSERT_EQ(0, request_session.UpdateCookie("from-request"));
  EXPECT_EQ("from-request", provider_session.GetCookie().str());
  CM_Session survivor;
  {
    CM_Session temporary(provider_session);
    survivor = temporary;
  }
  EXPECT_EQ("from-request", survivor.GetCookie().str());
  CM_Session& self = survivor;
  survivor = self;
  EXPECT_EQ("from-request", survivor.GetCookie().str());
  survivor = CM_Session();  // a session without jar drops the target's
  EXPECT_EQ(nullptr, survivor.get_cookie_jar());
  EXPECT_EQ(0, survivor.get_provider_name().GetLength());
}

TEST_F(SessionTest, UserCredsComeFromTheStoreAndADamagedLoginIsFlagged) {
  CM_Session s;
  ASSERT_EQ(0, s.init_server_config(&m_config));
  EXPECT_EQ(0, s.init_user_creds());  // a missing login is not an error here
  EXPECT_EQ(0, s.get_user_name().GetLength());
  EXPECT_FALSE(s.login_unreadable());
  ASSERT_EQ(0, CM_MRCredential("jürgen", "pw ö", "Prov Ä", "db 1", "dbs1").add());
  ASSERT_EQ(0, s.init_user_creds());
  EXPECT_EQ("jürgen", s.get_user_name().str());
  EXPECT_EQ("pw ö", s.get_user_password().str());
  EXPECT_EQ("https://mr.example:8443/merrow", s.get_web_url().str());
  EXPECT_NE(std::string::npos, trace().find("Lookup of creds for Prov Ä, dbs1, db 1"));
  EXPECT_FALSE(s.login_unreadable());
  CM_Session copy;
  copy = s;
  EXPECT_EQ("pw ö", copy.get_user_password().str());

  cmtest::write_file(s.get_credential().get_file_path().str() + "/Prov Ä/dbs1/db 1", "damaged");
  CM_Session damaged;
  ASSERT_EQ(0, damaged.init_server_config(&m_config));
  EXPECT_EQ(0, damaged.init_user_creds());
  EXPECT_TRUE(damaged.login_unreadable());
  damaged.set_cert_label("card");  // a card needs no stored login
  EXPECT_FALSE(damaged.login_unreadable());
}

}  // namespace
