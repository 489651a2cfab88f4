#include "CM_Provider/cm_trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace {

class TraceTest : public testing::Test {
 protected:
  void SetUp() override { CM_Trace::reset(); }
  void TearDown() override { CM_Trace::reset(); }

  // The lines written so far (the trace file's content, split at line feeds).
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::stringstream in(cmtest::read_file(CM_Trace::file_path()));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }

  // The "tag::class::method::text" part of every line.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    for (const std::string& l : lines()) {
      size_t at = l.find("::TRACE::");
      out.push_back(at == std::string::npos ? l : l.substr(at + 9));
    }
    return out;
  }

  cmtest::TempHome home;
};

// Shape match: '#' stands for one digit, '@' for a month abbreviation, anything else for itself.
bool shaped(const std::string& pattern, const std::string& text) {
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  size_t t = 0;
  for (char p : pattern) {
    if (p == '@') {
      bool found = false;
      for (const char* m : months) found = found || text.compare(t, 3, m) == 0;
      if (!found) return false;
      t += 3;
    } else if (p == '#') {
      if (t >= text.size() || text[t] < '0' || text[t] > '9') return false;
      ++t;
    } else {
      if (t >= text.size() || text[t] != p) return false;
      ++t;
    }
  }
  return t == text.size();
}

void traced_method(const char* tag) {
  CM_TraceScope scope(tag, "CM_Class", "method");
  for (int level = 1; level <= 5; ++level) scope.print(level, "detail %d", level);
}

}  // namespace

TEST_F(TraceTest, FileNameCarriesUserDateAndProcess) {
  CM_Trace::set_file("ann", 4312);
  std::string path = CM_Trace::file_path();
  EXPECT_TRUE(shaped(home.log_dir() + "/cmmr_trace/ann/cmmr_ann_d######_t######_p4312.log", path))
      << path;
  struct stat st;
  ASSERT_EQ(stat((home.log_dir() + "/cmmr_trace/ann").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(cmtest::path_exists(path));  // opened at the first line only

  for (const char* none : {static_cast<const char*>(nullptr), ""}) {
    CM_Trace::set_file(none, 7);
    EXPECT_TRUE(
        shaped(home.log_dir() + "/cmmr_trace/cmmr_d######_t######_p7.log", CM_Trace::file_path()))
        << CM_Trace::file_path();
  }
}

TEST_F(TraceTest, LineFormat) {
  CM_TraceScope scope("CMMR", "CM_MRProvider", "initialize");
  char* line = CM_Trace::format_line(&scope, "initialize", "Entering");
  ASSERT_NE(line, nullptr);
  std::string text(line);
  free(line);
  EXPECT_TRUE(
      shaped("@ ##,#### ##:##:##.###::TRACE::CMMR::CM_MRProvider::initialize::Entering\n", text))
      << text;

  // Milliseconds always take three digits, whatever the moment.
  for (int i = 0; i < 200; ++i) {
    char* l = CM_Trace::format_line(&scope, "m", "t");
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(shaped("@ ##,#### ##:##:##.###::TRACE::CMMR::CM_MRProvider::m::t\n", l)) << l;
    free(l);
  }
}

TEST_F(TraceTest, EntryExitAndDetailsReachTheFile) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  {
    CM_TraceScope scope("CMMR", "CM_Session", "get_cookie");
    scope.print(2, "value %s\n", "abc");
    scope.print_as("other", "as %d", 1);
  }
  std::vector<std::string> got = bodies();
  std::vector<std::string> want = {
      "CMMR::CM_Session::get_cookie::Entering",
      "CMMR::CM_Session::get_cookie::value abc",
      "",  // a text that ends in a line feed leaves an empty line
      "CMMR::CM_Session::other::as 1",
      "CMMR::CM_Session::get_cookie::Exiting",
  };
  EXPECT_EQ(got, want);
  struct stat st;
  ASSERT_EQ(stat(CM_Trace::file_path(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TraceTest, FilterByTagAndLevel) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR:CMOSLC", 3);
  EXPECT_EQ(CM_Trace::level(), 3);
  traced_method("CMMR");
  traced_method("CMOSLC");
  traced_method("CM_MR");
  traced_method(nullptr);
  std::vector<std::string> want;
  for (const char* tag : {"CMMR", "CMOSLC"}) {
    std::string p = std::string(tag) + "::CM_Class::method::";
    want.insert(want.end(),
                {p + "Entering", p + "detail 1", p + "detail 2", p + "detail 3", p + "Exiting"});
  }
  EXPECT_EQ(bodies(), want);
}

TEST_F(TraceTest, TagsCompareExactlyAndEmptyPiecesAreSkipped) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("cmmr:CMMRX:CMM", 5);
  traced_method("CMMR");
  EXPECT_TRUE(lines().empty());

  CM_Trace::configure("::CMMR::CMOSLC:", 1);
  CM_TraceScope a("CMMR", "A", "m");
  CM_TraceScope b("CMOSLC", "B", "m");
  CM_TraceScope empty_tag("", "C", "m");
  EXPECT_TRUE(a.is_enabled(1));
  EXPECT_TRUE(b.is_enabled(1));
  EXPECT_FALSE(b.is_enabled(2));
  EXPECT_FALSE(empty_tag.is_enabled(1));

  CM_Trace::configure(nullptr, 5);
  EXPECT_FALSE(a.is_enabled(1));
  CM_Trace::configure("CMMR", 0);
  EXPECT_FALSE(a.is_enabled(0 + 1));
}

TEST_F(TraceTest, PrintAlwaysNeedsOnlyAPath) {
  CM_TraceScope scope("CMMR", "CM_MRCredential", "add");
  scope.print_always("before %s", "set_file");
  EXPECT_EQ(CM_Trace::file_path()[0], '\0');
  EXPECT_FALSE(cmtest::path_exists(home.log_dir() + "/cmmr_trace"));

  CM_Trace::set_file("ann", 1);  // no configure: level 0, no tags
  scope.print(1, "filtered");
  scope.print_always("Size of list for %s = %d", "42", 2);
  EXPECT_EQ(bodies(),
            std::vector<std::string>{"CMMR::CM_MRCredential::add::Size of list for 42 = 2"});
}

TEST_F(TraceTest, ScopeWithoutMethodWritesNoEntryOrExit) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  { CM_TraceScope scope("CMMR", "CM_CookieJar"); }
  EXPECT_TRUE(lines().empty());
}

TEST_F(TraceTest, LongTextIsCut) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  std::string big(5000, 'x');
  CM_TraceScope scope("CMMR", "C", nullptr);
  scope.print(1, "%s", big.c_str());
  std::vector<std::string> got = bodies();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "CMMR::C::::" + std::string(2047, 'x'));
}

TEST_F(TraceTest, OpenFileOutlivesALaterSetFile) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  CM_TraceScope scope("CMMR", "C", nullptr);
  scope.print(1, "first");
  std::string first = CM_Trace::file_path();
  CM_Trace::set_file("bob", 2);
  scope.print(1, "second");
  EXPECT_EQ(cmtest::read_file(first).find("second") != std::string::npos, true);
  EXPECT_FALSE(cmtest::path_exists(CM_Trace::file_path()));

  EXPECT_EQ(CM_Trace::close(), 0);
  EXPECT_LT(CM_Trace::close(), 0);
  scope.print(1, "third");
  EXPECT_NE(cmtest::read_file(CM_Trace::file_path()).find("third"), std::string::npos);
}

TEST_F(TraceTest, OverlongPathsGiveNoTraceFile) {
  CM_Trace::set_file(std::string(1000, 'u').c_str(), 1);
  EXPECT_STREQ(CM_Trace::file_path(), "");
  setenv("TAPIR_LOG_DIR", (home.path() + "/" + std::string(1100, 'l')).c_str(), 1);
  CM_Trace::set_file("ann", 1);
  EXPECT_STREQ(CM_Trace::file_path(), "");
  CM_Trace::configure("CMMR", 5);
  CM_TraceScope scope("CMMR", "C", "m");
  scope.print_always("nowhere");
  EXPECT_LT(CM_Trace::close(), 0);
}

TEST_F(TraceTest, UnwritableLogFolderIsSilent) {
  setenv("TAPIR_LOG_DIR", "/proc/no-such-place", 1);
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  traced_method("CMMR");
  EXPECT_FALSE(cmtest::path_exists(CM_Trace::file_path()));
  EXPECT_LT(CM_Trace::close(), 0);
}

TEST_F(TraceTest, BatchedLinesReachTheFileWholeAndInOrderWhenTheOutermostBatchEnds) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  CM_TraceScope scope("CMMR", "C", nullptr);
  // Enough lines to pass the batch's write size several times over.
  const std::string filler(200, 'f');
  const int count = 1500;
  {
    CM_TraceBatch outer;
    {
      CM_TraceBatch inner;
      for (int i = 0; i < count; ++i) scope.print(1, "%d %s", i, filler.c_str());
    }
    scope.print(1, "after the inner batch");
    // Whatever was written so far is whole lines only.
    const std::string partial = cmtest::read_file(CM_Trace::file_path());
    EXPECT_TRUE(partial.empty() || partial.back() == '\n');
    EXPECT_EQ(std::string::npos, partial.find("after the inner batch"));
  }
  std::vector<std::string> got = bodies();
  ASSERT_EQ(got.size(), static_cast<size_t>(count) + 1);
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(got[i], "CMMR::C::::" + std::to_string(i) + " " + filler) << i;
  EXPECT_EQ(got[count], "CMMR::C::::after the inner batch");

  // Outside a batch every line is in the file at once; closing writes a batch's lines too.
  scope.print(1, "unbatched");
  EXPECT_EQ(bodies().back(), "CMMR::C::::unbatched");
  CM_TraceBatch batch;
  scope.print(1, "closed in a batch");
  CM_Trace::close();
  EXPECT_EQ(bodies().back(), "CMMR::C::::closed in a batch");
}

// The trace holds session cookies: a planted name is passed over, never followed or appended to.
TEST_F(TraceTest, UnsafeFilesAtTheTraceNameAreLeftAloneForAFreshName) {
  const std::string victim = home.path() + "/victim";
  struct Case {
    const char* name;
    int (*plant)(const std::string& at, const std::string& victim);
  };
  const Case cases[] = {
      {"symbolic link",
       [](const std::string& at, const std::string& v) { return symlink(v.c_str(), at.c_str()); }},
      {"fifo", [](const std::string& at, const std::string&) { return mkfifo(at.c_str(), 0666); }},
      {"file of another user",
       [](const std::string& at, const std::string&) {
         cmtest::write_file(at, "theirs\n");
         return geteuid() == 0 ? chown(at.c_str(), 12345, 12345) : -1;
       }},
  };
  int pid = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cmtest::write_file(victim, "precious\n");
    CM_Trace::reset();
    CM_Trace::set_file("ann", ++pid);
    CM_Trace::configure("CMMR", 5);
    const std::string planted = CM_Trace::file_path();
    ASSERT_FALSE(planted.empty());
    if (c.plant(planted, victim) != 0) {
      ADD_FAILURE() << "could not plant (needs root for chown)";
      continue;
    }
    CM_TraceScope("CMMR", "C", nullptr).print_always("secret cookie");
    EXPECT_EQ(cmtest::read_file(victim), "precious\n");
    const std::string used = CM_Trace::file_path();
    EXPECT_EQ(used, planted.substr(0, planted.size() - 4) + "_1.log");
    EXPECT_NE(cmtest::read_file(used).find("secret cookie"), std::string::npos);
    struct stat st;
    ASSERT_EQ(0, stat(used.c_str(), &st));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_F(TraceTest, TheUsersOwnFileIsAppendedTo) {
  CM_Trace::set_file("ann", 7);
  CM_Trace::configure("CMMR", 5);
  const std::string path = CM_Trace::file_path();
  cmtest::write_file(path, "earlier\n");
  CM_TraceScope("CMMR", "C", nullptr).print_always("later");
  EXPECT_EQ(CM_Trace::file_path(), path);
  const std::string text = cmtest::read_file(path);
  EXPECT_EQ(text.rfind("earlier\n", 0), 0u);
  EXPECT_NE(text.find("later"), std::string::npos);
}

TEST_F(TraceTest, FoldersOpenToOthersOrOfAnotherUserAreNotUsed) {
  const std::string user_dir = home.log_dir() + "/cmmr_trace/ann";
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + user_dir + "' && chmod 0777 '" + user_dir + "'"));
  testing::internal::CaptureStderr();
  CM_Trace::set_file("ann", 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("writable by other users"),
            std::string::npos);
  EXPECT_STREQ(CM_Trace::file_path(), "");

  if (geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
  ASSERT_EQ(0, chmod(user_dir.c_str(), 0700));
  ASSERT_EQ(0, chown(user_dir.c_str(), 12345, 12345));
  testing::internal::CaptureStderr();
  CM_Trace::set_file("ann", 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("owned by another user"),
            std::string::npos);
  EXPECT_STREQ(CM_Trace::file_path(), "");
}

// The lines written without printf, in a burst of shared clock readings or not, read exactly as
// print_always would write them, up to the cut of a long text.
TEST_F(TraceTest, JoinedPiecesReadAsPrintAlways) {
  CM_Trace::set_file("ann", 1);
  const std::string long_id(3000, 'r');
  using Pieces = std::array<const char*, 5>;
  const Pieces rows[] = {
      {"Size of list for ", "MR00042", " = ", "3", ""},
      {"Associate", " ", "MR1", " with ", ""},
      {"Disassociate", " ", nullptr, " with ", "a@@/main/1"},
      {"Size of list for ", long_id.c_str(), " = ", "1", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  CM_TraceScope scope("CMMR", "CM_MRProvider", "dump_action_map");
  for (bool burst : {false, true}) {
    std::unique_ptr<CM_TraceBurst> held(burst ? new CM_TraceBurst : nullptr);
    for (const Pieces& p : rows) {
      std::string joined;
      for (const char* piece : p) joined += piece ? piece : "";
      scope.print_always("%s", joined.c_str());
      scope.print_always_joined({p[0], p[1], p[2], p[3], p[4]});
    }
  }
  const std::vector<std::string> got = bodies();
  ASSERT_EQ(got.size(), 2 * 2 * std::size(rows));
  for (size_t i = 0; i < got.size(); i += 2) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i + 1], got[i]);
  }
  EXPECT_EQ(got[6].size(), std::string("CMMR::CM_MRProvider::dump_action_map::").size() + 2047);
  for (const std::string& line : lines())
    EXPECT_TRUE(shaped("@ ##,#### ##:##:##.###::", line.substr(0, 26))) << line;
}

// A scope remembers its line prefix; the next scope at the same address has names of its own.
TEST_F(TraceTest, EachScopeWritesItsOwnNames) {
  CM_Trace::set_file("ann", 1);
  CM_Trace::configure("CMMR", 5);
  const char* const methods[] = {"first", "second"};
  for (const char* method : methods) {
    CM_TraceScope scope("CMMR", method, method);
    scope.print(1, "own");
    scope.print_as("other", "as");
    scope.print_always_joined({"joined"});
  }
  const std::vector<std::string> want = {
      "CMMR::first::first::Entering", "CMMR::first::first::own",
      "CMMR::first::other::as",       "CMMR::first::first::joined",
      "CMMR::first::first::Exiting",  "CMMR::second::second::Entering",
      "CMMR::second::second::own",    "CMMR::second::other::as",
      "CMMR::second::second::joined", "CMMR::second::second::Exiting",
  };
  EXPECT_EQ(bodies(), want);
}
