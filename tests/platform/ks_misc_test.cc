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

TEST(Messages, FormatCutsButReportsTheFullLengthAndPrintPicksTheStream) {
  char buf[64];
  EXPECT_EQ(format(buf, sizeof buf, &kTable, 1, "ann", 7), 13);
  EXPECT_STREQ(buf, "hello ann, 7\n");
  EXPECT_EQ(format(buf, sizeof buf, "raw %d", -1, 5), 5);
  EXPECT_STREQ(buf, "raw 5");
  char small[6];
  EXPECT_EQ(format(small, sizeof small, &kTable, 1, "ann", 7), 13);
  EXPECT_STREQ(small, "hello");
  for (int missing : {2, 3, -2}) EXPECT_LT(format(buf, sizeof buf, &kTable, missing), 0);
  EXPECT_LT(format(buf, sizeof buf, nullptr, 0), 0);
  EXPECT_STREQ(buf, "");

  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(imsg_print(IMSG_KIND_ERROR, &kTable, 1, "err", 1), 13);
  EXPECT_EQ(imsg_print(IMSG_KIND_INFO, "%s\n", -1, std::string(3000, 'v').c_str()), 3001);
  EXPECT_LT(imsg_print(IMSG_KIND_ERROR, &kTable, 9), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(3000, 'v') + "\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "hello err, 1\n");
}

TEST(Strutl, BoundedJoinCopyAndCase) {
  char buf[8];
  EXPECT_EQ(strutl_concat(buf, sizeof buf, 3, "ab", nullptr, "cd"), 0);
  EXPECT_STREQ(buf, "abcd");
  memset(buf, '#', sizeof buf);
  EXPECT_NE(strutl_concat(buf, 6, 3, "abc", "def", "ghi"), 0);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(buf[6], '#');

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

TEST(UserAndHome, HomeAndLogFolderFollowTheEnvironmentInOrder) {
  cmtest::TempHome home;
  EXPECT_EQ(sysutl_cmi_dir(), (home.path() + "/.Corvane/.Registry/Tarnwell/CMI").c_str());
  char buf[1024];
  ASSERT_EQ(tbs_product_log_dir(buf, 0), 0);
  EXPECT_EQ(std::string(buf), home.log_dir());
  setenv("TAPIR_LOG_DIR", "", 1);
  ASSERT_EQ(tbs_product_log_dir(buf, 0), 0);
  EXPECT_EQ(std::string(buf), home.path() + "/.Corvane/log");
  setenv("TAPIR_LOG_DIR", std::string(2000, 'l').c_str(), 1);
  EXPECT_NE(tbs_product_log_dir(buf, 0), 0);

  const struct {
    const char *drive, *path, *want;
  } cases[] = {{nullptr, "/users/ann", "/users/ann"},
               {"/mnt", "/users/ann", "/mnt/users/ann"},
               {"/mnt", nullptr, "/mnt"}};
  for (const auto& c : cases) {
    c.drive ? setenv("HOMEDRIVE", c.drive, 1) : unsetenv("HOMEDRIVE");
    c.path ? setenv("HOMEPATH", c.path, 1) : unsetenv("HOMEPATH");
    EXPECT_EQ(sysutl_home_dir(), c.want);
  }
  unsetenv("HOMEDRIVE");
  unsetenv("HOME");
  // The passwd entry answers when the environment does not.
  EXPECT_GT(sysutl_home_dir().GetLength(), 0);
  EXPECT_EQ(credutl_getusid(5, 0), static_cast<long>(geteuid()));
  EXPECT_GT(sysutl_usid_to_user(credutl_getusid(7, 0)).GetLength(), 0);
}

TEST(LogServices, InternalErrorIsOneLineOnStderr) {
  const imsg_table* table = _tbs_cmsg_tbs_msg_table_adr();
  for (const imsg_table* t : {table, static_cast<const imsg_table*>(nullptr)}) {
    testing::internal::CaptureStderr();
    tbs_log_int_error("cmioslc", t, 35, "lib/CM_Provider/cm_session.cc", 321, 0);
    const std::string err = testing::internal::GetCapturedStderr();
    for (const char* part : {"cmioslc", "lib/CM_Provider/cm_session.cc", "321"})
      EXPECT_NE(err.find(part), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
}

}  // namespace
