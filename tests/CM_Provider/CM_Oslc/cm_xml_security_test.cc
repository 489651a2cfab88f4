// Hostile and broken response bodies: each fails with a printed parse message, never expands an
// entity, never reads a local file and never exhausts the stack.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

const bool g_utf8_native = [] { return setenv("LC_ALL", "C.UTF-8", 1) == 0; }();

// Every text and attribute value reachable from the root, walked without recursion.
std::string all_text(CM_XmlElem root) {
  std::string out;
  std::vector<CM_XmlElem> stack{root};
  while (!stack.empty()) {
    CM_XmlElem e = stack.back();
    stack.pop_back();
    SUM_String text;
    e.Data(text, 1);
    out += text.str();
    CM_XmlAttr attr;
    while (e.OptNextAttr(attr) == 0 && attr.Value(text, 1) == 0) out += text.str();
    CM_XmlElem child;
    for (int rc = e.OptFirstChild(child); rc == 0; rc = child.OptNextSibling(child))
      stack.push_back(child);
  }
  return out;
}

std::string nested(int depth, const std::string& leaf, bool closed) {
  std::string body;
  for (int i = 0; i < depth; ++i) body += "<a>";
  body += leaf;
  for (int i = 0; closed && i < depth; ++i) body += "</a>";
  return body;
}

}  // namespace

TEST(CmXmlHostile, BodiesFailCleanlyWithoutLeaking) {
  cmtest::TempHome home;
  const std::string secret = "SECRET-7f3a9c-content";
  const std::string secret_path = home.path() + "/secret.txt";
  const std::string dtd_path = home.path() + "/evil.dtd";
  cmtest::write_file(secret_path, secret);
  cmtest::write_file(dtd_path, "<!ENTITY leak '" + secret + "'>");
  std::string bomb = "<!DOCTYPE z [<!ENTITY l0 'lol'>";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " '";
    for (int j = 0; j < 10; ++j) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "'>";
  }
  bomb += "]><z>&l9;</z>";
  const std::string record =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description"
      " rdf:about='u'><x rdf:resource='r\xC3\xA9' rdf:ID='L1'/></rdf:Description></rdf:RDF>";

  std::string empties;
  for (int i = 0; i < 1000; ++i) empties += "<e/>";
  // clang-format off
  std::vector<std::string> refused = {
      bomb, "<!DOCTYPE r []><r/>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM 'file://" + secret_path + "'>]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM '" + secret_path + "'>]><r a='&x;'>&x;</r>",
      "<!DOCTYPE r SYSTEM 'file://" + dtd_path + "'><r>&leak;</r>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM 'file://" + dtd_path + "'> %p;]><r>&leak;</r>",
      "", "   \r\n\t  ", "Internal Server Error", "<a/><b/>", "<p:r/>", std::string("<r>\0</r>", 8),
      "<!DOCTYPE html>\n<html><head><title>502</title></head><body><br></body></html>",
      "<html><body><p>Service unavailable<br></body></html>",
      "<r>caf\xE9</r>", "<r a='\xFF\xFE'/>", "<r>\xED\xA0\x80</r>", "<r>\xC0\xAF</r>",
      "<?xml version='1.0' encoding='x-no-such-page'?><r/>", std::string("\xFF\xFE<\0r\0", 6),
      nested(100000, "x", true), nested(100000, "x", false),
      "<r>" + empties + nested(1000, "x", true) + "</r>",  // empty elements do not lower the depth
  };
  // clang-format on
  for (size_t cut = 0; cut < record.size(); cut += 7) refused.push_back(record.substr(0, cut));

  for (const std::string& body : refused) {
    SCOPED_TRACE(body.substr(0, 120));
    cmtest::StderrCapture err;
    CM_XmlParser parser(body);
    CM_XmlElem root;
    EXPECT_EQ(1001, parser.GetRoot(root));
    EXPECT_NE(std::string::npos, err.text().find("Xerces")) << err.text();
    EXPECT_EQ(std::string::npos, err.text().find(secret));
    EXPECT_EQ(std::string::npos, err.text().find("lollol"));
  }

  // Well-formed bodies parse, and give nothing of what an include or entity points at.
  const std::vector<std::pair<std::string, std::string>> parsed = {
      {record, "ur\xC3\xA9L1"},
      {nested(200, "leaf", true), "leaf"},
      {"<r xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='file://" + secret_path +
           "' parse='text'/></r>",
       "textfile://" + secret_path},
  };
  for (const auto& c : parsed) {
    CM_XmlParser parser(c.first);
    CM_XmlElem root;
    ASSERT_EQ(0, parser.GetRoot(root)) << c.first.substr(0, 120);
    EXPECT_EQ(c.second, all_text(root));
  }
}
