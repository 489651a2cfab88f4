#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/ks/ks.h"
#include "platform/tbs/tbs.h"
#include "support/temp_home.h"

namespace {

const char* const kTexts[] = {"zero\n", "hello %s, %d\n", nullptr};
const uint16_t kIds[] = {0, 1, 2};
const imsg_table kTable = {"test", "test", 1, 3, kTexts, kIds, -1};

int format(char* buf, size_t size, const void* table, int number, ...) {
  va_list ap;
  va_start(ap, number);
  int n = imsg_vsprintf(buf, size, table, number, ap);
  va_end(ap);
  return n;
}

}  // namespace

TEST(Messages, FormatsNumberedMessages) {
  char buf[64];
  EXPECT_EQ(format(buf, sizeof buf, &kTable, 1, "ann", 7), 13);
  EXPECT_STREQ(buf, "hello ann, 7\n");
  EXPECT_EQ(format(buf, sizeof buf, "raw %d", -1, 5), 5);
  EXPECT_STREQ(buf, "raw 5");
  // Cut: the full length is reported, the buffer stays terminated.
  char small[6];
  EXPECT_EQ(format(small, sizeof small, &kTable, 1, "ann", 7), 13);
  EXPECT_STREQ(small, "hello");
  EXPECT_LT(format(buf, sizeof buf, &kTable, 2), 0);
  EXPECT_LT(format(buf, sizeof buf, &kTable, 3), 0);
  EXPECT_LT(format(buf, sizeof buf, &kTable, -2), 0);
  EXPECT_LT(format(buf, sizeof buf, nullptr, 0), 0);
  EXPECT_STREQ(buf, "");
}

TEST(Messages, ErrorsGoToStderrAndOutputToStdout) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(imsg_print(IMSG_KIND_ERROR, &kTable, 1, "err", 1), 13);
  EXPECT_EQ(imsg_print(IMSG_KIND_INFO, "version %s\n", -1, "8.0"), 12);
  EXPECT_LT(imsg_print(IMSG_KIND_ERROR, &kTable, 9), 0);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "hello err, 1\n");
  EXPECT_EQ(out, "version 8.0\n");
}

TEST(Strutl, BoundedJoinCopyAndCase) {
  char buf[8];
  EXPECT_EQ(strutl_concat(buf, sizeof buf, 3, "ab", nullptr, "cd"), 0);
  EXPECT_STREQ(buf, "abcd");
  memset(buf, '#', sizeof buf);
  EXPECT_NE(strutl_concat(buf, 6, 3, "abc", "def", "ghi"), 0);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(buf[6], '#');
  EXPECT_EQ(strutl_concat(buf, sizeof buf, 0), 0);
  EXPECT_STREQ(buf, "");

  EXPECT_EQ(strutl_cpy_buf(buf, "1234567", sizeof buf), 0);
  EXPECT_STREQ(buf, "1234567");
  EXPECT_NE(strutl_cpy_buf(buf, "12345678", sizeof buf), 0);
  EXPECT_STREQ(buf, "1234567");

  char up[5];
  EXPECT_EQ(strutl_cvt_case_string("aB-z", 1, 4, up), 0);
  EXPECT_STREQ(up, "AB-Z");
  EXPECT_NE(strutl_cvt_case_string("abcdef", 1, 4, up), 0);
  EXPECT_STREQ(up, "ABCD");
  EXPECT_NE(strutl_cvt_case_string("MiX\xC3\x89", 0, 4, up), 0);
  EXPECT_STREQ(up, "mix\xC3");
}

TEST(UserAndHome, HomeFollowsTheEnvironmentInOrder) {
  cmtest::TempHome home;
  EXPECT_EQ(sysutl_home_dir(), home.path().c_str());
  EXPECT_EQ(sysutl_cmi_dir(), (home.path() + "/.Corvane/.Registry/Tarnwell/CMI").c_str());
  setenv("HOMEPATH", "/users/ann", 1);
  EXPECT_EQ(sysutl_home_dir(), "/users/ann");
  setenv("HOMEDRIVE", "/mnt", 1);
  EXPECT_EQ(sysutl_home_dir(), "/mnt/users/ann");
  unsetenv("HOMEPATH");
  EXPECT_EQ(sysutl_home_dir(), "/mnt");
  unsetenv("HOMEDRIVE");
  unsetenv("HOME");
  // The passwd entry answers when the environment does not.
  EXPECT_GT(sysutl_home_dir().GetLength(), 0);
}

TEST(UserAndHome, CurrentUserHasAName) {
  long usid = credutl_getusid(5, 0);
  EXPECT_EQ(usid, static_cast<long>(geteuid()));
  EXPECT_EQ(credutl_getusid(7, 0), usid);
  EXPECT_GT(sysutl_usid_to_user(usid).GetLength(), 0);
  struct timeval tv;
  ASSERT_EQ(date_get_timeval(&tv), 0);
  EXPECT_LT(tv.tv_usec, 1000000);
  EXPECT_GT(tv.tv_sec, 1700000000);
}

TEST(LogServices, ProductLogFolder) {
  cmtest::TempHome home;
  char buf[1024];
  ASSERT_EQ(tbs_product_log_dir(buf, 0), 0);
  EXPECT_EQ(std::string(buf), home.log_dir());
  setenv("TAPIR_LOG_DIR", "", 1);
  ASSERT_EQ(tbs_product_log_dir(buf, 0), 0);
  EXPECT_EQ(std::string(buf), home.path() + "/.Corvane/log");
  setenv("TAPIR_LOG_DIR", std::string(2000, 'l').c_str(), 1);
  EXPECT_NE(tbs_product_log_dir(buf, 0), 0);
}

TEST(LogServices, InternalErrorIsOneLineOnStderr) {
  const imsg_table* table = _tbs_cmsg_tbs_msg_table_adr();
  ASSERT_NE(table, nullptr);
  ASSERT_GT(table->count, 35);
  ASSERT_NE(table->texts[35], nullptr);
  testing::internal::CaptureStderr();
  tbs_log_int_error("cmioslc", table, 35, "lib/CM_Provider/cm_session.cc", 321, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cmioslc"), std::string::npos) << err;
  EXPECT_NE(err.find("lib/CM_Provider/cm_session.cc"), std::string::npos) << err;
  EXPECT_NE(err.find("321"), std::string::npos) << err;
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.find('\n'), err.size() - 1);

  // A missing message still leaves a useful line.
  testing::internal::CaptureStderr();
  tbs_log_int_error("cmioslc", nullptr, 35, "x.cc", 9, 0);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("x.cc"), std::string::npos) << err;
}
