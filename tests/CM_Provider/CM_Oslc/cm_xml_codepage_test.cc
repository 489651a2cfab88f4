// A native code page narrower than the document (US-ASCII): text the page cannot hold fails
// instead of being replaced. A program of its own: the converter is chosen once per process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

const bool g_ascii_native = [] { return setenv("LC_ALL", "en_US.US-ASCII", 1) == 0; }();

const char kBody[] =
    "<r xmlns:n='urn:n' xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<t>caf&#xE9;</t><plain a='ok' b='&#x20AC;5'>fine</plain><caf\xC3\xA9/><want/>"
    "<n:D rdf:about='&#xE9;'/><n:D rdf:about='x'><n:title>X</n:title></n:D>"
    "<n:Item rdf:about='x'><n:title>X</n:title></n:Item><n:Item rdf:about='&#xE9;'/></r>";

}  // namespace

TEST(CmXmlCodePage, UnmappableTextFailsLoudlyOrQuietlyAndNothingIsReplaced) {
  CM_XmlParser parser(kBody);
  CM_XmlElem root, t, plain, found, bad;
  ASSERT_EQ(0, parser.GetRoot(root));
  ASSERT_EQ(0, root.OptFirstChild(t));
  ASSERT_EQ(0, t.OptNextSibling(plain));
  SUM_String out;
  cmtest::StderrCapture quiet;
  EXPECT_EQ(1001, t.Data(out, 1));
  EXPECT_EQ(1001, plain.find_attribute("b", out));  // converted quietly
  EXPECT_EQ("", quiet.text());
  ASSERT_EQ(0, plain.find_attribute("a", out));
  EXPECT_EQ("ok", out.str());
  CM_XmlText wide;
  ASSERT_EQ(0, wide.Convert("cafe"));
  EXPECT_EQ("cafe", xmlch_to_string(wide.get()).str());

  cmtest::StderrCapture err;
  EXPECT_EQ(1001, t.Data(out, 0));
  EXPECT_EQ(std::string::npos, out.str().find_first_of("?\x1A"));
  EXPECT_EQ(1001, wide.Convert("caf\xC3\xA9"));
  EXPECT_EQ(nullptr, wide.get());
  // A lookup passes the children before an unconvertible name, and stops at it.
  EXPECT_EQ(0, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "plain"), found));
  EXPECT_EQ(1001, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "want"), found));
  ASSERT_EQ(0, plain.OptNextSibling(bad));
  CM_XmlTag tag;
  EXPECT_EQ(1001, bad.Tag(tag));
  for (const char* part : {"not in local code page", "US-ASCII", "Failed to convert native"})
    EXPECT_NE(std::string::npos, err.text().find(part)) << part;
}

// A node whose id cannot be converted ends the search there, traced or not.
TEST(CmXmlCodePage, DescriptionSearchEndsAtAnUnconvertibleId) {
  cmtest::TempHome home;
  const CM_XmlTag title(CM_XmlNamespace("n", "urn:n"), "title");
  for (int level : {0, 5}) {
    CM_Trace::reset();
    CM_Trace::set_file("xmltest", static_cast<int>(getpid()));
    CM_Trace::configure("CMOSLC", level);
    for (const auto& c :
         {std::make_pair("n:D", "1001:unchanged"), std::make_pair("n:Item", "0:X")}) {
      CM_XmlParser parser(kBody);
      CM_XmlElem root;
      ASSERT_EQ(0, parser.GetRoot(root));
      ASSERT_EQ(0, root.get_rdf_description_nodes(c.first));
      std::vector<std::string> got;
      for (const char* id : {"x", "y"}) {
        SUM_String body("unchanged");
        int rc = root.get_body_from_nodelist(title, id, body);
        got.push_back(std::to_string(rc) + ":" + body.str());
      }
      EXPECT_EQ((std::vector<std::string>{c.second, "1001:unchanged"}), got) << c.first << level;
    }
    CM_Trace::close();
    CM_Trace::reset();
  }
}
