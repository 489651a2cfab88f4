#include <cm_mr_credential_list.h>

#include <gtest/gtest.h>

#include <string>

#include "support/temp_home.h"

namespace {

// A credential told apart by its user name; the password is left empty so that building many
// of them needs no transform.
CM_MRCredential named(const std::string& user) {
  CM_MRCredential c;
  c.set_user_name(user.c_str());
  c.set_provider_name("prov");
  c.set_user_database_name("db");
  c.set_dbset("set");
  return c;
}

std::string users(const CM_MRCredentialList& list) {
  std::string out;
  for (uint32_t i = 0; i < list.length(); ++i) {
    if (i) out += ",";
    out += list[i].get_user_name().str();
  }
  return out;
}

TEST(CredentialListTest, CountConstructorGivesEmptyCredentials) {
  CM_MRCredentialList list(5);
  EXPECT_EQ(5u, list.length());
  EXPECT_EQ(32u, list.capacity());
  EXPECT_EQ(0, list.is_empty());
  for (uint32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(0, list[i].get_user_name().GetLength());
    EXPECT_EQ(0, list[i].get_provider_name().GetLength());
  }
}

TEST(CredentialListTest, GrowsBy32ThenDoublingAndKeepsOrder) {
  CM_MRCredentialList list;
  list.append(named("u0"));
  EXPECT_EQ(32u, list.capacity());
  for (int i = 1; i < 32; ++i) ASSERT_EQ(0, list.append(named("u" + std::to_string(i))));
  EXPECT_EQ(32u, list.capacity());
  ASSERT_EQ(0, list.append(named("u32")));
  EXPECT_EQ(64u, list.capacity());
  for (int i = 33; i < 65; ++i) ASSERT_EQ(0, list.append(named("u" + std::to_string(i))));
  EXPECT_EQ(128u, list.capacity());
  ASSERT_EQ(65u, list.length());
  for (uint32_t i = 0; i < 65; ++i)
    EXPECT_EQ("u" + std::to_string(i), list[i].get_user_name().str());

  CM_MRCredentialList big(100);
  EXPECT_EQ(128u, big.capacity());
  CM_MRCredentialList edge(33);
  EXPECT_EQ(64u, edge.capacity());
}

TEST(CredentialListTest, InsertPrependAndAppendPlaceElements) {
  CM_MRCredentialList list;
  list.append(named("b"));
  list.append(named("c"));
  list.append(named("d"));
  ASSERT_EQ(0, list.prepend(named("a")));
  EXPECT_EQ("a,b,c,d", users(list));
  ASSERT_EQ(0, list.insert(named("x"), 2));
  EXPECT_EQ("a,b,x,c,d", users(list));
  ASSERT_EQ(0, list.insert(named("e"), list.length()));
  EXPECT_EQ("a,b,x,c,d,e", users(list));
  EXPECT_EQ(1072, list.insert(named("z"), list.length() + 1));
  EXPECT_EQ("a,b,x,c,d,e", users(list));
}

TEST(CredentialListTest, InsertingAnElementOfTheSameListAcrossGrowthIsSafe) {
  CM_MRCredentialList list;
  for (int i = 0; i < 32; ++i) list.append(named("u" + std::to_string(i)));
  // The source lives in the storage that the growth replaces.
  ASSERT_EQ(0, list.append(list[5]));
  EXPECT_EQ(33u, list.length());
  EXPECT_EQ("u5", list[32].get_user_name().str());
  ASSERT_EQ(0, list.prepend(list[32]));
  EXPECT_EQ("u5", list[0].get_user_name().str());
  EXPECT_EQ("u0", list[1].get_user_name().str());
}

TEST(CredentialListTest, RemoveClosesTheGap) {
  CM_MRCredentialList list;
  for (const char* u : {"a", "b", "c", "d"}) list.append(named(u));
  ASSERT_EQ(0, list.remove(1));
  EXPECT_EQ("a,c,d", users(list));
  ASSERT_EQ(0, list.remove(2));
  EXPECT_EQ("a,c", users(list));
  EXPECT_EQ(32u, list.capacity());
  ASSERT_EQ(0, list.remove(0));
  EXPECT_EQ("c", users(list));
  EXPECT_EQ(1072, list.remove(1));
  ASSERT_EQ(0, list.remove(0));
  EXPECT_EQ(1, list.is_empty());
  EXPECT_EQ(1072, list.remove(0));
}

TEST(CredentialListTest, FindUsesCredentialEqualityAndTheLowestIndex) {
  cmtest::TempHome home;  // the transform keeps its key in the home folder
  CM_MRCredentialList list;
  list.append(CM_MRCredential("alice", "pw", "prov", "db", "set"));
  list.append(CM_MRCredential("bob", "pw", "prov", "db", "set"));
  list.append(CM_MRCredential("Bob", "pw", "prov", "db", "set"));
  EXPECT_EQ(1, list.find(CM_MRCredential("BOB", "pw", "prov", "db", "set")));
  EXPECT_EQ(0, list.find(CM_MRCredential("alice", "pw", "prov", "db", "set", "http://other/")));
  EXPECT_EQ(-1, list.find(CM_MRCredential("alice", "other", "prov", "db", "set")));
  EXPECT_EQ(-1, list.find(CM_MRCredential("alice", "pw", "prov", "DB", "set")));
}

TEST(CredentialListTest, EqualityNeedsSameElementsInSameOrder) {
  CM_MRCredentialList a;
  CM_MRCredentialList b;
  EXPECT_EQ(1, a == b);
  a.append(named("x"));
  a.append(named("y"));
  b.append(named("y"));
  b.append(named("x"));
  EXPECT_EQ(0, a == b);
  EXPECT_EQ(1, a != b);
  CM_MRCredentialList c;
  c.append(named("X"));
  c.append(named("Y"));
  EXPECT_EQ(1, a == c);  // user names compare ignoring case
  c.append(named("z"));
  EXPECT_EQ(0, a == c);
}

TEST(CredentialListTest, CopyAndAssignmentAreDeepAndSelfAssignmentKeepsTheList) {
  CM_MRCredentialList a;
  for (const char* u : {"a", "b", "c"}) a.append(named(u));
  CM_MRCredentialList copy(a);
  EXPECT_EQ("a,b,c", users(copy));
  copy[0].set_user_name("changed");
  EXPECT_EQ("a", a[0].get_user_name().str());

  CM_MRCredentialList assigned;
  assigned.append(named("old"));
  assigned = a;
  EXPECT_EQ("a,b,c", users(assigned));
  CM_MRCredentialList& self = assigned;
  assigned = self;
  EXPECT_EQ("a,b,c", users(assigned));

  assigned.clear();
  EXPECT_EQ(0u, assigned.length());
  EXPECT_EQ(0u, assigned.capacity());
  ASSERT_EQ(0, assigned.append(named("again")));
  EXPECT_EQ("again", users(assigned));
}

}  // namespace
