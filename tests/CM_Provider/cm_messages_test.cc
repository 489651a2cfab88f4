#include "CM_Provider/cm_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const imsg_table* mr() { return _cm_mr_CM_Oslc_msg_table_adr(); }
const imsg_table* oslc() { return _cm_oslc_CM_Oslc_msg_table_adr(); }

TEST(MessageTables, RecordsDescribeTheirTables) {
  struct Expect {
    const imsg_table* table;
    const char* facility;
    int number;
    int count;
  };
  for (const Expect& e : {Expect{mr(), "cm_mr", 1, 39}, Expect{oslc(), "cm_oslc", 2, 33}}) {
    ASSERT_NE(nullptr, e.table);
    EXPECT_STREQ("CM_Oslc_CM_Provider", e.table->catalog);
    EXPECT_STREQ(e.facility, e.table->facility);
    EXPECT_EQ(e.number, e.table->table_number);
    ASSERT_EQ(e.count, e.table->count);
    EXPECT_EQ(0, e.table->end);
    for (int i = 0; i < e.count; ++i) {
      ASSERT_NE(nullptr, e.table->texts[i]) << e.facility << " " << i;
      EXPECT_EQ(i + 1, e.table->ids[i]) << e.facility << " " << i;
    }
    EXPECT_EQ(0, e.table->ids[e.count]) << e.facility;
  }
  // The address is stable: the host may keep it.
  EXPECT_EQ(mr(), _cm_mr_CM_Oslc_msg_table_adr());
}

TEST(MessageTables, EveryTextIsALineButCommitComplete) {
  // One line feed, at the end, in every text; "Commit already complete" (cm_mr 32) has none.
  for (int i = 0; i < mr()->count; ++i) {
    const std::string text = mr()->texts[i];
    const size_t expected = i == 32 ? std::string::npos : text.size() - 1;
    EXPECT_EQ(expected, text.find('\n')) << "cm_mr " << i;
  }
  for (int i = 0; i < oslc()->count; ++i) {
    const std::string text = oslc()->texts[i];
    EXPECT_EQ(text.size() - 1, text.find('\n')) << "cm_oslc " << i;
  }
}

TEST(MessageTables, SpotChecksByNumber) {
  EXPECT_STREQ("Format error or missing data in provider context.\n", mr()->texts[0]);
  EXPECT_STREQ("Out of memory.\n", mr()->texts[2]);
  EXPECT_STREQ(
      "Unable to create a integration cookie jar.  Check permissions for directories in the path "
      "%s, found in your HOME directory.\n",
      mr()->texts[3]);
  EXPECT_STREQ("Xerces SAXParseException: line: %ld, column: %ld, msg: %s.\n", mr()->texts[20]);
  EXPECT_STREQ("Associate action failed \"%s\" \"%s\" \"%s\" (\"%s\").\n", mr()->texts[26]);
  // Two blanks after "failed" in the disassociate text, one in the associate text.
  EXPECT_STREQ("Disassociate action failed  \"%s\" \"%s\" \"%s\" (\"%s\").\n", mr()->texts[27]);
  EXPECT_STREQ("Merrow record \"%s\" not found.\n", mr()->texts[29]);
  EXPECT_STREQ("Commit already complete for \"%s\".", mr()->texts[32]);

  EXPECT_STREQ("CURL returned status code, \"%i\", and the following message: \"%s\".\n",
               oslc()->texts[0]);
  EXPECT_STREQ("The requested resource was not found.\n", oslc()->texts[6]);
  EXPECT_STREQ(
      "Internal Error: Failed to convert Xerces to native character encoding. Size of XMLCh does "
      "not match UChar.\n",
      oslc()->texts[18]);
  EXPECT_STREQ("Internal error , \"%s\"  \"%d\".\n", oslc()->texts[29]);
  EXPECT_STREQ("Unable to update Integration cookie.\n", oslc()->texts[30]);
}

TEST(FormatMessage, FormatsArgumentsIntoTheText) {
  EXPECT_EQ("Unable to save cookie in /home/u/.jar.\n", format_message(mr(), 4, "/home/u/.jar"));
  EXPECT_EQ("CURL returned status code, \"7\", and the following message: \"refused\".\n",
            format_message(oslc(), 0, 7, "refused"));
  EXPECT_EQ("Xerces SAXParseException: line: 12, column: -3, msg: bad.\n",
            format_message(mr(), 20, 12L, -3L, "bad"));
  EXPECT_EQ("Commit already complete for \"prov\".", format_message(mr(), 32, "prov"));
  EXPECT_EQ("Out of memory.\n", format_message(mr(), 2));
}

TEST(FormatMessage, MissingMessagesFallBack) {
  EXPECT_EQ("Internal error: could not load message 39", format_message(mr(), 39));
  EXPECT_EQ("Internal error: could not load message 33", format_message(oslc(), 33));
  EXPECT_EQ("Internal error: could not load message 5000", format_message(oslc(), 5000));
  EXPECT_EQ("Internal error: could not load message -2", format_message(mr(), -2));
  EXPECT_EQ("Internal error: could not load message 0", format_message(nullptr, 0));
}

TEST(FormatMessage, TextsOfTheBufferSizeOrMoreFallBack) {
  const size_t limit = 153600;
  const size_t fixed = std::strlen("Unable to save cookie in .\n");
  const std::string fits(limit - 1 - fixed, 'p');
  const std::string text = format_message(mr(), 4, fits.c_str());
  EXPECT_EQ(limit - 1, text.size());
  EXPECT_EQ("Unable to save cookie in " + fits + ".\n", text);

  const std::string exact(limit - fixed, 'p');
  EXPECT_EQ("Internal error: message 4 is too long", format_message(mr(), 4, exact.c_str()));
  const std::string huge(4 * limit, 'p');
  EXPECT_EQ("Internal error: message 12 is too long", format_message(oslc(), 12, huge.c_str()));
}

// The VERSION of the project() call in the top-level build file.
std::string project_version() {
  std::ifstream in(std::string(CM_SOURCE_DIR) + "/CMakeLists.txt");
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const size_t project = text.find("project(");
  const size_t version = text.find(" VERSION ", project);
  if (project == std::string::npos || version == std::string::npos) return "";
  const size_t start = version + 9;
  const size_t end = text.find_first_not_of("0123456789.", start);
  return text.substr(start, end - start);
}

// asctime's text without its line feed: "Www Mmm dd hh:mm:ss yyyy", the day blank-padded.
bool is_asctime(const std::string& s) {
  static const std::string days = "SunMonTueWedThuFriSat";
  static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.size() != 24) return false;
  const size_t day = days.find(s.substr(0, 3));
  const size_t month = months.find(s.substr(4, 3));
  if (day == std::string::npos || day % 3 || month == std::string::npos || month % 3) return false;
  auto digit = [&](size_t i) { return s[i] >= '0' && s[i] <= '9'; };
  if (s[3] != ' ' || s[7] != ' ' || s[10] != ' ' || s[13] != ':' || s[16] != ':' || s[19] != ' ')
    return false;
  if (!(s[8] == ' ' || (s[8] >= '1' && s[8] <= '3')) || !digit(9)) return false;
  for (size_t i : {11u, 12u, 14u, 15u, 17u, 18u, 20u, 21u, 22u, 23u})
    if (!digit(i)) return false;
  return true;
}

TEST(VersionLine, NamePaddedVersionAndAsctimeStamp) {
  const std::string version = project_version();
  ASSERT_FALSE(version.empty());
  testing::internal::CaptureStdout();
  libcmmrv1_0_print_verid();
  const std::string line = testing::internal::GetCapturedStdout();
  const std::string head = "libcmmrv1_0" + std::string(23, ' ') + version + " (";
  ASSERT_EQ(head, line.substr(0, head.size())) << line;
  ASSERT_GE(line.size(), head.size() + 2) << line;
  EXPECT_EQ(")\n", line.substr(line.size() - 2));
  EXPECT_TRUE(is_asctime(line.substr(head.size(), line.size() - head.size() - 2))) << line;
}

TEST(InternalError, NamesComponentFileAndLine) {
  testing::internal::CaptureStderr();
  cm_internal_error("lib/CM_Provider/CM_Oslc/cm_rest_uri", 4711);
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, line.find("cmioslc")) << line;
  EXPECT_NE(std::string::npos, line.find("lib/CM_Provider/CM_Oslc/cm_rest_uri")) << line;
  EXPECT_NE(std::string::npos, line.find("4711")) << line;
  EXPECT_EQ('\n', line.back());
}

}  // namespace
