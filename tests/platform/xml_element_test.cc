#include "platform/sum/xml_element.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void expect_same(const XML_Element& a, const XML_Element& b) {
  EXPECT_EQ(a.name(), b.name());
  EXPECT_EQ(a.text().str(), b.text().str()) << "in element " << a.name().c_str();
  ASSERT_EQ(a.sub_elements().count(), b.sub_elements().count()) << a.name().c_str();
  for (int i = 0; i < a.sub_elements().count(); ++i)
    expect_same(a.sub_elements()[i], b.sub_elements()[i]);
}

XML_Element round_trip(const XML_Element& e) {
  SUM_String text;
  EXPECT_EQ(e.string(text, 0), 0);
  XML_Element back;
  EXPECT_EQ(XML_Element::parse(text.c_str(), back), 0) << text.c_str();
  return back;
}

}  // namespace

TEST(XmlElement, RoundTripKeepsNamesOrderAndTexts) {
  XML_Element root("CookieJar");
  XML_Element entry("entry");
  entry.sub_elements().append(XML_Element("name", "JSESSIONID"));
  entry.sub_elements().append(XML_Element("value", "a<b & c>d \"q\" 'a'"));
  entry.sub_elements().append(XML_Element("utf8", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  entry.sub_elements().append(XML_Element("spaces", "  padded \t\n "));
  entry.sub_elements().append(XML_Element("crlf", "line1\r\nline2\r"));
  entry.sub_elements().append(XML_Element("empty"));
  entry.sub_elements().append(XML_Element("cdata-like", "]]> <![CDATA[ x"));
  root.sub_elements().append(entry);
  root.sub_elements().append(XML_Element("z"));
  root.sub_elements().append(XML_Element("a", "last"));
  expect_same(root, round_trip(root));
}

TEST(XmlElement, TextBesideChildrenSurvives) {
  XML_Element mixed("mixed", "head text");
  mixed.sub_elements().append(XML_Element("kid", "k"));
  expect_same(mixed, round_trip(mixed));

  XML_Element blank("blank", " \n ");
  blank.sub_elements().append(XML_Element("kid", "k"));
  expect_same(blank, round_trip(blank));

  // Layout whitespace between children is not content.
  XML_Element plain("plain");
  plain.sub_elements().append(XML_Element("kid"));
  XML_Element back = round_trip(plain);
  EXPECT_EQ(back.text(), "");
}

TEST(XmlElement, SpecialCharactersAreEscaped) {
  XML_Element e("v", "<&>\"'");
  SUM_String text;
  ASSERT_EQ(e.string(text, 0), 0);
  std::string s = text.str();
  EXPECT_NE(s.find("&lt;&amp;&gt;&quot;&apos;"), std::string::npos) << s;
  EXPECT_EQ(s.find("<&"), std::string::npos);
}

TEST(XmlElement, StringRefusesWhatXmlCannotCarry) {
  SUM_String out("untouched");
  EXPECT_NE(XML_Element("bad name", "x").string(out, 0), 0);
  EXPECT_NE(XML_Element("1abc", "x").string(out, 0), 0);
  EXPECT_NE(XML_Element("", "x").string(out, 0), 0);
  EXPECT_NE(XML_Element("ok", "bell\x07").string(out, 0), 0);
  EXPECT_NE(XML_Element("ok", "broken \xC3(").string(out, 0), 0);
  EXPECT_EQ(out, "untouched");
}

TEST(XmlElement, ParseRefusesMalformedInput) {
  XML_Element out("keep");
  EXPECT_NE(XML_Element::parse(nullptr, out), 0);
  EXPECT_NE(XML_Element::parse("", out), 0);
  EXPECT_NE(XML_Element::parse("   ", out), 0);
  EXPECT_NE(XML_Element::parse("<a><b></a>", out), 0);
  EXPECT_NE(XML_Element::parse("<a>text", out), 0);
  EXPECT_NE(XML_Element::parse("<a/><b/>", out), 0);
  EXPECT_NE(XML_Element::parse("just text", out), 0);
  EXPECT_NE(XML_Element::parse("<a>&undefined;</a>", out), 0);
  EXPECT_NE(XML_Element::parse("<a>\xFF\xFE</a>", out), 0);
  EXPECT_EQ(out.name(), "keep");
}

TEST(XmlElement, ParseRefusesDocumentTypes) {
  XML_Element out;
  // Each level multiplies by ten: expanded it would be gigabytes.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  bomb += "]><l>&l9;</l>";
  EXPECT_NE(XML_Element::parse(bomb.c_str(), out), 0);

  std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><a>&x;</a>";
  EXPECT_NE(XML_Element::parse(external.c_str(), out), 0);
  EXPECT_EQ(out.text().str().find("root"), std::string::npos);

  EXPECT_NE(XML_Element::parse("<!DOCTYPE a><a/>", out), 0);
  EXPECT_NE(XML_Element::parse("<!DOCTYPE a SYSTEM \"http://127.0.0.1:1/x.dtd\"><a/>", out), 0);
}

TEST(XmlElement, ParseIgnoresCommentsAndAttributes) {
  XML_Element out;
  ASSERT_EQ(XML_Element::parse("<a x=\"1\"><!-- c --><b>t<!-- c -->u</b><?pi x?></a>", out), 0);
  EXPECT_EQ(out.name(), "a");
  ASSERT_EQ(out.sub_elements().count(), 1);
  EXPECT_EQ(out.sub_elements()[0].text(), "tu");
}

TEST(XmlElement, DeepNestingFailsCleanly) {
  std::string deep;
  for (int i = 0; i < 5000; ++i) deep += "<d>";
  for (int i = 0; i < 5000; ++i) deep += "</d>";
  XML_Element out;
  EXPECT_NE(XML_Element::parse(deep.c_str(), out), 0);

  XML_Element nested("d");
  for (int i = 0; i < 300; ++i) {
    XML_Element parent("d");
    parent.sub_elements().append(nested);
    nested = parent;
  }
  SUM_String text;
  EXPECT_NE(nested.string(text, 0), 0);
}
