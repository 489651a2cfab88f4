// The platform layer besides files: messages, bounded strings, home folders, the settings store,
// the JSON reader and writer, and SUM_String.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sum_string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/json/cmi_json.h"
#include "platform/ks/ks.h"
#include "platform/nt/nt.h"
#include "platform/tbs/tbs.h"
#include "support/temp_home.h"

namespace {

const char* const kTexts[] = {"zero\n", "hello %s, %d\n", nullptr};
const uint16_t kIds[] = {0, 1, 2};
const imsg_table kTable = {"test", "test", 1, 3, kTexts, kIds, -1};

// "length:text" of a message formatted into a buffer of `size`.
std::string format(size_t size, const void* table, int number, ...) {
  char buf[64] = "#";
  va_list ap;
  va_start(ap, number);
  const int n = imsg_vsprintf(buf, size, table, number, ap);
  va_end(ap);
  return std::to_string(n < 0 ? -1 : n) + ":" + buf;
}

TEST(Messages, FormatCutsButReportsTheFullLengthAndPrintPicksTheStream) {
  EXPECT_EQ(format(64, &kTable, 1, "ann", 7), "13:hello ann, 7\n");
  EXPECT_EQ(format(64, "raw %d", -1, 5), "5:raw 5");
  EXPECT_EQ(format(6, &kTable, 1, "ann", 7), "13:hello");
  // A hole in the table; numbers past either end and no table are the provider's message rows.
  EXPECT_EQ(format(64, &kTable, 2).substr(0, 3), "-1:");
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(imsg_print(IMSG_KIND_ERROR, &kTable, 1, "err", 1), 13);
  EXPECT_EQ(imsg_print(IMSG_KIND_INFO, "%s\n", -1, std::string(3000, 'v').c_str()), 3001);
  EXPECT_LT(imsg_print(IMSG_KIND_ERROR, &kTable, 9), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(3000, 'v') + "\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "hello err, 1\n");
}

TEST(Strutl, BoundedJoinCopyAndCaseStopAtTheLimit) {
  char buf[8];
  EXPECT_EQ(strutl_concat(buf, sizeof buf, 3, "ab", nullptr, "cd"), 0);
  EXPECT_STREQ(buf, "abcd");
  memset(buf, '#', sizeof buf);
  EXPECT_NE(strutl_concat(buf, 6, 3, "abc", "def", "ghi"), 0);
  EXPECT_EQ(std::string(buf, 7), std::string("abcde\0#", 7));
  EXPECT_NE(strutl_cpy_buf(buf, "12345678", sizeof buf), 0);
  EXPECT_EQ(strutl_cpy_buf(buf, "1234567", sizeof buf), 0);
  EXPECT_NE(strutl_cvt_case_string("MiX\xC3\x89", 0, 4, buf), 0);
  EXPECT_STREQ(buf, "mix\xC3");
  EXPECT_NE(strutl_cvt_case_string("aB-zef", 1, 4, buf), 0);
  EXPECT_STREQ(buf, "AB-Z");
}

TEST(UserAndHome, LogFolderAndHomeFollowTheEnvironmentThenTheUsersEntry) {
  cmtest::TempHome home;
  char buf[1024];
  const auto log_dir = [&buf] {
    return tbs_product_log_dir(buf, 0) ? "<refused>" : std::string(buf);
  };
  EXPECT_EQ(log_dir(), home.log_dir());
  setenv("TAPIR_LOG_DIR", "", 1);
  EXPECT_EQ(log_dir(), home.path() + "/.Corvane/log");
  setenv("TAPIR_LOG_DIR", std::string(2000, 'l').c_str(), 1);
  EXPECT_EQ(log_dir(), "<refused>");
  setenv("HOMEPATH", "/users/ann", 1);  // HOMEDRIVE and HOMEPATH come before HOME
  EXPECT_EQ(sysutl_home_dir(), "/users/ann");
  setenv("HOMEDRIVE", "/mnt", 1);
  EXPECT_EQ(sysutl_home_dir(), "/mnt/users/ann");
  unsetenv("HOMEPATH");
  EXPECT_EQ(sysutl_home_dir(), "/mnt");
  unsetenv("HOMEDRIVE");
  unsetenv("HOME");
  EXPECT_GT(sysutl_home_dir().GetLength(), 0);  // the passwd entry answers last
  EXPECT_EQ(credutl_getusid(5, 0), static_cast<long>(geteuid()));
  EXPECT_GT(sysutl_usid_to_user(credutl_getusid(7, 0)).GetLength(), 0);
}

const char kKey[] = "Software/Corvane/Tarnwell/Tarnwell Tapir";

int put(const char* name, const std::string& value, const char* key = kKey,
        int hive = NTREGY_CURRENT_USER) {
  ntregy_key handle = nullptr;
  const int rc = ntregy_create_value(hive, key, name, value.data(), static_cast<int>(value.size()),
                                     1, &handle);
  ntregy_close_key(handle);
  return rc;
}

// The value, or "<refused>" when it cannot be read into `size` bytes.
std::string get(const char* name, int size = 128, int hive = NTREGY_CURRENT_USER) {
  char buf[512];
  ntregy_key handle = nullptr;
  const int rc = ntregy_get_value(hive, kKey, name, buf, size, &handle);
  EXPECT_EQ(rc == 0, handle != nullptr);
  ntregy_close_key(handle);
  return rc == 0 ? std::string(buf) : "<refused>";
}

TEST(SettingsStore, EachHiveKeepsItsOwnValuesInFilesOfItsModes) {
  cmtest::TempHome home;
  for (int hive : {NTREGY_CURRENT_USER, NTREGY_LOCAL_MACHINE}) {
    for (const std::string value : {"", "\xFF\xFE raw \x01 bytes \xC3", "x \"q\" \\ {json}"}) {
      ASSERT_EQ(put("CMI_TRACE", value + std::to_string(hive), kKey, hive), 0);
      EXPECT_EQ(get("CMI_TRACE", 128, hive), value + std::to_string(hive));
    }
    EXPECT_EQ(get("cmi_trace", 128, hive), "<refused>") << "names are exact";
  }
  EXPECT_EQ(get("CMI_TRACE"), "x \"q\" \\ {json}" + std::to_string(NTREGY_CURRENT_USER));
  // The folders' and the machine hive's modes are checked through cmi's option commands.
  struct stat st = {};
  stat((home.path() + "/.Corvane/.Registry/CurrentUser/" + kKey).c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SettingsStore, RefusesWhatItCannotHoldOrReturnAndReplacesACorruptFile) {
  cmtest::TempHome home;
  ASSERT_EQ(put("v", "12345"), 0);
  EXPECT_EQ(get("v", 5), "<refused>");
  EXPECT_EQ(get("v", 6), "12345");
  EXPECT_TRUE(put("nul", std::string("a\0b", 3)) && put("", "x"));
  for (const char* key : {"../escape", "/abs/key", "a/../../b", "a//b", "", "a/./b", "a/"})
    EXPECT_NE(put("v", "1", key), 0) << key;
  EXPECT_NE(put("v", "1", nullptr), 0);
  EXPECT_FALSE(cmtest::path_exists(home.path() + "/.Corvane/.Registry/escape"));
  for (const char* corrupt : {"{ \"a\": \"1\", broken", "[\"not\", \"an object\"]",
                              "{\"a\": {\"bytes\": [300]}}", "{\"a\": 5}"}) {
    ASSERT_EQ(put("a", "1"), 0);
    cmtest::write_file(home.path() + "/.Corvane/.Registry/CurrentUser/" + kKey, corrupt);
    EXPECT_EQ(get("a"), "<refused>") << corrupt;
    ASSERT_EQ(put("b", "2"), 0);
    EXPECT_EQ(get("b"), "2");
  }
  const int fd = unix_nt_open((home.path() + "/f").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(unix_nt_close(fd), 0);
}

std::string text_of(const CMI_JSON_Value& object, const char* key) {
  auto value = object.get_value(key);
  return value ? value->text() : std::string("<absent>");
}

// Arrays, or objects, nested `depth` deep.
std::string nested(int depth, bool objects = false) {
  std::string out;
  for (int i = 0; i < depth; ++i) out += objects ? "{\"a\":" : "[";
  return out + (objects ? "1" + std::string(depth, '}') : std::string(depth, ']'));
}

// A NUL in a value is refused by the request parser's own table.
TEST(CmiJson, ParsesExactlyOneObject) {
  const int inner = CMI_JSON_Object::kMaxDepth - 1;  // the outer object is one level
  EXPECT_TRUE(CMI_JSON_Object(" \n{\"a\":" + nested(inner) + "}\t ").is_parsed());
  EXPECT_TRUE(CMI_JSON_Object(nested(inner + 1, true)).is_parsed());
  std::vector<std::string> rejected = {"{\"a\":" + nested(inner + 1) + "}", nested(inner + 2, true),
                                       std::string(100000, '{')};
  for (const char* text : {"", "[]", "null", "{", "{\"a\":}", "{} {}", "{}x", "{\"a\":1,}",
                           "{'a':1}", "{a:1}", "{\"a\":\"\x01\"}", "{\"a\":\"\xc3\"}"})
    rejected.push_back(text);
  for (const std::string& text : rejected) {
    CMI_JSON_Object object(text);
    EXPECT_FALSE(object.is_parsed()) << text.substr(0, 40);
    EXPECT_EQ(nullptr, object.get_value("a"));
    EXPECT_NE(0, object.add_pair("a", CMI_JSON_Value("b")));
  }
}

TEST(CmiJson, ValuesReadAsTextDuplicatesReplaceAndLookupsAreCopies) {
  std::string text = "{\"k7\":0,";
  for (int i = 0; i < 2000; ++i)
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  std::unique_ptr<CMI_JSON_Value> kept;
  {
    CMI_JSON_Object object(text +
                           "\"nul\":\"x\\u0000\\u00e9\",\"o\":{\"k\":\"v\"},\"k7\":\"last\"}");
    EXPECT_EQ(std::string("x\0\xc3\xa9", 4) + "|last|1999|<absent>",
              text_of(object, "nul") + "|" + text_of(object, "k7") + "|" +
                  text_of(object, "k1999") + "|" + text_of(object, "missing"));
    EXPECT_EQ(0u, object.to_string().find("{\"k7\":\"last\","));  // replaced in place
    kept = object.get_value("o");
  }
  ASSERT_NE(nullptr, kept);
  EXPECT_EQ("v", text_of(*kept, "k"));
}

TEST(CmiJson, BuiltObjectsKeepInsertionOrderAndEscapedTextReadsBack) {
  CMI_JSON_Object object;
  for (const char* key : {"zeta", "alpha", "mid"}) object.add_pair(key, CMI_JSON_Value(key));
  EXPECT_EQ(0, object.add_pair("alpha", CMI_JSON_Value("again")));
  EXPECT_EQ("{\"zeta\":\"zeta\",\"alpha\":\"again\",\"mid\":\"mid\"}", object.to_string());
  const std::string valid = std::string("q\"b\\s/\n\r\t\x01\x7f\0", 13);
  CMI_JSON_Object built;
  built.add_pair("m", CMI_JSON_Value(valid + "\xff\xc3(\xe2\x82\xf0\x9f\x98\x80"));
  // Valid parts survive exactly; each invalid sequence turns into U+FFFD.
  EXPECT_EQ(valid + "\xef\xbf\xbd\xef\xbf\xbd(\xef\xbf\xbd\xf0\x9f\x98\x80",
            text_of(CMI_JSON_Object(built.to_string()), "m"));
  // Escaped text dropped between quotes reads back as the original.
  for (const std::string& original : {std::string("a\"b\\c\nd\te"), valid}) {
    const std::string escaped = CMI_JSON_Object::escape_string(original);
    EXPECT_EQ(std::string::npos, escaped.find_first_of(std::string("\n\0", 2)));
    EXPECT_EQ(original, text_of(CMI_JSON_Object("{\"e\":\"" + escaped + "\"}"), "e"));
  }
}

TEST(SumString, SelfUseIsSafeAndOrderIsByteWiseUnsigned) {
  SUM_String s("ab");
  s += s;             // appending to itself must not read freed storage
  s = s.c_str() + 1;  // assigning from its own text
  EXPECT_EQ("x" + s + "y", "xbaby");
  EXPECT_TRUE(SUM_String("z") < SUM_String("\xC3\xA9"));
  EXPECT_GT(SUM_String("abcd").Compare("abc"), 0);
  // A prefix is not equal ignoring case (equal texts in other case: the login list's find).
  EXPECT_NE(SUM_String("hell").CompareNoCase("hello"), 0);
  // GetBuffer: the text ends at the first NUL, a result filling the whole size still has room
  // for its NUL, and asking for less than the current length keeps the text.
  memcpy(s.GetBuffer(16), "abc\0xyz", 8);
  EXPECT_EQ(s.GetLength(), 3);
  memcpy(s.GetBuffer(4), "wxyz", 5);
  s.ReleaseBuffer();
  EXPECT_EQ(s, "wxyz");
  s.GetBuffer(2);
  EXPECT_EQ(s, "wxyz");
  s.GetBuffer(10)[2] = '\0';
  s += "!";
  EXPECT_EQ(s, "wx!");
}

}  // namespace
