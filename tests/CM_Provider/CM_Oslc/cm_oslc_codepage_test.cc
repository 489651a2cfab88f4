// A native code page narrower than the tracker's texts (Latin-1): what fits is read and written
// back unchanged, what does not fit fails instead of being replaced, and stops a record
// untouched. A program of its own: the converter is chosen once per process.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"

#include <cstdlib>
#include <tuple>

namespace {

// Called before the first conversion; the simulator may start under the original page.
void latin1_native() { setenv("LC_ALL", "en_US.ISO-8859-1", 1); }

// U+65E5 is outside Latin-1, as element name, text, attribute and id.
const char kBody[] =
    "<r xmlns:n='urn:n' xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
    "<t>caf&#x65E5;</t><plain a='ok' b='&#x65E5;5'>fine</plain><\xE6\x97\xA5/><want/>"
    "<n:D rdf:about='&#x65E5;'/><n:D rdf:about='x'><n:title>X</n:title></n:D>"
    "<n:Item rdf:about='x'><n:title>X</n:title></n:Item><n:Item rdf:about='&#x65E5;'/></r>";

TEST(CodePage, TitlesWithinThePageAreKeptOthersStopTheRecordUnwritten) {
  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  latin1_native();
  // Seeded links, status, and the links after associating "http://v/new" named "caf\xe9"
  // (Latin-1): written or untouched.
  const std::tuple<nlohmann::json, int, nlohmann::json> cases[] = {
      {cmtest::link_list("a=Gr\xc3\xbc\xc3\x9f"), 0,
       cmtest::link_list("a=Gr\xc3\xbc\xc3\x9f,new=caf\xc3\xa9")},
      {cmtest::link_list("a=\xe6\x97\xa5\xe6\x9c\xac,b=plain"), 10001,
       cmtest::link_list("a=\xe6\x97\xa5\xe6\x9c\xac,b=plain")}};
  for (const auto& [seeded, status, stored] : cases) {
    sim.put_record({{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", "MR1"}, {"links", seeded}});
    CM_ActionMap actions;
    cmtest::schedule(actions, true, "MR1", "http://v/new", "caf\xe9");
    CM_OslcBaseMr engine;
    engine.init(cmtest::make_session(sim.base_url()));
    EXPECT_EQ(status, engine.do_modify_associations(actions)) << engine.get_error();
    EXPECT_EQ(stored, sim.record("dbs1", "db1", "MR1")["links"]);
  }
}

TEST(CodePage, UnmappableTextFailsLoudlyOrQuietlyAndNothingIsReplaced) {
  latin1_native();
  cmtest::TempHome home;
  CM_XmlParser parser(kBody);
  CM_XmlElem root, t, plain, bad, found;
  CM_XmlTag name;
  SUM_String out, attr;
  ASSERT_EQ(0, parser.GetRoot(root) + root.OptFirstChild(t) + t.OptNextSibling(plain) +
                   plain.OptNextSibling(bad));
  cmtest::StderrCapture quiet;
  EXPECT_EQ(1001, t.Data(out, 1));
  EXPECT_EQ(1001, plain.find_attribute("b", attr));
  EXPECT_EQ("", quiet.text());
  EXPECT_TRUE(plain.find_attribute("a", attr) == 0 && attr.str() == "ok");
  EXPECT_EQ(1001, t.Data(out, 0));  // printed
  EXPECT_EQ(std::string::npos, out.str().find_first_of("?\x1A"));
  EXPECT_EQ(1001, bad.Tag(name));
  // A lookup passes the children before an unconvertible name, and stops at it.
  EXPECT_EQ(0, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "plain"), found));
  EXPECT_EQ(1001, root.OptChild(CM_XmlTag(CM_XmlNamespace(), "want"), found));
  // A node whose id cannot be converted ends the description search there, traced or not.
  const CM_XmlTag title(CM_XmlNamespace("n", "urn:n"), "title");
  for (int level : {0, 5}) {
    cmtest::Tracing trace("CMOSLC", level);
    for (const auto& c : {std::make_pair("n:D", "1001:-"), std::make_pair("n:Item", "0:X")}) {
      ASSERT_EQ(0, root.get_rdf_description_nodes(c.first));
      std::string got;
      for (const char* id : {"x", "y"}) {
        SUM_String body("-");
        // Its own statement: + evaluates its operands in no set order, and body is read after it.
        const int rc = root.get_body_from_nodelist(title, id, body);
        got += std::to_string(rc) + ":" + body.str() + ";";
      }
      EXPECT_EQ(std::string(c.second) + ";1001:-;", got) << c.first << level;
    }
  }
}

// Text beyond ASCII goes through the converter of the page on both builders' paths.
TEST(CodePage, TheBodyWriterWritesTheBytesOfTheDomBuilder) {
  latin1_native();
  using namespace cmtest;
  const CM_XmlNamespace ns("n", "urn:caf\xe9");
  const std::vector<BodyStep> steps = {
      root_step(CM_XmlTag(ns, "\xe9t\xe9")),
      ns_step(ns),
      push_step(tag_oslc_cm_tracksChangeSet()),
      attr_step(tag_rdf_resource(), "http://v/caf\xe9?a=<1>&b=\xff"),
      attr_step(CM_XmlTag(ns, "\xd7x"), "refused name"),
      attr_step(CM_XmlTag(ns, "x\xd7"), "\xe9"),
      pop_step(),
      pop_step()};
  CM_XmlDoc doc;
  CM_XmlWriter writer;
  const std::string written = build_body(writer, steps);
  EXPECT_EQ(build_body(doc, steps), written);
  EXPECT_NE(std::string::npos, written.find("caf\xc3\xa9?a=&lt;1&gt;&amp;b=\xc3\xbf")) << written;
}

}  // namespace
