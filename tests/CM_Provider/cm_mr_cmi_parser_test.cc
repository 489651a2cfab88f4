#include "CM_Provider/cm_mr_cmi_parser.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace {

using nlohmann::ordered_json;

const ordered_json kInit = {
    {"providername", "prov"}, {"baseurl", "https://mr/x"}, {"dbset", "SET1"}, {"userdb", "USERS"}};
const ordered_json kChange = {
    {"twversion", {{"universal_selector", "uvs://sel/1"}, {"display_name", "file.c@@/main/3"}}},
    {"cmtask", {{"taskid", "MR00042"}}}};

// What the provider context holds, "name|url|dbset|userdb|level|subsystems", or "null".
std::string config(const std::string& text) {
  std::unique_ptr<CM_ProviderConfig> c(CM_MR_CMIParser::parse_provider_context(text));
  if (!c) return "null";
  return c->get_name() + "|" + c->get_base_url() + "|" + c->get_dbset() + "|" + c->get_userdb() +
         "|" + std::to_string(c->m_trace_level) + "|" + c->get_tracesubsystem();
}

// What the change holds, "selector|display name|record id", or "null".
std::string change(const std::string& text) {
  std::unique_ptr<CM_ChangeData> d(CM_MR_CMIParser::get_data(text));
  if (!d) return "null";
  return d->get_universal_selector() + "|" + d->get_display_name() + "|" + d->get_record_id();
}

ordered_json with(ordered_json request, const char* key, const ordered_json& value) {
  request[key] = value;
  return request;
}

TEST(Parser, ProviderContextReadsEachMemberAndTheTraceLevelLikeAtoi) {
  const std::pair<ordered_json, std::string> rows[] = {
      {kInit, "prov|https://mr/x|SET1|USERS|0|"},
      {with(kInit, "providername", "a\"b\\c\u00e9"), "a\"b\\c\u00e9|https://mr/x|SET1|USERS|0|"},
      // Values of any JSON type read as their JSON text; empty ones are values.
      {{{"providername", 12}, {"baseurl", ""}, {"dbset", {{"a", 1}}}, {"userdb", nullptr}},
       "12||{\"a\":1}|null|0|"}};
  for (const auto& row : rows) EXPECT_EQ(row.second, config(row.first.dump()));
  for (const char* key : {"providername", "baseurl", "dbset", "userdb"}) {
    ordered_json without = kInit;
    without.erase(key);
    EXPECT_EQ("null", config(without.dump())) << key;
  }
  // Each row: the level sent and the level read; the subsystem list counts only above 0.
  for (const auto& level : ordered_json::parse(R"([["-3", -3], ["abc", 0], ["\t+5x", 5], ["", 0],
      [3, 3], [1.9, 1], [true, 0], ["99999999999", 2147483647], ["-99999999999", -2147483648]])")) {
    const int read = level[1];
    const std::string want = std::to_string(read) + (read > 0 ? "|CMMR" : "|");
    const ordered_json request =
        with(with(kInit, "tracelevel", level[0]), "tracesubsystem", "CMMR");
    EXPECT_EQ("prov|https://mr/x|SET1|USERS|" + want, config(request.dump())) << level;
  }
}

TEST(Parser, ChangeDataNeedsEachMemberAtItsPlace) {
  EXPECT_EQ("uvs://sel/1|file.c@@/main/3|MR00042", change(kChange.dump()));
  for (const char* at : {"/twversion", "/twversion/universal_selector", "/twversion/display_name",
                         "/cmtask", "/cmtask/taskid"}) {
    ordered_json request = kChange;
    const ordered_json::json_pointer pointer(at);
    request[pointer.parent_pointer()].erase(pointer.back());
    EXPECT_EQ("null", change(request.dump())) << at;
  }
  EXPECT_EQ("null", change(with(kChange, "twversion", "scalar").dump()));
}

// A value not UTF-8 or holding a NUL (raw, or escaped: C code downstream would read
// "MR1\u0000OTHER" as "MR1"); texts that are no JSON object are the JSON reader's table.
TEST(Parser, HostileValuesYieldNothing) {
  const std::string both = "{\"tracelevel\":\"2\",\"tracesubsystem\":\"x\"," +
                           kInit.dump().substr(1, kInit.dump().size() - 2) + "," +
                           kChange.dump().substr(1);
  for (const std::string bad : {"\xff\xfe", "\xc0\xaf", "a\0b", "\\u0000"}) {
    const std::string value = bad == "a" ? std::string("a\0b", 3) : bad;
    for (const std::string key : {"providername", "baseurl", "dbset", "userdb", "tracesubsystem",
                                  "taskid", "display_name", "universal_selector"}) {
      std::string text = both;
      text.insert(text.find('"', text.find("\"" + key + "\":\"") + key.size() + 4), value);
      // An escaped NUL is refused by the reading that holds the key, raw faults by both.
      const bool in_change = key.find('_') != std::string::npos || key == "taskid";
      SCOPED_TRACE(key + " " + bad);
      if (bad[0] != '\\' || !in_change) EXPECT_EQ("null", config(text));
      if (bad[0] != '\\' || in_change) EXPECT_EQ("null", change(text));
    }
  }
  EXPECT_EQ("prov|https://mr/x|SET1|USERS|2|x", config(both));
  EXPECT_EQ("uvs://sel/1|file.c@@/main/3|MR00042", change(both));
}

// The reply to the host: members in a fixed order, only when set, valid JSON whatever they hold.
TEST(OpResult, MembersAppearInOrderOnlyWhenSetAndAlwaysAsValidJson) {
  CM_OpResult result;
  EXPECT_EQ("{\"status_code\":\"0\"}", result.to_json());
  result.m_status_code = INT_MIN;
  result.m_warning_message = "w";
  result.m_error_message = "\xff\xfe bad \xc3";
  result.m_info_message = std::string("quote\" back\\ nl\n nul\0", 22);
  const ordered_json reply = ordered_json::parse(result.to_json(), nullptr, false);
  const std::string error = reply.is_object() ? reply.value("error_message", "") : "";
  EXPECT_NE(std::string::npos, error.find(" bad ")) << result.to_json();
  EXPECT_EQ(reply.dump(), ordered_json({{"status_code", "-2147483648"},
                                        {"info_message", result.m_info_message},
                                        {"warning_message", "w"},
                                        {"error_message", error}})
                              .dump());
}

}  // namespace
