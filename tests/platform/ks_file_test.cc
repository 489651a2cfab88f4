#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/ks/ks.h"
#include "support/temp_home.h"

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

int entries_in(const std::string& folder) {
  SUM_StringList names;
  return fileutl_read_whole_dir(folder.c_str(), 1, &names);
}

}  // namespace

TEST(StrutlFile, WriteThenReadWholeFile) {
  cmtest::TempHome home;
  std::string path = home.path() + "/data.xml";
  EXPECT_EQ(strutl_read(1, path.c_str(), 0, 1, 0), "");  // missing reads as empty

  ASSERT_EQ(strutl_write("first\nversion", path.c_str(), 0, 0), 0);
  EXPECT_EQ(strutl_read(1, path.c_str(), 0, 1, 0), "first\nversion");
  EXPECT_EQ(mode_of(path), 0600u);

  ASSERT_EQ(strutl_write("second", path.c_str(), 0, 0), 0);
  EXPECT_EQ(strutl_read(1, path.c_str(), 0, 1, 0), "second");
  ASSERT_EQ(strutl_write("", path.c_str(), 0, 0), 0);
  EXPECT_EQ(strutl_read(1, path.c_str(), 0, 1, 0), "");
  EXPECT_EQ(entries_in(home.path()), 1);  // no temporary file left beside it
}

TEST(StrutlFile, ReplacingKeepsTheFilesMode) {
  cmtest::TempHome home;
  std::string path = home.path() + "/shared.txt";
  cmtest::write_file(path, "old");
  chmod(path.c_str(), 0640);
  ASSERT_EQ(strutl_write("new", path.c_str(), 0, 0), 0);
  EXPECT_EQ(mode_of(path), 0640u);
}

TEST(StrutlFile, FailedWriteLeavesOldContentAndNoTemporary) {
  cmtest::TempHome home;
  std::string folder = home.path() + "/store";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  std::string path = folder + "/cookie";
  ASSERT_EQ(strutl_write("precious", path.c_str(), 0, 0), 0);

  // The child may not grow a file beyond 16 bytes: the write fails with EFBIG.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    int rc = strutl_write("this text is much longer than sixteen bytes", path.c_str(), 0, 0);
    _exit(rc != 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the oversized write reported success";
  EXPECT_EQ(strutl_read(1, path.c_str(), 0, 1, 0), "precious");
  EXPECT_EQ(entries_in(folder), 1);
}

TEST(StrutlFile, WriteFailsWhereItCannotCreate) {
  cmtest::TempHome home;
  EXPECT_NE(strutl_write("x", (home.path() + "/missing/file").c_str(), 0, 0), 0);
  EXPECT_NE(strutl_write("x", nullptr, 0, 0), 0);
  std::string folder = home.path() + "/folder";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  EXPECT_NE(strutl_write("x", folder.c_str(), 0, 0), 0);  // a folder is not replaced
  EXPECT_TRUE(fileutl_exists(folder.c_str(), 0));
  if (geteuid() != 0) {
    std::string locked = home.path() + "/locked";
    ASSERT_EQ(fileutl_mkpath(locked.c_str(), 0500, 1), 0);
    EXPECT_NE(strutl_write("x", (locked + "/f").c_str(), 0, 0), 0);
  }
}

TEST(FileUtl, MkpathCreatesEveryParent) {
  cmtest::TempHome home;
  std::string deep = home.path() + "/a/b//c/";
  ASSERT_EQ(fileutl_mkpath(deep.c_str(), 0700, 1), 0);
  EXPECT_EQ(mode_of(home.path() + "/a/b/c"), 0700u);
  EXPECT_EQ(fileutl_mkpath(deep.c_str(), 0700, 1), 0);  // existing is fine

  std::string file = home.path() + "/plain";
  cmtest::write_file(file, "x");
  EXPECT_NE(fileutl_mkpath((file + "/sub").c_str(), 0700, 1), 0);
  EXPECT_NE(fileutl_mkpath(file.c_str(), 0700, 1), 0);
}

TEST(FileUtl, RmNeverDeletesAFolderWithEntries) {
  cmtest::TempHome home;
  std::string folder = home.path() + "/creds";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  cmtest::write_file(folder + "/user", "secret");

  EXPECT_EQ(fileutl_rm(folder.c_str(), 16), -4);
  EXPECT_EQ(cmtest::read_file(folder + "/user"), "secret");

  EXPECT_EQ(fileutl_rm((folder + "/user").c_str(), 16), 0);
  EXPECT_FALSE(fileutl_exists((folder + "/user").c_str(), 0));
  EXPECT_EQ(fileutl_rm(folder.c_str(), 16), 0);
  EXPECT_FALSE(fileutl_exists(folder.c_str(), 0));
  EXPECT_EQ(fileutl_rm(folder.c_str(), 16), -4);
  EXPECT_EQ(fileutl_rm(nullptr, 16), -4);
}

TEST(FileUtl, ReadWholeDirListsSortedNames) {
  cmtest::TempHome home;
  std::string folder = home.path() + "/list";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  SUM_StringList names;
  names.append("stale");
  EXPECT_EQ(fileutl_read_whole_dir(folder.c_str(), 1, &names), 0);
  EXPECT_EQ(names.count(), 0);
  for (const char* n : {"b", "a", "C"}) cmtest::write_file(folder + "/" + n, "");
  ASSERT_EQ(fileutl_read_whole_dir(folder.c_str(), 1, &names), 3);
  EXPECT_EQ(names[0], "C");
  EXPECT_EQ(names[1], "a");
  EXPECT_EQ(names[2], "b");
  EXPECT_LT(fileutl_read_whole_dir((folder + "/none").c_str(), 1, &names), 0);
}

namespace {

TEST(FileUtl, IsWithinAcceptsOnlyPlainPiecesBelowTheFolder) {
  const std::pair<const char*, int> cases[] = {
      {"/base/a", 1},       {"/base/a/b/c", 1}, {"/base/a.b/..c", 1}, {"/base", 0},
      {"/base/", 0},        {"/basement/a", 0}, {"/base/../x", 0},    {"/base/a/../../x", 0},
      {"/base/./a", 0},     {"/base/a//b", 0},  {"/base/a/", 0},      {"/base/a\rb", 0},
      {"/other/base/a", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, fileutl_is_within(c.first, "/base")) << c.first;
}

TEST(FileUtl, SecureDirsCreatesTightensAndRefuses) {
  cmtest::TempHome home;
  const std::string base = home.path() + "/store";
  const std::string leaf = base + "/a/b";
  ASSERT_EQ(FILEUTL_DIR_OK, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 1, 1, nullptr));
  EXPECT_EQ(0700u, mode_of(base));
  EXPECT_EQ(0700u, mode_of(leaf));

  ASSERT_EQ(0, chmod((base + "/a").c_str(), 0777));
  EXPECT_EQ(FILEUTL_DIR_OPEN, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 0, 0, nullptr));
  EXPECT_EQ(0777u, mode_of(base + "/a"));  // checking alone changes nothing
  EXPECT_EQ(FILEUTL_DIR_OK, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 1, 0, nullptr));
  EXPECT_EQ(0700u, mode_of(base + "/a"));

  // A symbolic link is not a folder, even when it points at one.
  ASSERT_EQ(0, symlink(leaf.c_str(), (base + "/link").c_str()));
  SUM_String bad;
  EXPECT_EQ(FILEUTL_DIR_NOT_DIR,
            fileutl_secure_dirs(base.c_str(), (base + "/link").c_str(), 1, 1, &bad));
  EXPECT_EQ(base + "/link", bad.str());
  EXPECT_EQ(FILEUTL_DIR_NOT_DIR,
            fileutl_secure_dirs(base.c_str(), (base + "/../x").c_str(), 1, 1, nullptr));

  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_EQ(0, chown(leaf.c_str(), 12345, 12345));
  EXPECT_EQ(FILEUTL_DIR_NOT_OWNED, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 1, 0, &bad));
  EXPECT_EQ(leaf, bad.str());
}

}  // namespace
