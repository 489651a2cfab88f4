#include <cm_mr_credential_list.h>

#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.h"

namespace {

// Told apart by the user name; no password, so building many needs no transform.
CM_MRCredential named(const std::string& user) {
  CM_MRCredential c;
  c.set_user_name(user.c_str());
  return c;
}

std::string users(const CM_MRCredentialList& list) {
  std::string out;
  for (uint32_t i = 0; i < list.length(); ++i)
    out += (i ? "," : "") + list[i].get_user_name().str();
  return out;
}

TEST(CredentialList, PlacesKeepOrderAcrossGrowthAndRefuseOutOfRange) {
  CM_MRCredentialList list;
  for (int i = 0; i < 32; ++i) ASSERT_EQ(0, list.append(named("u" + std::to_string(i))));
  EXPECT_EQ(32u, list.capacity());
  // The source lives in the storage that the growth replaces.
  ASSERT_EQ(0, list.append(list[5]));
  EXPECT_EQ(64u, list.capacity());
  ASSERT_EQ(0, list.prepend(list[32]));
  ASSERT_EQ(0, list.insert(named("x"), 2));
  EXPECT_EQ(1072, list.insert(named("z"), list.length() + 1));
  EXPECT_EQ("u5,u0,x,u1", users(list).substr(0, 10));
  EXPECT_EQ(",u30,u31,u5", users(list).substr(users(list).size() - 11));
  ASSERT_EQ(0, list.remove(2));
  ASSERT_EQ(0, list.remove(list.length() - 1));
  EXPECT_EQ(33u, list.length());
  EXPECT_EQ("u5,u0,u1", users(list).substr(0, 8));
  EXPECT_EQ(1072, list.remove(list.length()));
  EXPECT_EQ(128u, CM_MRCredentialList(65).capacity());
}

TEST(CredentialList, FindAndEqualityUseCredentialEqualityInOrder) {
  cmtest::TempHome home;  // the transform keeps its key in the home folder
  CM_MRCredentialList list;
  list.append(CM_MRCredential("alice", "pw", "prov", "db", "set"));
  list.append(CM_MRCredential("bob", "pw", "prov", "db", "set"));
  list.append(CM_MRCredential("Bob", "pw", "prov", "db", "set"));
  EXPECT_EQ(1, list.find(CM_MRCredential("BOB", "pw", "prov", "db", "set")));
  EXPECT_EQ(-1, list.find(CM_MRCredential("alice", "other", "prov", "db", "set")));
  CM_MRCredentialList copy(list);
  EXPECT_EQ(1, copy == list);
  copy[0].set_user_name("ALICE");  // user names compare ignoring case
  EXPECT_EQ(1, copy == list);
  EXPECT_EQ("alice", list[0].get_user_name().str());  // the copy is deep
  ASSERT_EQ(0, copy.remove(0));
  ASSERT_EQ(0, copy.append(list[0]));
  EXPECT_EQ(1, copy != list);
  copy = list;
  CM_MRCredentialList& self = copy;
  copy = self;
  EXPECT_EQ(1, copy == list);
}

}  // namespace
