// The document builder, checked by reading its output back with the response parser, and the
// vocabulary it is used with.
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

#include <gtest/gtest.h>

#include "support/stderr_capture.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"

namespace {

// The native code page comes from the locale environment, read on first use.
const bool g_utf8_native = [] {
  setenv("LC_ALL", "C.UTF-8", 1);
  return true;
}();

using cmtest::StderrCapture;

CM_XmlTag rdf_root() { return CM_XmlTag(ns_rdf(), "RDF"); }

// The update document the record writer sends: root, declarations, record, links.
int build_update(CM_XmlDoc& doc, const SUM_String& about,
                 const std::vector<std::string>& resources) {
  int rc = doc.CreateRootElem(rdf_root());
  if (rc == 0) rc = doc.SetNamespace(ns_oslc_cm());
  if (rc == 0) rc = doc.SetNamespace(ns_dcterms());
  if (rc == 0) rc = doc.PushElem(tag_oslc_cm_ChangeRequest());
  if (rc == 0) rc = doc.AddAttr(tag_rdf_about(), about);
  for (const std::string& r : resources) {
    if (rc == 0) rc = doc.PushElem(tag_oslc_cm_tracksChangeSet());
    if (rc == 0) rc = doc.AddAttr(tag_rdf_resource(), r);
    if (rc == 0) rc = doc.PopElem();
  }
  if (rc == 0) rc = doc.PopElem();
  return rc;
}

}  // namespace

TEST(CmXmlDoc, UpdateDocumentReadsBackWithItsStructure) {
  CM_XmlDoc doc;
  ASSERT_EQ(0, build_update(doc, "http://h/record/7", {"sel-a", "sel-b"}));
  SUM_String body;
  ASSERT_EQ(0, doc.Str(body));
  SUM_String again;
  ASSERT_EQ(0, doc.Str(again));
  EXPECT_EQ(body.str(), again.str());

  CM_XmlParser parser(body.str());
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root)) << body.c_str();
  CM_XmlTag tag;
  ASSERT_EQ(0, root.Tag(tag));
  EXPECT_EQ(rdf_root(), tag);
  EXPECT_STREQ("rdf", tag.Prefix().c_str());

  // The declarations made are on the root, as plain xmlns attributes.
  SUM_String value;
  ASSERT_EQ(0, root.find_attribute("xmlns:oslc_cm", value));
  EXPECT_EQ(ns_oslc_cm().URI(), value);
  ASSERT_EQ(0, root.find_attribute("xmlns:dcterms", value));
  EXPECT_EQ(ns_dcterms().URI(), value);
  CM_XmlAttr attr;
  EXPECT_EQ(1002, root.OptNextAttr(attr));

  CM_XmlElem record;
  ASSERT_EQ(0, root.Child(tag_oslc_cm_ChangeRequest(), record));
  ASSERT_EQ(0, record.find_attribute("rdf:about", value));
  EXPECT_STREQ("http://h/record/7", value.c_str());
  CM_XmlElem extra;
  EXPECT_EQ(1002, record.OptNextSibling(extra));

  std::vector<std::string> links;
  CM_XmlElem link;
  ASSERT_EQ(0, record.Child(tag_oslc_cm_tracksChangeSet(), link));
  do {
    ASSERT_EQ(0, link.Tag(tag));
    EXPECT_EQ(tag_oslc_cm_tracksChangeSet(), tag);
    ASSERT_EQ(0, link.find_attribute("rdf:resource", value));
    links.push_back(value.str());
    CM_XmlElem none;
    EXPECT_EQ(1002, link.OptFirstChild(none));
    ASSERT_EQ(0, link.Data(value, 0));
    EXPECT_STREQ("", value.c_str());
    // The attribute carries the rdf namespace, so readers by URI find it too.
    CM_XmlAttr a;
    ASSERT_EQ(0, link.OptNextAttr(a));
    ASSERT_EQ(0, a.Tag(tag));
    EXPECT_EQ(tag_rdf_resource(), tag);
  } while (link.OptNextSibling(link) == 0);
  EXPECT_EQ((std::vector<std::string>{"sel-a", "sel-b"}), links);
}

TEST(CmXmlDoc, NonAsciiValuesAreWrittenAsEncodedBytes) {
  const std::string value =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9D\x84\x9E <&\"'>";
  CM_XmlDoc doc;
  ASSERT_EQ(0, build_update(doc, value, {value}));
  SUM_String body;
  ASSERT_EQ(0, doc.Str(body));
  EXPECT_NE(std::string::npos, body.str().find("Gr\xC3\xBC\xC3\x9F"
                                               "e \xE2\x82\xAC"));

  CM_XmlParser parser(body.str());
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root));
  CM_XmlElem record;
  ASSERT_EQ(0, root.Child(tag_oslc_cm_ChangeRequest(), record));
  SUM_String read;
  ASSERT_EQ(0, record.find_attribute("rdf:about", read));
  EXPECT_EQ(value, read.str());
}

TEST(CmXmlDoc, AttributesReplaceAndGoToTheCurrentElement) {
  CM_XmlDoc doc;
  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.SetNamespace(ns_dcterms()));
  ASSERT_EQ(0, doc.PushElem(tag_dcterms_title()));
  ASSERT_EQ(0, doc.AddAttr(tag_rdf_ID(), "first"));
  ASSERT_EQ(0, doc.AddAttr(tag_rdf_ID(), "second"));
  ASSERT_EQ(0, doc.PopElem());
  ASSERT_EQ(0, doc.AddAttr(tag_rdf_about(), "on-root"));
  // Declarations go to the root even while a child is current.
  ASSERT_EQ(0, doc.PushElem(tag_dcterms_title()));
  ASSERT_EQ(0, doc.SetNamespace(ns_mr()));
  SUM_String body;
  ASSERT_EQ(0, doc.Str(body));

  CM_XmlParser parser(body.str());
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root)) << body.c_str();
  SUM_String value;
  ASSERT_EQ(0, root.find_attribute("rdf:about", value));
  EXPECT_STREQ("on-root", value.c_str());
  ASSERT_EQ(0, root.find_attribute("xmlns:mr", value));
  EXPECT_EQ(ns_mr().URI(), value);
  CM_XmlElem title;
  ASSERT_EQ(0, root.Child(tag_dcterms_title(), title));
  ASSERT_EQ(0, title.find_attribute("rdf:ID", value));
  EXPECT_STREQ("second", value.c_str());
  ASSERT_EQ(0, title.find_attribute("rdf:about", value));
  EXPECT_STREQ("", value.c_str());
  CM_XmlElem second;
  ASSERT_EQ(0, title.NextSibling(second));
}

TEST(CmXmlDoc, WrongOrderIsAnInternalErrorAndChangesNothing) {
  StderrCapture err;
  CM_XmlDoc doc;
  SUM_String body("untouched");
  EXPECT_EQ(1072, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  EXPECT_EQ(1072, doc.PopElem());
  EXPECT_EQ(1072, doc.AddAttr(tag_rdf_about(), "u"));
  EXPECT_EQ(1072, doc.SetNamespace(ns_rdf()));
  EXPECT_EQ(1072, doc.Str(body));
  EXPECT_STREQ("untouched", body.c_str());

  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.Str(body));
  const std::string before = body.str();
  EXPECT_EQ(1072, doc.CreateRootElem(rdf_root()));

  // Past the root: the document node is current; a second root is a DOM error.
  ASSERT_EQ(0, doc.PopElem());
  EXPECT_EQ(1001, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  EXPECT_EQ(1072, doc.AddAttr(tag_rdf_about(), "u"));
  ASSERT_EQ(0, doc.PopElem());
  EXPECT_EQ(1072, doc.PopElem());
  EXPECT_EQ(1072, doc.PushElem(tag_oslc_cm_ChangeRequest()));
  EXPECT_EQ(1072, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.Str(body));
  EXPECT_EQ(before, body.str());

  std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("cm_xml_doc")) << printed;
  EXPECT_NE(std::string::npos, printed.find("DOMException")) << printed;
}

TEST(CmXmlDoc, BadNamesAndTextsFailWithoutThrowing) {
  StderrCapture err;
  CM_XmlDoc doc;
  EXPECT_EQ(1001, doc.CreateRootElem(CM_XmlTag(CM_XmlNamespace("p", "urn:p"), "bad name")));
  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  SUM_String before;
  ASSERT_EQ(0, doc.Str(before));
  EXPECT_EQ(1001, doc.PushElem(CM_XmlTag(CM_XmlNamespace(), "<x>")));
  EXPECT_EQ(1001, doc.AddAttr(CM_XmlTag(CM_XmlNamespace(), "a b"), "v"));
  EXPECT_EQ(1001, doc.AddAttr(tag_rdf_about(), "invalid \xFF native"));
  SUM_String after;
  ASSERT_EQ(0, doc.Str(after));
  EXPECT_EQ(before.str(), after.str());
  std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("Failed to convert native string")) << printed;
}

TEST(CmXmlDoc, EmptyPrefixDeclaresTheDefaultNamespace) {
  const CM_XmlNamespace plain("", "urn:default");
  CM_XmlDoc doc;
  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.SetNamespace(plain));
  ASSERT_EQ(0, doc.PushElem(CM_XmlTag(plain, "item")));
  SUM_String body;
  ASSERT_EQ(0, doc.Str(body));
  CM_XmlParser parser(body.str());
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root)) << body.c_str();
  CM_XmlElem item;
  EXPECT_EQ(0, root.OptChild(CM_XmlTag(CM_XmlNamespace("any", "urn:default"), "item"), item));
}

TEST(CmXmlDoc, DocumentsAndParsersShareXercesInAnyOrder) {
  auto doc = std::make_unique<CM_XmlDoc>();
  ASSERT_EQ(0, build_update(*doc, "u", {"r"}));
  auto parser = std::make_unique<CM_XmlParser>("<r>t</r>");
  doc.reset();
  CM_XmlElem root;
  ASSERT_EQ(0, parser->GetRoot(root));
  SUM_String text;
  ASSERT_EQ(0, root.Data(text, 0));
  EXPECT_STREQ("t", text.c_str());
  parser.reset();

  CM_XmlDoc later;
  ASSERT_EQ(0, build_update(later, "u", {}));
  SUM_String body;
  EXPECT_EQ(0, later.Str(body));
}

TEST(CmXmlVocabulary, TagsAreBuiltFromTheirNamespaces) {
  struct Entry {
    const CM_XmlTag& tag;
    const CM_XmlNamespace& ns;
    const char* qualified;
  };
  const Entry entries[] = {
      {tag_oslc_cm_ChangeRequest(), ns_oslc_cm(), "oslc_cm:ChangeRequest"},
      {tag_oslc_cm_message(), ns_oslc_cm(), "oslc_cm:message"},
      {tag_oslc_cm_tracksChangeSet(), ns_oslc_cm(), "oslc_cm:tracksChangeSet"},
      {tag_rdf_about(), ns_rdf(), "rdf:about"},
      {tag_rdf_ID(), ns_rdf(), "rdf:ID"},
      {tag_rdf_resource(), ns_rdf(), "rdf:resource"},
      {tag_rdf_Description(), ns_rdf(), "rdf:Description"},
      {tag_rdfs_member(), ns_rdfs(), "rdfs:member"},
      {tag_dcterms_title(), ns_dcterms(), "dcterms:title"},
  };
  for (const Entry& e : entries) {
    EXPECT_EQ(e.ns, e.tag.Namespace()) << e.qualified;
    EXPECT_STREQ(e.qualified, e.tag.QualifiedName().c_str());
    EXPECT_FALSE(e.ns.IsNil());
  }
  EXPECT_EQ(&tag_rdf_about(), &tag_rdf_about());
  EXPECT_EQ(&ns_rdf(), &ns_rdf());
  // Distinct namespaces, so that lookups by URI never confuse them.
  const CM_XmlNamespace* all[] = {&ns_oslc(),    &ns_oslc_cm(), &ns_mr(),
                                  &ns_dcterms(), &ns_rdf(),     &ns_rdfs()};
  for (const CM_XmlNamespace* a : all) {
    for (const CM_XmlNamespace* b : all) {
      if (a != b) {
        EXPECT_NE(a->URI(), b->URI());
      }
    }
  }
}

TEST(CmXmlVocabulary, MatchesTheNamesOfARealRecordDocument) {
  // Written with other prefixes than ours: matching goes by namespace URI.
  const std::string body =
      "<R:RDF xmlns:R='http://www.w3.org/1999/02/22-rdf-syntax-ns#'"
      " xmlns:S='http://www.w3.org/2000/01/rdf-schema#' xmlns:C='http://open-services.net/ns/cm#'"
      " xmlns:D='http://purl.org/dc/terms/'>"
      "<R:Description><S:member><C:ChangeRequest R:about='u'>"
      "<C:tracksChangeSet R:resource='r' R:ID='i'/><D:title>t</D:title><C:message>m</C:message>"
      "</C:ChangeRequest></S:member></R:Description></R:RDF>";
  CM_XmlParser parser(body);
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root));
  CM_XmlElem desc, member, record, link, title, message;
  ASSERT_EQ(0, root.Child(tag_rdf_Description(), desc));
  ASSERT_EQ(0, desc.Child(tag_rdfs_member(), member));
  ASSERT_EQ(0, member.Child(tag_oslc_cm_ChangeRequest(), record));
  ASSERT_EQ(0, record.Child(tag_oslc_cm_tracksChangeSet(), link));
  ASSERT_EQ(0, record.Child(tag_dcterms_title(), title));
  ASSERT_EQ(0, record.Child(tag_oslc_cm_message(), message));
  std::vector<CM_XmlTag> attrs;
  CM_XmlAttr attr;
  while (link.OptNextAttr(attr) == 0) {
    CM_XmlTag t;
    ASSERT_EQ(0, attr.Tag(t));
    attrs.push_back(t);
  }
  ASSERT_EQ(2u, attrs.size());
  EXPECT_TRUE((attrs[0] == tag_rdf_ID() && attrs[1] == tag_rdf_resource()) ||
              (attrs[1] == tag_rdf_ID() && attrs[0] == tag_rdf_resource()));
  CM_XmlTag about;
  ASSERT_EQ(0, record.OptNextAttr(attr));
  ASSERT_EQ(0, attr.Tag(about));
  EXPECT_EQ(tag_rdf_about(), about);
}

// The tracker reads declarations and link attributes in the order they were added, not the
// DOM's name order (which would put dcterms:title before rdf:resource).
TEST(CmXmlDoc, AttributesAndDeclarationsKeepTheOrderTheyWereAdded) {
  CM_XmlDoc doc;
  ASSERT_EQ(0, doc.CreateRootElem(rdf_root()));
  ASSERT_EQ(0, doc.SetNamespace(ns_rdf()));
  ASSERT_EQ(0, doc.SetNamespace(ns_oslc_cm()));
  ASSERT_EQ(0, doc.SetNamespace(ns_dcterms()));
  ASSERT_EQ(0, doc.PushElem(tag_oslc_cm_tracksChangeSet()));
  ASSERT_EQ(0, doc.AddAttr(tag_rdf_resource(), "sel"));
  ASSERT_EQ(0, doc.AddAttr(tag_dcterms_title(), "first"));
  ASSERT_EQ(0, doc.AddAttr(tag_rdf_resource(), "sel-2"));  // replaced, keeps its place
  ASSERT_EQ(0, doc.PopElem());
  SUM_String body;
  ASSERT_EQ(0, doc.Str(body));
  const std::string text = body.str();
  EXPECT_LT(text.find("xmlns:rdf="), text.find("xmlns:oslc_cm=")) << text;
  EXPECT_LT(text.find("xmlns:oslc_cm="), text.find("xmlns:dcterms=")) << text;
  EXPECT_NE(std::string::npos, text.find("rdf:resource=\"sel-2\" dcterms:title=\"first\"")) << text;
  EXPECT_EQ(std::string::npos, text.find("\"sel\"")) << text;
}
