#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"
#include "support/temp_home.h"

namespace {

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int entries_in(const std::string& folder) {
  SUM_StringList names;
  return fileutl_read_whole_dir(folder.c_str(), 1, &names);
}

std::string read(const std::string& path) { return strutl_read(1, path.c_str(), 0, 1, 0).str(); }

// Fails one call of the file layer with a chosen errno; the others reach the system.
struct FailingFiles : KS_FileSystem {
  std::string call;
  int err = 0;
  bool fails(const char* name) {
    if (call != name) return false;
    errno = err;
    return true;
  }
  int MakeTemp(char* t) override { return fails("MakeTemp") ? -1 : KS_FileSystem::MakeTemp(t); }
  ssize_t Write(int fd, const void* d, size_t n) override {
    return fails("Write") ? -1 : KS_FileSystem::Write(fd, d, n);
  }
  int Sync(int fd) override { return fails("Sync") ? -1 : KS_FileSystem::Sync(fd); }
  int Close(int fd) override { return KS_FileSystem::Close(fd) != 0 || fails("Close") ? -1 : 0; }
  int Rename(const char* a, const char* b) override {
    return fails("Rename") ? -1 : KS_FileSystem::Rename(a, b);
  }
};

TEST(StrutlFile, WritesReplaceWholeFilesAndKeepTheirMode) {
  cmtest::TempHome home;
  const std::string path = home.path() + "/data.xml";
  EXPECT_EQ(read(path), "");  // missing reads as empty
  for (const char* text : {"first\nversion", "second", ""}) {
    ASSERT_EQ(strutl_write(text, path.c_str(), 0, 0), 0);
    EXPECT_EQ(read(path), text);
  }
  EXPECT_EQ(mode_of(path), 0600u);
  chmod(path.c_str(), 0640);
  ASSERT_EQ(strutl_write("new", path.c_str(), 0, 0), 0);
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_EQ(entries_in(home.path()), 1);  // no temporary file left beside it

  const std::string folder = home.path() + "/folder";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  for (const std::string& bad : {home.path() + "/missing/file", folder, folder + "/"})
    EXPECT_NE(strutl_write("x", bad.c_str(), 0, 0), 0) << bad;
  EXPECT_NE(strutl_write("x", nullptr, 0, 0), 0);
  EXPECT_EQ(read(folder), "");
  EXPECT_TRUE(fileutl_exists(folder.c_str(), 0));
}

TEST(StrutlFile, AFailedWriteKeepsTheOldFileAndItsCause) {
  cmtest::TempHome home;
  const std::string path = home.path() + "/cookie";
  ASSERT_EQ(strutl_write("precious", path.c_str(), 0, 0), 0);
  for (const char* call : {"MakeTemp", "Write", "Sync", "Close", "Rename"}) {
    for (int err : {ENOSPC, EACCES, EIO}) {
      SCOPED_TRACE(std::string(call) + " " + std::to_string(err));
      FailingFiles files;
      files.call = call;
      files.err = err;
      KS_FileSystem* old = ks_set_file_system(&files);
      const int rc = strutl_write("replacement text", path.c_str(), 0, 0);
      const int cause = errno;
      ks_set_file_system(old);
      EXPECT_NE(rc, 0);
      EXPECT_EQ(cause, err);
      EXPECT_EQ(read(path), "precious");
      EXPECT_EQ(entries_in(home.path()), 1);
    }
  }
}

TEST(FileUtl, MkpathRmAndListing) {
  cmtest::TempHome home;
  const std::string deep = home.path() + "/a/b//c/";
  ASSERT_EQ(fileutl_mkpath(deep.c_str(), 0700, 1), 0);
  EXPECT_EQ(mode_of(home.path() + "/a/b/c"), 0700u);
  EXPECT_EQ(fileutl_mkpath(deep.c_str(), 0700, 1), 0);  // existing is fine
  const std::string file = home.path() + "/a/plain";
  cmtest::write_file(file, "x");
  EXPECT_NE(fileutl_mkpath((file + "/sub").c_str(), 0700, 1), 0);
  EXPECT_NE(fileutl_mkpath(file.c_str(), 0700, 1), 0);

  SUM_StringList names;
  names.append("stale");
  cmtest::write_file(home.path() + "/a/C", "");
  ASSERT_EQ(fileutl_read_whole_dir((home.path() + "/a").c_str(), 1, &names), 3);
  EXPECT_EQ(names[0], "C");
  EXPECT_EQ(names[1], "b");
  EXPECT_EQ(names[2], "plain");
  EXPECT_LT(fileutl_read_whole_dir((home.path() + "/none").c_str(), 1, &names), 0);

  // A folder with entries is never deleted.
  EXPECT_EQ(fileutl_rm((home.path() + "/a").c_str(), 16), -4);
  EXPECT_EQ(read(file), "x");
  EXPECT_EQ(fileutl_rm(file.c_str(), 16), 0);
  EXPECT_FALSE(fileutl_exists(file.c_str(), 0));
  EXPECT_EQ(fileutl_rm((home.path() + "/a/b/c").c_str(), 16), 0);
  EXPECT_EQ(fileutl_rm((home.path() + "/a/b/c").c_str(), 16), -4);
  EXPECT_EQ(fileutl_rm(nullptr, 16), -4);
}

TEST(FileUtl, IsWithinAcceptsOnlyPlainPiecesBelowTheFolder) {
  const std::pair<const char*, int> cases[] = {
      {"/base/a", 1},     {"/base/a/b/c", 1},   {"/base/a.b/..c", 1}, {"/base", 0},
      {"/base/", 0},      {"/basement/a", 0},   {"/base/../x", 0},    {"/base/a/../../x", 0},
      {"/base/./a", 0},   {"/base/a//b", 0},    {"/base/a/", 0},      {"/base/a\rb", 0},
      {"/base/a\x7f", 0}, {"/other/base/a", 0},
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
  SUM_String bad;
  EXPECT_EQ(FILEUTL_DIR_OPEN, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 0, 0, &bad));
  EXPECT_EQ(base + "/a", bad.str());
  EXPECT_EQ(0777u, mode_of(base + "/a"));  // checking alone changes nothing
  EXPECT_EQ(FILEUTL_DIR_OK, fileutl_secure_dirs(base.c_str(), leaf.c_str(), 1, 0, nullptr));
  EXPECT_EQ(0700u, mode_of(base + "/a"));

  // A symbolic link is not a folder, even when it points at one.
  ASSERT_EQ(0, symlink(leaf.c_str(), (base + "/link").c_str()));
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
