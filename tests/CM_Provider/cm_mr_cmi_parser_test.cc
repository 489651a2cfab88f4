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
using Pointer = ordered_json::json_pointer;

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
  static std::unique_ptr<CM_ProviderConfig> config(const std::string& text) {
    return std::unique_ptr<CM_ProviderConfig>(CM_MR_CMIParser::parse_provider_context(text));
  }
  static std::unique_ptr<CM_ChangeData> change(const std::string& text) {
    return std::unique_ptr<CM_ChangeData>(CM_MR_CMIParser::get_data(text));
  }

  cmtest::TempHome home;
  size_t m_seen = 0;
  const ordered_json m_init = {{"providername", "prov"},
                               {"baseurl", "https://mr/x"},
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
  auto parsed = config(request.dump());
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("a\"b\\c\u00e9", parsed->get_name());
  EXPECT_EQ("https://mr/x", parsed->get_base_url());
  EXPECT_EQ("SET1", parsed->get_dbset());
  EXPECT_EQ("USERS", parsed->get_userdb());
  EXPECT_EQ("CMMR:CMOSLC", parsed->get_tracesubsystem());
  EXPECT_TRUE(
      traced("Creating provider config with url = https://mr/x, userdb = USERS, "
             "dbset = SET1\n"));
  for (const char* key : {"providername", "baseurl", "dbset", "userdb"}) {
    ordered_json without = m_init;
    without.erase(key);
    EXPECT_EQ(nullptr, config(without.dump())) << key;
  }
  EXPECT_FALSE(traced("Creating provider config"));
  // Values of any JSON type read as their JSON text; empty ones are values.
  parsed = config(R"({"providername":12,"baseurl":"","dbset":{"a":1},"userdb":null})");
  ASSERT_NE(nullptr, parsed);
  EXPECT_EQ("12", parsed->get_name());
  EXPECT_EQ("{\"a\":1}", parsed->get_dbset());
  EXPECT_EQ("null", parsed->get_userdb());
}

TEST_F(ParserTest, TraceLevelReadsLikeAtoiWithoutOverflow) {
  const std::vector<std::pair<ordered_json, int>> cases = {{nullptr, 0},
                                                           {"-3", -3},
                                                           {"abc", 0},
                                                           {"\t+5x", 5},
                                                           {"", 0},
                                                           {3, 3},
                                                           {1.9, 1},
                                                           {true, 0},
                                                           {"99999999999", INT_MAX},
                                                           {"-99999999999", INT_MIN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.dump());
    ordered_json request = m_init;
    if (!c.first.is_null()) request["tracelevel"] = c.first;
    request["tracesubsystem"] = "CMMR";
    auto parsed = config(request.dump());
    ASSERT_NE(nullptr, parsed);
    EXPECT_EQ(c.second, parsed->m_trace_level);
    // The subsystem list counts only with a positive level.
    EXPECT_EQ(c.second > 0 ? "CMMR" : "", parsed->get_tracesubsystem());
  }
}

TEST_F(ParserTest, UnparsableContextIsTracedAtLevelFourOnly) {
  EXPECT_EQ(nullptr, config(""));
  EXPECT_FALSE(traced("Parse returned null"));
  EXPECT_EQ(nullptr, config("{\"providername\":"));
  EXPECT_TRUE(
      traced("::TRACE::CM_MR::CM_MR_CMIParser::parse_provider_context::"
             "Parse returned null\n"));
  CM_Trace::configure("CM_MR", 3);
  EXPECT_EQ(nullptr, config("still not json"));
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
  // The member removed, or made a scalar ("="), and the line that says so.
  const std::pair<std::string, const char*> cases[] = {
      {"/twversion", "TW version not found"},
      {"/twversion/universal_selector", "TW universal selector not found"},
      {"/twversion/display_name", "TW display name not found"},
      {"=/twversion", "TW universal selector not found"},
      {"/cmtask", "MR information not found"},
      {"/cmtask/taskid", "MR Record id not found"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    ordered_json request = m_change;
    const Pointer at(c.first[0] == '=' ? c.first.substr(1) : c.first);
    if (c.first[0] == '=') request[at] = "scalar";
    if (c.first[0] != '=') request[at.parent_pointer()].erase(at.back());
    EXPECT_EQ(nullptr, change(request.dump()));
    EXPECT_TRUE(traced(c.second));
  }
}

// Not JSON objects, nested past any stack, not UTF-8, or holding a NUL (raw, or escaped: C code
// downstream would read "MR1\u0000OTHER" as "MR1").
TEST_F(ParserTest, HostileRequestsYieldNothing) {
  const int deep = 100000;
  std::string nested;
  for (int i = 0; i < deep; ++i) nested += "{\"twversion\":";
  // Each text, and whether the provider context (1), the change (2) or both (3) must refuse it.
  std::vector<std::pair<std::string, int>> texts = {
      {"   ", 3},
      {"[{\"providername\":\"p\"}]", 3},
      {"42", 3},
      {std::string(deep, '[') + std::string(deep, ']'), 3},
      {nested + "1" + std::string(deep, '}'), 3},
      {std::string(deep, '{'), 3}};
  const std::string both = "{\"tracelevel\":\"2\",\"tracesubsystem\":\"x\"," +
                           m_init.dump().substr(1, m_init.dump().size() - 2) + "," +
                           m_change.dump().substr(1);
  const std::string bads[] = {"\xff\xfe", "\xc0\xaf", std::string("a\0b", 3), "\\u0000"};
  for (const std::string& bad : bads) {
    for (const std::string key : {"providername", "baseurl", "dbset", "userdb", "tracesubsystem",
                                  "taskid", "display_name", "universal_selector"}) {
      std::string text = both;
      text.insert(text.find('"', text.find("\"" + key + "\":\"") + key.size() + 4), bad);
      const bool in_change = key.find('_') != std::string::npos || key == "taskid";
      texts.emplace_back(text, bad[0] != '\\' ? 3 : in_change ? 2 : 1);
    }
  }
  for (const auto& t : texts) {
    SCOPED_TRACE(t.first.substr(0, 120));
    if (t.second & 1) EXPECT_EQ(nullptr, config(t.first));
    if (t.second & 2) EXPECT_EQ(nullptr, change(t.first));
  }
  EXPECT_NE(nullptr, config(both));
  EXPECT_NE(nullptr, change(both));
}

TEST(OpResult, MembersAppearInOrderOnlyWhenSetAndAlwaysAsValidJson) {
  CM_OpResult result;
  EXPECT_EQ("{\"status_code\":\"0\"}", result.to_json());
  result.m_status_code = INT_MIN;
  result.m_warning_message = "w";
  EXPECT_EQ("{\"status_code\":\"-2147483648\",\"warning_message\":\"w\"}", result.to_json());
  result.m_error_message = "\xff\xfe bad \xc3";
  result.m_info_message = std::string("quote\" back\\ nl\n nul\0", 22);
  ordered_json reply = ordered_json::parse(result.to_json(), nullptr, false);
  ASSERT_TRUE(reply.is_object()) << result.to_json();
  std::string keys;
  for (auto it = reply.begin(); it != reply.end(); ++it) keys += it.key() + " ";
  EXPECT_EQ("status_code info_message warning_message error_message ", keys);
  EXPECT_EQ(result.m_info_message, reply["info_message"].get<std::string>());
  EXPECT_NE(std::string::npos, reply["error_message"].get<std::string>().find(" bad "));
}

}  // namespace
