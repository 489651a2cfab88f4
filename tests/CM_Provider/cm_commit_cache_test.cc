#include "CM_Provider/cm_commit_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.h"

namespace {

using cmtest::ScopedEnv;

TEST(CommitCache, OptionsAreReadOncePerLiveCacheAndAfreshWithoutOne) {
  cmtest::TempHome home;
  ScopedEnv first("TAPIR_CMI_BENCH_OPTION", "1");
  EXPECT_EQ(nullptr, CM_CommitCache::live());
  {
    CM_CommitCache cache;
    EXPECT_EQ("1", CM_CommitCache::option("CMI_BENCH_OPTION"));
    ScopedEnv second("TAPIR_CMI_BENCH_OPTION", "2");
    {
      // A second cache while one is live stays idle: the live one keeps answering.
      CM_CommitCache nested;
      EXPECT_EQ(&cache, CM_CommitCache::live());
    }
    EXPECT_EQ(&cache, CM_CommitCache::live());
    EXPECT_EQ("1", CM_CommitCache::option("CMI_BENCH_OPTION"));
  }
  EXPECT_EQ(nullptr, CM_CommitCache::live());
  ScopedEnv third("TAPIR_CMI_BENCH_OPTION", "3");
  EXPECT_EQ("3", CM_CommitCache::option("CMI_BENCH_OPTION"));
}

TEST(CommitCache, CookieFormsAreKeptByPathAndByStoredText) {
  CM_CommitCache cache;
  std::string text;
  cache.keep_stored_cookie("/a", "s1");
  cache.keep_stored_cookie("/a", "s2");
  ASSERT_TRUE(cache.find_stored_cookie("/a", text));
  EXPECT_EQ("s2", text);
  EXPECT_FALSE(cache.find_stored_cookie("/b", text));
  cache.keep_plain_cookie("s2", "");
  ASSERT_TRUE(cache.find_plain_cookie("s2", text));
  EXPECT_EQ("", text);
  EXPECT_FALSE(cache.find_plain_cookie("s1", text));
}

}  // namespace
