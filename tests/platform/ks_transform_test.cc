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

std::string head(const std::string& text, int max = 255) {
  char out[512];
  EXPECT_EQ(strutl_extract_head(text.c_str(), out, max), 0) << text;
  return out;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(StoringTransform, RoundTripsAndCreatesAPrivateKey) {
  cmtest::TempHome home;
  EXPECT_FALSE(cmtest::path_exists(key_file()));
  for (std::string plain : {std::string("s3cret"), std::string(""), std::string("caf\xC3\xA9 <&>"),
                            std::string(150, 'x')}) {
    std::string stored = head(plain);
    EXPECT_LE(stored.size(), 255u);
    EXPECT_EQ(stored.find(plain.empty() ? "\x01" : plain), std::string::npos);
    EXPECT_EQ(stored.compare(0, 3, "v1:"), 0);
    for (char c : stored) EXPECT_TRUE(isprint(static_cast<unsigned char>(c))) << stored;
    char out[256];
    ASSERT_EQ(strutl_extract_tail(stored.c_str(), out, 255), 0);
    EXPECT_EQ(out, plain);
  }
  EXPECT_EQ(mode_of(key_file()), 0600u);
  EXPECT_EQ(mode_of(sysutl_cmi_dir().str()), 0700u);
  // A fresh nonce each time: equal secrets do not give equal stored forms.
  EXPECT_NE(head("same"), head("same"));
}

TEST(StoringTransform, RefusesTamperedOrForeignText) {
  cmtest::TempHome home;
  std::string stored = head("password");
  char out[256];
  memset(out, 'z', sizeof out);
  for (size_t i = 3; i < stored.size(); i += 5) {
    std::string bad = stored;
    bad[i] = bad[i] == 'A' ? 'B' : 'A';
    EXPECT_NE(strutl_extract_tail(bad.c_str(), out, 255), 0) << "changed at " << i;
  }
  std::string cut = stored.substr(0, stored.size() - 4);
  EXPECT_NE(strutl_extract_tail(cut.c_str(), out, 255), 0);
  for (const char* garbage : {"", "v1:", "v1:!!!!", "v2:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
                              "password", "v1:AAAA", "v1:AAA=AAAA", "v1:AA=="}) {
    EXPECT_NE(strutl_extract_tail(garbage, out, 255), 0) << garbage;
    EXPECT_EQ(out[0], '\0');
  }
  EXPECT_NE(strutl_extract_tail(nullptr, out, 255), 0);
}

TEST(StoringTransform, AnotherKeyCannotOpenIt) {
  cmtest::TempHome home;
  std::string stored = head("password");
  std::string other(32, '\x5a');
  cmtest::write_file(key_file(), other);
  char out[256];
  EXPECT_NE(strutl_extract_tail(stored.c_str(), out, 255), 0);
  // A key file of the wrong size is no key at all, for either direction.
  cmtest::write_file(key_file(), "short");
  EXPECT_NE(strutl_extract_tail(stored.c_str(), out, 255), 0);
  EXPECT_NE(strutl_extract_head("x", out, 255), 0);
  EXPECT_EQ(cmtest::read_file(key_file()), "short");
}

TEST(StoringTransform, MissingKeyFailsWithoutCreatingOne) {
  cmtest::TempHome home;
  std::string stored = head("password");
  ASSERT_EQ(unlink(key_file().c_str()), 0);
  char out[256];
  EXPECT_NE(strutl_extract_tail(stored.c_str(), out, 255), 0);
  EXPECT_FALSE(cmtest::path_exists(key_file()));
}

TEST(StoringTransform, NeverWritesPastTheLimit) {
  cmtest::TempHome home;
  char out[300];
  // 161 bytes is the most that fits in 255 characters.
  EXPECT_EQ(strutl_extract_head(std::string(161, 'p').c_str(), out, 255), 0);
  EXPECT_EQ(strlen(out), 255u);

  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_head(std::string(162, 'p').c_str(), out, 255), 0);
  EXPECT_EQ(out[0], '\0');
  for (size_t i = 1; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << i;

  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_head("abc", out, 10), 0);
  for (size_t i = 11; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << i;

  // A secret stored with room to spare does not come back into a smaller buffer.
  std::string stored = head(std::string(100, 'q'));
  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_tail(stored.c_str(), out, 50), 0);
  for (size_t i = 51; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << i;
  EXPECT_EQ(strutl_extract_tail(stored.c_str(), out, 100), 0);
}

TEST(StoringTransform, ConcurrentFirstUseAgreesOnOneKey) {
  cmtest::TempHome home;
  std::string results = home.path() + "/out";
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
    std::string stored = cmtest::read_file(results + std::to_string(i));
    char out[256];
    EXPECT_EQ(strutl_extract_tail(stored.c_str(), out, 255), 0) << i;
    EXPECT_STREQ(out, "shared");
  }
  SUM_StringList names;
  fileutl_read_whole_dir(sysutl_cmi_dir().c_str(), 1, &names);
  EXPECT_EQ(names.count(), 1);  // no temporary key left behind
}
