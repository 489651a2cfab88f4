// The document builder, its output read back with the response parser.
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "support/stderr_capture.h"

namespace {

const bool g_utf8_native = [] { return setenv("LC_ALL", "C.UTF-8", 1) == 0; }();

CM_XmlTag rdf_root() { return CM_XmlTag(ns_rdf(), "RDF"); }

SUM_String attribute(CM_XmlElem e, const char* name) {
  SUM_String value("stale");
  EXPECT_EQ(0, e.find_attribute(name, value));
  return value;
}

}  // namespace

// The update document as the record writer makes it; the tracker reads declarations and link
// attributes in the order they were added, not the DOM's name order.
TEST(CmXmlDoc, UpdateDocumentKeepsStructureOrderAndText) {
  const std::string odd = "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9D\x84\x9E <&\"'>";
  auto doc = std::make_unique<CM_XmlDoc>();
  ASSERT_EQ(0, doc->CreateRootElem(rdf_root()));
  for (const CM_XmlNamespace* ns : {&ns_rdf(), &ns_oslc_cm(), &ns_dcterms()})
    ASSERT_EQ(0, doc->SetNamespace(*ns));
  ASSERT_EQ(0, doc->PushElem(tag_oslc_cm_ChangeRequest()));
  ASSERT_EQ(0, doc->AddAttr(tag_rdf_about(), odd));
  for (const char* r : {"sel-a", "sel-b"}) {
    ASSERT_EQ(0, doc->PushElem(tag_oslc_cm_tracksChangeSet()));
    ASSERT_EQ(0, doc->AddAttr(tag_rdf_resource(), "old"));
    ASSERT_EQ(0, doc->AddAttr(tag_dcterms_title(), r));
    ASSERT_EQ(0, doc->AddAttr(tag_rdf_resource(), r));  // replaced, keeps its place
    ASSERT_EQ(0, doc->PopElem());
  }
  ASSERT_EQ(0, doc->SetNamespace(ns_mr()));  // to the root, whatever element is current
  ASSERT_EQ(0, doc->SetNamespace(CM_XmlNamespace("", "urn:default")));
  ASSERT_EQ(0, doc->PopElem());
  ASSERT_EQ(0, doc->AddAttr(tag_rdf_ID(), "on-root"));
  SUM_String body, again;
  ASSERT_EQ(0, doc->Str(body));
  ASSERT_EQ(0, doc->Str(again));
  EXPECT_EQ(body.str(), again.str());
  const std::string text = body.str();
  EXPECT_LT(text.find("xmlns:rdf="), text.find("xmlns:oslc_cm=")) << text;
  EXPECT_LT(text.find("xmlns:oslc_cm="), text.find("xmlns:dcterms=")) << text;
  EXPECT_NE(std::string::npos, text.find("rdf:resource=\"sel-a\" dcterms:title=\"sel-a\"")) << text;
  EXPECT_NE(std::string::npos, text.find("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"));  // encoded bytes
  EXPECT_EQ(std::string::npos, text.find("old")) << text;

  CM_XmlParser parser(text);
  doc.reset();  // documents and parsers share Xerces in any order
  CM_XmlElem root, record, link, none;
  ASSERT_EQ(0, parser.GetRoot(root)) << text;
  EXPECT_EQ(ns_mr().URI(), attribute(root, "xmlns:mr"));
  EXPECT_EQ("urn:default", attribute(root, "xmlns").str());
  EXPECT_EQ("on-root", attribute(root, "rdf:ID").str());
  ASSERT_EQ(0, root.Child(tag_oslc_cm_ChangeRequest(), record));
  EXPECT_EQ(odd, attribute(record, "rdf:about").str());
  EXPECT_EQ(1002, record.OptNextSibling(none));
  std::vector<std::string> links;
  for (int rc = record.FirstChild(link); rc == 0; rc = link.OptNextSibling(link)) {
    CM_XmlTag tag;
    CM_XmlAttr attr;
    ASSERT_EQ(0, link.Tag(tag));
    EXPECT_EQ(tag_oslc_cm_tracksChangeSet(), tag);
    int resources = 0;  // written names carry their namespace
    while (link.OptNextAttr(attr) == 0 && attr.Tag(tag) == 0)
      resources += tag == tag_rdf_resource();
    EXPECT_EQ(1, resources);
    EXPECT_EQ(1002, link.OptFirstChild(none));
    links.push_back(attribute(link, "rdf:resource").str());
  }
  EXPECT_EQ((std::vector<std::string>{"sel-a", "sel-b"}), links);
}

TEST(CmXmlDoc, WrongOrderAndBadNamesFailAndChangeNothing) {
  cmtest::StderrCapture err;
  CM_XmlDoc doc;
  SUM_String body("untouched"), before;
  EXPECT_EQ(1072, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  EXPECT_EQ(1072, doc.PopElem());
  EXPECT_EQ(1072, doc.AddAttr(tag_rdf_about(), "u"));
  EXPECT_EQ(1072, doc.SetNamespace(ns_rdf()));
  EXPECT_EQ(1072, doc.Str(body));
  EXPECT_EQ("untouched", body.str());
  EXPECT_EQ(1001, doc.CreateRootElem(CM_XmlTag(ns_rdf(), "bad name")));
  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.Str(before));
  EXPECT_EQ(1072, doc.CreateRootElem(rdf_root()));
  EXPECT_EQ(1001, doc.PushElem(CM_XmlTag(CM_XmlNamespace(), "<x>")));
  EXPECT_EQ(1001, doc.AddAttr(CM_XmlTag(CM_XmlNamespace(), "a b"), "v"));
  EXPECT_EQ(1001, doc.AddAttr(tag_rdf_about(), "invalid \xFF native"));
  // Past the root the document node is current: a second root is a DOM error.
  ASSERT_EQ(0, doc.PopElem());
  EXPECT_EQ(1001, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  EXPECT_EQ(1072, doc.AddAttr(tag_rdf_about(), "u"));
  ASSERT_EQ(0, doc.PopElem());
  EXPECT_EQ(1072, doc.PopElem());
  EXPECT_EQ(1072, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  ASSERT_EQ(0, doc.Str(body));
  EXPECT_EQ(before.str(), body.str());
  for (const char* part : {"cm_xml_doc", "DOMException", "Failed to convert native string"})
    EXPECT_NE(std::string::npos, err.text().find(part)) << part;
}
