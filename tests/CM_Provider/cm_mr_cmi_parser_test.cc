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

  std::string trace() const {
    const char* path = CM_Trace::file_path();
    return path ? cmtest::read_file(path) : std::string();
  }
  // Whether `text` was traced since the last forget_trace().
  bool traced(const std::string& text) const {
    const std::string all = trace();
    return all.size() > m_seen && all.find(text, m_seen) != std::string::npos;
  }
  void forget_trace() { m_seen = trace().size(); }

  static std::unique_ptr<CM_ProviderConfig> config(const std::string& text) {
    return std::unique_ptr<CM_ProviderConfig>(CM_MR_CMIParser::parse_provider_context(text));
  }
  static std::unique_ptr<CM_ChangeData> change(const std::string& text) {
    return std::unique_ptr<CM_ChangeData>(CM_MR_CMIParser::get_data(text));
  }

  cmtest::TempHome home;
  size_t m_seen = 0;
};

ordered_json init_request() {
  return ordered_json{{"providername", "prov"},
                      {"baseurl", "https://mr.example:8443/merrow"},
                      {"dbset", "SET1"},
                      {"userdb", "USERS"}};
}

ordered_json change_request() {
  return ordered_json{
      {"twversion", {{"universal_selector", "uvs://sel/1"}, {"display_name", "file.c@@/main/3"}}},
      {"cmtask", {{"taskid", "MR00042"}}}};
}

TEST_F(ParserTest, ProviderContextFillsEveryField) {
  ordered_json request = init_request();
  request["tracelevel"] = "2";
  request["tracesubsystem"] = "CMMR:CMOSLC";
  request["ignored"] = {1, 2, 3};
  auto parsed = config(request.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("prov", parsed->get_name());
  EXPECT_EQ("https://mr.example:8443/merrow", parsed->get_base_url());
  EXPECT_EQ("SET1", parsed->get_dbset());
  EXPECT_EQ("USERS", parsed->get_userdb());
  EXPECT_EQ(2, parsed->m_trace_level);
  EXPECT_EQ("CMMR:CMOSLC", parsed->get_tracesubsystem());
  EXPECT_TRUE(
      traced("Creating provider config with url = https://mr.example:8443/merrow, "
             "userdb = USERS, dbset = SET1\n"));
}

TEST_F(ParserTest, ConstructorTakesUserdbBeforeDbset) {
  CM_ProviderConfig direct("n", "u", "the-userdb", "the-dbset");
  EXPECT_EQ("the-userdb", direct.get_userdb());
  EXPECT_EQ("the-dbset", direct.get_dbset());
  EXPECT_EQ(0, direct.m_trace_level);
  EXPECT_EQ("", direct.get_tracesubsystem());
}

TEST_F(ParserTest, EachRequiredProviderMemberIsNeeded) {
  for (const char* key : {"providername", "baseurl", "dbset", "userdb"}) {
    ordered_json request = init_request();
    request.erase(key);
    EXPECT_EQ(nullptr, config(request.dump())) << key;
  }
  // Missing members leave no detail line; only a text that does not parse does.
  EXPECT_FALSE(traced("Creating provider config"));
  EXPECT_FALSE(traced("Parse returned null"));
  // Empty values are values.
  ordered_json empty = {{"providername", ""}, {"baseurl", ""}, {"dbset", ""}, {"userdb", ""}};
  EXPECT_NE(nullptr, config(empty.dump()));
}

TEST_F(ParserTest, UnparsableContextIsTracedAtLevelFour) {
  EXPECT_EQ(nullptr, config("{\"providername\":"));
  EXPECT_TRUE(
      traced("::TRACE::CM_MR::CM_MR_CMIParser::parse_provider_context::"
             "Parse returned null\n"));
  forget_trace();
  CM_Trace::configure("CM_MR", 3);
  EXPECT_EQ(nullptr, config("still not json"));
  EXPECT_FALSE(traced("Parse returned null"));
}

TEST_F(ParserTest, EmptyContextIsNotParsed) {
  EXPECT_EQ(nullptr, config(""));
  EXPECT_FALSE(traced("Parse returned null"));
}

TEST_F(ParserTest, TraceLevelConversionAndSubsystem) {
  struct Case {
    ordered_json level;  // null: member absent
    int expected;
  };
  const std::vector<Case> cases = {
      {nullptr, 0},
      {"0", 0},
      {"-3", -3},
      {"abc", 0},
      {" 7", 7},
      {"\t+5x", 5},
      {"", 0},
      {ordered_json(3), 3},
      {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
      {ordered_json(1.9), 1},
      {ordered_json(true), 0},
  };
  for (const Case& c : cases) {
    ordered_json request = init_request();
    if (!c.level.is_null()) request["tracelevel"] = c.level;
    request["tracesubsystem"] = "CMMR";
    auto parsed = config(request.dump());
    ASSERT_NE(nullptr, parsed) << c.level.dump();
    EXPECT_EQ(c.expected, parsed->m_trace_level) << c.level.dump();
    EXPECT_EQ(c.expected > 0 ? "CMMR" : "", parsed->get_tracesubsystem()) << c.level.dump();
  }
  // Positive level without a subsystem member: empty subsystem.
  ordered_json request = init_request();
  request["tracelevel"] = "4";
  auto parsed = config(request.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ(4, parsed->m_trace_level);
  EXPECT_EQ("", parsed->get_tracesubsystem());
}

TEST_F(ParserTest, NonStringValuesReadAsJsonText) {
  ordered_json request = init_request();
  request["providername"] = 12;
  request["dbset"] = {{"a", 1}};
  request["userdb"] = nullptr;
  auto parsed = config(request.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("12", parsed->get_name());
  EXPECT_EQ("{\"a\":1}", parsed->get_dbset());
  EXPECT_EQ("null", parsed->get_userdb());
}

TEST_F(ParserTest, ChangeDataFromAFullRequest) {
  auto data = change(change_request().dump());
  ASSERT_NE(nullptr, data);
  EXPECT_EQ("uvs://sel/1", data->get_universal_selector());
  EXPECT_EQ("file.c@@/main/3", data->get_display_name());
  EXPECT_EQ("MR00042", data->get_record_id());
  EXPECT_TRUE(
      traced("::CMMR::CM_MR_CMIParser::parse_tw_data::"
             "TW display name = file.c@@/main/3, uselector = uvs://sel/1"));
  EXPECT_TRUE(traced("::CMMR::CM_MR_CMIParser::parse_mr_data::MR Record id = MR00042"));
}

TEST_F(ParserTest, EachRequiredChangeMemberIsNeeded) {
  struct Case {
    std::vector<std::string> path;
    const char* trace_text;
  };
  const std::vector<Case> cases = {
      {{"twversion"}, "TW version not found"},
      {{"twversion", "universal_selector"}, "TW universal selector not found"},
      {{"twversion", "display_name"}, "TW display name not found"},
      {{"cmtask"}, "MR information not found"},
      {{"cmtask", "taskid"}, "MR Record id not found"},
  };
  for (const Case& c : cases) {
    ordered_json request = change_request();
    if (c.path.size() == 1) {
      request.erase(c.path[0]);
    } else {
      request[c.path[0]].erase(c.path[1]);
    }
    EXPECT_EQ(nullptr, change(request.dump())) << c.trace_text;
    EXPECT_TRUE(traced(c.trace_text)) << c.trace_text;
  }
}

TEST_F(ParserTest, MembersAtTheWrongLevelAreNotFound) {
  ordered_json flat = {
      {"universal_selector", "u"}, {"display_name", "d"}, {"cmtask", {{"taskid", "1"}}}};
  EXPECT_EQ(nullptr, change(flat.dump()));
  EXPECT_TRUE(traced("TW version not found"));
  EXPECT_FALSE(traced("MR Record id"));

  ordered_json top_task = change_request();
  top_task.erase("cmtask");
  top_task["taskid"] = "7";
  EXPECT_EQ(nullptr, change(top_task.dump()));
  EXPECT_TRUE(traced("TW display name = file.c@@/main/3"));
  EXPECT_TRUE(traced("MR information not found"));

  // A scalar where an object belongs has no members.
  ordered_json scalar = change_request();
  scalar["twversion"] = "uvs://sel/1";
  EXPECT_EQ(nullptr, change(scalar.dump()));
  EXPECT_TRUE(traced("TW universal selector not found"));
}

TEST_F(ParserTest, PartParsersReportTheirStatus) {
  CM_ChangeData data;
  const std::string good = change_request().dump();
  EXPECT_EQ(10001, CM_MR_CMIParser::parse_tw_data(good, nullptr));
  EXPECT_EQ(10001, CM_MR_CMIParser::parse_mr_data(good, nullptr));
  EXPECT_EQ(10002, CM_MR_CMIParser::parse_tw_data("[]", &data));
  EXPECT_EQ(10002, CM_MR_CMIParser::parse_mr_data("", &data));
  EXPECT_EQ(10005, CM_MR_CMIParser::parse_tw_data("{}", &data));
  EXPECT_EQ(10005, CM_MR_CMIParser::parse_mr_data("{\"cmtask\":{}}", &data));
  EXPECT_EQ("", data.get_record_id());

  EXPECT_EQ(0, CM_MR_CMIParser::parse_mr_data(good, &data));
  EXPECT_EQ("MR00042", data.get_record_id());
  EXPECT_EQ("", data.get_universal_selector());
  EXPECT_EQ(0, CM_MR_CMIParser::parse_tw_data(good, &data));
  EXPECT_EQ("uvs://sel/1", data.get_universal_selector());
  // Empty values are accepted as they are.
  ordered_json empty = {{"twversion", {{"universal_selector", ""}, {"display_name", ""}}},
                        {"cmtask", {{"taskid", ""}}}};
  auto parsed = change(empty.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("", parsed->get_record_id());
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
      "",
      "   ",
      "not json",
      "[{\"providername\":\"p\"}]",
      "42",
      "\"text\"",
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

TEST_F(ParserTest, LargeAndEscapedValuesAreKept) {
  ordered_json request = init_request();
  const std::string big(12 * 1024 * 1024, 'b');
  request["baseurl"] = big;
  request["providername"] = "a\"b\\c\u00e9";
  auto parsed = config(request.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ(big.size(), parsed->get_base_url().size());
  EXPECT_EQ("a\"b\\c\u00e9", parsed->get_name());
}

// C code downstream would read "MR1\u0000OTHER" as "MR1": the whole request is refused.
TEST_F(ParserTest, ValuesHoldingNulAreRefused) {
  const std::string nul("MR1\0OTHER", 9);
  for (const char* key : {"providername", "baseurl", "dbset", "userdb", "tracesubsystem"}) {
    ordered_json request = init_request();
    request["tracelevel"] = "2";
    request[key] = nul;
    EXPECT_EQ(nullptr, config(request.dump())) << key;
  }
  const ordered_json good = {{"twversion", {{"universal_selector", "u"}, {"display_name", "d"}}},
                             {"cmtask", {{"taskid", "MR1"}}}};
  ASSERT_NE(nullptr, change(good.dump()));
  for (const auto& path :
       {"/twversion/universal_selector", "/twversion/display_name", "/cmtask/taskid"}) {
    ordered_json request = good;
    request[ordered_json::json_pointer(path)] = nul;
    EXPECT_EQ(nullptr, change(request.dump())) << path;
  }
}

ordered_json parse_reply(const std::string& text) {
  return ordered_json::parse(text, nullptr, false);
}

TEST(OpResult, SuccessReplyHasOnlyTheStatus) {
  CM_OpResult result;
  EXPECT_EQ(0, result.m_status_code);
  const ordered_json reply = parse_reply(result.to_json());
  ASSERT_TRUE(reply.is_object());
  ASSERT_EQ(1u, reply.size());
  EXPECT_EQ(ordered_json("0"), reply["status_code"]);
}

TEST(OpResult, MembersAppearInOrderAndOnlyWhenSet) {
  CM_OpResult result;
  result.m_status_code = 10002;
  result.set_error_message("Format error or missing data in provider context.\n");
  ordered_json reply = parse_reply(result.to_json());
  ASSERT_EQ(2u, reply.size());
  EXPECT_EQ("status_code", reply.begin().key());
  EXPECT_EQ(ordered_json("10002"), reply["status_code"]);
  EXPECT_EQ("Format error or missing data in provider context.\n",
            reply["error_message"].get<std::string>());
  EXPECT_FALSE(reply.contains("info_message"));
  EXPECT_FALSE(reply.contains("warning_message"));

  result.m_error_message = "e";
  result.m_warning_message = "w";
  result.m_info_message = "i";
  result.m_status_code = -1;
  reply = parse_reply(result.to_json());
  std::vector<std::string> keys;
  for (auto it = reply.begin(); it != reply.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(
      (std::vector<std::string>{"status_code", "info_message", "warning_message", "error_message"}),
      keys);
  EXPECT_EQ(ordered_json("-1"), reply["status_code"]);

  result.m_info_message.clear();
  result.m_error_message.clear();
  reply = parse_reply(result.to_json());
  ASSERT_EQ(2u, reply.size());
  EXPECT_EQ("w", reply["warning_message"].get<std::string>());
}

TEST(OpResult, AnyBytesRenderAsValidJson) {
  CM_OpResult result;
  result.m_status_code = INT_MIN;
  result.m_info_message = std::string("quote\" back\\ nl\n nul", 21) + std::string(1, '\0');
  result.m_error_message = "\xff\xfe bad \xc3";
  const ordered_json reply = parse_reply(result.to_json());
  ASSERT_TRUE(reply.is_object()) << result.to_json();
  EXPECT_EQ(std::to_string(INT_MIN), reply["status_code"].get<std::string>());
  EXPECT_EQ(result.m_info_message, reply["info_message"].get<std::string>());
  EXPECT_NE(std::string::npos, reply["error_message"].get<std::string>().find(" bad "));
}

}  // namespace
