#include <cm_mr_credential.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <cm_mr_credential_list.h>
#include "CM_Provider/cm_trace.h"
#include "platform/sum/xml_element.h"
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;
using cmtest::write_file;

class CredentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
    m_store = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/MRUser";
  }
  void TearDown() override { CM_Trace::reset(); }

  std::string trace() const { return read_file(CM_Trace::file_path()); }
  std::string login_file(const std::string& provider, const std::string& dbset,
                         const std::string& userdb) const {
    return m_store + "/" + provider + "/" + dbset + "/" + userdb;
  }
  // Writes a credential file with the given children, as another writer might have left it.
  void write_login(const std::string& provider, const std::string& dbset, const std::string& userdb,
                   const std::string& text) {
    std::string dir = m_store + "/" + provider + "/" + dbset;
    ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + dir + "'"));
    write_file(dir + "/" + userdb, text);
  }
  static std::string serialised(const std::vector<std::pair<std::string, std::string>>& kids) {
    XML_Element root("CMCredential");
    for (const auto& k : kids) root.sub_elements().append(XML_Element(k.first, k.second));
    SUM_String text;
    EXPECT_EQ(0, root.string(text, 0));
    return text.str();
  }

  cmtest::TempHome home;
  std::string m_store;
};

TEST_F(CredentialTest, ValueConstructorStoresOnlyTheTransformedPassword) {
  CM_MRCredential c("alice", "s3cret!", "prov1", "db1", "dbs1", "https://mr.example/");
  EXPECT_EQ("alice", c.get_user_name().str());
  EXPECT_EQ("prov1", c.get_provider_name().str());
  EXPECT_EQ("db1", c.get_user_database_name().str());
  EXPECT_EQ("dbs1", c.get_dbset().str());
  EXPECT_EQ("https://mr.example/", c.get_web_url().str());
  EXPECT_EQ(m_store, c.get_file_path().str());
  EXPECT_EQ("db1", c.get_file_name().str());
  EXPECT_GT(c.get_encrypt_pw().GetLength(), 0);
  EXPECT_EQ(std::string::npos, c.get_encrypt_pw().str().find("s3cret"));
  EXPECT_EQ("s3cret!", c.get_user_password().str());

  CM_MRCredential five("bob", "pw", "p", "d", "s");
  EXPECT_EQ(0, five.get_web_url().GetLength());
  EXPECT_EQ("pw", five.get_user_password().str());

  CM_MRCredential empty;
  EXPECT_EQ(0, empty.get_file_path().GetLength());
  EXPECT_EQ(0, empty.get_user_password().GetLength());
}

TEST_F(CredentialTest, AddThenLookupRestoresTheLogin) {
  CM_MRCredential stored("alice", "pa ss/wörd<&>", "prov1", "db1", "dbs1");
  ASSERT_EQ(0, stored.add());

  std::string text = read_file(login_file("prov1", "dbs1", "db1"));
  EXPECT_EQ(std::string::npos, text.find("pa ss")) << "password on disk in plain text";
  XML_Element root;
  ASSERT_EQ(0, XML_Element::parse(text.c_str(), root));
  EXPECT_EQ("CMCredential", root.name().str());
  ASSERT_EQ(2, root.sub_elements().count());
  EXPECT_EQ("UserName", root.sub_elements()[0].name().str());
  EXPECT_EQ("alice", root.sub_elements()[0].text().str());
  EXPECT_EQ("Password", root.sub_elements()[1].name().str());
  EXPECT_EQ(stored.get_encrypt_pw(), root.sub_elements()[1].text());

  struct stat st;
  ASSERT_EQ(0, stat(login_file("prov1", "dbs1", "db1").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_EQ(0, stat((m_store + "/prov1/dbs1").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);

  CM_MRCredential found;
  ASSERT_EQ(0, found.lookup("prov1", "dbs1", "db1", ""));
  EXPECT_EQ("alice", found.get_user_name().str());
  EXPECT_EQ(stored.get_encrypt_pw(), found.get_encrypt_pw());
  EXPECT_EQ("pa ss/wörd<&>", found.get_user_password().str());
  EXPECT_EQ(m_store, found.get_file_path().str());
  EXPECT_EQ("db1", found.get_file_name().str());
  EXPECT_NE(std::string::npos,
            trace().find("::add::add: Credentials stored for provider name: prov1"));
}

TEST_F(CredentialTest, LookupOfMissingLoginIs1002AndStillTraced) {
  CM_MRCredential found;
  EXPECT_EQ(1002, found.lookup("nope", "dbsX", "dbX", ""));
  EXPECT_EQ(0, found.get_user_name().GetLength());
  std::string t = trace();
  EXPECT_NE(std::string::npos, t.find("lookup(): DBSet=\"dbsX\""));
  EXPECT_NE(std::string::npos, t.find("lookup(): DB=\"dbX\""));
  EXPECT_NE(std::string::npos, t.find("lookup(): USER=\"\""));
  // The store location is filled in all the same.
  EXPECT_EQ(m_store, found.get_file_path().str());
  EXPECT_EQ("dbX", found.get_file_name().str());
}

TEST_F(CredentialTest, LookupUsesTheGivenBaseOnlyWhenNoneIsSet) {
  std::string other = home.path() + "/elsewhere";
  CM_MRCredential there("erin", "pw", "p", "d", "s");
  there.set_file_path(other.c_str());
  ASSERT_EQ(0, there.add());
  EXPECT_TRUE(path_exists(other + "/p/s/d"));
  EXPECT_FALSE(path_exists(m_store));

  CM_MRCredential fresh;
  ASSERT_EQ(0, fresh.lookup("p", "s", "d", other.c_str()));
  EXPECT_EQ("erin", fresh.get_user_name().str());

  // A credential that already has a base keeps it and ignores the argument.
  CM_MRCredential preset("x", "y", "p", "d", "s");
  EXPECT_EQ(1002, preset.lookup("p", "s", "d", other.c_str()));
  EXPECT_EQ(m_store, preset.get_file_path().str());
}

TEST_F(CredentialTest, DamagedFilesAreUnreadableNotMissing) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"not xml", "user=alice password=x"},
      {"truncated", "<CMCredential><UserName>alice</UserName><Pass"},
      {"one child", serialised({{"UserName", "alice"}})},
      {"no children", "<CMCredential/>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    write_login("p", "s", "d", c.second);
    CM_MRCredential found;
    EXPECT_EQ(1001, found.lookup("p", "s", "d", ""));
    EXPECT_EQ(0, found.get_user_name().GetLength());
    EXPECT_EQ(0, found.get_encrypt_pw().GetLength());
    // Enumeration skips it, and it can be replaced.
    CM_MRCredentialList list;
    EXPECT_EQ(0, CM_MRCredential::lookup(list));
    EXPECT_EQ(0u, list.length());
  }
  ASSERT_EQ(0, CM_MRCredential("alice", "good", "p", "d", "s").add());
  CM_MRCredential found;
  EXPECT_EQ(0, found.lookup("p", "s", "d", ""));
  EXPECT_EQ("good", found.get_user_password().str());
}

TEST_F(CredentialTest, ChildrenAreReadByPositionNotByName) {
  CM_MRCredential genuine("alice", "pw", "p", "d", "s");
  write_login("p", "s", "d",
              serialised({{"Password", genuine.get_encrypt_pw().str()}, {"UserName", "alice"}}));
  CM_MRCredential found;
  ASSERT_EQ(0, found.lookup("p", "s", "d", ""));
  EXPECT_EQ(genuine.get_encrypt_pw(), found.get_user_name());
  EXPECT_EQ("alice", found.get_encrypt_pw().str());
  EXPECT_EQ(0, found.get_user_password().GetLength());
}

TEST_F(CredentialTest, TamperedPasswordDecryptsToNothing) {
  CM_MRCredential genuine("alice", "pw", "p", "d", "s");
  std::string bad = genuine.get_encrypt_pw().str();
  bad[bad.size() - 3] = bad[bad.size() - 3] == 'Q' ? 'R' : 'Q';
  write_login("p", "s", "d", serialised({{"UserName", "alice"}, {"Password", bad}}));
  CM_MRCredential found;
  ASSERT_EQ(0, found.lookup("p", "s", "d", ""));
  EXPECT_EQ("alice", found.get_user_name().str());
  EXPECT_EQ(0, found.get_user_password().GetLength());
}

TEST_F(CredentialTest, PasswordThatCannotBeTransformedLeavesStoredFormEmpty) {
  CM_MRCredential c("alice", std::string(400, 'p'), "p", "d", "s");
  EXPECT_EQ(0, c.get_encrypt_pw().GetLength());
  c.set_user_password("fits");
  EXPECT_EQ("fits", c.get_user_password().str());
  c.set_user_password(std::string(400, 'q'));
  EXPECT_EQ(0, c.get_encrypt_pw().GetLength());
}

TEST_F(CredentialTest, RemoveDeletesOnlyFoldersItEmpties) {
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "prov1", "db1", "dbs1").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "prov1", "db2", "dbs1").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "prov1", "db3", "dbs2").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "prov2", "db1", "dbs1").add());

  // Two logins in one folder: removing one keeps the folder and the other file.
  CM_MRCredential one;
  ASSERT_EQ(0, one.lookup("prov1", "dbs1", "db1", ""));
  ASSERT_EQ(0, one.remove());
  EXPECT_FALSE(path_exists(login_file("prov1", "dbs1", "db1")));
  EXPECT_TRUE(path_exists(login_file("prov1", "dbs1", "db2")));

  // Last login of a dbset: its folder goes, the provider folder holding dbs2 stays.
  CM_MRCredential two;
  ASSERT_EQ(0, two.lookup("prov1", "dbs1", "db2", ""));
  ASSERT_EQ(0, two.remove());
  EXPECT_FALSE(path_exists(m_store + "/prov1/dbs1"));
  EXPECT_TRUE(path_exists(login_file("prov1", "dbs2", "db3")));

  // Last login of a provider: provider folder goes, the store stays for prov2.
  CM_MRCredential three;
  ASSERT_EQ(0, three.lookup("prov1", "dbs2", "db3", ""));
  ASSERT_EQ(0, three.remove());
  EXPECT_FALSE(path_exists(m_store + "/prov1"));
  EXPECT_TRUE(path_exists(login_file("prov2", "dbs1", "db1")));

  // The very last login takes the store folder with it.
  CM_MRCredential last;
  ASSERT_EQ(0, last.lookup("prov2", "dbs1", "db1", ""));
  ASSERT_EQ(0, last.remove());
  EXPECT_FALSE(path_exists(m_store));
  EXPECT_TRUE(path_exists(home.path() + "/.Corvane/.Registry/Tarnwell/CMI"));
}

TEST_F(CredentialTest, RemoveLeavesFoldersWithForeignFiles) {
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p", "d", "s").add());
  write_file(m_store + "/p/notes.txt", "user's own file");
  CM_MRCredential c;
  ASSERT_EQ(0, c.lookup("p", "s", "d", ""));
  ASSERT_EQ(0, c.remove());
  EXPECT_FALSE(path_exists(m_store + "/p/s"));
  EXPECT_EQ("user's own file", read_file(m_store + "/p/notes.txt"));
}

TEST_F(CredentialTest, RemoveOfNothingIsHarmless) {
  CM_MRCredential unset;
  EXPECT_EQ(0, unset.remove());
  CM_MRCredential missing("u", "pw", "p", "d", "s");
  EXPECT_EQ(0, missing.remove());
  EXPECT_FALSE(path_exists(m_store));
}

TEST_F(CredentialTest, AddFailsCleanlyWhenTheFolderCannotBeMade) {
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + m_store + "'"));
  write_file(m_store + "/p", "a file where the provider folder belongs");
  CM_MRCredential c("u", "pw", "p", "d", "s");
  EXPECT_EQ(1001, c.add());
  EXPECT_EQ("a file where the provider folder belongs", read_file(m_store + "/p"));
}

TEST_F(CredentialTest, FailedWriteKeepsThePreviousLogin) {
  ASSERT_EQ(0, CM_MRCredential("u", "old", "p", "d", "s").add());
  // A folder in place of the file makes the replacement fail.
  CM_MRCredential other("v", "pw", "p", "blocked", "s");
  ASSERT_EQ(0, mkdir(login_file("p", "s", "blocked").c_str(), 0700));
  EXPECT_EQ(1001, other.add());
  CM_MRCredential found;
  ASSERT_EQ(0, found.lookup("p", "s", "d", ""));
  EXPECT_EQ("old", found.get_user_password().str());
}

TEST_F(CredentialTest, EnumerationFindsEveryProviderInListingOrder) {
  ASSERT_EQ(0, CM_MRCredential("u1", "p1", "beta", "db1", "set1").add());
  ASSERT_EQ(0, CM_MRCredential("u2", "p2", "alpha", "db2", "set1").add());
  ASSERT_EQ(0, CM_MRCredential("u3", "p3", "alpha", "db1", "set2").add());
  ASSERT_EQ(0, CM_MRCredential("u4", "p4", "Prov Ä", "user db", "set 1").add());
  write_file(m_store + "/stray-file", "not a provider");

  CM_MRCredentialList list;
  list.append(CM_MRCredential("keep", "me", "x", "y", "z"));
  ASSERT_EQ(0, CM_MRCredential::lookup(list));
  ASSERT_EQ(5u, list.length());
  EXPECT_EQ("keep", list[0].get_user_name().str());
  const char* expected[][4] = {{"Prov Ä", "set 1", "user db", "u4"},
                               {"alpha", "set1", "db2", "u2"},
                               {"alpha", "set2", "db1", "u3"},
                               {"beta", "set1", "db1", "u1"}};
  for (uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i][0], list[i + 1].get_provider_name().str());
    EXPECT_EQ(expected[i][1], list[i + 1].get_dbset().str());
    EXPECT_EQ(expected[i][2], list[i + 1].get_user_database_name().str());
    EXPECT_EQ(expected[i][3], list[i + 1].get_user_name().str());
  }
  EXPECT_EQ("p4", list[1].get_user_password().str());
}

TEST_F(CredentialTest, EnumerationWithoutStoreLeavesListAlone) {
  CM_MRCredentialList list;
  EXPECT_EQ(0, CM_MRCredential::lookup(list));
  EXPECT_EQ(0u, list.length());
  EXPECT_FALSE(path_exists(m_store));
}

TEST_F(CredentialTest, EqualityIgnoresUserCaseOnly) {
  CM_MRCredential a("Alice", "pw", "prov", "DB", "set", "http://one/");
  CM_MRCredential b("alice", "pw", "prov", "DB", "set", "http://two/");
  b.set_file_path("/some/where/else");
  EXPECT_EQ(1, a == b);
  EXPECT_EQ(0, a != b);
  // The stored forms differ (random salt); equality looks at the plain passwords.
  EXPECT_NE(a.get_encrypt_pw(), b.get_encrypt_pw());

  EXPECT_EQ(0, a == CM_MRCredential("Alice", "pw", "prov", "db", "set"));
  EXPECT_EQ(0, a == CM_MRCredential("Alice", "pw", "prov", "DB", "SET"));
  EXPECT_EQ(0, a == CM_MRCredential("Alice", "PW", "prov", "DB", "set"));
  EXPECT_EQ(0, a == CM_MRCredential("Alice", "pw", "Prov", "DB", "set"));
  EXPECT_EQ(0, a == CM_MRCredential("Alicia", "pw", "prov", "DB", "set"));
  EXPECT_EQ(1, a != CM_MRCredential("Alice", "pw", "prov", "db", "set"));
}

// Several processes writing logins into the same folders at once: every file must stay whole
// and every login readable afterwards. Starts from a home without a key or store folders, so
// the first-use paths race too.
TEST_F(CredentialTest, ConcurrentWritersNeverCorruptAFile) {
  const int kWriters = 4;
  const int kRounds = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int r = 0; r < kRounds; ++r) {
        std::string pw = "pw-" + std::to_string(w) + "-" + std::to_string(r);
        // One shared login every writer rewrites, and one of its own.
        failures += CM_MRCredential("shared", pw.c_str(), "p", "common", "s").add() != 0;
        failures +=
            CM_MRCredential("own", pw.c_str(), "p", ("own" + std::to_string(w)).c_str(), "s")
                .add() != 0;
        // Adding and removing one login together makes its folders come and go under the
        // other writers' feet.
        CM_MRCredential tmp("t", "t", "ptmp", "x", "s");
        failures += tmp.add() != 0;
        failures += tmp.remove() != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  CM_MRCredential shared;
  ASSERT_EQ(0, shared.lookup("p", "s", "common", ""));
  EXPECT_EQ(0, shared.get_user_password().Find("pw-"));
  for (int w = 0; w < kWriters; ++w) {
    CM_MRCredential own;
    ASSERT_EQ(0, own.lookup("p", "s", ("own" + std::to_string(w)).c_str(), ""));
    EXPECT_EQ("pw-" + std::to_string(w) + "-" + std::to_string(kRounds - 1),
              own.get_user_password().str());
  }
  CM_MRCredentialList list;
  ASSERT_EQ(0, CM_MRCredential::lookup(list));
  uint32_t in_p = 0;
  for (uint32_t i = 0; i < list.length(); ++i) in_p += list[i].get_provider_name() == "p";
  EXPECT_EQ(static_cast<uint32_t>(kWriters + 1), in_p);
}

}  // namespace
