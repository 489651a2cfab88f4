#include "CM_Provider/cm_mr_cmi_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"

namespace {

using nlohmann::ordered_json;

class ParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CM_MR:CMMR", 4);
  }
  void TearDown() override { CM_Trace::reset(); }
  // Whether `text` was traced since the last call.
  bool traced(const std::string& text) {
    const std::string all = cmtest::read_file(CM_Trace::file_path());
    const bool found = all.find(text, m_seen) != std::string::npos;
    m_seen = all.size();
    return found;
  }
  static std::unique_ptr<CM_ProviderConfig> config(const ordered_json& request) {
    return config(request.dump());
  }
  static std::unique_ptr<CM_ProviderConfig> config(const std::string& text) {
    return std::unique_ptr<CM_ProviderConfig>(CM_MR_CMIParser::parse_provider_context(text));
  }
  static std::unique_ptr<CM_ChangeData> change(const std::string& text) {
    return std::unique_ptr<CM_ChangeData>(CM_MR_CMIParser::get_data(text));
  }

  cmtest::TempHome home;
  size_t m_seen = 0;
  const ordered_json m_init = {{"providername", "prov"},
                               {"baseurl", "https://mr.example:8443/merrow"},
                               {"dbset", "SET1"},
                               {"userdb", "USERS"}};
  const ordered_json m_change = {
      {"twversion", {{"universal_selector", "uvs://sel/1"}, {"display_name", "file.c@@/main/3"}}},
      {"cmtask", {{"taskid", "MR00042"}}}};
};

TEST_F(ParserTest, ProviderContextFillsEveryFieldAndNeedsEachRequiredMember) {
  ordered_json request = m_init;
  request["tracelevel"] = "2";
  request["tracesubsystem"] = "CMMR:CMOSLC";
  request["providername"] = "a\"b\\c\u00e9";
  request["ignored"] = {1, 2, 3};
  auto parsed = config(request);
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("a\"b\\c\u00e9", parsed->get_name());
  EXPECT_EQ("https://mr.example:8443/merrow", parsed->get_base_url());
  EXPECT_EQ("SET1", parsed->get_dbset());
  EXPECT_EQ("USERS", parsed->get_userdb());
  EXPECT_EQ("CMMR:CMOSLC", parsed->get_tracesubsystem());
  EXPECT_TRUE(
      traced("Creating provider config with url = https://mr.example:8443/merrow, "
             "userdb = USERS, dbset = SET1\n"));
  for (const char* key : {"providername", "baseurl", "dbset", "userdb"}) {
    ordered_json without = m_init;
    without.erase(key);
    EXPECT_EQ(nullptr, config(without)) << key;
  }
  EXPECT_FALSE(traced("Creating provider config"));  // nor any other detail line
  // Values of any JSON type read as their JSON text; empty ones are values.
  const ordered_json odd = {
      {"providername", 12}, {"baseurl", ""}, {"dbset", {{"a", 1}}}, {"userdb", nullptr}};
  parsed = config(odd);
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("12", parsed->get_name());
  EXPECT_EQ("{\"a\":1}", parsed->get_dbset());
  EXPECT_EQ("null", parsed->get_userdb());
}

TEST_F(ParserTest, TraceLevelReadsLikeAtoiWithoutOverflow) {
  const std::vector<std::pair<ordered_json, int>> cases = {
      {nullptr, 0},
      {"-3", -3},
      {"abc", 0},
      {"\t+5x", 5},
      {"", 0},
      {3, 3},
      {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
      {1.9, 1},
      {true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.dump());
    ordered_json request = m_init;
    if (!c.first.is_null()) request["tracelevel"] = c.first;
    request["tracesubsystem"] = "CMMR";
    auto parsed = config(request);
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(c.second, parsed->m_trace_level);
    // The subsystem list counts only with a positive level.
    EXPECT_EQ(c.second > 0 ? "CMMR" : "", parsed->get_tracesubsystem());
  }
}

TEST_F(ParserTest, UnparsableContextIsTracedAtLevelFourOnly) {
  EXPECT_EQ(nullptr, config(std::string()));
  EXPECT_FALSE(traced("Parse returned null"));
  EXPECT_EQ(nullptr, config(std::string("{\"providername\":")));
  EXPECT_TRUE(
      traced("::TRACE::CM_MR::CM_MR_CMIParser::parse_provider_context::"
             "Parse returned null\n"));
  CM_Trace::configure("CM_MR", 3);
  EXPECT_EQ(nullptr, config(std::string("still not json")));
  EXPECT_FALSE(traced("Parse returned null"));
}

TEST_F(ParserTest, ChangeDataNeedsEachMemberAtItsPlace) {
  auto data = change(m_change.dump());
  ASSERT_NE(nullptr, data);
  EXPECT_EQ("uvs://sel/1", data->get_universal_selector());
  EXPECT_EQ("file.c@@/main/3", data->get_display_name());
  EXPECT_EQ("MR00042", data->get_record_id());
  EXPECT_TRUE(
      traced("::CMMR::CM_MR_CMIParser::parse_tw_data::"
             "TW display name = file.c@@/main/3, uselector = uvs://sel/1"));
  const struct {
    const char* pointer;  // the member removed, or made a scalar ("=")
    const char* trace_text;
  } cases[] = {
      {"/twversion", "TW version not found"},
      {"/twversion/universal_selector", "TW universal selector not found"},
      {"/twversion/display_name", "TW display name not found"},
      {"=/twversion", "TW universal selector not found"},
      {"/cmtask", "MR information not found"},
      {"/cmtask/taskid", "MR Record id not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pointer);
    ordered_json request = m_change;
    if (c.pointer[0] == '=') {
      request[ordered_json::json_pointer(c.pointer + 1)] = "scalar";
    } else {
      const ordered_json::json_pointer at(c.pointer);
      request[at.parent_pointer()].erase(at.back());
    }
    EXPECT_EQ(nullptr, change(request.dump()));
    EXPECT_TRUE(traced(c.trace_text));
  }
}

TEST_F(ParserTest, PartParsersReportTheirStatus) {
  CM_ChangeData data;
  const std::string good = m_change.dump();
  EXPECT_EQ(10001, CM_MR_CMIParser::parse_tw_data(good, nullptr));
  EXPECT_EQ(10001, CM_MR_CMIParser::parse_mr_data(good, nullptr));
  EXPECT_EQ(10002, CM_MR_CMIParser::parse_tw_data("[]", &data));
  EXPECT_EQ(10002, CM_MR_CMIParser::parse_mr_data("", &data));
  EXPECT_EQ(10005, CM_MR_CMIParser::parse_tw_data("{}", &data));
  EXPECT_EQ(10005, CM_MR_CMIParser::parse_mr_data("{\"cmtask\":{}}", &data));
  EXPECT_EQ(0, CM_MR_CMIParser::parse_mr_data(good, &data));
  EXPECT_EQ("MR00042", data.get_record_id());
  EXPECT_EQ("", data.get_universal_selector());
}

// A raw NUL inside a JSON string is not JSON.
const char kRawNul[] =
    "{\"providername\":\"a\0b\",\"baseurl\":\"b\",\"dbset\":\"d\",\"userdb\":\"u\"}";

TEST_F(ParserTest, HostileRequestsYieldNothing) {
  const int deep = 100000;
  std::string nested;
  for (int i = 0; i < deep; ++i) nested += "{\"twversion\":";
  nested += "1" + std::string(deep, '}');
  const std::vector<std::string> texts = {
      "   ",
      "not json",
      "[{\"providername\":\"p\"}]",
      "42",
      "null",
      std::string(deep, '[') + std::string(deep, ']'),
      nested,
      std::string(deep, '{'),
      "{\"providername\":\"\xff\xfe\",\"baseurl\":\"b\",\"dbset\":\"d\",\"userdb\":\"u\"}",
      std::string(kRawNul, sizeof kRawNul - 1),
      "{\"twversion\":{\"universal_selector\":\"u\",\"display_name\":\"d\"},\"cmtask\":"
      "{\"taskid\":\"\xc0\xaf\"}}",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(nullptr, config(text)) << text.substr(0, 40);
    EXPECT_EQ(nullptr, change(text)) << text.substr(0, 40);
  }
}

// C code downstream would read "MR1\u0000OTHER" as "MR1": the whole request is refused.
TEST_F(ParserTest, ValuesHoldingNulAreRefused) {
  const std::string nul("MR1\0OTHER", 9);
  for (const char* key : {"providername", "baseurl", "dbset", "userdb", "tracesubsystem"}) {
    ordered_json request = m_init;
    request["tracelevel"] = "2";
    request[key] = nul;
    EXPECT_EQ(nullptr, config(request)) << key;
  }
  for (const char* path :
       {"/twversion/universal_selector", "/twversion/display_name", "/cmtask/taskid"}) {
    ordered_json request = m_change;
    request[ordered_json::json_pointer(path)] = nul;
    EXPECT_EQ(nullptr, change(request.dump())) << path;
  }
}

TEST(OpResult, MembersAppearInOrderOnlyWhenSetAndAlwaysAsValidJson) {
  CM_OpResult result;
  EXPECT_EQ("{\"status_code\":\"0\"}", result.to_json());
  result.m_status_code = INT_MIN;
  result.m_error_message = "\xff\xfe bad \xc3";
  result.m_warning_message = "w";
  result.m_info_message = std::string("quote\" back\\ nl\n nul\0", 22);
  ordered_json reply = ordered_json::parse(result.to_json(), nullptr, false);
  ASSERT_TRUE(reply.is_object()) << result.to_json();
  std::vector<std::string> keys;
  for (auto it = reply.begin(); it != reply.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(
      (std::vector<std::string>{"status_code", "info_message", "warning_message", "error_message"}),
      keys);
  EXPECT_EQ(std::to_string(INT_MIN), reply["status_code"].get<std::string>());
  EXPECT_EQ(result.m_info_message, reply["info_message"].get<std::string>());
  EXPECT_NE(std::string::npos, reply["error_message"].get<std::string>().find(" bad "));
  result.m_info_message.clear();
  result.m_error_message.clear();
  EXPECT_EQ("{\"status_code\":\"" + std::to_string(INT_MIN) + "\",\"warning_message\":\"w\"}",
            result.to_json());
}

}  // namespace
