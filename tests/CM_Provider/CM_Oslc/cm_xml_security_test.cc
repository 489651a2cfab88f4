// Hostile and broken response bodies: each fails with a printed parse message or parses without
// expanding anything, and never leaks what an entity points at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

// The native code page comes from the locale environment, read on first use.
const bool g_utf8_native = [] {
  setenv("LC_ALL", "C.UTF-8", 1);
  return true;
}();

using cmtest::StderrCapture;

struct Outcome {
  int rc = -1;
  std::string printed;
  std::string all_text;  // every text and attribute value reachable from the root
};

// Concatenates all text of the tree, iteratively (the tree may be deep).
std::string collect_text(CM_XmlElem root) {
  std::string out;
  std::vector<CM_XmlElem> stack{root};
  while (!stack.empty()) {
    CM_XmlElem e = stack.back();
    stack.pop_back();
    SUM_String text;
    e.Data(text, 1);
    out += text.str();
    CM_XmlAttr attr;
    while (e.OptNextAttr(attr) == 0) {
      attr.Value(text, 1);
      out += text.str();
    }
    CM_XmlElem child;
    if (e.OptFirstChild(child) == 0) {
      do {
        stack.push_back(child);
      } while (child.OptNextSibling(child) == 0);
    }
  }
  return out;
}

Outcome parse_body(const std::string& body) {
  Outcome o;
  StderrCapture err;
  {
    CM_XmlParser parser(body);
    CM_XmlElem root;
    o.rc = parser.GetRoot(root);
    if (o.rc == 0) o.all_text = collect_text(root);
  }
  o.printed = err.text();
  return o;
}

void expect_clean_failure(const std::string& body, const char* what) {
  Outcome o = parse_body(body);
  EXPECT_EQ(1001, o.rc) << what;
  EXPECT_NE(std::string::npos, o.printed.find("Xerces")) << what << ": " << o.printed;
}

}  // namespace

TEST(CmXmlHostile, EntityBombIsNeverExpanded) {
  std::string bomb = "<?xml version='1.0'?>\n<!DOCTYPE lolz [\n<!ENTITY lol 'lol'>\n";
  bomb += "<!ENTITY lol1 '&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;'>\n";
  for (int i = 2; i <= 9; ++i) {
    bomb += "<!ENTITY lol" + std::to_string(i) + " '";
    for (int j = 0; j < 10; ++j) bomb += "&lol" + std::to_string(i - 1) + ";";
    bomb += "'>\n";
  }
  bomb += "]>\n<lolz>&lol9;</lolz>";
  Outcome o = parse_body(bomb);
  if (o.rc == 0) {
    EXPECT_LT(o.all_text.size(), 1000u);
  } else {
    EXPECT_EQ(1001, o.rc);
    EXPECT_NE(std::string::npos, o.printed.find("Xerces")) << o.printed;
  }
  EXPECT_EQ(std::string::npos, o.printed.find("lollollol"));
}

TEST(CmXmlHostile, ExternalEntitiesNeverReadLocalFiles) {
  cmtest::TempHome home;
  const std::string secret_path = home.path() + "/secret.txt";
  const std::string secret = "SECRET-7f3a9c-content";
  cmtest::write_file(secret_path, secret);
  const std::string dtd_path = home.path() + "/evil.dtd";
  cmtest::write_file(dtd_path, "<!ENTITY leak '" + secret + "'>");

  const std::string bodies[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM 'file://" + secret_path + "'>]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM '" + secret_path + "'>]><r a='&x;'>&x;</r>",
      "<!DOCTYPE r SYSTEM 'file://" + dtd_path + "'><r>&leak;</r>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM 'file://" + dtd_path + "'> %p;]><r>&leak;</r>",
      "<r xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='file://" + secret_path +
          "' parse='text'/></r>",
  };
  for (const std::string& body : bodies) {
    Outcome o = parse_body(body);
    EXPECT_EQ(std::string::npos, o.all_text.find(secret)) << body;
    EXPECT_EQ(std::string::npos, o.printed.find(secret)) << body;
  }
  // Any DOCTYPE is refused, even a harmless one.
  expect_clean_failure("<!DOCTYPE r []><r/>", "empty internal subset");
  expect_clean_failure(bodies[0], "external entity");
  expect_clean_failure(bodies[2], "external DTD");
}

TEST(CmXmlHostile, NonDocumentsFailCleanly) {
  expect_clean_failure("", "empty");
  expect_clean_failure("   \r\n\t  ", "blank");
  expect_clean_failure(
      "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
      "<body><h1>Bad Gateway</h1><br></body></html>",
      "html page");
  expect_clean_failure("<html><body><p>Service unavailable<br></body></html>", "html fragment");
  expect_clean_failure("Internal Server Error", "plain text");
  expect_clean_failure(std::string("<r>\0</r>", 8), "embedded NUL");
  expect_clean_failure("<a/><b/>", "two roots");
  expect_clean_failure("<p:r/>", "undeclared prefix");
}

TEST(CmXmlHostile, TruncatedRecordFailsAtEveryCut) {
  const std::string record =
      "<?xml version='1.0' encoding='UTF-8'?>"
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'"
      " xmlns:oslc_cm='http://open-services.net/ns/cm#'>"
      "<rdf:Description><oslc_cm:ChangeRequest rdf:about='u'>"
      "<oslc_cm:tracksChangeSet rdf:resource='r\xC3\xA9' rdf:ID='L1'/>"
      "</oslc_cm:ChangeRequest></rdf:Description></rdf:RDF>";
  ASSERT_EQ(0, parse_body(record).rc);
  for (size_t cut = 0; cut < record.size(); cut += 7) {
    Outcome o = parse_body(record.substr(0, cut));
    EXPECT_EQ(1001, o.rc) << "cut at " << cut;
  }
}

TEST(CmXmlHostile, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const int depth = 100000;
  std::string body;
  body.reserve(depth * 8);
  for (int i = 0; i < depth; ++i) body += "<a>";
  body += "x";
  for (int i = 0; i < depth; ++i) body += "</a>";
  expect_clean_failure(body, "closed deep nesting");
  expect_clean_failure(body.substr(0, depth * 3), "unclosed deep nesting");

  // Ordinary record depths are far below the limit.
  std::string modest;
  for (int i = 0; i < 200; ++i) modest += "<a>";
  modest += "leaf";
  for (int i = 0; i < 200; ++i) modest += "</a>";
  Outcome o = parse_body(modest);
  EXPECT_EQ(0, o.rc) << o.printed;
  EXPECT_EQ("leaf", o.all_text);
}

TEST(CmXmlHostile, BodiesThatAreNotUtf8FailCleanly) {
  expect_clean_failure("<r>caf\xE9</r>", "latin-1 byte without declaration");
  expect_clean_failure("<r a='\xFF\xFE'/>", "invalid bytes in attribute");
  expect_clean_failure("<r>\xED\xA0\x80</r>", "encoded surrogate");
  expect_clean_failure("<r>\xC0\xAF</r>", "overlong form");
  expect_clean_failure("<?xml version='1.0' encoding='x-no-such-page'?><r/>", "unknown encoding");
  expect_clean_failure(std::string("\xFF\xFE<\0r\0", 6), "broken UTF-16");
}
