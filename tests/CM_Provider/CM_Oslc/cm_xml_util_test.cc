// Names, parsing, navigation, the description index and conversion under a UTF-8 native page.
#include "CM_Provider/CM_Oslc/cm_xml_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

// The native code page comes from the locale environment, read on first use.
const bool g_utf8_native = [] { return setenv("LC_ALL", "C.UTF-8", 1) == 0; }();

CM_XmlTag tag(const char* prefix, const char* uri, const char* name) {
  return CM_XmlTag(CM_XmlNamespace(prefix, uri), name);
}

// "name=text" of an element, or of an attribute when attr is given.
std::string show(CM_XmlElem e, CM_XmlAttr* attr = nullptr) {
  CM_XmlTag t;
  SUM_String text;
  int rc = attr ? attr->Tag(t) : e.Tag(t);
  if (rc == 0) rc = attr ? attr->Value(text, 0) : e.Data(text, 0);
  return rc == 0 ? t.QualifiedName().str() + "=" + text.str() : "failed";
}

}  // namespace

TEST(CmXmlNames, TagsMatchByUriAndLocalNameOnly) {
  EXPECT_TRUE(CM_XmlTag().IsNil());
  EXPECT_FALSE(tag("", "", "n").IsNil());
  EXPECT_FALSE(CM_XmlNamespace("", "urn:a").IsNil());
  EXPECT_NE(CM_XmlNamespace("a", "urn:a"), CM_XmlNamespace("b", "urn:a"));
  EXPECT_EQ(tag("a", "urn:a", "n"), tag("b", "urn:a", "n"));
  EXPECT_NE(tag("a", "urn:a", "n"), tag("a", "urn:b", "n"));
  EXPECT_NE(tag("a", "urn:a", "n"), tag("a", "urn:a", "N"));
  EXPECT_EQ("n", tag("", "urn:p", "n").QualifiedName().str());
}

TEST(CmXmlNavigation, ChildrenSiblingsTextAndAttributes) {
  CM_XmlParser parser(
      "<r xmlns:x='urn:u'><!-- c -->text <?pi d?><x:b p='1' xmlns:q='n' x:r='2'>t</x:b><c>plain</c>"
      "<mixed><b>x</b>tail</mixed><cdata><![CDATA[a<b>&c]]></cdata><ent>A &amp; &#x263A;</ent>"
      "<comment><!--c-->after</comment><empty/><lead>lead<b>x</b>tail</lead></r>");
  CM_XmlElem root, e, nil, out;
  CM_XmlAttr attr;
  ASSERT_EQ(0, parser.GetRoot(root));
  // Prefixes play no part; a tag without a namespace finds only children in none.
  ASSERT_EQ(0, root.OptChild(tag("y", "urn:u", "b"), e));
  EXPECT_EQ(0, root.OptChild(tag("", "", "c"), out));
  for (const CM_XmlTag& missing :
       {tag("", "", "b"), tag("x", "urn:o", "b"), tag("x", "urn:u", "B")})
    EXPECT_EQ(1002, root.OptChild(missing, out)) << missing.QualifiedName().c_str();

  // Attributes from the last to the first, declarations skipped, once per element object.
  std::vector<std::string> seen;
  while (e.OptNextAttr(attr) == 0) seen.push_back(show(e, &attr));
  EXPECT_EQ(1002, e.OptNextAttr(attr));
  EXPECT_EQ(1002, root.OptNextAttr(attr));
  SUM_String value("stale");
  EXPECT_EQ(0, e.find_attribute("x:r", value));  // literal: by the written name
  EXPECT_EQ("2", value.str());
  EXPECT_EQ(0, e.find_attribute("q:r", value));
  EXPECT_EQ("", value.str());

  // Data is the first child node's text only; the walk skips all that is not an element.
  ASSERT_EQ(0, root.FirstChild(e));
  do seen.push_back(show(e));
  while (e.OptNextSibling(e) == 0);
  const std::vector<std::string> want = {"x:r=2",
                                         "p=1",
                                         "x:b=t",
                                         "c=plain",
                                         "mixed=",
                                         "cdata=a<b>&c",
                                         "ent=A & \xE2\x98\xBA",
                                         "comment=",
                                         "empty=",
                                         "lead=lead",
                                         "lead=lead"};
  seen.push_back(show(e));  // a failed step leaves the element where it was
  EXPECT_EQ(want, seen);

  CM_XmlTag nil_tag(CM_XmlNamespace("p", "u"), "n");
  EXPECT_EQ(0, nil.Tag(nil_tag));
  EXPECT_TRUE(nil_tag.IsNil());
  EXPECT_EQ(1002, nil.OptChild(tag("", "", "c"), out));
  EXPECT_EQ(1002, nil.OptNextSibling(out));
  EXPECT_EQ(1002, nil.OptNextAttr(attr));
  CM_XmlAttr none;
  EXPECT_TRUE(none.IsNil());
  EXPECT_EQ("=", show(nil, &none));  // a nil attribute: empty name and value
  cmtest::StderrCapture err;
  EXPECT_EQ(1002, nil.OptFirstChild(out));
  EXPECT_EQ(1001, e.NextSibling(out));
  EXPECT_EQ(1001, nil.FirstChild(out));
  EXPECT_EQ(1001, root.Child(tag("rdf", "urn:r", "about"), out));
  EXPECT_EQ(1001, nil.NextAttr(attr));
  const std::string printed = err.text();
  for (const char* part :
       {"expected sibling", "expected first child", "\"rdf:about\"", "attribute"})
    EXPECT_NE(std::string::npos, printed.find(part)) << part;
}

// The index answers the same whether the search is traced step by step or not.
TEST(CmXmlNodeList, SearchHitMissAndMissingChild) {
  cmtest::TempHome home;
  const char* record =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' xmlns:d='urn:d'>"
      "<rdf:Description rdf:about='http://h/q'><x><rdf:Description rdf:about='#L1'>"
      "<d:title>first <![CDATA[title]]></d:title></rdf:Description></x></rdf:Description>"
      "<rdf:Description rdf:about='#L2'><d:title>second \xC3\xBC</d:title></rdf:Description>"
      "<rdf:Description rdf:about='#L3'><d:other>x</d:other></rdf:Description>"
      "<rdf:Description rdf:about='#L2'><d:title>shadowed</d:title></rdf:Description></rdf:RDF>";
  const CM_XmlTag title = tag("d", "urn:d", "title");
  const std::vector<std::string> ids = {"#L1", "#L2", "#L9", "#L3", "#l1", "http://h/q"};
  const std::vector<std::string> want = {"0:first title",  "0:second \xC3\xBC", "1002:unchanged",
                                         "1001:unchanged", "1002:unchanged",    "1001:unchanged"};
  for (int level : {0, 5}) {
    CM_Trace::reset();
    CM_Trace::set_file("xmltest", static_cast<int>(getpid()));
    CM_Trace::configure("CMOSLC", level);
    CM_XmlParser parser(record);
    CM_XmlElem root, child;
    ASSERT_EQ(0, parser.GetRoot(root));
    cmtest::StderrCapture err;
    SUM_String body("unchanged");
    EXPECT_EQ(1072, root.get_body_from_nodelist(title, "#L1", body));  // nothing collected
    ASSERT_EQ(0, root.get_rdf_description_nodes("rdf:Description"));
    std::vector<std::string> got;
    CM_XmlElem copy = root;  // copies share the collected nodes
    for (const std::string& id : ids) {
      body = "unchanged";
      int rc = copy.get_body_from_nodelist(title, id, body);
      got.push_back(std::to_string(rc) + ":" + body.str());
    }
    EXPECT_EQ(want, got) << "trace level " << level;
    ASSERT_EQ(0, root.OptFirstChild(child));  // navigation hands out elements without the list
    EXPECT_EQ(1072, child.get_body_from_nodelist(title, "#L1", body));
    EXPECT_NE(std::string::npos, err.text().find("\"d:title\""));
    CM_Trace::close();
    const std::string log = cmtest::read_file(CM_Trace::file_path());
    EXPECT_EQ(level == 5, log.find("Found 5 nodes with tag rdf:Description") != log.npos);
    EXPECT_EQ(level == 5, log.find("Attr value is #L1") != log.npos);
    CM_Trace::reset();
  }
}

TEST(CmXmlParser, ParsesOnceRetriesAfterFailureAndHandsOnAHardenedKit) {
  auto first = std::make_unique<CM_XmlParser>("<a xmlns='urn:u'><b>one</b></a>");
  auto other = std::make_unique<CM_XmlParser>("<two>2</two>");
  CM_XmlElem root, again, r2;
  ASSERT_EQ(0, first->GetRoot(root));
  ASSERT_EQ(0, first->GetRoot(again));
  EXPECT_EQ(root.Node(), again.Node());
  ASSERT_EQ(0, other->GetRoot(r2));
  std::unique_ptr<CM_XmlParser::Kit> kit = first->TakeKit();
  ASSERT_NE(nullptr, kit);
  first.reset();  // Xerces initialisation is counted: the other document stays readable
  EXPECT_EQ("two=2", show(r2));

  CM_XmlParser next("<x:c xmlns:x='urn:u'><x:d>two</x:d></x:c>", std::move(kit));
  ASSERT_EQ(0, next.GetRoot(root));
  ASSERT_EQ(0, root.Child(tag("", "urn:u", "d"), again));
  EXPECT_EQ("x:d=two", show(again));

  // A DOCTYPE and deep nesting stay refused after the hand-over; a failed parser hands nothing.
  cmtest::StderrCapture err;
  std::string deep;
  for (int i = 0; i < 1001; ++i) deep = "<e>" + deep + "</e>";
  for (const std::string& body : {std::string("<!DOCTYPE r [<!ENTITY e 'x'>]><r>&e;</r>"), deep}) {
    CM_XmlParser refused(body, next.TakeKit());
    EXPECT_EQ(1001, refused.GetRoot(root));
    EXPECT_EQ(1001, refused.GetRoot(root));  // tried again, printed again
    EXPECT_EQ(nullptr, refused.TakeKit());
  }
  const std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("Xerces", printed.find("Xerces") + 1));
}

TEST(CmXmlConversion, NativeTextRoundTripsExactlyOrIsRefused) {
  CM_XmlParser latin("<?xml version='1.0' encoding='ISO-8859-1'?><r a='caf\xE9'>\xE0 la</r>");
  CM_XmlElem root;
  CM_XmlAttr attr;
  ASSERT_EQ(0, latin.GetRoot(root));  // also keeps Xerces up for the conversions below
  ASSERT_EQ(0, root.OptNextAttr(attr));
  EXPECT_EQ("r=\xC3\xA0 la a=caf\xC3\xA9", show(root) + " " + show(root, &attr));
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"", u""},
      {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", u"Gr\u00FC\u00DF \u20AC"},
      {"clef \xF0\x9D\x84\x9E", u"clef \U0001D11E"},
      {std::string(5000, 'z'), std::u16string(5000, u'z')}};
  for (const auto& c : cases) {
    CM_XmlText wide;
    ASSERT_EQ(0, wide.Convert(c.first)) << c.first;
    ASSERT_NE(nullptr, wide.get());
    EXPECT_EQ(c.second, std::u16string(wide.get()));
    EXPECT_EQ(c.first, xmlch_to_string(wide.get()).str());
  }
  cmtest::StderrCapture err;
  for (const char* bad : {"bad \xFF byte", "cut \xE2\x82"}) {
    CM_XmlText wide;
    EXPECT_EQ(1001, wide.Convert(bad));
    EXPECT_EQ(nullptr, wide.get());
  }
  EXPECT_NE(std::string::npos, err.text().find("Failed to convert native string"));
  SUM_String out("stale");
  EXPECT_EQ(0, xmlch_to_native(nullptr, out, 0));
  EXPECT_EQ("", out.str());
}
