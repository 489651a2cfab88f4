// The XML layer under a UTF-8 native page: names, navigation, text
// conversion, the update-document builder, and hostile response bodies.
#include "CM_Provider/CM_Oslc/cm_xml_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_doc.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
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

std::string nested(int depth, const std::string& leaf, bool closed = true) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) open += "<a>", close += "</a>";
  return open + leaf + (closed ? close : "");
}

}  // namespace

TEST(CmXmlNavigation, ChildrenSiblingsTextAndAttributes) {
  CM_XmlParser parser(
      "<r xmlns:x='urn:u'><!-- c -->text <?pi d?><x:b p='1' xmlns:q='n' x:r='2'>t</x:b><c>plain</c>"
      "<mixed><b>x</b>tail</mixed><cdata><![CDATA[a<b>&c]]></cdata><ent>A &amp; &#x263A;</ent>"
      "<comment><!--c-->after</comment><empty/><lead>lead<b>x</b>tail</lead></r>");
  CM_XmlElem root, e, nil, out;
  CM_XmlAttr attr;
  ASSERT_EQ(0, parser.GetRoot(root));
  // Prefixes play no part; a tag without a namespace finds only children in none.
  EXPECT_EQ((std::vector<int>{0, 0, 1002, 1002, 1002}),
            (std::vector<int>{
                root.OptChild(tag("", "", "c"), out), root.OptChild(tag("y", "urn:u", "b"), e),
                root.OptChild(tag("", "", "b"), out), root.OptChild(tag("x", "urn:o", "b"), out),
                root.OptChild(tag("x", "urn:u", "B"), out)}));
  // Attributes from the last to the first, declarations skipped, once per element object.
  std::vector<std::string> seen;
  while (e.OptNextAttr(attr) == 0) seen.push_back(show(e, &attr));
  EXPECT_EQ(1002, e.OptNextAttr(attr));
  SUM_String written("stale"), other("stale");  // by the written name, literally
  EXPECT_EQ(0, e.find_attribute("x:r", written) + e.find_attribute("q:r", other));
  EXPECT_EQ("2,", written.str() + "," + other.str());

  // Data is the first child node's text only; the walk skips all that is not an element.
  ASSERT_EQ(0, root.FirstChild(e));
  do seen.push_back(show(e));
  while (e.OptNextSibling(e) == 0);
  seen.push_back(show(e));  // a failed step leaves the element where it was
  EXPECT_EQ((std::vector<std::string>{"x:r=2", "p=1", "x:b=t", "c=plain", "mixed=", "cdata=a<b>&c",
                                      "ent=A & \xE2\x98\xBA", "comment=", "empty=", "lead=lead",
                                      "lead=lead"}),
            seen);

  CM_XmlTag nil_tag = tag("p", "u", "n");
  EXPECT_TRUE(nil.Tag(nil_tag) == 0 && nil_tag.IsNil());
  cmtest::StderrCapture quiet;  // the required forms print what they missed
  EXPECT_EQ((std::vector<int>{1002, 1002, 1002, 1002, 1001, 1001, 1001, 1001}),
            (std::vector<int>{nil.OptChild(tag("", "", "c"), out), nil.OptNextSibling(out),
                              nil.OptNextAttr(attr), nil.OptFirstChild(out), e.NextSibling(out),
                              nil.FirstChild(out), root.Child(tag("r", "urn:r", "about"), out),
                              nil.NextAttr(attr)}));
}

TEST(CmXmlConversion, NativeTextRoundTripsExactlyOrIsRefused) {
  CM_XmlParser xerces_up("");
  const std::pair<std::string, std::u16string> cases[] = {
      {"", u""},
      {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC", u"Gr\u00FC\u00DF \u20AC"},
      {"clef \xF0\x9D\x84\x9E", u"clef \U0001D11E"},
      {std::string(5000, 'z'), std::u16string(5000, u'z')}};
  for (const auto& c : cases) {
    CM_XmlText wide;
    ASSERT_TRUE(wide.Convert(c.first) == 0 && wide.get()) << c.first;
    EXPECT_EQ(c.second, std::u16string(wide.get()));
    EXPECT_EQ(c.first, xmlch_to_string(wide.get()).str());
  }
  cmtest::StderrCapture err;
  for (const char* bad : {"bad \xFF byte", "cut \xE2\x82"}) {
    CM_XmlText wide;
    EXPECT_TRUE(wide.Convert(bad) == 1001 && !wide.get()) << bad;
  }
  SUM_String out("stale");
  EXPECT_EQ(0, xmlch_to_native(nullptr, out, 0));
  EXPECT_EQ("", out.str());
}

// The tracker reads declarations and link attributes in the order they were added, not the
// DOM's name order.
TEST(CmXmlDoc, UpdateDocumentKeepsOrderAndText) {
  auto doc = std::make_unique<CM_XmlDoc>();
  SUM_String body;
  // "new" replaces "old" in its place; the default namespace goes to the root.
  ASSERT_EQ(
      std::vector<int>(12, 0),
      (std::vector<int>{
          doc->CreateRootElem(CM_XmlTag(ns_rdf(), "RDF")), doc->SetNamespace(ns_rdf()),
          doc->SetNamespace(ns_oslc_cm()), doc->SetNamespace(ns_dcterms()),
          doc->PushElem(tag_oslc_cm_tracksChangeSet()), doc->AddAttr(tag_rdf_resource(), "old"),
          doc->AddAttr(tag_dcterms_title(), "Gr\xC3\xBC\xC3\x9F \xF0\x9D\x84\x9E <&\"'>"),
          doc->AddAttr(tag_rdf_resource(), "new"), doc->SetNamespace(CM_XmlNamespace("", "urn:d")),
          doc->PopElem(), doc->AddAttr(tag_rdf_ID(), "on-root"), doc->Str(body)}));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rdf:RDF"
      " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
      " xmlns:dcterms=\"http://purl.org/dc/terms/\" xmlns=\"urn:d\" rdf:ID=\"on-root\">"
      "<oslc_cm:tracksChangeSet rdf:resource=\"new\" dcterms:title=\"Gr\xC3\xBC\xC3\x9F"
      " \xF0\x9D\x84\x9E &lt;&amp;&quot;&apos;&gt;\"/></rdf:RDF>",
      body.str());
  CM_XmlParser parser(body.str());
  doc.reset();  // documents and parsers share Xerces in any order
  CM_XmlElem root;
  EXPECT_EQ(0, parser.GetRoot(root));
}

TEST(CmXmlDoc, WrongOrderAndBadNamesFailAndChangeNothing) {
  cmtest::StderrCapture err;
  CM_XmlDoc doc;
  const CM_XmlTag root = CM_XmlTag(ns_rdf(), "RDF"), record = tag_oslc_cm_ChangeRequest();
  SUM_String body("untouched"), before;
  EXPECT_EQ((std::vector<int>{1072, 1072, 1072, 1072, 1072, 1001, 0, 0}),
            (std::vector<int>{doc.PushElem(record), doc.PopElem(),
                              doc.AddAttr(tag_rdf_about(), "u"), doc.SetNamespace(ns_rdf()),
                              doc.Str(body), doc.CreateRootElem(CM_XmlTag(ns_rdf(), "bad name")),
                              doc.CreateRootElem(root), doc.Str(before)}));
  EXPECT_EQ("untouched", body.str());
  // Past the root the document node is current: a second root is a DOM error.
  EXPECT_EQ((std::vector<int>{1072, 1001, 1001, 1001, 0, 1001, 1072, 0, 1072, 1072, 0}),
            (std::vector<int>{doc.CreateRootElem(root), doc.PushElem(tag("", "", "<x>")),
                              doc.AddAttr(tag("", "", "a b"), "v"),
                              doc.AddAttr(tag_rdf_about(), "invalid \xFF native"), doc.PopElem(),
                              doc.PushElem(record), doc.AddAttr(tag_rdf_about(), "u"),
                              doc.PopElem(), doc.PopElem(), doc.PushElem(record), doc.Str(body)}));
  EXPECT_EQ(before.str(), body.str());
}

// Hostile and broken bodies fail with a printed message, never read a local file and never
// exhaust the stack (any DOCTYPE is refused before its entities); the kit a good parse hands on
// stays as hardened and usable.
TEST(CmXmlHostile, BodiesParseOrFailCleanlyWithoutLeaking) {
  cmtest::TempHome home;
  const std::string secret = "SECRET-7f3a9c-content", file = home.path() + "/secret.txt";
  cmtest::write_file(file, secret);
  std::string empties;
  for (int i = 0; i < 1000; ++i) empties += "<e/>";
  const std::string record =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description"
      " rdf:about='u'><x rdf:resource='r\xC3\xA9' rdf:ID='L1'/></rdf:Description></rdf:RDF>";
  const std::string xinclude =
      "<r xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='file://" + file +
      "' parse='text'/></r>";
  const std::vector<std::string> parsed = {record, xinclude, nested(200, "leaf"),
                                           "<r>" + empties + nested(999, "x") + "</r>"};
  // clang-format off
  std::vector<std::string> refused = {
      "<!DOCTYPE r []><r/>", "<!DOCTYPE r [<!ENTITY x SYSTEM 'file://" + file + "'>]><r a='&x;'>&x;</r>",
      "<!DOCTYPE r SYSTEM 'file://" + file + "'><r/>",
      "", "   \r\n\t  ", "Internal Server Error", "<a/><b/>", "<p:r/>", std::string("<r>\0</r>", 8),
      "<!DOCTYPE html>\n<html><head><title>502</title></head><body><br></body></html>",
      "<html><body><p>Service unavailable<br></body></html>",
      "<r>caf\xE9</r>", "<r a='\xFF\xFE'/>", "<r>\xED\xA0\x80</r>", "<r>\xC0\xAF</r>",
      "<?xml version='1.0' encoding='x-no-such-page'?><r/>", std::string("\xFF\xFE<\0r\0", 6),
      nested(1001, "x"), nested(100000, "x"), nested(100000, "x", false),
      "<r>" + empties + nested(1000, "x") + "</r>",  // empty elements do not lower the depth
  };
  // clang-format on
  for (size_t cut = 0; cut < record.size(); cut += 7) refused.push_back(record.substr(0, cut));
  for (int status : {0, 1001}) {
    for (const std::string& body : status ? refused : parsed) {
      SCOPED_TRACE(body.substr(0, 120));
      CM_XmlElem ok, root, again;
      auto good = std::make_unique<CM_XmlParser>("<ok/>");
      ASSERT_EQ(0, good->GetRoot(ok));
      cmtest::StderrCapture err;
      CM_XmlParser parser(body, good->TakeKit());
      good.reset();  // Xerces initialisation is counted: the kit outlives its first parser
      EXPECT_EQ(status, parser.GetRoot(root));
      EXPECT_EQ(status, parser.GetRoot(again));  // parsed once: a failure stays one
      EXPECT_EQ(root.Node(), again.Node());
      EXPECT_EQ(status == 0, parser.TakeKit() != nullptr);  // a failed parser hands nothing on
      EXPECT_EQ(status != 0, !err.text().empty());
      EXPECT_EQ(std::string::npos, err.text().find(secret));
    }
  }
  CM_XmlParser include(xinclude);  // stays an element: nothing of what it points at is read
  CM_XmlElem root, child;
  ASSERT_EQ(0, include.GetRoot(root) + root.OptFirstChild(child));
  EXPECT_EQ("xi:include=", show(child));
}
