#include <cm_option.h>

#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.h"

namespace {

std::string get(const CM_Option& option) {
  SUM_String out("garbage");
  option.GetValue(SUM_String("dflt"), out);
  return out.str();
}

TEST(Option, EachHiveKeepsItsOwnValuesAndOnlyPluginOptionsFallBackToTheMachine) {
  cmtest::TempHome home;
  CM_Option user(CM_Option::CurrentUser, "Colour");
  CM_Option machine(CM_Option::LocalMachine, "Colour");
  EXPECT_EQ("dflt", get(user));
  user.SetValue("blue");
  EXPECT_EQ("dflt", get(machine));
  machine.SetValue("green");
  user.SetValue("navy");
  CM_Option other(CM_Option::CurrentUser, "Other");
  other.SetValue("2 with  spaces");
  EXPECT_EQ("navy", get(user));
  EXPECT_EQ("green", get(machine));
  EXPECT_EQ("2 with  spaces", get(other));
  // Any location other than CurrentUser means the machine hive.
  EXPECT_EQ("green", get(CM_Option(static_cast<CM_Option::LocationType>(7), "Colour")));

  CM_Option policy(CM_Option::LocalMachine, "CMI_Policy");
  policy.SetValue("machine-wide");
  EXPECT_EQ("machine-wide", get(CM_Option(CM_Option::CurrentUser, "CMI_Policy")));
  EXPECT_EQ("dflt", get(CM_Option(CM_Option::CurrentUser, "Unset")));
  machine.SetValue("");
  EXPECT_EQ("", get(machine));
}

TEST(Option, EnvironmentOverridesBothHivesEvenWhenEmpty) {
  cmtest::TempHome home;
  CM_Option user(CM_Option::CurrentUser, "mixedCase_Name");
  CM_Option machine(CM_Option::LocalMachine, "mixedCase_Name");
  user.SetValue("stored");
  machine.SetValue("stored-m");
  {
    cmtest::ScopedEnv env("TAPIR_MIXEDCASE_NAME", "from-env");
    EXPECT_EQ("from-env", get(user));
    EXPECT_EQ("from-env", get(machine));
  }
  cmtest::ScopedEnv env("TAPIR_MIXEDCASE_NAME", "");
  user.SetValue("newer");  // never written to the environment
  EXPECT_EQ("", get(user));
}

TEST(Option, OversizeOrUnwritableValuesReadAsUnset) {
  cmtest::TempHome home;
  CM_Option option(CM_Option::CurrentUser, "Long");
  option.SetValue(std::string(127, 'x').c_str());
  EXPECT_EQ(std::string(127, 'x'), get(option));
  option.SetValue(std::string(300, 'y').c_str());
  EXPECT_EQ("dflt", get(option));
  // The machine hive's folder is a plain file: nothing can be created below it.
  cmtest::write_file(home.machine_registry(), "not a folder");
  CM_Option(CM_Option::LocalMachine, "Blocked").SetValue("value");
  EXPECT_EQ("dflt", get(CM_Option(CM_Option::LocalMachine, "Blocked")));
  EXPECT_EQ("not a folder", cmtest::read_file(home.machine_registry()));
}

}  // namespace
