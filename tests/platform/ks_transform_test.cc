#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/ks/ks.h"
#include "support/temp_home.h"

namespace {

std::string key_file() { return sysutl_cmi_dir().str() + "/.cmi_key"; }

std::string head(const std::string& text) {
  char out[256];
  EXPECT_EQ(strutl_extract_head(text.c_str(), out, 255), 0) << text;
  return out;
}

int tail(const std::string& stored, std::string* plain = nullptr, int max = 255) {
  char out[300];
  memset(out, '#', sizeof out);
  const int rc = strutl_extract_tail(stored.c_str(), out, max);
  for (size_t i = static_cast<size_t>(max) + 1; i < sizeof out; ++i)
    EXPECT_EQ(out[i], '#') << "written past the limit at " << i;
  if (rc != 0) EXPECT_EQ(out[0], '\0');
  if (plain) *plain = out;
  return rc;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(StoringTransform, RoundTripsPrintablyUnderAPrivateKey) {
  cmtest::TempHome home;
  for (const std::string& plain : {std::string("s3cret"), std::string(""),
                                   std::string("caf\xC3\xA9 <&>"), std::string(161, 'x')}) {
    const std::string stored = head(plain);
    EXPECT_LE(stored.size(), 255u);
    EXPECT_EQ(stored.compare(0, 3, "v1:"), 0);
    if (!plain.empty()) EXPECT_EQ(stored.find(plain), std::string::npos);
    for (char c : stored) EXPECT_TRUE(isprint(static_cast<unsigned char>(c))) << stored;
    std::string back;
    ASSERT_EQ(tail(stored, &back), 0);
    EXPECT_EQ(back, plain);
  }
  EXPECT_EQ(mode_of(key_file()), 0600u);
  EXPECT_EQ(mode_of(sysutl_cmi_dir().str()), 0700u);
  EXPECT_NE(head("same"), head("same")) << "a fresh nonce each time";
}

TEST(StoringTransform, RefusesTamperedForeignOrOversizedText) {
  cmtest::TempHome home;
  const std::string stored = head("password");
  for (size_t i = 3; i < stored.size(); i += 5) {
    std::string bad = stored;
    bad[i] = bad[i] == 'A' ? 'B' : 'A';
    EXPECT_NE(tail(bad), 0) << "changed at " << i;
  }
  for (const std::string& garbage :
       {stored.substr(0, stored.size() - 4), std::string(""), std::string("v1:"),
        std::string("v1:!!!!"), "v2:" + stored.substr(3), std::string("password"),
        std::string("v1:AAAA"), std::string("v1:AAA=AAAA"), std::string("v1:AA=="),
        // longer than the nonce, shorter than nonce and tag
        "v1:" + std::string(27, 'A') + "="})
    EXPECT_NE(tail(garbage), 0) << garbage;
  char out[300];
  EXPECT_NE(strutl_extract_tail(nullptr, out, 255), 0);

  // 161 bytes is the most that fits in 255 characters; the refusal writes only the NUL.
  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_head(std::string(162, 'p').c_str(), out, 255), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], '#');
  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_head("abc", out, 10), 0);
  EXPECT_EQ(out[11], '#');
  // A secret stored with room to spare does not come back into a smaller buffer.
  const std::string hundred = head(std::string(100, 'q'));
  EXPECT_NE(tail(hundred, nullptr, 50), 0);
  EXPECT_EQ(tail(hundred, nullptr, 100), 0);
}

TEST(StoringTransform, OnlyTheKeyItWasSealedWithOpensIt) {
  cmtest::TempHome home;
  const std::string stored = head("password");
  const std::string key = cmtest::read_file(key_file());
  cmtest::write_file(key_file(), std::string(32, '\x5a'));
  EXPECT_NE(tail(stored), 0);
  // A key file of the wrong size is no key at all, for either direction, and stays as it is.
  cmtest::write_file(key_file(), "short");
  EXPECT_NE(tail(stored), 0);
  char out[256];
  EXPECT_NE(strutl_extract_head("x", out, 255), 0);
  EXPECT_EQ(cmtest::read_file(key_file()), "short");
  // A missing key is not created by reading.
  ASSERT_EQ(unlink(key_file().c_str()), 0);
  EXPECT_NE(tail(stored), 0);
  EXPECT_FALSE(cmtest::path_exists(key_file()));
  cmtest::write_file(key_file(), key);
  EXPECT_EQ(tail(stored), 0);
}

TEST(StoringTransform, ConcurrentFirstUseAgreesOnOneKey) {
  cmtest::TempHome home;
  const std::string results = home.path() + "/out";
  const int kChildren = 6;
  pid_t pids[kChildren];
  for (int i = 0; i < kChildren; ++i) {
    pids[i] = fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      char out[256];
      if (strutl_extract_head("shared", out, 255) != 0) _exit(1);
      cmtest::write_file(results + std::to_string(i), out);
      _exit(0);
    }
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  // Every child's stored form opens with the one key left on disk.
  for (int i = 0; i < kChildren; ++i) {
    std::string plain;
    EXPECT_EQ(tail(cmtest::read_file(results + std::to_string(i)), &plain), 0) << i;
    EXPECT_EQ(plain, "shared");
  }
  SUM_StringList names;
  EXPECT_EQ(fileutl_read_whole_dir(sysutl_cmi_dir().c_str(), 1, &names), 1)
      << "no temporary key left behind";
}

}  // namespace
