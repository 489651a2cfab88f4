#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

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
  FailingFiles(const char* call, int err) : call(call), err(err), old(ks_set_file_system(this)) {}
  ~FailingFiles() override { ks_set_file_system(old); }
  std::string call;
  int err;
  KS_FileSystem* old;
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

TEST(StrutlFile, WritesReplaceWholeFilesKeepTheirModeAndAFailedOneKeepsTheOldFile) {
  cmtest::TempHome home;
  const std::string path = home.path() + "/data.xml";
  EXPECT_EQ(read(path), "");  // missing reads as empty
  for (const char* text : {"first\nversion", ""}) {
    ASSERT_EQ(strutl_write(text, path.c_str(), 0, 0), 0);
    EXPECT_EQ(read(path), text);
  }
  EXPECT_EQ(mode_of(path), 0600u);
  chmod(path.c_str(), 0640);
  ASSERT_EQ(strutl_write("precious", path.c_str(), 0, 0), 0);
  EXPECT_EQ(mode_of(path), 0640u);
  const std::string folder = home.path() + "/folder";
  ASSERT_EQ(fileutl_mkpath(folder.c_str(), 0700, 1), 0);
  for (const std::string& bad : {home.path() + "/missing/file", folder, folder + "/"})
    EXPECT_NE(strutl_write("x", bad.c_str(), 0, 0), 0) << bad;
  EXPECT_NE(strutl_write("x", nullptr, 0, 0), 0);
  for (const char* call : {"MakeTemp", "Write", "Sync", "Close", "Rename"}) {
    for (int err : {ENOSPC, EACCES, EIO}) {
      SCOPED_TRACE(std::string(call) + " " + std::to_string(err));
      FailingFiles files(call, err);
      const int rc = strutl_write("replacement text", path.c_str(), 0, 0), cause = errno;
      EXPECT_NE(rc, 0);
      EXPECT_EQ(cause, err);
      EXPECT_EQ(read(path), "precious");
      EXPECT_EQ(entries_in(home.path()), 2);  // no temporary file left beside it
    }
  }
}

TEST(FileUtl, IsWithinAcceptsOnlyPlainPiecesBelowTheFolder) {
  const std::pair<const char*, int> cases[] = {
      {"/base/a", 1},     {"/base/a/b/c", 1},   {"/base/a.b/..c", 1}, {"/base", 0},
      {"/base/", 0},      {"/basement/a", 0},   {"/base/../x", 0},    {"/base/a/../../x", 0},
      {"/base/./a", 0},   {"/base/a//b", 0},    {"/base/a/", 0},      {"/base/a\rb", 0},
      {"/base/a\x7f", 0}, {"/other/base/a", 0}, {"/base/..", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, fileutl_is_within(c.first, "/base")) << c.first;
}

TEST(FileUtl, SecureDirsCreatesTightensAndRefusesLinksDotDotAndOthersFolders) {
  cmtest::TempHome home;
  const std::string base = home.path() + "/store", leaf = base + "/a/b";
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

std::string key_file() { return sysutl_cmi_dir().str() + "/.cmi_key"; }

std::string head(const std::string& text) {
  char out[256];
  EXPECT_EQ(strutl_extract_head(text.c_str(), out, 255), 0) << text;
  return out;
}

// The plain text, or "<refused>"; nothing is written past `max`, and a refusal leaves "".
std::string tail(const std::string& stored, int max = 255) {
  char out[300];
  memset(out, '#', sizeof out);
  const int rc = strutl_extract_tail(stored.c_str(), out, max);
  for (size_t i = static_cast<size_t>(max) + 1; i < sizeof out; ++i)
    EXPECT_EQ(out[i], '#') << "written past the limit at " << i;
  if (rc != 0) EXPECT_EQ(out[0], '\0');
  return rc == 0 ? out : "<refused>";
}

TEST(StoringTransform, RoundTripsPrintablyUnderAPrivateKeyAndRefusesAnyOtherText) {
  cmtest::TempHome home;
  for (const std::string& plain : {std::string("s3cret"), std::string(""),
                                   std::string("caf\xC3\xA9 <&>"), std::string(161, 'x')}) {
    const std::string stored = head(plain);
    EXPECT_EQ(stored.compare(0, 3, "v1:"), 0);
    if (!plain.empty()) EXPECT_EQ(stored.find(plain), std::string::npos);
    for (char c : stored) EXPECT_TRUE(isprint(static_cast<unsigned char>(c))) << stored;
    EXPECT_EQ(tail(stored), plain);
  }
  EXPECT_EQ(mode_of(key_file()), 0600u);
  EXPECT_EQ(mode_of(sysutl_cmi_dir().str()), 0700u);
  EXPECT_NE(head("same"), head("same")) << "a fresh nonce each time";
  // A secret stored with room to spare does not come back into a smaller buffer.
  EXPECT_EQ(tail(head(std::string(100, 'q')), 50), "<refused>");

  // Tampered, foreign, short or oversized text is refused.
  const std::string stored = head("password");
  for (size_t i = 3; i < stored.size(); i += 5) {
    std::string bad = stored;
    bad[i] = bad[i] == 'A' ? 'B' : 'A';
    EXPECT_EQ(tail(bad), "<refused>") << "changed at " << i;
  }
  // The last one is longer than the nonce, shorter than nonce and tag.
  for (const std::string& garbage : std::vector<std::string>{
           stored.substr(0, stored.size() - 4), "", "v1:", "v1:!!!!", "v2:" + stored.substr(3),
           "password", "v1:AAAA", "v1:AAA=AAAA", "v1:AA==", "v1:" + std::string(27, 'A') + "="})
    EXPECT_EQ(tail(garbage), "<refused>") << garbage;
  char out[300];
  EXPECT_NE(strutl_extract_tail(nullptr, out, 255), 0);
  // 161 bytes is the most that fits in 255 characters; the refusal writes only the NUL.
  memset(out, '#', sizeof out);
  EXPECT_NE(strutl_extract_head(std::string(162, 'p').c_str(), out, 255), 0);
  EXPECT_EQ(std::string(out, 2), std::string("\0#", 2));
  EXPECT_NE(strutl_extract_head("abc", out, 10), 0);
  EXPECT_EQ(out[11], '#');
  // Only the key it was sealed with opens it; a key file of the wrong size is no key at all.
  const std::string key = cmtest::read_file(key_file());
  for (const std::string& other : {std::string(32, '\x5a'), std::string("short")}) {
    cmtest::write_file(key_file(), other);
    EXPECT_EQ(tail(stored), "<refused>");
  }
  EXPECT_NE(strutl_extract_head("x", out, 255), 0);
  EXPECT_EQ(cmtest::read_file(key_file()), "short");
  ASSERT_EQ(unlink(key_file().c_str()), 0);
  EXPECT_EQ(tail(stored), "<refused>");
  EXPECT_FALSE(cmtest::path_exists(key_file())) << "a missing key is not created by reading";
  cmtest::write_file(key_file(), key);
  EXPECT_EQ(tail(stored), "password");
}

// Every child's stored form opens with the one key left on disk, and no temporary key is left.
TEST(StoringTransform, ConcurrentFirstUseAgreesOnOneKey) {
  cmtest::TempHome home;
  const std::string results = home.path() + "/out";
  pid_t pids[6];
  for (int i = 0; i < 6; ++i) {
    if ((pids[i] = fork()) != 0) continue;
    char out[256];
    if (strutl_extract_head("shared", out, 255) != 0) _exit(1);
    cmtest::write_file(results + std::to_string(i), out);
    _exit(0);
  }
  for (int i = 0; i < 6; ++i) {
    int status = 0;
    ASSERT_EQ(pids[i], waitpid(pids[i], &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tail(cmtest::read_file(results + std::to_string(i))), "shared") << i;
  }
  EXPECT_EQ(entries_in(sysutl_cmi_dir().str()), 1);
}

}  // namespace
