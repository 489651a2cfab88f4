// The association engine with a native code page narrower than the tracker's texts (Latin-1):
// what fits is read and written back unchanged, what does not fit stops the record untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

using Links = std::vector<std::pair<std::string, std::string>>;

class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    // The native code page comes from the locale environment and is fixed at the first
    // conversion of the process; the simulator has started under the original one.
    setenv("LC_ALL", "en_US.ISO-8859-1", 1);
    session = cmtest::make_session(sim.base_url());
  }

  void Seed(const Links& links) {
    nlohmann::json rec = {{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", "MR1"}};
    rec["links"] = nlohmann::json::array();
    for (const auto& link : links)
      rec["links"].push_back({{"resource", link.first}, {"title", link.second}});
    sim.put_record(rec);
  }

  Links Stored() {
    Links out;
    const nlohmann::json record = sim.record("dbs1", "db1", "MR1");
    for (const auto& link : record["links"])
      out.emplace_back(link["resource"].get<std::string>(), link["title"].get<std::string>());
    return out;
  }

  int Associate(const std::string& selector, const std::string& name) {
    CM_ActionMap actions;
    auto data = std::make_unique<CM_ChangeData>();
    data->set_universal_selector(selector);
    data->set_display_name(name);
    data->set_record_id("MR1");
    actions.add(std::make_unique<CM_Action>(CM_ActionType::Associate, data.release()));
    CM_OslcBaseMr engine;
    engine.init(session);
    int status = engine.do_modify_associations(actions);
    error = engine.get_error();
    return status;
  }

  int Puts() {
    int count = 0;
    for (const auto& entry : sim.log()) count += entry["method"] == "PUT" ? 1 : 0;
    return count;
  }

  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  CM_Session session;
  std::string error;
};

TEST_F(CodePageTest, TitlesWithinTheCodePageAreKept) {
  const std::string utf8_title =
      "Gr\xc3\xbc\xc3\x9f"
      "e";  // as the tracker holds it
  Seed({{"http://v/a", utf8_title}});
  // The new name arrives in the native code page (Latin-1).
  ASSERT_EQ(0, Associate("http://v/b", "caf\xe9")) << error;
  EXPECT_EQ((Links{{"http://v/a", utf8_title}, {"http://v/b", "caf\xc3\xa9"}}), Stored());
}

TEST_F(CodePageTest, TitleOutsideTheCodePageStopsTheRecordUnwritten) {
  const Links original = {{"http://v/a", "\xe6\x97\xa5\xe6\x9c\xac"}, {"http://v/b", "plain"}};
  Seed(original);
  EXPECT_EQ(10001, Associate("http://v/c", "new"));
  EXPECT_NE(std::string::npos, error.find("native code page")) << error;
  EXPECT_EQ(0, Puts());
  EXPECT_EQ(original, Stored());
}

}  // namespace
