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

TEST(CodePage, TitlesWithinThePageAreKeptOthersStopTheRecordUnwritten) {
  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  // Fixed at the first conversion of the process; the simulator started under the original one.
  setenv("LC_ALL", "en_US.ISO-8859-1", 1);
  const CM_Session session = cmtest::make_session(sim.base_url());
  struct Case {
    Links seeded;
    int status;
    Links stored;  // after associating "http://v/new" named "caf\xe9" (Latin-1)
  };
  const std::string utf8 = "Gr\xc3\xbc\xc3\x9f";
  const Links foreign = {{"http://v/a", "\xe6\x97\xa5\xe6\x9c\xac"}, {"http://v/b", "plain"}};
  const Case cases[] = {
      {{{"http://v/a", utf8}}, 0, {{"http://v/a", utf8}, {"http://v/new", "caf\xc3\xa9"}}},
      {foreign, 10001, foreign},
  };
  for (const Case& c : cases) {
    nlohmann::json rec = {{"dbset", "dbs1"}, {"userdb", "db1"}, {"id", "MR1"}};
    rec["links"] = nlohmann::json::array();
    for (const auto& link : c.seeded)
      rec["links"].push_back({{"resource", link.first}, {"title", link.second}});
    sim.put_record(rec);
    sim.clear_log();

    CM_ActionMap actions;
    auto data = std::make_unique<CM_ChangeData>();
    data->set_universal_selector("http://v/new");
    data->set_display_name("caf\xe9");
    data->set_record_id("MR1");
    actions.add(std::make_unique<CM_Action>(CM_ActionType::Associate, data.release()));
    CM_OslcBaseMr engine;
    engine.init(session);
    EXPECT_EQ(c.status, engine.do_modify_associations(actions)) << engine.get_error();
    if (c.status != 0) EXPECT_NE(std::string::npos, engine.get_error().find("native code page"));

    Links stored;
    const nlohmann::json record = sim.record("dbs1", "db1", "MR1");
    for (const auto& link : record["links"])
      stored.emplace_back(link["resource"].get<std::string>(), link["title"].get<std::string>());
    EXPECT_EQ(c.stored, stored);
    int puts = 0;
    for (const auto& entry : sim.log()) puts += entry["method"] == "PUT" ? 1 : 0;
    EXPECT_EQ(c.status == 0 ? 1 : 0, puts);
  }
}

}  // namespace
