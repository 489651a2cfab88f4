#include "CM_Provider/cm_cookie_jar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_trace.h"
#include "platform/sum/xml_element.h"
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;
using cmtest::write_file;

ino_t inode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class CookieJarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
    m_dir = home.path() + "/jar/prov1/dbs1";
    m_file = m_dir + "/db1";
  }
  void TearDown() override { CM_Trace::reset(); }

  CM_CookieJar make_jar() {
    CM_CookieJar jar(m_dir.c_str(), "db1");
    jar.set_element_name("Cookie");
    return jar;
  }
  std::string trace() const { return read_file(CM_Trace::file_path()); }
  // The value the jar would store for a cookie.
  static std::string stored_form(const char* cookie) {
    SUM_String out;
    EXPECT_EQ(0, CM_CookieJar::encrypt(cookie, out));
    return out.str();
  }

  cmtest::TempHome home;
  std::string m_dir;
  std::string m_file;
};

TEST_F(CookieJarTest, ConstructionBuildsFilePathAndTracesIt) {
  CM_CookieJar jar(m_dir.c_str(), "db1");
  EXPECT_EQ(m_file, jar.get_file_path().str());
  EXPECT_EQ(m_dir, jar.get_dir_path().str());
  EXPECT_EQ("db1", jar.get_file_name().str());
  EXPECT_EQ(0, jar.get_element_name().GetLength());
  EXPECT_NE(std::string::npos,
            trace().find("::CM_CookieJar::CM_CookieJar()::Path name is " + m_file));
  // Constructing reads and creates nothing.
  EXPECT_FALSE(path_exists(m_dir));
}

TEST_F(CookieJarTest, SetThenGetRoundTripsThroughTheFileOnly) {
  const char* cookie = "JSESSIONID=0000abcdEFGH:1a2b3c";
  {
    CM_CookieJar writer = make_jar();
    ASSERT_EQ(0, writer.set_cookie(cookie));
  }
  CM_CookieJar reader = make_jar();
  EXPECT_EQ(cookie, reader.get_cookie().str());

  std::string text = read_file(m_file);
  EXPECT_EQ(std::string::npos, text.find("0000abcdEFGH")) << "cookie stored in plain text";
  struct stat st;
  ASSERT_EQ(0, stat(m_file.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_EQ(0, stat(m_dir.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST_F(CookieJarTest, CookieSetInAnotherProcessIsReadHere) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CM_CookieJar jar = make_jar();
    _exit(jar.set_cookie("from-the-child") == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("from-the-child", make_jar().get_cookie().str());
}

TEST_F(CookieJarTest, FileHoldsOneCookiesRootWithOneChildAfterEveryWrite) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.set_cookie("first"));
  ASSERT_EQ(0, jar.set_cookie("second"));

  XML_Element root;
  ASSERT_EQ(0, XML_Element::parse(read_file(m_file).c_str(), root));
  EXPECT_EQ("Cookies", root.name().str());
  ASSERT_EQ(1, root.sub_elements().count());
  EXPECT_EQ("Cookie", root.sub_elements()[0].name().str());
  SUM_String plain;
  ASSERT_EQ(0, CM_CookieJar::decrypt(root.sub_elements()[0].text(), plain));
  EXPECT_EQ("second", plain.str());
}

TEST_F(CookieJarTest, SameCookieTwiceWritesOnce) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.set_cookie("abc"));
  ino_t first = inode_of(m_file);
  std::string before = read_file(m_file);
  ASSERT_EQ(0, jar.set_cookie("abc"));
  // Every write replaces the file by rename, so an untouched file keeps its inode.
  EXPECT_EQ(first, inode_of(m_file));
  EXPECT_EQ(before, read_file(m_file));
  EXPECT_NE(std::string::npos, trace().find("::set_cookie::Cookie = old_cookie"));
}

TEST_F(CookieJarTest, EmptyCookieEqualToNothingStoredWritesNothing) {
  CM_CookieJar jar = make_jar();
  EXPECT_EQ(0, jar.set_cookie(""));
  EXPECT_FALSE(path_exists(m_dir));
}

TEST_F(CookieJarTest, ReadingWithoutFolderIsEmptyAndCreatesNothing) {
  CM_CookieJar jar = make_jar();
  EXPECT_EQ(0, jar.get_cookie().GetLength());
  SUM_String out("unchanged");
  EXPECT_EQ(1002, jar.findCookie(out));
  EXPECT_EQ("unchanged", out.str());
  EXPECT_EQ(1002, jar.check_cookie_file(false));
  EXPECT_FALSE(path_exists(m_dir));
}

TEST_F(CookieJarTest, BrokenFilesGiveAnEmptyCookieAndTheParseMessage) {
  struct Case {
    const char* what;
    std::string content;
    bool message;
  };
  const Case cases[] = {
      {"not xml", "this is not xml at all", true},
      {"truncated", "<Cookies><Cookie>abc</Coo", true},
      {"no child", "<Cookies></Cookies>", true},
      {"binary", std::string("\0\x01\x02<Cookies>", 12), true},
      {"empty", "", false},
  };
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.check_cookie_file(true));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(m_file, c.content);
    testing::internal::CaptureStderr();
    SUM_String cookie = jar.get_cookie();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, cookie.GetLength());
    if (c.message) {
      EXPECT_NE(std::string::npos,
                err.find("Unable to parse the contents of the integration cookie jar file " +
                         m_file + "."));
    }
    SUM_String raw;
    testing::internal::CaptureStderr();
    EXPECT_EQ(1002, jar.findCookie(raw));
    // A later good cookie replaces the damaged file.
    EXPECT_EQ(0, jar.set_cookie("fresh"));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("fresh", jar.get_cookie().str());
  }
}

TEST_F(CookieJarTest, FirstChildIsReadWhateverItsName) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.check_cookie_file(true));
  XML_Element root("Cookies");
  root.sub_elements().append(XML_Element("Biscuit", stored_form("named-otherwise").c_str()));
  root.sub_elements().append(XML_Element("Cookie", stored_form("second-child").c_str()));
  SUM_String text;
  ASSERT_EQ(0, root.string(text, 0));
  write_file(m_file, text.str());
  EXPECT_EQ("named-otherwise", jar.get_cookie().str());
}

TEST_F(CookieJarTest, TamperedStoredValueReadsAsNoCookie) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.set_cookie("genuine"));
  SUM_String stored;
  ASSERT_EQ(0, jar.findCookie(stored));
  std::string bad = stored.str();
  bad[bad.size() / 2] = bad[bad.size() / 2] == 'A' ? 'B' : 'A';
  std::string text = read_file(m_file);
  size_t at = text.find(stored.str());
  ASSERT_NE(std::string::npos, at);
  text.replace(at, stored.GetLength(), bad);
  write_file(m_file, text);

  EXPECT_EQ(0, jar.get_cookie().GetLength());
  // The session then stores the next cookie over the damaged one.
  ASSERT_EQ(0, jar.set_cookie("genuine"));
  EXPECT_EQ("genuine", jar.get_cookie().str());
}

TEST_F(CookieJarTest, FolderThatCannotBeCreatedReportsAndReturns1001) {
  // A plain file where a parent folder belongs blocks creation even for root.
  write_file(home.path() + "/jar", "in the way");
  CM_CookieJar jar = make_jar();
  testing::internal::CaptureStderr();
  int code = jar.set_cookie("abc");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1001, code);
  EXPECT_NE(std::string::npos,
            err.find("Unable to create a integration cookie jar.  Check permissions for "
                     "directories in the path " +
                     m_dir + ", found in your HOME directory."));
  testing::internal::CaptureStderr();
  EXPECT_EQ(1001, jar.check_cookie_file(true));
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStderr().find("Unable to create a integration"));
  EXPECT_EQ("in the way", read_file(home.path() + "/jar"));
}

TEST_F(CookieJarTest, FileThatCannotBeWrittenReportsAndKeepsTheFolder) {
  // A folder sitting where the cookie file belongs cannot be replaced by a file.
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.check_cookie_file(true));
  ASSERT_EQ(0, mkdir(m_file.c_str(), 0700));
  write_file(m_file + "/keep", "other data");
  testing::internal::CaptureStderr();
  int code = jar.set_cookie("abc");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(1001, code);
  EXPECT_NE(std::string::npos, err.find("Unable to save cookie in " + m_file + "."));
  EXPECT_EQ("other data", read_file(m_file + "/keep"));
}

TEST_F(CookieJarTest, TransformRoundTripsAndRefusesWhatItCannotStore) {
  SUM_String out("previous");
  EXPECT_EQ(0, CM_CookieJar::encrypt("", out));
  EXPECT_EQ(0, out.GetLength());
  EXPECT_EQ(0, CM_CookieJar::decrypt("", out));
  EXPECT_EQ(0, out.GetLength());

  const std::string cookie = "päss wörd <&> \"quoted\"";
  SUM_String stored;
  ASSERT_EQ(0, CM_CookieJar::encrypt(cookie, stored));
  EXPECT_NE(cookie, stored.str());
  EXPECT_LE(stored.GetLength(), 255);
  SUM_String back;
  ASSERT_EQ(0, CM_CookieJar::decrypt(stored, back));
  EXPECT_EQ(cookie, back.str());

  // Too long for the 255-character stored form: refused, output left empty.
  SUM_String big("previous");
  EXPECT_EQ(1001, CM_CookieJar::encrypt(std::string(400, 'x'), big));
  EXPECT_EQ(0, big.GetLength());
  // Not a stored form: refused, output unchanged.
  SUM_String kept("kept");
  EXPECT_EQ(1001, CM_CookieJar::decrypt("plainly not stored", kept));
  EXPECT_EQ("kept", kept.str());
}

TEST_F(CookieJarTest, OverlongCookieIsRefusedAndOldOneKept) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.set_cookie("short"));
  EXPECT_EQ(1001, jar.set_cookie(std::string(400, 'c')));
  EXPECT_EQ("short", jar.get_cookie().str());
  EXPECT_NE(std::string::npos, trace().find("Status 1001 from encrypt"));
}

TEST_F(CookieJarTest, WithinACommitTheFileIsReadOnceAndOwnWritesAreSeen) {
  ASSERT_EQ(0, make_jar().set_cookie("before"));
  {
    CM_CommitCache cache;
    CM_CookieJar jar = make_jar();
    EXPECT_EQ("before", jar.get_cookie().str());
    // Another writer is not looked for within one COMMIT ...
    write_file(m_file, "<Cookies><Cookie>" + stored_form("elsewhere") + "</Cookie></Cookies>");
    EXPECT_EQ("before", make_jar().get_cookie().str());
    // ... but this process's own writes are, by every copy of the jar.
    ASSERT_EQ(0, jar.set_cookie("renewed"));
    EXPECT_EQ("renewed", make_jar().get_cookie().str());
  }
  EXPECT_EQ("renewed", make_jar().get_cookie().str());  // the write reached the file
  // The next COMMIT, and everything outside one, reads the file again.
  write_file(m_file, "<Cookies><Cookie>" + stored_form("elsewhere") + "</Cookie></Cookies>");
  EXPECT_EQ("elsewhere", make_jar().get_cookie().str());
  CM_CommitCache next;
  EXPECT_EQ("elsewhere", make_jar().get_cookie().str());
}

TEST_F(CookieJarTest, CachedReadsTraceTheSameLinesAsFileReads) {
  ASSERT_EQ(0, make_jar().set_cookie("traced"));
  auto lines_of_one_read = [this]() {
    const size_t start = trace().size();
    EXPECT_EQ("traced", make_jar().get_cookie().str());
    std::string text = trace().substr(start);
    // Drop the time stamps: the rest of each line must match.
    std::string bodies;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      const size_t body = line.find("::TRACE::");
      bodies += (body == std::string::npos ? line : line.substr(body)) + "\n";
      at = end + 1;
    }
    return bodies;
  };
  const std::string uncached = lines_of_one_read();
  CM_CommitCache cache;
  const std::string first = lines_of_one_read();
  const std::string cached = lines_of_one_read();
  EXPECT_FALSE(uncached.empty());
  EXPECT_EQ(uncached, first);
  EXPECT_EQ(uncached, cached);
}

}  // namespace

namespace {

// A jar folder of another user could hand us its cookie or take ours: neither read nor written.
TEST_F(CookieJarTest, FolderOfAnotherUserIsRefusedAndLooseFoldersAreTightened) {
  CM_CookieJar jar = make_jar();
  ASSERT_EQ(0, jar.set_cookie("mine"));
  ASSERT_EQ(0, chmod(m_dir.c_str(), 0777));
  ASSERT_EQ(0, jar.set_cookie("newer"));
  struct stat st;
  ASSERT_EQ(0, stat(m_dir.c_str(), &st));
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_EQ(0, chown(m_dir.c_str(), 12345, 12345));
  EXPECT_EQ(0, jar.get_cookie().GetLength());
  testing::internal::CaptureStderr();
  EXPECT_EQ(1001, jar.set_cookie("other"));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("owned by another user"),
            std::string::npos);
  EXPECT_NE(trace().find("cannot be used: owned by another user"), std::string::npos);
}

}  // namespace
