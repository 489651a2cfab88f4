// The scheduled actions: filed by record id in byte order, each record's in scheduling order, and
// kept intact in the map's own storage until COMMIT (or INITIALIZE) empties it. Run under the
// sanitizer build, these also check that every action and its texts are released exactly once.
#include "CM_Provider/cm_action_map.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CM_Provider/cm_mr_cmi_parser.h"

namespace {

std::unique_ptr<CM_Action> action(CM_ActionType type, const std::string& record,
                                  const std::string& selector, const std::string& name) {
  auto data = std::make_unique<CM_ChangeData>();
  data->set_record_id(record);
  data->set_universal_selector(selector);
  data->set_display_name(name);
  return std::make_unique<CM_Action>(type, data.release());
}

// "record: type selector name, ..." for the whole map, in its order.
std::string listing(const CM_ActionMap& map) {
  std::string out;
  for (const auto& entry : map) {
    out += entry.first + ":";
    for (const CM_Action* a : entry.second)
      out += std::string(" ") + a->action_name() + " " + a->get_data()->get_universal_selector() +
             " " + a->get_data()->get_display_name() + ",";
    out += "\n";
  }
  return out;
}

TEST(ActionMap, FilesByRecordInByteOrderAndKeepsSchedulingOrder) {
  CM_ActionMap map;
  EXPECT_TRUE(map.add(action(CM_ActionType::Associate, "MR20", "tw://a", "a.c")));
  EXPECT_TRUE(map.add(action(CM_ActionType::Associate, "MR100", "tw://b", "b.c")));
  EXPECT_FALSE(map.add(action(CM_ActionType::Disassociate, "MR20", "tw://a", "a.c")));
  EXPECT_FALSE(map.add(action(CM_ActionType::Associate, "MR20", "tw://a", "a.c")));
  EXPECT_TRUE(map.add(action(CM_ActionType::Associate, "mr20", "tw://c", "c.c")));
  EXPECT_FALSE(map.add(nullptr));
  EXPECT_EQ(
      "MR100: Associate tw://b b.c,\n"
      "MR20: Associate tw://a a.c, Disassociate tw://a a.c, Associate tw://a a.c,\n"
      "mr20: Associate tw://c c.c,\n",
      listing(map));
  EXPECT_EQ(3u, map.size());
  EXPECT_EQ(5u, map.action_count());
  ASSERT_NE(nullptr, map.find("MR20"));
  EXPECT_EQ("MR20", (*map.find("MR20"))[1]->record_id());
  EXPECT_EQ(nullptr, map.find("MR2"));
}

// Thousands of actions with texts too long to sit inside their strings, over many of the map's
// blocks: every one reads back as scheduled, and the map takes new ones after it was emptied.
TEST(ActionMap, KeepsThousandsOfActionsIntactAcrossClears) {
  CM_ActionMap map;
  for (int round = 0; round < 2; ++round) {
    const int n = 5000 + round;
    for (int i = 0; i < n; ++i) {
      const std::string record = "MR" + std::to_string(i % 7);
      map.add(action(i % 3 ? CM_ActionType::Associate : CM_ActionType::Disassociate, record,
                     "tw://vob/src/a/long/path/file" + std::to_string(i) + ".c@@/main/" +
                         std::to_string(round),
                     "file" + std::to_string(i) + ".c with a long display name"));
    }
    ASSERT_EQ(static_cast<size_t>(n), map.action_count());
    std::vector<size_t> seen(7, 0);
    for (const auto& entry : map) {
      const int r = entry.first[2] - '0';
      for (const CM_Action* a : entry.second) {
        const int i = r + 7 * static_cast<int>(seen[r]++);
        EXPECT_EQ(i % 3 ? CM_ActionType::Associate : CM_ActionType::Disassociate, a->get_type());
        EXPECT_EQ("tw://vob/src/a/long/path/file" + std::to_string(i) + ".c@@/main/" +
                      std::to_string(round),
                  a->get_data()->get_universal_selector());
        EXPECT_EQ("file" + std::to_string(i) + ".c with a long display name",
                  a->get_data()->get_display_name());
        EXPECT_EQ(entry.first, a->get_data()->get_record_id());
      }
    }
    map.clear();
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(0u, map.action_count());
  }
  // Left filled: the map's end releases what it holds.
  map.add(action(CM_ActionType::Associate, "MR1", "tw://vob/src/left/behind/file.c@@/main/1", "x"));
}

// An action without change data (only the map's own tests make one) files under "".
TEST(ActionMap, ActionWithoutDataFilesUnderTheEmptyId) {
  CM_ActionMap map;
  EXPECT_TRUE(map.add(std::make_unique<CM_Action>(CM_ActionType::Validate, nullptr)));
  ASSERT_NE(nullptr, map.find(""));
  const CM_Action* a = map.find("")->front();
  EXPECT_EQ(nullptr, a->get_data());
  EXPECT_EQ("", a->record_id());
  EXPECT_STREQ("Validate", a->action_name());
}

}  // namespace
