#include "platform/json/cmi_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string text_of(const CMI_JSON_Value& object, const char* key) {
  auto value = object.get_value(key);
  return value ? value->text() : std::string("<absent>");
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(CmiJson, ParsesExactlyOneObject) {
  std::string deep_objects;
  for (int i = 0; i < 100000; ++i) deep_objects += "{\"a\":";
  deep_objects += "1" + std::string(100000, '}');
  const int inner = CMI_JSON_Object::kMaxDepth - 1;  // the outer object is one level
  for (const std::string& text :
       {std::string("{}"), std::string(" \n{\"a\":1}\t "), "{\"a\":" + nested(inner) + "}"})
    EXPECT_TRUE(CMI_JSON_Object(text).is_parsed()) << text;
  std::vector<std::string> rejected = {
      "{\"a\":" + nested(inner + 1) + "}", "{\"a\":" + nested(100000) + "}", deep_objects,
      std::string(100000, '{'), std::string("{\"a\":\"x\0y\"}", 11)};
  for (const char* text :
       {"", "[]", "[{\"a\":1}]", "42", "null", "{", "{\"a\":}", "{} {}", "{}x", "{\"a\":1,}",
        "{'a':1}", "{a:1}", "{\"a\":\"\x01\"}", "{\"a\":\"\xff\xfe\"}", "{\"a\":\"\xc3\"}"})
    rejected.push_back(text);
  for (const std::string& text : rejected) {
    SCOPED_TRACE(text.substr(0, 40));
    CMI_JSON_Object object(text);
    EXPECT_FALSE(object.is_parsed());
    EXPECT_EQ(nullptr, object.get_value("a"));
    EXPECT_NE(0, object.add_pair("a", CMI_JSON_Value("b")));
  }
}

TEST(CmiJson, ValuesReadAsTextAndLookupsAreCopies) {
  std::string text = "{\"k7\":0,";
  for (int i = 0; i < 2000; ++i)
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text +=
      "\"s\":\"a\\\"b\\n\",\"f\":2.5,\"n\":null,\"arr\":[1,\"x\"],\"u\":\"\\u00e9\","
      "\"nul\":\"x\\u0000y\",\"o\":{\"k\":\"v\",\"z\":[]},\"k7\":\"last\"}";
  std::unique_ptr<CMI_JSON_Value> kept;
  {
    CMI_JSON_Object object(text);
    ASSERT_TRUE(object.is_parsed());
    const std::pair<const char*, std::string> want[] = {{"s", "a\"b\n"},
                                                        {"f", "2.5"},
                                                        {"n", "null"},
                                                        {"arr", "[1,\"x\"]"},
                                                        {"u", "\xc3\xa9"},
                                                        {"nul", std::string("x\0y", 3)},
                                                        {"o", "{\"k\":\"v\",\"z\":[]}"},
                                                        {"k7", "last"},
                                                        {"k1999", "1999"},
                                                        {"missing", "<absent>"}};
    for (const auto& w : want) EXPECT_EQ(w.second, text_of(object, w.first)) << w.first;
    EXPECT_EQ(nullptr, object.get_value("s")->get_value("k"));
    // A later duplicate replaces the value in place.
    EXPECT_EQ(0u, object.to_string().find("{\"k7\":\"last\","));
    kept = object.get_value("o");
  }
  ASSERT_NE(nullptr, kept);
  EXPECT_TRUE(kept->is_object());
  EXPECT_EQ("v", text_of(*kept, "k"));
}

TEST(CmiJson, BuiltObjectsKeepInsertionOrderAndRenderValidJson) {
  CMI_JSON_Object object;
  EXPECT_EQ("{}", object.to_string());
  for (const char* key : {"zeta", "alpha", "mid"})
    ASSERT_EQ(0, object.add_pair(key, CMI_JSON_Value(key)));
  EXPECT_EQ(0, object.add_pair("alpha", CMI_JSON_Value("again")));
  EXPECT_EQ("{\"zeta\":\"zeta\",\"alpha\":\"again\",\"mid\":\"mid\"}", object.to_string());

  const std::string valid = std::string("q\"b\\s/\n\r\t\x01\x7f\0", 13);
  const std::string nasty = valid + "\xff\xc3(\xe2\x82" + "\xf0\x9f\x98\x80";
  CMI_JSON_Object built;
  ASSERT_EQ(0, built.add_pair("m", CMI_JSON_Value(nasty)));
  CMI_JSON_Object back(built.to_string());
  ASSERT_TRUE(back.is_parsed()) << built.to_string();
  const std::string round = text_of(back, "m");
  // Valid parts survive exactly; each invalid sequence turns into U+FFFD.
  EXPECT_EQ(0u, round.find(valid));
  EXPECT_NE(std::string::npos, round.find("\xef\xbf\xbd(\xef\xbf\xbd\xf0\x9f\x98\x80"));
  EXPECT_EQ(std::string::npos, round.find('\xff'));

  // Escaped text dropped between quotes reads back as the original.
  for (const std::string& original :
       {std::string("a\"b\\c\nd\te"), valid, std::string("\xfe\xff")}) {
    const std::string escaped = CMI_JSON_Object::escape_string(original);
    EXPECT_EQ(std::string::npos, escaped.find_first_of(std::string("\n\0", 2)));
    CMI_JSON_Object quoted("{\"e\":\"" + escaped + "\"}");
    ASSERT_TRUE(quoted.is_parsed()) << escaped;
    if (original[0] != '\xfe') EXPECT_EQ(original, text_of(quoted, "e"));
  }
}

}  // namespace
