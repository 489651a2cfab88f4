#include <cm_option.h>

#include <gtest/gtest.h>

#include <string>

#include "CM_Provider/cm_commit_cache.h"
#include "support/temp_home.h"

namespace {

std::string get(CM_Option::LocationType where, const char* name) {
  SUM_String out("garbage");
  CM_Option(where, name).GetValue(SUM_String("dflt"), out);
  return out.str();
}

void set(CM_Option::LocationType where, const char* name, const std::string& value) {
  CM_Option(where, name).SetValue(value.c_str());
}

const CM_Option::LocationType kUser = CM_Option::CurrentUser, kMachine = CM_Option::LocalMachine;

// cmi's option commands pin the lookup order (the user's value, CMI_ options from the machine, the
// environment over both); here only what they cannot reach.
TEST(Option, TheUsersValueWinsAndAnyOtherLocationMeansTheMachine) {
  cmtest::TempHome home;
  set(kUser, "Colour", "navy");
  EXPECT_EQ("dflt", get(kMachine, "Colour"));
  set(kMachine, "Colour", "green");
  EXPECT_EQ("navy|green",
            get(kUser, "Colour") + "|" + get(static_cast<CM_Option::LocationType>(7), "Colour"));
}

TEST(Option, OversizeOrUnwritableValuesReadAsUnset) {
  cmtest::TempHome home;
  set(kUser, "Long", std::string(127, 'x'));
  EXPECT_EQ(std::string(127, 'x'), get(kUser, "Long"));
  set(kUser, "Long", std::string(300, 'y'));
  EXPECT_EQ("dflt", get(kUser, "Long"));
  // The machine hive's folder is a plain file: nothing can be created below it.
  cmtest::write_file(home.machine_registry(), "not a folder");
  set(kMachine, "Blocked", "value");
  EXPECT_EQ("dflt", get(kMachine, "Blocked"));
  EXPECT_EQ("not a folder", cmtest::read_file(home.machine_registry()));
}

TEST(CommitCache, OptionsAreReadOncePerLiveCacheAndAfreshWithoutOne) {
  cmtest::TempHome home;
  cmtest::ScopedEnv first("TAPIR_CMI_BENCH_OPTION", "1");
  {
    CM_CommitCache cache;
    EXPECT_EQ("1", CM_CommitCache::option("CMI_BENCH_OPTION"));
    cmtest::ScopedEnv second("TAPIR_CMI_BENCH_OPTION", "2");
    { CM_CommitCache nested; }  // a second cache while one is live stays idle
    EXPECT_EQ(&cache, CM_CommitCache::live());
    EXPECT_EQ("1", CM_CommitCache::option("CMI_BENCH_OPTION"));
  }
  EXPECT_EQ(nullptr, CM_CommitCache::live());
  cmtest::ScopedEnv third("TAPIR_CMI_BENCH_OPTION", "3");
  EXPECT_EQ("3", CM_CommitCache::option("CMI_BENCH_OPTION"));
}

}  // namespace
