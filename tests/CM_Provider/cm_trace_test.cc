#include "CM_Provider/cm_trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CM_Provider/cm_messages.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

using Lines = std::vector<std::string>;

class TraceTest : public testing::Test {
 protected:
  void TearDown() override { CM_Trace::reset(); }
  void start(const char* subsystems = "CMMR", int level = 5, int pid = 1,
             const char* user = "ann") {
    CM_Trace::reset();
    CM_Trace::set_file(user, pid);
    CM_Trace::configure(subsystems, level);
  }
  // The "tag::class::method::text" part of every line, each line checked for its stamp.
  static Lines bodies(const std::string& path = CM_Trace::file_path()) {
    static const std::regex stamp(
        "^(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d\\d,\\d{4} "
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3}::TRACE::");
    Lines out;
    std::stringstream in(cmtest::read_file(path));
    for (std::string l; std::getline(in, l);) {
      EXPECT_TRUE(l.empty() || std::regex_search(l, stamp)) << l;
      out.push_back(l.substr(std::min(l.size(), l.find("::TRACE::") + 9)));
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
  for (const char* user : {"ann", "", static_cast<const char*>(nullptr)}) {
    CM_Trace::set_file(user, 4312);
    const std::string path = CM_Trace::file_path();
    const std::string want = dir + (user && *user ? "ann/cmmr_ann" : "cmmr");
    EXPECT_TRUE(std::regex_match(path, std::regex(want + "_d\\d{6}_t\\d{6}_p4312\\.log"))) << path;
    EXPECT_FALSE(cmtest::path_exists(path));  // opened at the first line only
  }
  EXPECT_EQ(0700u, mode_of(dir + "ann"));
}

TEST_F(TraceTest, OnlyListedTagsUpToTheLevelReachTheFileUnderEachScopesNames) {
  start("::CMMR:CMOSLC::cmmr:CMMRX:", 3);
  for (const char* tag : {"CMMR", "CMOSLC", "CM_MR", "", static_cast<const char*>(nullptr)})
    traced_method(tag);
  { CM_TraceScope without_method("CMMR", "C"); }
  Lines want;
  for (const std::string p : {"CMMR::C::m::", "CMOSLC::C::m::"})
    for (const char* s : {"Entering", "detail 1", "detail 2", "detail 3", "Exiting"})
      want.push_back(p + s);
  EXPECT_EQ(bodies(), want);
  EXPECT_EQ(0600u, mode_of(CM_Trace::file_path()));  // made at its first-choice name
  CM_Trace::configure(nullptr, 5);
  EXPECT_FALSE(CM_TraceScope("CMMR", "A", nullptr).is_enabled(1));
  CM_Trace::configure("CMMR", 0);
  EXPECT_FALSE(CM_TraceScope("CMMR", "A", nullptr).is_enabled(1));
  // A scope that lives through changes of the list follows each of them.
  {
    CM_TraceScope lasting("CMOSLC", "A", nullptr);
    const std::pair<const char*, bool> lists[] = {
        {"CMMR", false}, {"CMMR:CMOSLC", true}, {"CMOSLCX:CMOS", false}, {"CMOSLC", true}};
    for (const auto& list : lists) {
      CM_Trace::configure(list.first, 2);
      EXPECT_EQ(lasting.is_enabled(2), list.second) << list.first;
      EXPECT_FALSE(lasting.is_enabled(3)) << list.first;
    }
    CM_Trace::reset();
    EXPECT_FALSE(lasting.is_enabled(1));
  }

  // A scope remembers its line prefix: the next one at the same address has names of its own.
  start("CMMR", 5, 2);
  for (const char* name : {"first", "second"}) {
    CM_TraceScope scope("CMMR", name, name);
    scope.print(2, "value %s\n", name);
    scope.print_as("other", "as %d", 1);
    scope.print(1, "%s", std::string(5000, 'x').c_str());
  }
  want.clear();
  for (const std::string n : {"first", "second"}) {
    const std::string p = "CMMR::" + n + "::";
    want.insert(want.end(), {p + n + "::Entering", p + n + "::value " + n, "", p + "other::as 1",
                             p + n + "::" + std::string(2047, 'x'), p + n + "::Exiting"});
  }
  EXPECT_EQ(bodies(), want);
}

TEST_F(TraceTest, PrintAlwaysNeedsOnlyAPathAndAnOpenFileOutlivesALaterSetFile) {
  CM_TraceScope scope("CMMR", "C", "add");
  scope.print_always("before %s", "set_file");
  EXPECT_STREQ(CM_Trace::file_path(), "");
  CM_Trace::set_file("ann", 1);  // no configure: level 0, no tags
  scope.print(1, "filtered");
  scope.print_always("list %d", 2);
  const std::string first = CM_Trace::file_path();
  CM_Trace::set_file("bob", 2);
  scope.print_always("second");
  EXPECT_EQ(bodies(first), (Lines{"CMMR::C::add::list 2", "CMMR::C::add::second"}));
  EXPECT_EQ(CM_Trace::close(), 0);  // closing with no file open: the unusable-folder rows
  scope.print_always("third");
  EXPECT_EQ(bodies(), Lines{"CMMR::C::add::third"});
}

// A folder open to others or of another user is not used, and says why.
TEST_F(TraceTest, NoTraceFileWhenThePathIsTooLongOrTheFolderUnusable) {
  const std::string dir = cmtest::shell_quote(home.log_dir() + "/cmmr_trace/ann");
  const struct {
    std::string user, log_dir, setup, cause;
  } cases[] = {{std::string(1000, 'u'), home.log_dir(), "true", ""},
               {"ann", home.path() + "/" + std::string(1100, 'l'), "true", ""},
               {"ann", "/proc/no-such-place", "true", ""},
               {"ann", home.log_dir(), "mkdir -p " + dir + " && chmod 0777 " + dir,
                "writable by other users"},
               {"ann", home.log_dir(), "chmod 0700 " + dir + " && chown 12345 " + dir,
                "owned by another user"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup);
    if (&c == &cases[4] && geteuid() != 0) GTEST_SKIP() << "changing the owner needs root";
    cmtest::ScopedEnv log_dir("TAPIR_LOG_DIR", c.log_dir.c_str());
    ASSERT_EQ(0, cmtest::run_command(c.setup));
    cmtest::StderrCapture err;
    start("CMMR", 5, 1, c.user.c_str());
    traced_method("CMMR");
    EXPECT_NE(err.text().find(c.cause), std::string::npos) << err.text();
    EXPECT_FALSE(cmtest::path_exists(CM_Trace::file_path())) << CM_Trace::file_path();
    EXPECT_LT(CM_Trace::close(), 0);
  }
}

TEST_F(TraceTest, BatchedLinesReachTheFileWholeAndInOrderWhenTheOutermostBatchEnds) {
  start();
  CM_TraceScope scope("CMMR", "C", nullptr);
  const std::string filler(200, 'f');  // 1500 lines pass the batch's write size several times
  Lines want;
  {
    CM_TraceBatch outer;
    {
      CM_TraceBatch inner;
      for (int i = 0; i < 1500; ++i) {
        scope.print(1, "%d %s", i, filler.c_str());
        want.push_back("CMMR::C::::" + std::to_string(i) + " " + filler);
      }
    }
    scope.print(1, "after the inner batch");
    const std::string partial = cmtest::read_file(CM_Trace::file_path());
    EXPECT_TRUE(partial.empty() || partial.back() == '\n');  // whole lines only
    EXPECT_EQ(std::string::npos, partial.find("after the inner batch"));
  }
  want.push_back("CMMR::C::::after the inner batch");
  EXPECT_EQ(bodies(), want);
  CM_TraceBatch batch;
  scope.print(1, "closed in a batch");
  CM_Trace::close();  // closing writes a batch's lines too
  EXPECT_EQ(bodies().back(), "CMMR::C::::closed in a batch");
}

// The trace holds session cookies: a planted name is passed over, never followed or appended to;
// the user's own file is appended to.
TEST_F(TraceTest, OnlyTheUsersOwnFileAtTheTraceNameIsUsed) {
  const std::string victim = home.path() + "/victim";
  // Shell commands planting something at "$f" (another user's file needs root for chown).
  const std::string plants[] = {"echo own >\"$f\"",
                                "ln -s " + cmtest::shell_quote(victim) + " \"$f\"", "mkfifo \"$f\"",
                                "echo theirs >\"$f\" && chown 12345:12345 \"$f\""};
  for (int pid = 0; pid < 4; ++pid) {
    SCOPED_TRACE(plants[pid]);
    cmtest::write_file(victim, "precious\n");
    start("CMMR", 5, pid);
    const std::string planted = CM_Trace::file_path();
    ASSERT_EQ(0, cmtest::run_command("f=" + cmtest::shell_quote(planted) + "; " + plants[pid]));
    CM_TraceScope("CMMR", "C", nullptr).print_always("secret cookie");
    EXPECT_EQ(cmtest::read_file(victim), "precious\n");
    const std::string used = CM_Trace::file_path();
    EXPECT_EQ(used, pid == 0 ? planted : planted.substr(0, planted.size() - 4) + "_1.log");
    EXPECT_EQ(cmtest::read_file(used).substr(0, 4) == "own\n", pid == 0);
    EXPECT_NE(cmtest::read_file(used).find("secret cookie"), std::string::npos);
    if (pid) EXPECT_EQ(0600u, mode_of(used));
  }
}

// Writes print(1, format, args...) and returns what snprintf makes of the same text.
template <typename... Args>
std::string print_and_snprintf(const CM_TraceScope& scope, const std::string& format,
                               Args... args) {
  char text[2048];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  scope.print(1, format.c_str(), args...);
  std::snprintf(text, sizeof text, format.c_str(), args...);
#pragma GCC diagnostic pop
  return text;
}

// Details read exactly as printf writes them, cut at the same length, whatever the conversions.
TEST_F(TraceTest, DetailTextsReadAsPrintfWritesThem) {
  start("CMMR", 1);
  CM_TraceScope scope("CMMR", "C", nullptr);
  const std::string long_text(3000, 'l'), fill(2043, 'f');
  const std::string wants[] = {
      print_and_snprintf(scope, "plain"),
      print_and_snprintf(scope, "%s, %s and %s", "one", "", long_text.c_str()),
      print_and_snprintf(scope, "%d %d %d %u", 0, INT_MIN, INT_MAX, UINT_MAX),
      print_and_snprintf(scope, "%ld %ld %lu %zu", LONG_MIN, -7L, ULONG_MAX, SIZE_MAX),
      print_and_snprintf(scope, "100%% of %s%%", "it"),
      print_and_snprintf(scope, fill + "%d", -123456),  // cut inside the number
      print_and_snprintf(scope, fill + "%%%%%s", "xyz"),
      print_and_snprintf(scope, "%s|%s", "a", static_cast<const char*>(nullptr)),
      print_and_snprintf(scope, "%5d|%-4s|%.2s|%c|%x|%lld", 7, "ab", "xyz", 'q', 255, 1LL << 40),
      print_and_snprintf(scope, "%p %s", static_cast<void*>(&scope), "after a pointer")};
  Lines want;
  for (const std::string& text : wants) want.push_back("CMMR::C::::" + text);
  EXPECT_EQ(bodies(), want);
  EXPECT_EQ(want[1].size(), std::string("CMMR::C::::").size() + 2047);
}

// The lines written without printf, in a burst of shared clock readings or not, read exactly as
// print_always would write them, up to the cut of a long text.
TEST_F(TraceTest, JoinedPiecesReadAsPrintAlways) {
  CM_Trace::set_file("ann", 1);
  const std::string long_id(3000, 'r');
  const char* const rows[][5] = {{"Size of list for ", "MR00042", " = ", "3", ""},
                                 {"Disassociate", " ", nullptr, " with ", "a@@/main/1"},
                                 {"Size of list for ", long_id.c_str(), " = ", "1", nullptr}};
  CM_TraceScope scope("CMMR", "CM_MRProvider", "dump");
  for (bool burst : {false, true}) {
    std::unique_ptr<CM_TraceBurst> held(burst ? new CM_TraceBurst : nullptr);
    for (const auto& p : rows) {
      std::string joined;
      for (const char* piece : p) joined += piece ? piece : "";
      scope.print_always("%s", joined.c_str());
      scope.print_always_joined({p[0], p[1], p[2], p[3], p[4]});
    }
  }
  const Lines got = bodies();
  ASSERT_EQ(got.size(), 12u);
  for (size_t i = 0; i < got.size(); i += 2) EXPECT_EQ(got[i + 1], got[i]) << i;
  EXPECT_EQ(got[4].size(), std::string("CMMR::CM_MRProvider::dump::").size() + 2047);
}

// What the plug-in prints besides its trace: message texts, its version line, internal errors.
const imsg_table* mr() { return _cm_mr_CM_Oslc_msg_table_adr(); }
const imsg_table* oslc() { return _cm_oslc_CM_Oslc_msg_table_adr(); }

// The formatter's result is the table's text with the arguments put in, whatever the text says.
TEST(Messages, PutArgumentsIntoTheTablesTextOrFallBackAndInternalErrorsSayWhere) {
  char want[512];
  std::snprintf(want, sizeof want, oslc()->texts[0], 7, "refused");
  EXPECT_EQ(want, format_message(oslc(), 0, 7, "refused"));
  std::snprintf(want, sizeof want, mr()->texts[20], 12L, -3L, "bad");
  EXPECT_EQ(want, format_message(mr(), 20, 12L, -3L, "bad"));
  const std::pair<const imsg_table*, int> missing[] = {
      {mr(), mr()->count}, {oslc(), 5000}, {mr(), -2}, {nullptr, 0}};
  for (const auto& m : missing)
    EXPECT_EQ("Internal error: could not load message " + std::to_string(m.second),
              format_message(m.first, m.second));
  // Up to one byte short of the 153600-byte buffer the text is whole; from there on it is refused.
  const size_t limit = 153600, fixed = format_message(mr(), 4, "").size();
  const std::string text = format_message(mr(), 4, std::string(limit - 1 - fixed, 'p').c_str());
  EXPECT_EQ(limit - 1, text.size());
  EXPECT_EQ(format_message(mr(), 4, "").back(), text.back());
  EXPECT_EQ("Internal error: message 4 is too long",
            format_message(mr(), 4, std::string(limit - fixed, 'p').c_str()));
  // An internal error names component, file and line on one line.
  testing::internal::CaptureStderr();
  cm_internal_error("lib/CM_Provider/CM_Oslc/cm_rest_uri", 4711);
  const std::string error = testing::internal::GetCapturedStderr();
  for (const char* part : {"cmioslc", "lib/CM_Provider/CM_Oslc/cm_rest_uri", "4711"})
    EXPECT_NE(std::string::npos, error.find(part)) << error;
  EXPECT_EQ(error.find('\n'), error.size() - 1) << error;
}

}  // namespace
