// The entry table and reply conventions, seen from a host that loaded the plug-in with dlopen.
#include <gtest/gtest.h>

#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::PluginHost;
using cmtest::Reply;

// No COMMIT with scheduled work reaches the network in this file.
const char kUrl[] = "http://127.0.0.1/unused";

class EntryTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;
  PluginHost host;
  void SetUp() override { ASSERT_TRUE(host.ok()) << host.error(); }
};

TEST_F(EntryTest, GetfunctionMatchesExactNamesOnly) {
  const char* names[] = {"INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT", "VALIDATE"};
  for (size_t i = 0; i < 5; ++i) {
    void* fn = host.getfunction(names[i]);
    ASSERT_NE(fn, nullptr) << names[i];
    for (size_t j = 0; j < i; ++j) EXPECT_NE(fn, host.getfunction(names[j])) << names[i];
    EXPECT_EQ(fn, host.getfunction(names[i])) << "the table is constant";
  }
  for (const char* bad : {"initialize", "COMMIT ", " COMMIT", "COMMIT\n", "", "COMMI", "COMMITX",
                          "ASSOCIATEX", "Validate", "DISASSOCIATE\t"}) {
    EXPECT_EQ(host.getfunction(bad), nullptr) << "'" << bad << "'";
  }
}

TEST_F(EntryTest, NullHandleRepliesNoMemoryForEveryOperation) {
  for (auto op : {&PluginHost::associate, &PluginHost::disassociate, &PluginHost::commit,
                  &PluginHost::validate}) {
    Reply r = (host.*op)(nullptr, change_request("u1", "n1", "1"));
    EXPECT_EQ(r.rc, -1);
    EXPECT_FALSE(r.was_null);
    EXPECT_EQ(r.text, "No memory.");
  }
}

TEST_F(EntryTest, FailedInitializeStoresNullHandleAndFormatError) {
  for (const std::string& bad :
       {std::string(), std::string("not json"), std::string("{\"providername\":\"p\"}"),
        std::string("[1,2,3]"), std::string(R"({"providername":"p","baseurl":"u","dbset":"s"})")}) {
    void* handle = reinterpret_cast<void*>(0x1);
    Reply r = host.initialize(bad, &handle);
    EXPECT_EQ(r.rc, -1) << bad;
    EXPECT_EQ(handle, nullptr) << bad;
    auto j = r.json();
    ASSERT_TRUE(j.is_object()) << r.text;
    EXPECT_EQ(j.size(), 2u) << r.text;
    EXPECT_EQ(r.text.rfind("{\"status_code\":\"10002\",\"error_message\":", 0), 0u) << r.text;
    EXPECT_EQ(r.status(), "10002");
    EXPECT_EQ(r.member("error_message"), "Format error or missing data in provider context.\n");
  }
}

TEST_F(EntryTest, SuccessRepliesCarryOnlyTextualStatusZero) {
  Reply init;
  void* h = host.init(init_request("entry-ok", kUrl), &init);
  ASSERT_NE(h, nullptr) << init.text;
  EXPECT_EQ(init.rc, 0);
  EXPECT_EQ(init.text, R"({"status_code":"0"})");

  Reply a = host.associate(h, change_request("u1", "v1", "MR1"));
  EXPECT_EQ(a.rc, 1) << "a scheduled action answers 1, not 0";
  EXPECT_EQ(a.text, R"({"status_code":"0"})");
  Reply d = host.disassociate(h, change_request("u2", "v2", "MR1"));
  EXPECT_EQ(d.rc, 1);
  EXPECT_EQ(d.text, R"({"status_code":"0"})");

  Reply v = host.validate(h, "anything at all");
  EXPECT_EQ(v.rc, 0);
  EXPECT_EQ(v.text, R"({"status_code":"0"})");

  // Drop the scheduled work without touching the network.
  ASSERT_EQ(host.init(init_request("entry-ok", kUrl)), h);
  Reply c = host.commit(h, "not even json");
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.text, R"({"status_code":"0"})");
}

TEST_F(EntryTest, ChangeRequestsMissingAMemberAreRefused) {
  void* h = host.init(init_request("entry-bad-change", kUrl));
  ASSERT_NE(h, nullptr);
  const std::string bad[] = {
      "",
      "garbage",
      R"({"twversion":{"universal_selector":"u","display_name":"n"}})",
      R"({"universal_selector":"u","display_name":"n","cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u","display_name":"n"},"taskid":"1"})",
      R"({"twversion":{"display_name":"n"},"cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u"},"cmtask":{"taskid":"1"}})",
      R"({"twversion":{"universal_selector":"u","display_name":"n"},"cmtask":{}})",
  };
  for (const std::string& req : bad) {
    for (bool assoc : {true, false}) {
      Reply r = assoc ? host.associate(h, req) : host.disassociate(h, req);
      EXPECT_EQ(r.rc, -1) << req;
      EXPECT_EQ(r.status(), "10002") << req;
      EXPECT_EQ(r.member("error_message"), "Format error or missing data in provider context.\n")
          << req;
      EXPECT_EQ(r.json().size(), 2u) << r.text;
    }
  }
}

// Hostile request texts: every operation answers with a JSON reply (or "No memory." for a null
// handle) and the process survives.
TEST_F(EntryTest, HostileRequestTextsNeverBreakTheReplyContract) {
  void* h = host.init(init_request("entry-hostile", kUrl));
  ASSERT_NE(h, nullptr);
  std::string deep_obj;
  for (int i = 0; i < 100000; ++i) deep_obj += "{\"a\":";
  std::string deep_arr(200000, '[');
  std::string huge = change_request(std::string(1 << 20, 'u'), std::string(1 << 20, 'n'), "MR");
  std::string binary("{\"twversion\":\0\xff\xfe", 17);
  const std::string inputs[] = {
      "",
      "{",
      "}",
      "null",
      "\"str\"",
      deep_obj,
      deep_arr,
      binary,
      "{\"twversion\":[]}",
      R"({"twversion":{"universal_selector":1,"display_name":null},"cmtask":{"taskid":{}}})",
      std::string(1 << 16, '\xc3')};
  for (const std::string& in : inputs) {
    void* out = nullptr;
    Reply i = host.initialize(in, &out);
    EXPECT_TRUE(i.json().is_object()) << i.text.substr(0, 80);
    EXPECT_EQ(i.rc == 0, out != nullptr);
    for (void* handle : {static_cast<void*>(nullptr), h}) {
      for (auto op : {&PluginHost::associate, &PluginHost::disassociate, &PluginHost::validate}) {
        Reply r = (host.*op)(handle, in);
        if (!handle) {
          EXPECT_EQ(r.text, "No memory.");
        } else {
          EXPECT_TRUE(r.json().is_object()) << r.text.substr(0, 80);
        }
      }
    }
  }
  // A huge but valid change is scheduled like any other.
  Reply big = host.associate(h, huge);
  EXPECT_EQ(big.rc, 1) << big.text.substr(0, 200);
  ASSERT_EQ(host.init(init_request("entry-hostile", kUrl)), h);  // drop it again
}

}  // namespace
