// Conversion refusal under a native code page narrower than the document: text that the page
// cannot hold fails instead of being replaced. A separate program, because the converter is
// chosen once per process, from the locale environment.
#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unistd.h>
#include <xercesc/util/XMLString.hpp>

#include <cstdlib>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

const bool g_ascii_native = [] {
  setenv("LC_ALL", "en_US.US-ASCII", 1);
  return true;
}();

using cmtest::StderrCapture;

// Element names, texts and attribute values beyond ASCII.
const char kBody[] =
    "<r xmlns:n='urn:n' xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<t>caf&#xE9;</t><plain a='ok' b='&#x20AC;5'>fine</plain><caf\xC3\xA9/><want/>"
    "<n:Description rdf:about='&#xE9;'/><n:Description "
    "rdf:about='x'><n:title>X</n:title></n:Description>"
    "<n:Item rdf:about='x'><n:title>X</n:title></n:Item><n:Item rdf:about='&#xE9;'/>"
    "</r>";

}  // namespace

TEST(CmXmlCodePage, UnmappableTextFailsLoudlyOrQuietly) {
  CM_XmlParser parser(kBody);
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root));
  CM_XmlElem t;
  ASSERT_EQ(0, root.OptFirstChild(t));

  SUM_String out;
  {
    StderrCapture err;
    EXPECT_EQ(1001, t.Data(out, 1));
    EXPECT_EQ("", err.text());
  }
  StderrCapture err;
  EXPECT_EQ(1001, t.Data(out, 0));
  std::string printed = err.text();
  EXPECT_NE(std::string::npos, printed.find("not in local code page")) << printed;
  EXPECT_NE(std::string::npos, printed.find("US-ASCII")) << printed;
  // Nothing was silently replaced: no substitution byte in what was produced.
  EXPECT_EQ(std::string::npos, out.str().find('?'));
  EXPECT_EQ(std::string::npos, out.str().find('\x1A'));
}

TEST(CmXmlCodePage, AsciiStillConvertsAndAttributesFailIndividually) {
  CM_XmlParser parser(kBody);
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root));
  CM_XmlElem plain;
  ASSERT_EQ(0, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "plain"), plain));
  SUM_String out;
  ASSERT_EQ(0, plain.Data(out, 0));
  EXPECT_STREQ("fine", out.c_str());
  ASSERT_EQ(0, plain.find_attribute("a", out));
  EXPECT_STREQ("ok", out.c_str());

  StderrCapture err;
  // find_attribute converts quietly.
  EXPECT_EQ(1001, plain.find_attribute("b", out));
  EXPECT_EQ("", err.text());
  CM_XmlAttr attr;
  ASSERT_EQ(0, plain.OptNextAttr(attr));  // b, the last one
  EXPECT_EQ(1001, attr.Value(out, 1));
  ASSERT_EQ(0, plain.OptNextAttr(attr));  // a
  EXPECT_EQ(0, attr.Value(out, 1));
  EXPECT_STREQ("ok", out.c_str());
}

TEST(CmXmlCodePage, LookupsStopAtAnUnconvertibleName) {
  CM_XmlParser parser(kBody);
  CM_XmlElem root;
  ASSERT_EQ(0, parser.GetRoot(root));
  StderrCapture err;
  CM_XmlElem found;
  // The children before the unconvertible one are passed, so "plain" is found...
  EXPECT_EQ(0, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "plain"), found));
  // ...but "want" lies behind it and the walk reports the failure instead.
  EXPECT_EQ(1001, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "want"), found));
  CM_XmlElem bad;
  ASSERT_EQ(0, found.OptNextSibling(bad));
  CM_XmlTag tag;
  EXPECT_EQ(1001, bad.Tag(tag));
  EXPECT_NE(std::string::npos, err.text().find("not in local code page"));
}

TEST(CmXmlCodePage, NativeTextOutsideThePageIsRefused) {
  CM_XmlParser keep_xerces("<r/>");
  StderrCapture err;
  XMLCh* wide = nullptr;
  EXPECT_EQ(1001, native_to_xmlch("caf\xC3\xA9", &wide));
  EXPECT_EQ(nullptr, wide);
  ASSERT_EQ(0, native_to_xmlch("cafe", &wide));
  SUM_String back;
  EXPECT_EQ(0, xmlch_to_native(wide, back, 0));
  EXPECT_STREQ("cafe", back.c_str());
  xercesc::XMLString::release(&wide);
  EXPECT_NE(std::string::npos, err.text().find("Failed to convert native string"));
}

namespace {

std::vector<std::string> search(const char* node_name, const std::vector<std::string>& ids) {
  CM_XmlParser parser(kBody);
  CM_XmlElem root;
  EXPECT_EQ(0, parser.GetRoot(root));
  EXPECT_EQ(0, root.get_rdf_description_nodes(node_name));
  std::vector<std::string> out;
  for (const std::string& id : ids) {
    SUM_String body("unchanged");
    int rc =
        root.get_body_from_nodelist(CM_XmlTag(CM_XmlNamespace("n", "urn:n"), "title"), id, body);
    out.push_back(std::to_string(rc) + ":" + body.str());
  }
  return out;
}

}  // namespace

TEST(CmXmlCodePage, DescriptionSearchEndsAtAnUnconvertibleId) {
  // A node whose id cannot be converted ends the search there: nodes before it are found, nodes
  // after it are not reached; the same whether the search is traced step by step or not.
  const std::vector<std::string> ids = {"x", "y"};
  const std::vector<std::string> want = {"1001:unchanged", "1001:unchanged"};
  const std::vector<std::string> want_items = {"0:X", "1001:unchanged"};
  EXPECT_EQ(want, search("n:Description", ids));
  EXPECT_EQ(want_items, search("n:Item", ids));

  cmtest::TempHome home;
  CM_Trace::reset();
  CM_Trace::set_file("xmltest", static_cast<int>(getpid()));
  CM_Trace::configure("CMOSLC", 5);
  std::vector<std::string> traced = search("n:Description", ids);
  std::vector<std::string> traced_items = search("n:Item", ids);
  CM_Trace::close();
  CM_Trace::reset();
  EXPECT_EQ(want, traced);
  EXPECT_EQ(want_items, traced_items);
}
