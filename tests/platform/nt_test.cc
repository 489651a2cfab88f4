#include "platform/nt/nt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/ks/ks.h"
#include "support/temp_home.h"

namespace {

const char kKey[] = "Software/Corvane/Tarnwell/Tarnwell Tapir";

int put(int hive, const char* name, const std::string& value, const char* key = kKey) {
  ntregy_key handle = nullptr;
  int rc = ntregy_create_value(hive, key, name, value.data(), static_cast<int>(value.size()), 1,
                               &handle);
  if (rc == 0) EXPECT_EQ(ntregy_close_key(handle), 0);
  return rc;
}

// The value, or "<rc N>" when it cannot be read.
std::string get(int hive, const char* name, int size = 128) {
  char buf[512];
  ntregy_key handle = nullptr;
  int rc = ntregy_get_value(hive, kKey, name, buf, size, &handle);
  EXPECT_EQ(rc == 0, handle != nullptr);
  ntregy_close_key(handle);
  return rc == 0 ? std::string(buf) : "<rc " + std::to_string(rc) + ">";
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(SettingsStore, ValuesRoundTripInEachHiveOfItsOwn) {
  cmtest::TempHome home;
  const std::string odd = "\xFF\xFE raw \x01 bytes \xC3";
  for (int hive : {NTREGY_CURRENT_USER, NTREGY_LOCAL_MACHINE}) {
    SCOPED_TRACE(hive);
    EXPECT_NE(get(hive, "CMI_TRACE"), "");
    for (const std::string& value :
         {std::string("3"), std::string(""), odd, std::string("x \"quoted\" \\ {json}")}) {
      ASSERT_EQ(put(hive, "CMI_TRACE", value), 0);
      EXPECT_EQ(get(hive, "CMI_TRACE"), value);
    }
    ASSERT_EQ(put(hive, "Other", "o"), 0);
    EXPECT_EQ(get(hive, "CMI_TRACE"), "x \"quoted\" \\ {json}");
    EXPECT_NE(get(hive, "other"), "o") << "names are exact";
  }
  const std::string user = home.path() + "/.Corvane/.Registry/CurrentUser";
  EXPECT_EQ(mode_of(user + "/" + kKey), 0600u);
  EXPECT_EQ(mode_of(user + "/Software"), 0700u);
  EXPECT_EQ(mode_of(home.machine_registry() + "/" + kKey), 0644u);
  EXPECT_EQ(mode_of(home.machine_registry() + "/Software"), 0755u);
}

TEST(SettingsStore, RefusesWhatItCannotHoldOrReturn) {
  cmtest::TempHome home;
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "v", "12345"), 0);
  EXPECT_NE(get(NTREGY_CURRENT_USER, "v", 5), "12345");
  EXPECT_EQ(get(NTREGY_CURRENT_USER, "v", 6), "12345");
  char buf[4] = {'#', '#', '#', '#'};
  EXPECT_NE(ntregy_get_value(NTREGY_CURRENT_USER, kKey, "v", buf, 3, nullptr), 0);
  EXPECT_EQ(buf[3], '#');

  EXPECT_NE(put(NTREGY_CURRENT_USER, "nul", std::string("a\0b", 3)), 0);
  EXPECT_NE(put(NTREGY_CURRENT_USER, "", "x"), 0);
  ntregy_key handle = nullptr;
  EXPECT_NE(ntregy_create_value(NTREGY_CURRENT_USER, kKey, "t", "x", 1, 4, &handle), 0);
  for (const char* key : {"../escape", "/abs/key", "a/../../b", "a//b", "", "a/./b", "a/"})
    EXPECT_NE(put(NTREGY_CURRENT_USER, "v", "1", key), 0) << key;
  EXPECT_NE(put(NTREGY_CURRENT_USER, "v", "1", nullptr), 0);
  EXPECT_FALSE(cmtest::path_exists(home.path() + "/.Corvane/.Registry/escape"));
}

TEST(SettingsStore, CorruptFileReadsAsMissingAndIsReplaced) {
  cmtest::TempHome home;
  const std::string file = home.path() + "/.Corvane/.Registry/CurrentUser/" + kKey;
  for (const char* corrupt : {"{ \"a\": \"1\", broken", "[\"not\", \"an object\"]",
                              "{\"a\": {\"bytes\": [300]}}", "{\"a\": 5}"}) {
    ASSERT_EQ(put(NTREGY_CURRENT_USER, "a", "1"), 0);
    cmtest::write_file(file, corrupt);
    EXPECT_NE(get(NTREGY_CURRENT_USER, "a"), "1") << corrupt;
  }
  ASSERT_EQ(put(NTREGY_CURRENT_USER, "b", "2"), 0);
  EXPECT_EQ(get(NTREGY_CURRENT_USER, "b"), "2");
}

TEST(NtFiles, OpenIsCloseOnExec) {
  cmtest::TempHome home;
  const std::string path = home.path() + "/f";
  EXPECT_NE(unix_nt_access(path.c_str(), 0), 0);
  int fd = unix_nt_open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(unix_nt_close(fd), 0);
  EXPECT_EQ(unix_nt_access(path.c_str(), 0), 0);
  EXPECT_LT(unix_nt_open((path + "/x").c_str(), O_RDONLY, 0), 0);
}

}  // namespace
