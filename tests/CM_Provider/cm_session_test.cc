// The session, its cookie jar, and both files on a failing disk.
#include "CM_Provider/cm_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_cookie_jar.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;
using cmtest::write_file;

struct stat stat_of(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

CM_CookieJar jar() {
  CM_CookieJar made(sysutl_home_dir() + "/jar/prov/dbs", SUM_String("db"));
  made.set_element_name("Cookie");
  return made;
}

std::string cookie() { return jar().get_cookie().str(); }

// A jar file holding the stored form of cookie as its child `name`.
std::string jar_text(const char* cookie, const char* name = "Cookie") {
  SUM_String out;
  EXPECT_EQ(0, CM_CookieJar::encrypt(cookie, out));
  return std::string("<Cookies><") + name + ">" + out.str() + "</" + name + "></Cookies>";
}

class SessionTest : public ::testing::Test {
 protected:
  std::string stderr_of(const std::function<void()>& run) {
    cmtest::StderrCapture err;
    run();
    return err.text();
  }
  static CM_Session session(const CM_ProviderConfig& config) {
    CM_Session made;
    EXPECT_EQ(0, made.init_server_config(&config));
    return made;
  }

  cmtest::TempHome home;
  const std::string m_dir = home.path() + "/jar/prov/dbs", m_file = m_dir + "/db";
  const std::string m_jars = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar";
  CM_ProviderConfig m_config{"Prov Ä", "https://mr.example:8443/merrow", "db 1", "dbs1"};
};

TEST_F(SessionTest, CookieRoundTripsThroughAPrivateFileWrittenOnlyOnChange) {
  SUM_String out("unchanged");
  EXPECT_EQ(1002, jar().findCookie(out));
  EXPECT_EQ("unchanged|", out.str() + "|" + cookie());
  EXPECT_EQ(0, jar().set_cookie(""));
  EXPECT_FALSE(path_exists(m_dir));  // reading and empty cookies create nothing
  ASSERT_EQ(0, jar().set_cookie("first"));
  ASSERT_EQ(0, jar().set_cookie("JSESSIONID=0000abcdEFGH:1a2b3c"));
  EXPECT_EQ("JSESSIONID=0000abcdEFGH:1a2b3c", cookie());
  const std::string text = read_file(m_file);
  EXPECT_EQ(std::string::npos, text.find("0000abcdEFGH")) << "cookie stored in plain text";
  EXPECT_EQ(text.find("<Cookie>"), text.rfind("<Cookie>")) << "one child after every write";
  EXPECT_EQ(0600u, stat_of(m_file).st_mode & 0777);
  EXPECT_EQ(0700u, stat_of(m_dir).st_mode & 0777);
  const ino_t first = stat_of(m_file).st_ino;  // every write replaces the file by rename
  ASSERT_EQ(0, jar().set_cookie("JSESSIONID=0000abcdEFGH:1a2b3c"));
  EXPECT_EQ(first, stat_of(m_file).st_ino);
  EXPECT_EQ(1001, jar().set_cookie(std::string(400, 'c')));  // too long for the stored form
  EXPECT_EQ("JSESSIONID=0000abcdEFGH:1a2b3c", cookie());
}

// Damage a jar can hold gives no cookie (the fuzz corpus of stored files replays the rest); a
// child of another name is still read by its place.
TEST_F(SessionTest, UnreadableJarFilesGiveNoCookieAndAreReplacedByTheNextOne) {
  std::string tampered = jar_text("genuine");
  tampered[tampered.size() - 20] = tampered[tampered.size() - 20] == 'A' ? 'B' : 'A';
  const std::pair<std::string, const char*> cases[] = {{"not xml", ""},
                                                       {"<Cookies></Cookies>", ""},
                                                       {tampered, ""},
                                                       {jar_text("named", "Biscuit"), "named"}};
  ASSERT_EQ(0, jar().check_cookie_file(true));
  for (const auto& c : cases) {
    write_file(m_file, c.first);
    stderr_of([&] { EXPECT_EQ(c.second, cookie()) << c.first; });
    EXPECT_EQ(0, jar().set_cookie("fresh"));
    EXPECT_EQ("fresh", cookie());
  }
}

TEST_F(SessionTest, WithinACommitTheJarIsReadOnceAndOwnWritesAreSeen) {
  ASSERT_EQ(0, jar().set_cookie("before"));
  {
    CM_CommitCache cache;
    EXPECT_EQ("before", cookie());
    write_file(m_file, jar_text("elsewhere"));  // another writer is not looked for ...
    EXPECT_EQ("before", cookie());
    ASSERT_EQ(0, jar().set_cookie("renewed"));  // ... but this process's own writes are
    EXPECT_EQ("renewed", cookie());
  }
  EXPECT_EQ("renewed", cookie());  // the write reached the file
  write_file(m_file, jar_text("elsewhere"));
  CM_CommitCache next;
  EXPECT_EQ("elsewhere", cookie());
}

// A jar folder of another user could hand us its cookie or take ours: neither read nor written.
TEST_F(SessionTest, JarFolderOfAnotherUserIsRefusedAndLooseFoldersAreTightened) {
  ASSERT_EQ(0, jar().set_cookie("mine"));
  ASSERT_EQ(0, chmod(m_dir.c_str(), 0777));
  ASSERT_EQ(0, jar().set_cookie("newer"));
  EXPECT_EQ(0700u, stat_of(m_dir).st_mode & 0777);
  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_EQ(0, chown(m_dir.c_str(), 12345, 12345));
  EXPECT_EQ("", cookie());
  EXPECT_NE(std::string::npos, stderr_of([] {
                                 EXPECT_EQ(1001, jar().set_cookie("other"));
                               }).find("owned by another user"));
}

// The jar's place per connection (provider, dbset, user database) is pinned by cmi's rows.
TEST_F(SessionTest, CookiePersistsForTheNextSessionAndCopiesShareTheJar) {
  CM_Session none;
  EXPECT_EQ(10004, none.init_server_config(nullptr));
  EXPECT_EQ(10001, none.UpdateCookie("abc"));  // no jar
  {
    CM_Session first = session(m_config);
    EXPECT_FALSE(path_exists(m_jars));  // setting up writes nothing
    ASSERT_EQ(0, first.UpdateCookie("JSESSIONID=one"));
  }
  CM_Session second = session(m_config);
  EXPECT_EQ("JSESSIONID=one", second.GetCookie().str());
  // A copy has a jar of its own on the same file, and outlives the session it was copied from.
  CM_Session survivor;
  {
    CM_Session temporary(second);
    survivor = temporary;
  }
  ASSERT_EQ(0, survivor.UpdateCookie("from-copy"));
  EXPECT_EQ("from-copy", second.GetCookie().str());
  ASSERT_EQ(0, cmtest::run_command("rm -r '" + m_jars + "' && mkdir -p '" + m_jars + "'"));
  write_file(m_jars + "/Prov Ä", "a file blocking the folder");
  EXPECT_NE(std::string::npos,
            stderr_of([&] { EXPECT_EQ(10001, second.UpdateCookie("abc")); }).find(m_jars));
}

TEST_F(SessionTest, UserCredsComeFromTheStoreAndADamagedLoginIsFlagged) {
  CM_Session s = session(m_config);
  EXPECT_EQ(0, s.init_user_creds());  // a missing login is not an error here
  EXPECT_FALSE(s.login_unreadable());
  ASSERT_EQ(0, CM_MRCredential("jürgen", "pw ö", "Prov Ä", "db 1", "dbs1").add());
  ASSERT_EQ(0, s.init_user_creds());
  EXPECT_EQ("jürgen:pw ö", s.get_user_name().str() + ":" + s.get_user_password().str());
  write_file(s.get_credential().get_file_path().str() + "/Prov Ä/dbs1/db 1", "damaged");
  CM_Session damaged = session(m_config);
  EXPECT_EQ(0, damaged.init_user_creds());
  EXPECT_TRUE(damaged.login_unreadable());
  damaged.set_cert_label("card");  // a card needs no stored login
  EXPECT_FALSE(damaged.login_unreadable());
}

// Fails one kind of call of the file layer with one errno; every other call goes to the system.
// The trace never syncs, and each row writes only one kind of file, so no call needs a path.
struct FailingFiles : KS_FileSystem {
  FailingFiles(const char* call, int err) : call(call), err(err), old(ks_set_file_system(this)) {}
  ~FailingFiles() override { ks_set_file_system(old); }
  bool fails(const char* name) {
    if (call != name) return false;
    ++failures;
    errno = err;
    return true;
  }
  int Open(const char* path, int flags, mode_t mode) override {
    return fails("Open") ? -1 : KS_FileSystem::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    return fails("Write") ? -1 : KS_FileSystem::Write(fd, data, size);
  }
  int Sync(int fd) override { return fails("Sync") ? -1 : KS_FileSystem::Sync(fd); }
  std::string call;
  int err, failures = 0;
  KS_FileSystem* old;
};

// A full, read-only or failing disk under the cookie jar and the trace file: the failed write says
// why, leaves the old file as it was and leaves no temporary file behind. Files replaced whole (the
// jar, the login store) tell the cause in the trace; the trace file (appended to) on standard
// error. Each step failing with each errno is the file layer's table (ks_file_test).
TEST(DiskFaults, FailedWriteSaysWhyKeepsTheOldFileAndLeavesNoTemporary) {
  const auto to_trace = [](const char* text) {
    CM_TraceScope("CMMR", "Test", "write").print_always("%s", text);
    return CM_Trace::close(), true;  // the next line reopens the file
  };
  const auto to_jar = [](const char* text) { return jar().set_cookie(text) != 0; };
  const struct {
    std::function<bool(const char*)> write;  // true when the write reported failure
    const char* call;
    int err;
  } rows[] = {{to_jar, "Sync", EIO}, {to_trace, "Open", EACCES}, {to_trace, "Write", EIO}};
  for (const auto& row : rows) {
    const bool trace_file = &row != &rows[0];
    // On standard error, followed by the path.
    const std::string message = trace_file ? "The trace file " : "Unable to save cookie in ";
    const std::string cause = strerror(row.err);
    SCOPED_TRACE(message + cause);
    cmtest::TempHome home;
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
    row.write("old");
    const std::string path = trace_file ? CM_Trace::file_path() : jar().get_file_path().str();
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string old_text = read_file(path);
    ASSERT_FALSE(old_text.empty());
    const size_t trace_before = read_file(CM_Trace::file_path()).size();
    cmtest::StderrCapture stderr_text;
    FailingFiles files(row.call, row.err);
    EXPECT_TRUE(row.write("new") && row.write("newer"));
    const std::string printed = stderr_text.text();
    EXPECT_GT(files.failures, 0);
    EXPECT_EQ(old_text, read_file(path));
    SUM_StringList names;  // the file itself, no temporary beside it
    EXPECT_EQ(1, fileutl_read_whole_dir(folder.c_str(), 1, &names));
    EXPECT_NE(std::string::npos, printed.find(message + path));
    const std::string said =
        trace_file ? printed : read_file(CM_Trace::file_path()).substr(trace_before);
    EXPECT_NE(std::string::npos,
              said.find(trace_file ? cause : "Cannot write " + path + ": " + cause));
    // Tracing is off after the first refused line: one message, not one per line.
    if (trace_file) EXPECT_EQ(printed.find(message), printed.rfind(message));
    CM_Trace::reset();
  }
}

}  // namespace
