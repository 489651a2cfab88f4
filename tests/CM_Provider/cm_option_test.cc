#include <cm_option.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;

class OptionTest : public ::testing::Test {
 protected:
  std::string user_key_file() const {
    return home.path() + "/.Corvane/.Registry/CurrentUser/Software/Corvane/Tarnwell/Tarnwell Tapir";
  }
  std::string machine_key_file() const {
    return home.machine_registry() + "/Software/Corvane/Tarnwell/Tarnwell Tapir";
  }
  static std::string get(const CM_Option& option, const char* def = "dflt") {
    SUM_String out("garbage");
    option.GetValue(SUM_String(def), out);
    return out.str();
  }

  cmtest::TempHome home;
};

TEST_F(OptionTest, UnsetOptionYieldsTheDefault) {
  EXPECT_EQ("dflt", get(CM_Option(CM_Option::CurrentUser, "NeverSet")));
  EXPECT_EQ("", get(CM_Option(CM_Option::LocalMachine, "NeverSet"), ""));
  EXPECT_FALSE(path_exists(user_key_file()));
}

TEST_F(OptionTest, EachLocationWritesAndReadsItsOwnHive) {
  CM_Option user(CM_Option::CurrentUser, "Colour");
  CM_Option machine(CM_Option::LocalMachine, "Colour");
  user.SetValue("blue");
  EXPECT_TRUE(path_exists(user_key_file()));
  EXPECT_FALSE(path_exists(machine_key_file()));
  EXPECT_EQ("blue", get(user));
  EXPECT_EQ("dflt", get(machine));

  machine.SetValue("green");
  EXPECT_TRUE(path_exists(machine_key_file()));
  EXPECT_EQ("blue", get(user));
  EXPECT_EQ("green", get(machine));
  // Any location other than CurrentUser means the machine hive.
  EXPECT_EQ("green", get(CM_Option(static_cast<CM_Option::LocationType>(7), "Colour")));
}

TEST_F(OptionTest, ValuesAreOverwrittenAndKeptPerName) {
  CM_Option first(CM_Option::CurrentUser, "First");
  CM_Option second(CM_Option::CurrentUser, "Second");
  first.SetValue("1");
  second.SetValue("2 with  spaces");
  first.SetValue("one");
  EXPECT_EQ("one", get(first));
  EXPECT_EQ("2 with  spaces", get(second));
  second.SetValue("");
  EXPECT_EQ("", get(second));
  // A copy reads the same setting.
  CM_Option copy(first);
  EXPECT_EQ("one", get(copy));
}

TEST_F(OptionTest, EnvironmentOverridesBothHives) {
  CM_Option user(CM_Option::CurrentUser, "mixedCase_Name");
  CM_Option machine(CM_Option::LocalMachine, "mixedCase_Name");
  user.SetValue("stored");
  machine.SetValue("stored-m");
  setenv("TAPIR_MIXEDCASE_NAME", "from-env", 1);
  EXPECT_EQ("from-env", get(user));
  EXPECT_EQ("from-env", get(machine));
  // Set but empty still counts as set.
  setenv("TAPIR_MIXEDCASE_NAME", "", 1);
  EXPECT_EQ("", get(user));
  // SetValue never writes the environment; the override keeps hiding the stored value.
  user.SetValue("newer");
  EXPECT_EQ("", get(user));
  unsetenv("TAPIR_MIXEDCASE_NAME");
  EXPECT_EQ("newer", get(user));
  EXPECT_EQ("stored-m", get(machine));
}

TEST_F(OptionTest, OversizeStoredValueReadsAsUnset) {
  CM_Option option(CM_Option::CurrentUser, "Long");
  option.SetValue(std::string(127, 'x').c_str());
  EXPECT_EQ(std::string(127, 'x'), get(option));
  option.SetValue(std::string(300, 'y').c_str());
  EXPECT_EQ("dflt", get(option));
}

TEST_F(OptionTest, UnwritableStoreIsSilent) {
  // The machine hive's folder is a plain file: nothing can be created below it.
  cmtest::write_file(home.machine_registry(), "not a folder");
  CM_Option machine(CM_Option::LocalMachine, "Blocked");
  machine.SetValue("value");
  EXPECT_EQ("dflt", get(machine));
  EXPECT_EQ("not a folder", read_file(home.machine_registry()));
}

}  // namespace
