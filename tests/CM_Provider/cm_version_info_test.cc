#include <cm_version_info.h>

#include <gtest/gtest.h>

namespace {

TEST(VersionInfo, NamesCompareExactly) {
  const CM_VersionInfo release("release");
  for (const char* other : {"Release", "release ", ""}) {
    EXPECT_EQ(0, release == CM_VersionInfo(other)) << other;
    EXPECT_EQ(1, release != CM_VersionInfo(other)) << other;
  }
  EXPECT_EQ(1, release == CM_VersionInfo("release"));
  EXPECT_EQ(0, release != CM_VersionInfo("release"));
  EXPECT_EQ(1, CM_VersionInfo() == CM_VersionInfo(""));
}

}  // namespace
