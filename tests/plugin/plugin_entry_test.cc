// The entry table and reply conventions, seen from a host that loaded the plug-in with dlopen.
// Nothing in this file reaches the network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::PluginHost;
using cmtest::Reply;
using Op = Reply (PluginHost::*)(void*, const std::string&);

const char kUrl[] = "http://127.0.0.1:1/unused";
const char kOk[] = R"({"status_code":"0"})";
const Op kOps[] = {&PluginHost::associate, &PluginHost::disassociate, &PluginHost::commit,
                   &PluginHost::validate};

class EntryTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  PluginHost host;
  void SetUp() override { ASSERT_TRUE(host.ok()) << host.error(); }
  // An error reply holds the status first, then the message, and nothing else.
  static void expect_error(const Reply& r, const std::string& status) {
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text.rfind("{\"status_code\":\"" + status + "\",\"error_message\":\"", 0), 0u)
        << r.text;
    EXPECT_EQ(r.json().size(), 2u) << r.text;
  }
};

TEST_F(EntryTest, GetfunctionMatchesExactNamesOnly) {
  const char* names[] = {"INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT", "VALIDATE"};
  for (size_t i = 0; i < 5; ++i)
    for (size_t j = 0; j < i; ++j)
      EXPECT_NE(host.getfunction(names[i]), host.getfunction(names[j]));
  for (const char* bad : {"initialize", "COMMIT ", " COMMIT", "", "COMMI", "COMMITX", "Validate"})
    EXPECT_EQ(host.getfunction(bad), nullptr) << "'" << bad << "'";
}

// Each row: one request and the reply it must get; the handle is a working one unless null.
TEST_F(EntryTest, RequestsAndTheirReplies) {
  void* h = host.init(init_request("entry", kUrl));
  ASSERT_NE(h, nullptr);
  const std::string bad_changes[] = {
      "",
      "garbage",
      R"({"twversion":{"universal_selector":"u","display_name":"n"}})",
      R"({"universal_selector":"u","display_name":"n","cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u","display_name":"n"},"taskid":"1"})",
      R"({"twversion":{"display_name":"n"},"cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u"},"cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u","display_name":"n"},"cmtask":{}})",
      change_request("u", "n", std::string("MR1\0OTHER", 9))};
  struct Row {
    Op op;
    bool null_handle;
    std::string request;
    int rc;
    std::string reply;  // exact text, or the status code of an error reply
  };
  std::vector<Row> rows;
  for (Op op : kOps) rows.push_back({op, true, change_request("u", "n", "1"), -1, "No memory."});
  for (const std::string& bad : bad_changes)
    for (Op op : {kOps[0], kOps[1]}) rows.push_back({op, false, bad, -1, "10002"});
  rows.push_back({&PluginHost::validate, false, "anything at all", 0, kOk});
  rows.push_back({&PluginHost::commit, false, "not even json", 0, kOk});  // nothing scheduled
  const std::string huge(1 << 20, 'u');  // a huge but valid change is scheduled like any other
  for (Op op : {kOps[0], kOps[1]}) {
    rows.push_back({op, false, change_request("u", "n", "R"), 1, kOk});
    rows.push_back({op, false, change_request(huge, huge, "R"), 1, kOk});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.request.substr(0, 80));
    const Reply r = (host.*row.op)(row.null_handle ? nullptr : h, row.request);
    if (row.rc == -1 && !row.null_handle) {
      expect_error(r, row.reply);
    } else {
      EXPECT_EQ(r.rc, row.rc);
      EXPECT_EQ(r.text, row.reply);
    }
  }
  ASSERT_EQ(host.init(init_request("entry", kUrl)), h) << "the same provider, its work dropped";
  EXPECT_EQ(host.commit(h).text, kOk);
}

// Malformed requests, and connection names that cannot be folder names, get a null handle.
TEST_F(EntryTest, FailedInitializeStoresANullHandle) {
  const std::string victim = home.path() + "/victim.cfg";
  cmtest::write_file(victim, "precious\n");
  std::vector<std::pair<std::string, std::string>> rows = {
      {"", ""},
      {"not json", ""},
      {"[1,2,3]", ""},
      {R"({"providername":"p"})", ""},
      {R"({"providername":"p","baseurl":"u","dbset":"s"})", ""}};
  // CookieJar/P/S up to the home, then the victim.
  for (const char* key : {"providername", "dbset", "userdb"})
    for (const std::string value :
         {"", ".", "..", "a/b", "a\rb", "a\nb", "a\x7f", "../../../../../../../victim.cfg"}) {
      nlohmann::json request = nlohmann::json::parse(init_request("names", kUrl));
      request[key] = value;
      rows.push_back({request.dump(), std::string("\"") + key + "\""});
    }
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    void* handle = reinterpret_cast<void*>(0x1);
    const Reply r = host.initialize(row.first, &handle);
    EXPECT_EQ(handle, nullptr);
    expect_error(r, "10002");
    EXPECT_NE(r.member("error_message").find(row.second), std::string::npos) << r.text;
  }
  EXPECT_EQ(cmtest::read_file(victim), "precious\n");
  EXPECT_FALSE(cmtest::path_exists(home.path() + "/.Corvane/.Registry/Tarnwell/CMI/CookieJar"));
  Reply ok;
  ASSERT_NE(host.init(init_request("entry-init", kUrl), &ok), nullptr);
  EXPECT_EQ(ok.rc, 0);
  EXPECT_EQ(ok.text, kOk);
}

}  // namespace
