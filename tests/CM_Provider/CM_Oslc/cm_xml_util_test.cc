// Parsing, navigation and conversion of response documents under a UTF-8 native code page.
#include "CM_Provider/CM_Oslc/cm_xml_util.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

// The native code page must be chosen before anything opens a converter.
// The native code page comes from the locale environment, read on first use.
const bool g_utf8_native = [] {
  setenv("LC_ALL", "C.UTF-8", 1);
  return true;
}();

using cmtest::StderrCapture;

const CM_XmlNamespace kNsU("x", "urn:u");

struct Parsed {
  std::unique_ptr<CM_XmlParser> parser;
  CM_XmlElem root;
  int rc = -1;
};

Parsed parse(const std::string& xml) {
  Parsed p;
  p.parser = std::make_unique<CM_XmlParser>(xml);
  p.rc = p.parser->GetRoot(p.root);
  return p;
}

SUM_String local_name(CM_XmlElem& e) {
  CM_XmlTag tag;
  EXPECT_EQ(0, e.Tag(tag));
  return tag.Name();
}

std::u16string u16(const XMLCh* text) {
  return text != nullptr ? std::u16string(text) : std::u16string();
}

}  // namespace

TEST(CmXmlNames, NamespaceAndTagEqualityAndQualifiedName) {
  CM_XmlNamespace nil;
  EXPECT_TRUE(nil.IsNil());
  EXPECT_FALSE(CM_XmlNamespace("", "urn:a").IsNil());
  EXPECT_FALSE(CM_XmlNamespace("a", "").IsNil());
  // Namespaces compare both parts; tags ignore the prefix.
  EXPECT_NE(CM_XmlNamespace("a", "urn:a"), CM_XmlNamespace("b", "urn:a"));
  EXPECT_EQ(CM_XmlTag(CM_XmlNamespace("a", "urn:a"), "n"),
            CM_XmlTag(CM_XmlNamespace("b", "urn:a"), "n"));
  EXPECT_NE(CM_XmlTag(CM_XmlNamespace("a", "urn:a"), "n"),
            CM_XmlTag(CM_XmlNamespace("a", "urn:b"), "n"));
  EXPECT_NE(CM_XmlTag(CM_XmlNamespace("a", "urn:a"), "n"),
            CM_XmlTag(CM_XmlNamespace("a", "urn:a"), "N"));

  EXPECT_TRUE(CM_XmlTag().IsNil());
  EXPECT_FALSE(CM_XmlTag(CM_XmlNamespace(), "n").IsNil());
  EXPECT_FALSE(CM_XmlTag(CM_XmlNamespace("p", "urn:p"), "").IsNil());

  EXPECT_STREQ("p:n", CM_XmlTag(CM_XmlNamespace("p", "urn:p"), "n").QualifiedName().c_str());
  EXPECT_STREQ("n", CM_XmlTag(CM_XmlNamespace("", "urn:p"), "n").QualifiedName().c_str());
  CM_XmlTag t(CM_XmlNamespace("p", "urn:p"), "n");
  EXPECT_STREQ("p", t.Prefix().c_str());
  EXPECT_STREQ("urn:p", t.URI().c_str());
  EXPECT_STREQ("n", t.Name().c_str());
}

TEST(CmXmlNavigation, PrefixInsensitiveLookupSkipsCommentsAndText) {
  Parsed p =
      parse("<a xmlns:x='urn:u'>\n  <!-- note -->\n  text <?pi data?><x:b>t</x:b><c>plain</c></a>");
  ASSERT_EQ(0, p.rc);

  CM_XmlElem b;
  ASSERT_EQ(0, p.root.OptChild(CM_XmlTag(CM_XmlNamespace("y", "urn:u"), "b"), b));
  CM_XmlTag tag;
  ASSERT_EQ(0, b.Tag(tag));
  EXPECT_STREQ("x", tag.Prefix().c_str());
  EXPECT_STREQ("urn:u", tag.URI().c_str());
  SUM_String text;
  ASSERT_EQ(0, b.Data(text, 0));
  EXPECT_STREQ("t", text.c_str());

  CM_XmlElem first;
  ASSERT_EQ(0, p.root.OptFirstChild(first));
  EXPECT_EQ(b.Node(), first.Node());

  // A tag without a namespace finds only the child in no namespace, and the other way round.
  CM_XmlElem c;
  ASSERT_EQ(0, p.root.OptChild(CM_XmlTag(CM_XmlNamespace(), "c"), c));
  EXPECT_STREQ("c", local_name(c).c_str());
  EXPECT_EQ(1002, p.root.OptChild(CM_XmlTag(CM_XmlNamespace(), "b"), c));
  EXPECT_EQ(1002, p.root.OptChild(CM_XmlTag(CM_XmlNamespace("x", "urn:other"), "b"), c));
  EXPECT_EQ(1002, p.root.OptChild(CM_XmlTag(CM_XmlNamespace("x", "urn:u"), "B"), c));
}

TEST(CmXmlNavigation, DataReadsOnlyTheFirstChildNode) {
  Parsed p = parse(
      "<r><mixed><b>x</b>tail</mixed><cdata><![CDATA[a<b>&c]]></cdata>"
      "<ent>A &amp; B &#x263A;</ent><comment><!--c-->after</comment><empty/>"
      "<lead>lead<b>x</b>tail</lead></r>");
  ASSERT_EQ(0, p.rc);
  std::vector<std::string> texts;
  CM_XmlElem e;
  ASSERT_EQ(0, p.root.OptFirstChild(e));
  do {
    SUM_String text("stale");
    ASSERT_EQ(0, e.Data(text, 0));
    texts.push_back(text.str());
  } while (e.OptNextSibling(e) == 0);
  const std::vector<std::string> want = {"", "a<b>&c", "A & B \xE2\x98\xBA", "", "", "lead"};
  EXPECT_EQ(want, texts);
}

TEST(CmXmlNavigation, SiblingWalkInPlaceAndStrictVariantsReport) {
  Parsed p = parse("<r><a/>text<!--x--><b/><?p q?><c/></r>");
  ASSERT_EQ(0, p.rc);
  std::string names;
  CM_XmlElem e;
  ASSERT_EQ(0, p.root.FirstChild(e));
  names += local_name(e).str();
  while (e.OptNextSibling(e) == 0) names += local_name(e).str();
  EXPECT_EQ("abc", names);
  // The failed step leaves the element where it was.
  EXPECT_STREQ("c", local_name(e).c_str());

  {
    StderrCapture err;
    CM_XmlElem out;
    EXPECT_EQ(1002, e.OptNextSibling(out));
    EXPECT_EQ(1002, e.OptFirstChild(out));
    EXPECT_EQ(1002, p.root.OptChild(tag_rdf_about(), out));
    EXPECT_EQ("", err.text());
  }
  StderrCapture err;
  CM_XmlElem out;
  EXPECT_EQ(1001, e.NextSibling(out));
  EXPECT_EQ(1001, e.FirstChild(out));
  EXPECT_EQ(1001, p.root.Child(tag_rdf_about(), out));
  CM_XmlAttr attr;
  EXPECT_EQ(1001, e.NextAttr(attr));
  std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("expected sibling element")) << printed;
  EXPECT_NE(std::string::npos, printed.find("expected first child element")) << printed;
  EXPECT_NE(std::string::npos, printed.find("\"rdf:about\"")) << printed;
  EXPECT_NE(std::string::npos, printed.find("expected attribute")) << printed;
}

TEST(CmXmlNavigation, NilElementFindsNothing) {
  CM_XmlElem nil;
  CM_XmlElem out;
  EXPECT_TRUE(nil.IsNil());
  EXPECT_EQ(1002, nil.OptChild(tag_rdf_about(), out));
  EXPECT_EQ(1002, nil.OptFirstChild(out));
  EXPECT_EQ(1002, nil.OptNextSibling(out));
  CM_XmlTag tag(kNsU, "x");
  EXPECT_EQ(0, nil.Tag(tag));
  EXPECT_TRUE(tag.IsNil());
}

TEST(CmXmlAttributes, CursorRunsBackwardsAndSkipsDeclarations) {
  Parsed p = parse("<r xmlns:n='urn:n'><e p='1' xmlns:q='n' r='2'/><f n:k='v'/><g/></r>");
  ASSERT_EQ(0, p.rc);
  CM_XmlElem e;
  ASSERT_EQ(0, p.root.OptFirstChild(e));

  std::vector<std::string> seen;
  CM_XmlAttr attr;
  while (e.OptNextAttr(attr) == 0) {
    CM_XmlTag tag;
    SUM_String value;
    ASSERT_EQ(0, attr.Tag(tag));
    ASSERT_EQ(0, attr.Value(value, 0));
    seen.push_back(tag.QualifiedName().str() + "=" + value.str());
  }
  EXPECT_EQ((std::vector<std::string>{"r=2", "p=1"}), seen);
  // Once per element object: the cursor stays exhausted, a fresh object starts again.
  EXPECT_EQ(1002, e.OptNextAttr(attr));
  CM_XmlElem again;
  ASSERT_EQ(0, p.root.OptFirstChild(again));
  ASSERT_EQ(0, again.OptNextAttr(attr));

  CM_XmlElem f;
  ASSERT_EQ(0, e.OptNextSibling(f));
  ASSERT_EQ(0, f.OptNextAttr(attr));
  CM_XmlTag tag;
  ASSERT_EQ(0, attr.Tag(tag));
  EXPECT_EQ(CM_XmlTag(CM_XmlNamespace("other", "urn:n"), "k"), tag);
  EXPECT_STREQ("n", tag.Prefix().c_str());

  // Only declarations: nothing to visit.
  CM_XmlAttr none;
  EXPECT_EQ(1002, p.root.OptNextAttr(none));
  CM_XmlElem g;
  ASSERT_EQ(0, f.OptNextSibling(g));
  EXPECT_EQ(1002, g.OptNextAttr(none));
  EXPECT_TRUE(none.IsNil());
  SUM_String value("stale");
  EXPECT_EQ(0, none.Value(value, 0));
  EXPECT_STREQ("", value.c_str());
  EXPECT_EQ(0, none.Tag(tag));
  EXPECT_TRUE(tag.IsNil());
}

TEST(CmXmlAttributes, FindAttributeIsLiteralAndMissingIsEmpty) {
  Parsed p = parse(
      "<r xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' "
      "xmlns:R='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
      "<a rdf:about='u1' plain='v &amp; w'/><b R:about='u2'/></r>");
  ASSERT_EQ(0, p.rc);
  CM_XmlElem a;
  ASSERT_EQ(0, p.root.OptFirstChild(a));
  SUM_String value;
  ASSERT_EQ(0, a.find_attribute("rdf:about", value));
  EXPECT_STREQ("u1", value.c_str());
  ASSERT_EQ(0, a.find_attribute("plain", value));
  EXPECT_STREQ("v & w", value.c_str());
  value = "stale";
  EXPECT_EQ(0, a.find_attribute("missing", value));
  EXPECT_STREQ("", value.c_str());

  // The lookup is by the written name: another prefix for the same namespace does not match.
  CM_XmlElem b;
  ASSERT_EQ(0, a.OptNextSibling(b));
  EXPECT_EQ(0, b.find_attribute("rdf:about", value));
  EXPECT_STREQ("", value.c_str());
  EXPECT_EQ(0, b.find_attribute("R:about", value));
  EXPECT_STREQ("u2", value.c_str());
}

namespace {

const char kRecord[] =
    "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'"
    " xmlns:dcterms='http://purl.org/dc/terms/' xmlns:oslc_cm='http://open-services.net/ns/cm#'"
    " xmlns:rdfs='http://www.w3.org/2000/01/rdf-schema#'>"
    "<rdf:Description rdf:about='http://h/q'><rdfs:member>"
    "<oslc_cm:ChangeRequest rdf:about='http://h/record/1'>"
    "<oslc_cm:tracksChangeSet rdf:resource='sel-1' rdf:ID='L1'/>"
    "<oslc_cm:tracksChangeSet rdf:resource='sel-2' rdf:ID='L2'/>"
    "</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>"
    "<rdf:Description rdf:about='#L1'><dcterms:title>first title</dcterms:title></rdf:Description>"
    "<rdf:Description rdf:about='#L2'><dcterms:title>second \xC3\xBC</dcterms:title>"
    "</rdf:Description>"
    "<rdf:Description rdf:about='#L3'><dcterms:other>x</dcterms:other></rdf:Description>"
    "<rdf:Description rdf:about='#L2'><dcterms:title>shadowed</dcterms:title></rdf:Description>"
    "</rdf:RDF>";

// Runs the searches a record read makes and returns "code:body" per id.
std::vector<std::string> search_all(CM_XmlElem& root, const std::vector<std::string>& ids) {
  std::vector<std::string> out;
  EXPECT_EQ(0, root.get_rdf_description_nodes(tag_rdf_Description().QualifiedName()));
  for (const std::string& id : ids) {
    SUM_String body("unchanged");
    int rc = root.get_body_from_nodelist(tag_dcterms_title(), id, body);
    out.push_back(std::to_string(rc) + ":" + body.str());
  }
  return out;
}

}  // namespace

TEST(CmXmlNodeList, SearchHitMissAndMissingChild) {
  Parsed p = parse(kRecord);
  ASSERT_EQ(0, p.rc);
  StderrCapture err;
  std::vector<std::string> got = search_all(p.root, {"#L1", "#L2", "#L9", "#L3", "#l1"});
  const std::vector<std::string> want = {"0:first title", "0:second \xC3\xBC", "1002:unchanged",
                                         "1001:unchanged", "1002:unchanged"};
  EXPECT_EQ(want, got);
  EXPECT_NE(std::string::npos, err.text().find("\"dcterms:title\""));
}

TEST(CmXmlNodeList, TracedSearchAgreesWithIndexedSearch) {
  // Detail tracing walks node by node; without it the search uses an index. Same answers.
  cmtest::TempHome home;
  std::vector<std::string> ids = {"#L2", "#L1", "#L9", "#L3", "http://h/q"};
  Parsed quiet = parse(kRecord);
  ASSERT_EQ(0, quiet.rc);
  std::vector<std::string> indexed;
  {
    StderrCapture err;
    indexed = search_all(quiet.root, ids);
  }

  CM_Trace::reset();
  CM_Trace::set_file("xmltest", static_cast<int>(getpid()));
  CM_Trace::configure("CMOSLC", 5);
  Parsed traced = parse(kRecord);
  ASSERT_EQ(0, traced.rc);
  std::vector<std::string> walked;
  {
    StderrCapture err;
    walked = search_all(traced.root, ids);
  }
  CM_Trace::close();
  std::string log = cmtest::read_file(CM_Trace::file_path());
  CM_Trace::reset();

  EXPECT_EQ(indexed, walked);
  EXPECT_NE(std::string::npos, log.find("Attr value is #L1")) << log.substr(0, 2000);
  EXPECT_NE(std::string::npos, log.find("Found 5 nodes with tag rdf:Description"));
}

TEST(CmXmlNodeList, SearchWithoutCollectingIsAnInternalError) {
  Parsed p = parse(kRecord);
  ASSERT_EQ(0, p.rc);
  StderrCapture err;
  SUM_String body;
  EXPECT_EQ(1072, p.root.get_body_from_nodelist(tag_dcterms_title(), "#L1", body));
  EXPECT_NE(std::string::npos, err.text().find("cm_xml_util"));
  // Navigation hands out fresh elements without the list of their origin.
  ASSERT_EQ(0, p.root.get_rdf_description_nodes("rdf:Description"));
  CM_XmlElem copy = p.root;
  EXPECT_EQ(0, copy.get_body_from_nodelist(tag_dcterms_title(), "#L1", body));
  CM_XmlElem child;
  ASSERT_EQ(0, p.root.OptFirstChild(child));
  EXPECT_EQ(1072, child.get_body_from_nodelist(tag_dcterms_title(), "#L1", body));
}

TEST(CmXmlParser, ParsesOnceAndRetriesAfterFailure) {
  Parsed p = parse(kRecord);
  ASSERT_EQ(0, p.rc);
  CM_XmlElem again;
  ASSERT_EQ(0, p.parser->GetRoot(again));
  EXPECT_EQ(p.root.Node(), again.Node());

  StderrCapture err;
  CM_XmlParser broken("<r><unclosed></r>");
  CM_XmlElem root;
  EXPECT_EQ(1001, broken.GetRoot(root));
  EXPECT_EQ(1001, broken.GetRoot(root));
  EXPECT_TRUE(root.IsNil());
  std::string printed = err.text();
  // One printed Xerces message per attempt.
  size_t first = printed.find("Xerces");
  ASSERT_NE(std::string::npos, first);
  EXPECT_NE(std::string::npos, printed.find("Xerces", first + 1));
}

TEST(CmXmlParser, ParsersAndTheirDocumentsAreIndependent) {
  // Xerces initialisation is counted: parsers may overlap and end in any order.
  auto first = std::make_unique<CM_XmlParser>("<one>1</one>");
  auto second = std::make_unique<CM_XmlParser>("<two>2</two>");
  CM_XmlElem r1;
  CM_XmlElem r2;
  ASSERT_EQ(0, first->GetRoot(r1));
  ASSERT_EQ(0, second->GetRoot(r2));
  first.reset();
  SUM_String text;
  ASSERT_EQ(0, r2.Data(text, 0));
  EXPECT_STREQ("2", text.c_str());
  second.reset();

  Parsed third = parse("<three>3</three>");
  ASSERT_EQ(0, third.rc);
  ASSERT_EQ(0, third.root.Data(text, 0));
  EXPECT_STREQ("3", text.c_str());
}

TEST(CmXmlConversion, NativeTextRoundTripsExactly) {
  Parsed keep_xerces = parse("<r/>");  // native_to_xmlch allocates through Xerces
  UConverter* a = nullptr;
  UConverter* b = nullptr;
  ASSERT_EQ(0, get_native_converter(&a));
  ASSERT_EQ(0, get_native_converter(&b));
  EXPECT_NE(nullptr, a);
  EXPECT_EQ(a, b);

  const std::vector<std::string> samples = {"plain",
                                            "Gr\xC3\xBC\xC3\x9F"
                                            "e \xE2\x82\xAC",
                                            "clef \xF0\x9D\x84\x9E end", std::string(5000, 'z')};
  for (const std::string& s : samples) {
    XMLCh* wide = nullptr;
    ASSERT_EQ(0, native_to_xmlch(s, &wide)) << s;
    SUM_String back;
    EXPECT_EQ(0, xmlch_to_native(wide, back, 0));
    EXPECT_EQ(s, back.str());
    EXPECT_EQ(s, xmlch_to_string(wide).str());
    xercesc::XMLString::release(&wide);
  }
  XMLCh* wide = nullptr;
  ASSERT_EQ(0, native_to_xmlch("\xE2\x82\xAC", &wide));
  EXPECT_EQ(u"\u20AC", u16(wide));
  xercesc::XMLString::release(&wide);

  ASSERT_EQ(0, native_to_xmlch("", &wide));
  ASSERT_NE(nullptr, wide);
  EXPECT_EQ(u"", u16(wide));
  xercesc::XMLString::release(&wide);

  SUM_String out("stale");
  EXPECT_EQ(0, xmlch_to_native(nullptr, out, 0));
  EXPECT_STREQ("", out.c_str());
}

TEST(CmXmlConversion, InvalidNativeBytesAreRefusedNotReplaced) {
  Parsed keep_xerces = parse("<r/>");
  StderrCapture err;
  XMLCh* wide = nullptr;
  EXPECT_EQ(1001, native_to_xmlch("bad \xFF byte", &wide));
  EXPECT_EQ(nullptr, wide);
  EXPECT_EQ(1001, native_to_xmlch("cut \xE2\x82", &wide));
  EXPECT_EQ(nullptr, wide);
  std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("Failed to convert native string")) << printed;
}

TEST(CmXmlConversion, NonAsciiDocumentTextReachesTheCaller) {
  Parsed p = parse("<?xml version='1.0' encoding='ISO-8859-1'?><r a='caf\xE9'>\xE0 la carte</r>");
  ASSERT_EQ(0, p.rc);
  SUM_String text;
  ASSERT_EQ(0, p.root.Data(text, 0));
  EXPECT_STREQ("\xC3\xA0 la carte", text.c_str());
  ASSERT_EQ(0, p.root.find_attribute("a", text));
  EXPECT_STREQ("caf\xC3\xA9", text.c_str());
}

namespace {

TEST(CmXmlParserKit, HandedOnParserReadsTheNextDocumentAndStaysHardened) {
  const std::string first = "<a xmlns='urn:u'><b>one</b></a>";
  const std::string second = "<x:c xmlns:x='urn:u'><x:d>two</x:d></x:c>";
  const std::string doctype = "<!DOCTYPE r [<!ENTITY e 'boom'>]><r>&e;</r>";
  auto spent = std::make_unique<CM_XmlParser>(first);
  CM_XmlElem root;
  ASSERT_EQ(0, spent->GetRoot(root));
  std::unique_ptr<CM_XmlParser::Kit> kit = spent->TakeKit();
  ASSERT_NE(nullptr, kit);
  spent.reset();

  auto next = std::make_unique<CM_XmlParser>(second, std::move(kit));
  ASSERT_EQ(0, next->GetRoot(root));
  EXPECT_EQ("c", local_name(root).str());
  CM_XmlElem child;
  ASSERT_EQ(0, root.Child(CM_XmlTag(kNsU, "d"), child));
  SUM_String text;
  ASSERT_EQ(0, child.Data(text, 0));
  EXPECT_EQ("two", text.str());

  // The refusal of a DOCTYPE and the depth limit survive the hand-over.
  kit = next->TakeKit();
  ASSERT_NE(nullptr, kit);
  next.reset();
  StderrCapture quiet;
  auto refused = std::make_unique<CM_XmlParser>(doctype, std::move(kit));
  EXPECT_NE(0, refused->GetRoot(root));
  // A parser whose document failed hands nothing on.
  EXPECT_EQ(nullptr, refused->TakeKit());
  std::string deep;
  for (int i = 0; i < 1001; ++i) deep += "<e>";
  for (int i = 0; i < 1001; ++i) deep += "</e>";
  auto fresh = std::make_unique<CM_XmlParser>(first);
  ASSERT_EQ(0, fresh->GetRoot(root));
  CM_XmlParser too_deep(deep, fresh->TakeKit());
  EXPECT_NE(0, too_deep.GetRoot(root));
}

}  // namespace
