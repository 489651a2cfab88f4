#include "CM_Provider/cm_trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_home.h"

namespace {

const char kStamp[] =
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d\\d,\\d{4} "
    "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}::TRACE::";

class TraceTest : public testing::Test {
 protected:
  void SetUp() override { CM_Trace::reset(); }
  void TearDown() override { CM_Trace::reset(); }
  void start(const char* subsystems = "CMMR", int level = 5) {
    CM_Trace::set_file("ann", 1);
    CM_Trace::configure(subsystems, level);
  }
  // The "tag::class::method::text" part of every line written so far.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    std::stringstream in(cmtest::read_file(CM_Trace::file_path()));
    for (std::string l; std::getline(in, l);) {
      const size_t at = l.find("::TRACE::");
      out.push_back(at == std::string::npos ? l : l.substr(at + 9));
    }
    return out;
  }
  static unsigned mode_of(const std::string& path) {
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }

  cmtest::TempHome home;
};

void traced_method(const char* tag) {
  CM_TraceScope scope(tag, "C", "m");
  for (int level = 1; level <= 5; ++level) scope.print(level, "detail %d", level);
}

TEST_F(TraceTest, FileNameCarriesUserDateAndProcessInAPrivateFolder) {
  const std::string dir = home.log_dir() + "/cmmr_trace/";
  const std::pair<const char*, std::string> cases[] = {
      {"ann", dir + "ann/cmmr_ann"}, {nullptr, dir + "cmmr"}, {"", dir + "cmmr"}};
  for (const auto& c : cases) {
    CM_Trace::set_file(c.first, 4312);
    const std::string path = CM_Trace::file_path();
    EXPECT_TRUE(std::regex_match(path, std::regex(c.second + "_d\\d{6}_t\\d{6}_p4312\\.log")))
        << path;
    EXPECT_FALSE(cmtest::path_exists(path));  // opened at the first line only
  }
  EXPECT_EQ(0700u, mode_of(dir + "ann"));
}

TEST_F(TraceTest, LinesCarryStampTagClassMethodAndText) {
  CM_TraceScope scope("CMMR", "CM_MRProvider", "initialize");
  for (int i = 0; i < 200; ++i) {  // milliseconds take three digits, whatever the moment
    char* line = CM_Trace::format_line(&scope, "initialize", "Entering");
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(std::regex_match(
        line, std::regex(std::string(kStamp) + "CMMR::CM_MRProvider::initialize::Entering\n")))
        << line;
    free(line);
  }
}

TEST_F(TraceTest, OnlyListedTagsUpToTheLevelReachTheFile) {
  start("::CMMR:CMOSLC::cmmr:CMMRX:", 3);
  traced_method("CMMR");
  traced_method("CMOSLC");
  traced_method("CM_MR");
  traced_method("");
  traced_method(nullptr);
  { CM_TraceScope without_method("CMMR", "C"); }
  std::vector<std::string> want;
  for (const std::string p : {"CMMR::C::m::", "CMOSLC::C::m::"})
    want.insert(want.end(),
                {p + "Entering", p + "detail 1", p + "detail 2", p + "detail 3", p + "Exiting"});
  EXPECT_EQ(bodies(), want);
  EXPECT_EQ(0600u, mode_of(CM_Trace::file_path()));
  CM_Trace::configure(nullptr, 5);
  EXPECT_FALSE(CM_TraceScope("CMMR", "A", nullptr).is_enabled(1));
  CM_Trace::configure("CMMR", 0);
  EXPECT_FALSE(CM_TraceScope("CMMR", "A", nullptr).is_enabled(1));
}

TEST_F(TraceTest, DetailsAsAnotherMethodEndingInALineFeedOrTooLong) {
  start();
  {
    CM_TraceScope scope("CMMR", "CM_Session", "get_cookie");
    scope.print(2, "value %s\n", "abc");
    scope.print_as("other", "as %d", 1);
    scope.print(1, "%s", std::string(5000, 'x').c_str());
  }
  const std::vector<std::string> want = {"CMMR::CM_Session::get_cookie::Entering",
                                         "CMMR::CM_Session::get_cookie::value abc",
                                         "",
                                         "CMMR::CM_Session::other::as 1",
                                         "CMMR::CM_Session::get_cookie::" + std::string(2047, 'x'),
                                         "CMMR::CM_Session::get_cookie::Exiting"};
  EXPECT_EQ(bodies(), want);
}

TEST_F(TraceTest, PrintAlwaysNeedsOnlyAPath) {
  CM_TraceScope scope("CMMR", "CM_MRCredential", "add");
  scope.print_always("before %s", "set_file");
  EXPECT_STREQ(CM_Trace::file_path(), "");
  CM_Trace::set_file("ann", 1);  // no configure: level 0, no tags
  scope.print(1, "filtered");
  scope.print_always("Size of list for %s = %d", "42", 2);
  EXPECT_EQ(bodies(),
            std::vector<std::string>{"CMMR::CM_MRCredential::add::Size of list for 42 = 2"});
}

TEST_F(TraceTest, OpenFileOutlivesALaterSetFileUntilClosed) {
  start();
  CM_TraceScope scope("CMMR", "C", nullptr);
  scope.print(1, "first");
  const std::string first = CM_Trace::file_path();
  CM_Trace::set_file("bob", 2);
  scope.print(1, "second");
  EXPECT_NE(cmtest::read_file(first).find("second"), std::string::npos);
  EXPECT_EQ(CM_Trace::close(), 0);
  EXPECT_LT(CM_Trace::close(), 0);
  scope.print(1, "third");
  EXPECT_NE(cmtest::read_file(CM_Trace::file_path()).find("third"), std::string::npos);
}

TEST_F(TraceTest, NoTraceFileWhenThePathIsTooLongOrTheFolderUnusable) {
  const std::string long_dir = home.path() + "/" + std::string(1100, 'l');
  const std::pair<std::string, const char*> cases[] = {
      {std::string(1000, 'u'), nullptr}, {"ann", long_dir.c_str()}, {"ann", "/proc/no-such-place"}};
  for (const auto& c : cases) {
    cmtest::ScopedEnv log_dir("TAPIR_LOG_DIR", c.second ? c.second : home.log_dir().c_str());
    CM_Trace::reset();
    CM_Trace::set_file(c.first.c_str(), 1);
    CM_Trace::configure("CMMR", 5);
    traced_method("CMMR");
    EXPECT_FALSE(cmtest::path_exists(CM_Trace::file_path())) << CM_Trace::file_path();
    EXPECT_LT(CM_Trace::close(), 0);
  }
}

TEST_F(TraceTest, BatchedLinesReachTheFileWholeAndInOrderWhenTheOutermostBatchEnds) {
  start();
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

// The trace holds session cookies: a planted name is passed over, never followed or appended to;
// the user's own file is appended to.
TEST_F(TraceTest, OnlyTheUsersOwnFileAtTheTraceNameIsUsed) {
  const std::string victim = home.path() + "/victim";
  const struct {
    const char* name;
    int (*plant)(const std::string& at, const std::string& victim);
  } cases[] = {
      {"own file",
       [](const std::string& at, const std::string&) {
         cmtest::write_file(at, "earlier\n");
         return 0;
       }},
      {"symbolic link",
       [](const std::string& at, const std::string& v) { return symlink(v.c_str(), at.c_str()); }},
      {"fifo", [](const std::string& at, const std::string&) { return mkfifo(at.c_str(), 0666); }},
      {"file of another user", [](const std::string& at, const std::string&) {
         cmtest::write_file(at, "theirs\n");
         return geteuid() == 0 ? chown(at.c_str(), 12345, 12345) : -1;
       }}};
  int pid = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cmtest::write_file(victim, "precious\n");
    CM_Trace::reset();
    CM_Trace::set_file("ann", ++pid);
    CM_Trace::configure("CMMR", 5);
    const std::string planted = CM_Trace::file_path();
    ASSERT_EQ(0, c.plant(planted, victim)) << "could not plant (needs root for chown)";
    CM_TraceScope("CMMR", "C", nullptr).print_always("secret cookie");
    EXPECT_EQ(cmtest::read_file(victim), "precious\n");
    const std::string used = CM_Trace::file_path();
    const bool own = pid == 101;
    EXPECT_EQ(used, own ? planted : planted.substr(0, planted.size() - 4) + "_1.log");
    EXPECT_EQ(own, cmtest::read_file(used).rfind("earlier\n", 0) == 0);
    EXPECT_NE(cmtest::read_file(used).find("secret cookie"), std::string::npos);
    if (!own) EXPECT_EQ(0600u, mode_of(used));
  }
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
  std::stringstream in(cmtest::read_file(CM_Trace::file_path()));
  const std::regex stamped(std::string("^") + kStamp);
  for (std::string line; std::getline(in, line);)
    EXPECT_TRUE(std::regex_search(line, stamped)) << line;
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

}  // namespace
