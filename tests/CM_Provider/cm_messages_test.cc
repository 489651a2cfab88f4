#include "CM_Provider/cm_messages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

const imsg_table* mr() { return _cm_mr_CM_Oslc_msg_table_adr(); }
const imsg_table* oslc() { return _cm_oslc_CM_Oslc_msg_table_adr(); }

// The host walks a table by its ids up to the terminating 0; each text is one line.
TEST(MessageTables, IdsRunFromOneToTheEndMarkerAndTextsAreLines) {
  for (const imsg_table* t : {mr(), oslc()}) {
    SCOPED_TRACE(t->facility);
    for (int i = 0; i < t->count; ++i) {
      EXPECT_EQ(i + 1, t->ids[i]);
      const std::string text = t->texts[i];
      const size_t feed = text.find('\n');
      EXPECT_TRUE(feed == std::string::npos || feed == text.size() - 1) << i;
    }
    EXPECT_EQ(0, t->ids[t->count]);
  }
}

// The formatter's result is the table's text with the arguments put in, whatever the text says.
TEST(FormatMessage, PutsArgumentsIntoTheTablesText) {
  char want[512];
  std::snprintf(want, sizeof want, mr()->texts[4], "/home/u/.jar");
  EXPECT_EQ(want, format_message(mr(), 4, "/home/u/.jar"));
  std::snprintf(want, sizeof want, oslc()->texts[0], 7, "refused");
  EXPECT_EQ(want, format_message(oslc(), 0, 7, "refused"));
  std::snprintf(want, sizeof want, mr()->texts[20], 12L, -3L, "bad");
  EXPECT_EQ(want, format_message(mr(), 20, 12L, -3L, "bad"));
}

TEST(FormatMessage, MissingAndOverlongMessagesFallBack) {
  const struct {
    const imsg_table* table;
    int number;
  } missing[] = {{mr(), mr()->count}, {oslc(), 5000}, {mr(), -2}, {nullptr, 0}};
  for (const auto& m : missing) {
    EXPECT_EQ("Internal error: could not load message " + std::to_string(m.number),
              format_message(m.table, m.number));
  }
  // Up to one byte short of the 153600-byte buffer the text is whole; from there on it is refused.
  const size_t limit = 153600;
  const size_t fixed = format_message(mr(), 4, "").size();
  const std::string fits(limit - 1 - fixed, 'p');
  const std::string text = format_message(mr(), 4, fits.c_str());
  EXPECT_EQ(limit - 1, text.size());
  EXPECT_EQ(format_message(mr(), 4, "").back(), text.back());
  const std::string exact(limit - fixed, 'p');
  EXPECT_EQ("Internal error: message 4 is too long", format_message(mr(), 4, exact.c_str()));
}

TEST(VersionLine, NamePaddedVersionAndAsctimeStamp) {
  std::ifstream in(std::string(CM_SOURCE_DIR) + "/CMakeLists.txt");
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::smatch version;
  ASSERT_TRUE(std::regex_search(text, version, std::regex("project\\([^)]* VERSION ([0-9.]+)")));
  testing::internal::CaptureStdout();
  libcmmrv1_0_print_verid();
  const std::string line = testing::internal::GetCapturedStdout();
  const std::string stamp =
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|"
      "Oct|Nov|Dec) [ 123][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";
  EXPECT_TRUE(std::regex_match(
      line, std::regex("libcmmrv1_0 {23}" + version[1].str() + " \\(" + stamp + "\\)\n")))
      << line;
}

TEST(InternalError, NamesComponentFileAndLine) {
  testing::internal::CaptureStderr();
  cm_internal_error("lib/CM_Provider/CM_Oslc/cm_rest_uri", 4711);
  const std::string line = testing::internal::GetCapturedStderr();
  for (const char* part : {"cmioslc", "lib/CM_Provider/CM_Oslc/cm_rest_uri", "4711"})
    EXPECT_NE(std::string::npos, line.find(part)) << line;
  EXPECT_EQ('\n', line.back());
}

}  // namespace
