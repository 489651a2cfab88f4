#include "platform/json/cmi_json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string text_of(const CMI_JSON_Value& object, const char* key) {
  auto value = object.get_value(key);
  return value ? value->text() : std::string("<absent>");
}

TEST(CmiJsonParse, AcceptsOnlyOneObject) {
  EXPECT_TRUE(CMI_JSON_Object("{}").is_parsed());
  EXPECT_TRUE(CMI_JSON_Object(" \n{\"a\":1}\t ").is_parsed());
  const char* rejected[] = {"",           " ",       "[]",    "[{\"a\":1}]",     "42",    "\"x\"",
                            "null",       "true",    "{",     "{\"a\":}",        "{} {}", "{}x",
                            "{\"a\":1,}", "{'a':1}", "{a:1}", "{\"a\":\"\x01\"}"};
  for (const char* text : rejected) {
    CMI_JSON_Object object(text);
    EXPECT_FALSE(object.is_parsed()) << text;
    EXPECT_EQ(nullptr, object.get_value("a")) << text;
  }
}

TEST(CmiJsonParse, RejectsInvalidUtf8AndRawNul) {
  EXPECT_FALSE(CMI_JSON_Object("{\"a\":\"\xff\xfe\"}").is_parsed());
  EXPECT_FALSE(CMI_JSON_Object("{\"a\":\"\xc3\"}").is_parsed());
  EXPECT_FALSE(CMI_JSON_Object(std::string("{\"a\":\"x\0y\"}", 11)).is_parsed());
}

TEST(CmiJsonParse, EscapedNulSurvivesIntoText) {
  CMI_JSON_Object object("{\"a\":\"x\\u0000y\"}");
  ASSERT_TRUE(object.is_parsed());
  EXPECT_EQ(std::string("x\0y", 3), text_of(object, "a"));
}

TEST(CmiJsonParse, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const int depth = 100000;
  std::string arrays = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_FALSE(CMI_JSON_Object(arrays).is_parsed());
  std::string objects;
  for (int i = 0; i < depth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(depth, '}');
  EXPECT_FALSE(CMI_JSON_Object(objects).is_parsed());
  // Unbalanced openers only.
  EXPECT_FALSE(CMI_JSON_Object(std::string(depth, '{')).is_parsed());
}

TEST(CmiJsonParse, NestingUpToTheLimitParses) {
  const int inner = CMI_JSON_Object::kMaxDepth - 1;  // the outer object is one level
  std::string text = "{\"a\":" + std::string(inner, '[') + std::string(inner, ']') + "}";
  EXPECT_TRUE(CMI_JSON_Object(text).is_parsed());
  text = "{\"a\":" + std::string(inner + 1, '[') + std::string(inner + 1, ']') + "}";
  EXPECT_FALSE(CMI_JSON_Object(text).is_parsed());
}

TEST(CmiJsonParse, ManyMembersAndDuplicates) {
  std::string text = "{";
  const int n = 20000;
  for (int i = 0; i < n; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text += "\"k7\":\"last\"}";
  CMI_JSON_Object object(text);
  ASSERT_TRUE(object.is_parsed());
  EXPECT_EQ("last", text_of(object, "k7"));
  EXPECT_EQ(std::to_string(n - 1), text_of(object, ("k" + std::to_string(n - 1)).c_str()));
}

TEST(CmiJsonValue, TextOfEachType) {
  CMI_JSON_Object object(
      "{\"s\":\"a\\\"b\\n\",\"i\":-12,\"f\":2.5,\"t\":true,\"n\":null,"
      "\"arr\":[1,\"x\"],\"o\":{\"k\":\"v\",\"z\":[]},\"u\":\"\\u00e9\"}");
  ASSERT_TRUE(object.is_parsed());
  EXPECT_EQ("a\"b\n", text_of(object, "s"));
  EXPECT_EQ("-12", text_of(object, "i"));
  EXPECT_EQ("2.5", text_of(object, "f"));
  EXPECT_EQ("true", text_of(object, "t"));
  EXPECT_EQ("null", text_of(object, "n"));
  EXPECT_EQ("[1,\"x\"]", text_of(object, "arr"));
  EXPECT_EQ("{\"k\":\"v\",\"z\":[]}", text_of(object, "o"));
  EXPECT_EQ("\xc3\xa9", text_of(object, "u"));
  EXPECT_EQ("<absent>", text_of(object, "missing"));
}

TEST(CmiJsonValue, NestedObjectsAnswerLookups) {
  CMI_JSON_Object object("{\"outer\":{\"inner\":{\"leaf\":\"x\"}},\"str\":\"s\"}");
  auto outer = object.get_value("outer");
  ASSERT_NE(nullptr, outer);
  EXPECT_TRUE(outer->is_object());
  auto inner = outer->get_value("inner");
  ASSERT_NE(nullptr, inner);
  EXPECT_EQ("x", text_of(*inner, "leaf"));
  // Non-objects have no members.
  auto str = object.get_value("str");
  ASSERT_NE(nullptr, str);
  EXPECT_EQ(nullptr, str->get_value("leaf"));
  // A looked-up value is a copy: the source may go away.
  std::unique_ptr<CMI_JSON_Value> kept;
  {
    CMI_JSON_Object temp("{\"k\":{\"v\":\"w\"}}");
    kept = temp.get_value("k");
  }
  ASSERT_NE(nullptr, kept);
  EXPECT_EQ("w", text_of(*kept, "v"));
}

TEST(CmiJsonBuild, MembersKeepInsertionOrder) {
  CMI_JSON_Object object;
  EXPECT_TRUE(object.is_parsed());
  EXPECT_EQ("{}", object.to_string());
  EXPECT_EQ(0, object.add_pair("zeta", CMI_JSON_Value("1")));
  EXPECT_EQ(0, object.add_pair("alpha", CMI_JSON_Value("2")));
  EXPECT_EQ(0, object.add_pair("mid", CMI_JSON_Value("3")));
  EXPECT_EQ("{\"zeta\":\"1\",\"alpha\":\"2\",\"mid\":\"3\"}", object.to_string());
  EXPECT_EQ(0, object.add_pair("alpha", CMI_JSON_Value("again")));
  EXPECT_EQ("{\"zeta\":\"1\",\"alpha\":\"again\",\"mid\":\"3\"}", object.to_string());
}

TEST(CmiJsonBuild, AddingToAnUnparsedObjectFails) {
  CMI_JSON_Object broken("not json");
  EXPECT_NE(0, broken.add_pair("a", CMI_JSON_Value("b")));
  EXPECT_FALSE(broken.is_parsed());
}

TEST(CmiJsonBuild, RenderedTextParsesBackWhateverTheBytes) {
  const std::string nasty = std::string("q\"b\\s/\n\r\t\x01\x7f", 12) + std::string(1, '\0') +
                            "\xff\xc3(\xe2\x82" + "\xf0\x9f\x98\x80";
  CMI_JSON_Object object;
  ASSERT_EQ(0, object.add_pair("m", CMI_JSON_Value(nasty)));
  const std::string rendered = object.to_string();
  CMI_JSON_Object back(rendered);
  ASSERT_TRUE(back.is_parsed()) << rendered;
  const std::string round = text_of(back, "m");
  // Valid parts survive exactly; each invalid sequence turns into U+FFFD.
  EXPECT_EQ(0u, round.find(std::string("q\"b\\s/\n\r\t\x01\x7f", 12) + std::string(1, '\0')));
  EXPECT_NE(std::string::npos, round.find("\xef\xbf\xbd"));
  EXPECT_NE(std::string::npos, round.find("\xf0\x9f\x98\x80"));
  EXPECT_EQ(std::string::npos, round.find('\xff'));
}

TEST(CmiJsonEscape, EscapesForUseInsideQuotes) {
  EXPECT_EQ("plain text", CMI_JSON_Object::escape_string("plain text"));
  EXPECT_EQ("a\\\"b\\\\c\\nd\\te", CMI_JSON_Object::escape_string("a\"b\\c\nd\te"));
  EXPECT_EQ("\\u0001\\u0000", CMI_JSON_Object::escape_string(std::string("\x01\0", 2)));
  EXPECT_EQ("", CMI_JSON_Object::escape_string(""));
  // Dropped between quotes, any escaped text reads back as the original.
  const std::string original = "Server error: \"<html>\"\n\\path";
  CMI_JSON_Object back("{\"e\":\"" + CMI_JSON_Object::escape_string(original) + "\"}");
  ASSERT_TRUE(back.is_parsed());
  EXPECT_EQ(original, text_of(back, "e"));
  // Invalid UTF-8 never yields an unparsable string.
  CMI_JSON_Object bad("{\"e\":\"" + CMI_JSON_Object::escape_string("\xfe\xff") + "\"}");
  EXPECT_TRUE(bad.is_parsed());
}

}  // namespace
