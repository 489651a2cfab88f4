#include "CM_Provider/cm_cookie_jar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_trace.h"
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

class CookieJarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
  }
  void TearDown() override { CM_Trace::reset(); }
  CM_CookieJar jar() const {
    CM_CookieJar made(m_dir.c_str(), "db1");
    made.set_element_name("Cookie");
    return made;
  }
  std::string trace() const { return read_file(CM_Trace::file_path()); }
  // A jar file holding the stored form of cookie as its child `name`.
  static std::string jar_text(const char* cookie, const char* name = "Cookie") {
    SUM_String out;
    EXPECT_EQ(0, CM_CookieJar::encrypt(cookie, out));
    return std::string("<Cookies><") + name + ">" + out.str() + "</" + name + "></Cookies>";
  }

  cmtest::TempHome home;
  const std::string m_dir = home.path() + "/jar/prov1/dbs1";
  const std::string m_file = m_dir + "/db1";
};

TEST_F(CookieJarTest, CookieRoundTripsThroughAPrivateFileOnly) {
  CM_CookieJar first = jar();
  EXPECT_NE(std::string::npos, trace().find("::CM_CookieJar()::Path name is " + m_file));
  EXPECT_FALSE(path_exists(m_dir));  // constructing reads and creates nothing
  ASSERT_EQ(0, first.set_cookie("first"));
  ASSERT_EQ(0, first.set_cookie("JSESSIONID=0000abcdEFGH:1a2b3c"));
  EXPECT_EQ("JSESSIONID=0000abcdEFGH:1a2b3c", jar().get_cookie().str());
  const std::string text = read_file(m_file);
  EXPECT_EQ(std::string::npos, text.find("0000abcdEFGH")) << "cookie stored in plain text";
  EXPECT_EQ(text.find("<Cookie>"), text.rfind("<Cookie>")) << "one child after every write";
  EXPECT_NE(std::string::npos, text.find("<Cookies>"));
  EXPECT_EQ(0600u, stat_of(m_file).st_mode & 0777);
  EXPECT_EQ(0700u, stat_of(m_dir).st_mode & 0777);
}

TEST_F(CookieJarTest, UnchangedOrEmptyCookieWritesNothing) {
  EXPECT_EQ(0, jar().set_cookie(""));
  EXPECT_FALSE(path_exists(m_dir));
  ASSERT_EQ(0, jar().set_cookie("abc"));
  const ino_t first = stat_of(m_file).st_ino;  // every write replaces the file by rename
  ASSERT_EQ(0, jar().set_cookie("abc"));
  EXPECT_EQ(first, stat_of(m_file).st_ino);
  EXPECT_NE(std::string::npos, trace().find("::set_cookie::Cookie = old_cookie"));
}

TEST_F(CookieJarTest, ReadingWithoutFolderIsEmptyAndCreatesNothing) {
  EXPECT_EQ(0, jar().get_cookie().GetLength());
  SUM_String out("unchanged");
  EXPECT_EQ(1002, jar().findCookie(out));
  EXPECT_EQ("unchanged", out.str());
  EXPECT_FALSE(path_exists(m_dir));
}

TEST_F(CookieJarTest, UnreadableFilesGiveNoCookieAndAreReplacedByTheNextOne) {
  std::string tampered = jar_text("genuine");
  tampered[tampered.size() - 20] = tampered[tampered.size() - 20] == 'A' ? 'B' : 'A';
  const struct {
    std::string content;
    const char* cookie;  // what reads back
    bool message;        // the parse message on standard error
  } cases[] = {{"this is not xml at all", "", true},
               {"<Cookies><Cookie>abc</Coo", "", true},
               {"<Cookies></Cookies>", "", true},
               {std::string("\0\x01\x02<Cookies>", 12), "", true},
               {"", "", false},
               {tampered, "", false},
               {jar_text("named-otherwise", "Biscuit"), "named-otherwise", false}};
  ASSERT_EQ(0, jar().check_cookie_file(true));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    write_file(m_file, c.content);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.cookie, jar().get_cookie().str());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.message, err.find("cookie jar file " + m_file) != std::string::npos) << err;
    EXPECT_EQ(0, jar().set_cookie("fresh"));
    EXPECT_EQ("fresh", jar().get_cookie().str());
  }
}

TEST_F(CookieJarTest, WhatCannotBeWrittenIsReportedAndWhatIsInTheWayKept) {
  ASSERT_EQ(0, jar().set_cookie("short"));
  EXPECT_EQ(1001, jar().set_cookie(std::string(400, 'c')));  // too long for the stored form
  EXPECT_NE(std::string::npos, trace().find("Status 1001 from encrypt"));
  EXPECT_EQ("short", jar().get_cookie().str());
  ASSERT_EQ(0, cmtest::run_command("rm -r '" + m_dir + "' && mkdir -p '" + m_file + "'"));
  write_file(m_file + "/keep", "other data");  // a folder where the file belongs
  testing::internal::CaptureStderr();
  EXPECT_EQ(1001, jar().set_cookie("abc"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(m_file + "."));
  EXPECT_EQ("other data", read_file(m_file + "/keep"));
  ASSERT_EQ(0, cmtest::run_command("rm -r '" + home.path() + "/jar'"));
  write_file(home.path() + "/jar", "in the way");  // a file where a parent folder belongs
  testing::internal::CaptureStderr();
  EXPECT_EQ(1001, jar().set_cookie("abc"));
  EXPECT_EQ(1001, jar().check_cookie_file(true));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(m_dir + ","));
  EXPECT_EQ("in the way", read_file(home.path() + "/jar"));
}

TEST_F(CookieJarTest, WithinACommitTheFileIsReadOnceOwnWritesAreSeenAndTracedAlike) {
  ASSERT_EQ(0, jar().set_cookie("before"));
  // The trace lines of one read, without their time stamps.
  auto read_traced = [this](const char* expected) {
    const size_t start = trace().size();
    EXPECT_EQ(expected, jar().get_cookie().str());
    std::stringstream lines(trace().substr(start));
    std::string line, bodies;
    while (std::getline(lines, line))
      bodies += line.substr(std::min(line.find("::TRACE::"), line.size())) + "\n";
    return bodies;
  };
  const std::string uncached = read_traced("before");
  {
    CM_CommitCache cache;
    EXPECT_EQ(uncached, read_traced("before"));
    write_file(m_file, jar_text("elsewhere"));  // another writer is not looked for ...
    EXPECT_EQ(uncached, read_traced("before"));
    ASSERT_EQ(0, jar().set_cookie("renewed"));  // ... but this process's own writes are
    EXPECT_EQ("renewed", jar().get_cookie().str());
  }
  EXPECT_EQ("renewed", jar().get_cookie().str());  // the write reached the file
  write_file(m_file, jar_text("elsewhere"));
  CM_CommitCache next;
  EXPECT_EQ("elsewhere", jar().get_cookie().str());
}

// A jar folder of another user could hand us its cookie or take ours: neither read nor written.
TEST_F(CookieJarTest, FolderOfAnotherUserIsRefusedAndLooseFoldersAreTightened) {
  ASSERT_EQ(0, jar().set_cookie("mine"));
  ASSERT_EQ(0, chmod(m_dir.c_str(), 0777));
  ASSERT_EQ(0, jar().set_cookie("newer"));
  EXPECT_EQ(0700u, stat_of(m_dir).st_mode & 0777);
  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_EQ(0, chown(m_dir.c_str(), 12345, 12345));
  EXPECT_EQ(0, jar().get_cookie().GetLength());
  testing::internal::CaptureStderr();
  EXPECT_EQ(1001, jar().set_cookie("other"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("owned by another user"),
            std::string::npos);
  EXPECT_NE(trace().find("cannot be used: owned by another user"), std::string::npos);
}

}  // namespace
