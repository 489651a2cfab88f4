// A native code page narrower than the tracker's texts (Latin-1): what fits is read and written
// back unchanged, what does not fit fails instead of being replaced, and stops a record
// untouched. A program of its own: the converter is chosen once per process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using Links = std::vector<std::pair<std::string, std::string>>;

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
  const CM_Session session = cmtest::make_session(sim.base_url());
  const std::string utf8 = "Gr\xc3\xbc\xc3\x9f";
  const Links foreign = {{"http://v/a", "\xe6\x97\xa5\xe6\x9c\xac"}, {"http://v/b", "plain"}};
  struct Case {
    Links seeded;
    int status;
    Links stored;  // after associating "http://v/new" named "caf\xe9" (Latin-1): written or not
  } const cases[] = {
      {{{"http://v/a", utf8}}, 0, {{"http://v/a", utf8}, {"http://v/new", "caf\xc3\xa9"}}},
      {foreign, 10001, foreign},
  };
  for (const Case& c : cases) {
    nlohmann::json rec = {{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", "MR1"}};
    rec["links"] = nlohmann::json::array();
    for (const auto& link : c.seeded)
      rec["links"].push_back({{"resource", link.first}, {"title", link.second}});
    sim.put_record(rec);
    CM_ActionMap actions;
    auto data = std::make_unique<CM_ChangeData>();
    data->set_universal_selector("http://v/new");
    data->set_display_name("caf\xe9");
    data->set_record_id("MR1");
    actions.add(std::make_unique<CM_Action>(CM_ActionType::Associate, data.release()));
    CM_OslcBaseMr engine;
    engine.init(session);
    EXPECT_EQ(c.status, engine.do_modify_associations(actions)) << engine.get_error();
    Links stored;
    const nlohmann::json record = sim.record("dbs1", "db1", "MR1");
    for (const auto& link : record["links"])
      stored.emplace_back(link["resource"].get<std::string>(), link["title"].get<std::string>());
    EXPECT_EQ(c.stored, stored);
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
    CM_Trace::reset();
    CM_Trace::set_file("xmltest", static_cast<int>(getpid()));
    CM_Trace::configure("CMOSLC", level);
    for (const auto& c : {std::make_pair("n:D", "1001:-"), std::make_pair("n:Item", "0:X")}) {
      ASSERT_EQ(0, root.get_rdf_description_nodes(c.first));
      std::string got;
      for (const char* id : {"x", "y"}) {
        SUM_String body("-");
        got +=
            std::to_string(root.get_body_from_nodelist(title, id, body)) + ":" + body.str() + ";";
      }
      EXPECT_EQ(std::string(c.second) + ";1001:-;", got) << c.first << level;
    }
    CM_Trace::close();
    CM_Trace::reset();
  }
}

}  // namespace
