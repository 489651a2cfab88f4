#include <cm_version_info.h>

#include <gtest/gtest.h>

namespace {

TEST(VersionInfo, NamesCompareExactly) {
  const CM_VersionInfo release("release");
  EXPECT_EQ(1, release == CM_VersionInfo("release"));
  EXPECT_EQ(0, release != CM_VersionInfo("release"));
  EXPECT_EQ(0, release == CM_VersionInfo("Release"));
  EXPECT_EQ(1, release != CM_VersionInfo("Release"));
  EXPECT_EQ(0, release == CM_VersionInfo("release "));
  EXPECT_EQ(0, release == CM_VersionInfo());
  EXPECT_EQ(1, CM_VersionInfo() == CM_VersionInfo(""));
}

TEST(VersionInfo, CopiesAndAssignmentsAreIndependent) {
  CM_VersionInfo original("v1");
  CM_VersionInfo copy(original);
  copy.SetName("v2");
  EXPECT_EQ(SUM_String("v1"), original.GetName());
  EXPECT_EQ(SUM_String("v2"), copy.GetName());

  CM_VersionInfo assigned;
  EXPECT_EQ(0, assigned.GetName().GetLength());
  assigned = copy;
  copy.SetName("v3");
  EXPECT_EQ(SUM_String("v2"), assigned.GetName());
  const CM_VersionInfo& alias = assigned;
  assigned = alias;
  EXPECT_EQ(SUM_String("v2"), assigned.GetName());
  // GetName hands out a copy.
  SUM_String name = assigned.GetName();
  name += "-changed";
  EXPECT_EQ(SUM_String("v2"), assigned.GetName());
}

}  // namespace
