#include "platform/nt/nt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/ks/ks.h"
#include "support/temp_home.h"

namespace {

const char kKey[] = "Software/Corvane/Tarnwell/Tarnwell Tapir";

int put(int hive, const char* name, const std::string& value, const char* key = kKey) {
  ntregy_key handle = nullptr;
  int rc = ntregy_create_value(hive, key, name, value.data(), static_cast<int>(value.size()), 1,
                               &handle);
  if (rc == 0) {
    EXPECT_EQ(ntregy_close_key(handle), 0);
  }
  return rc;
}

int get(int hive, const char* name, std::string* value, int size = 128, const char* key = kKey) {
  char buf[512];
  ntregy_key handle = nullptr;
  int rc = ntregy_get_value(hive, key, name, buf, size, &handle);
  if (rc == 0) {
    EXPECT_NE(handle, nullptr);
    ntregy_close_key(handle);
    *value = buf;
  } else {
    EXPECT_EQ(handle, nullptr);
  }
  return rc;
}

std::string user_file() {
  return sysutl_home_dir().str() + "/.Corvane/.Registry/CurrentUser/" + kKey;
}

}  // namespace

TEST(SettingsStore, RoundTripInBothHives) {
  cmtest::TempHome home;
  EXPECT_STREQ(ntregy_get_common_key(), "Software/Corvane/Tarnwell");
  for (int hive : {NTREGY_CURRENT_USER, NTREGY_LOCAL_MACHINE}) {
    SCOPED_TRACE(hive);
    std::string value;
    EXPECT_NE(get(hive, "CMI_TRACE", &value), 0);
    ASSERT_EQ(put(hive, "CMI_TRACE", "3"), 0);
    ASSERT_EQ(put(hive, "Other", "x \"quoted\" \\ {json}"), 0);
    ASSERT_EQ(get(hive, "CMI_TRACE", &value), 0);
    EXPECT_EQ(value, "3");
    ASSERT_EQ(put(hive, "CMI_TRACE", ""), 0);
    ASSERT_EQ(get(hive, "CMI_TRACE", &value), 0);
    EXPECT_EQ(value, "");
    ASSERT_EQ(get(hive, "Other", &value), 0);
    EXPECT_EQ(value, "x \"quoted\" \\ {json}");
    EXPECT_NE(get(hive, "other", &value), 0);  // names are exact
  }
  // Each hive is its own folder.
  EXPECT_TRUE(cmtest::path_exists(user_file()));
  EXPECT_TRUE(cmtest::path_exists(home.machine_registry() + "/" + kKey));
  struct stat st;
  ASSERT_EQ(stat(user_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((home.path() + "/.Corvane/.Registry/CurrentUser/Software").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(SettingsStore, ValueMustFitTheBuffer) {
  cmtest::TempHome home;
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "v", "12345"), 0);
  std::string value;
  EXPECT_NE(get(NTREGY_CURRENT_USER, "v", &value, 5), 0);
  ASSERT_EQ(get(NTREGY_CURRENT_USER, "v", &value, 6), 0);
  EXPECT_EQ(value, "12345");
  char buf[4] = {'#', '#', '#', '#'};
  EXPECT_NE(ntregy_get_value(NTREGY_CURRENT_USER, kKey, "v", buf, 3, nullptr), 0);
  EXPECT_EQ(buf[3], '#');
}

TEST(SettingsStore, AnyBytesButNul) {
  cmtest::TempHome home;
  std::string odd = "\xFF\xFE raw \x01 bytes \xC3";
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "odd", odd), 0);
  std::string value;
  ASSERT_EQ(get(NTREGY_CURRENT_USER, "odd", &value), 0);
  EXPECT_EQ(value, odd);
  EXPECT_NE(put(NTREGY_CURRENT_USER, "nul", std::string("a\0b", 3)), 0);
  EXPECT_NE(put(NTREGY_CURRENT_USER, "", "x"), 0);
  ntregy_key handle = nullptr;
  EXPECT_NE(ntregy_create_value(NTREGY_CURRENT_USER, kKey, "t", "x", 1, 4, &handle), 0);
}

TEST(SettingsStore, CorruptFileReadsAsMissingAndIsReplaced) {
  cmtest::TempHome home;
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "a", "1"), 0);
  cmtest::write_file(user_file(), "{ \"a\": \"1\", broken");
  std::string value;
  EXPECT_NE(get(NTREGY_CURRENT_USER, "a", &value), 0);
  cmtest::write_file(user_file(), "[\"not\", \"an object\"]");
  EXPECT_NE(get(NTREGY_CURRENT_USER, "a", &value), 0);
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "b", "2"), 0);
  ASSERT_EQ(get(NTREGY_CURRENT_USER, "b", &value), 0);
  EXPECT_EQ(value, "2");
}

TEST(SettingsStore, KeyPathsStayInsideTheHive) {
  cmtest::TempHome home;
  for (const char* key : {"../escape", "/abs/key", "a/../../b", "a//b", "", "a/./b"}) {
    EXPECT_NE(put(NTREGY_CURRENT_USER, "v", "1", key), 0) << key;
  }
  EXPECT_FALSE(cmtest::path_exists(home.path() + "/.Corvane/.Registry/escape"));
  EXPECT_NE(put(NTREGY_CURRENT_USER, "v", "1", nullptr), 0);
}

TEST(NtFiles, OpenIsCloseOnExec) {
  cmtest::TempHome home;
  std::string path = home.path() + "/f";
  EXPECT_NE(unix_nt_access(path.c_str(), 0), 0);
  int fd = unix_nt_open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(unix_nt_close(fd), 0);
  EXPECT_EQ(unix_nt_access(path.c_str(), 0), 0);
  EXPECT_LT(unix_nt_open((path + "/x").c_str(), O_RDONLY, 0), 0);
  time_t t = 0;
  EXPECT_EQ(unix_nt_time(&t), t);
}
