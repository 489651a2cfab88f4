#include <cm_mr_credential.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <cm_mr_credential_list.h>
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;
using Login = CM_MRCredential;

unsigned mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class CredentialTest : public ::testing::Test {
 protected:
  // "user:password" of the login found at p/s/d, or its status.
  static std::string found() {
    Login l;
    const int rc = l.lookup("p", "s", "d", "");
    return rc ? std::to_string(rc) : l.get_user_name().str() + ":" + l.get_user_password().str();
  }
  static std::string all_users() {
    CM_MRCredentialList list;
    EXPECT_EQ(0, Login::lookup(list));
    std::string got;
    for (uint32_t i = 0; i < list.length(); ++i)
      got += list[i].get_provider_name().str() + "/" + list[i].get_dbset().str() + "/" +
             list[i].get_user_database_name().str() + "=" + list[i].get_user_name().str() + " ";
    return got;
  }

  cmtest::TempHome home;
  const std::string m_store = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/MRUser";
};

// That no password lands on disk in plain text, and that one too long to store is refused, are
// cmi's and the plug-in's rows.
TEST_F(CredentialTest, AddThenLookupRestoresTheLoginFromAPrivateFile) {
  EXPECT_EQ("1002", found());
  ASSERT_EQ(0, Login("a&l <ice>", "pa ss/wörd<&>", "p", "d", "s").add());
  EXPECT_EQ("a&l <ice>:pa ss/wörd<&>", found());
  EXPECT_EQ(0600u, mode_of(m_store + "/p/s/d"));
  EXPECT_EQ(0700u, mode_of(m_store + "/p/s"));
  // A given base is used only when the login has none yet.
  const std::string other = home.path() + "/elsewhere";
  Login there("erin", "pw", "e", "d", "s");
  there.set_file_path(other.c_str());
  ASSERT_EQ(0, there.add());
  Login fresh;
  ASSERT_EQ(0, fresh.lookup("e", "s", "d", other.c_str()));
  EXPECT_EQ("erin", fresh.get_user_name().str());
  EXPECT_EQ(1002, Login("x", "y", "e", "d", "s").lookup("e", "s", "d", other.c_str()));
}

TEST_F(CredentialTest, DamagedFilesAreUnreadableAndSkippedAndChildrenAreReadByPosition) {
  const std::string genuine = Login("alice", "pw", "p", "d", "s").get_encrypt_pw().str();
  std::string tampered = genuine;
  tampered[tampered.size() - 3] = tampered[tampered.size() - 3] == 'Q' ? 'R' : 'Q';
  auto login = [](const std::string& first, const std::string& second) {
    return "<CMCredential><UserName>" + first + "</UserName><Password>" + second +
           "</Password></CMCredential>";
  };
  // The first child is the user, whatever its name; the stored-file fuzz corpus has more damage.
  const std::pair<std::string, std::string> cases[] = {
      {"", "1001"},
      {"<CMCredential><UserName>a</Use", "1001"},
      {"<CMCredential><UserName>alice</UserName></CMCredential>", "1001"},
      {login(genuine, "alice"), genuine + ":"},
      {login("alice", tampered), "alice:"},
      {login("alice", genuine), "alice:pw"}};
  ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + m_store + "/p/s'"));
  for (const auto& c : cases) {
    cmtest::write_file(m_store + "/p/s/d", c.first);
    EXPECT_EQ(c.second, found()) << c.first;  // cmi's listing passes over damaged files
  }
}

// cmi's own test walks the store's folders as logins come and go; here what is no login stays.
TEST_F(CredentialTest, RemoveDeletesTheFileAndOnlyTheFoldersItEmpties) {
  Login login("u", "pw", "p", "d", "s");
  ASSERT_EQ(0, login.add());
  cmtest::write_file(m_store + "/p/notes.txt", "user's own file");
  ASSERT_EQ(0, login.remove());
  EXPECT_FALSE(path_exists(m_store + "/p/s"));
  EXPECT_EQ("user's own file", read_file(m_store + "/p/notes.txt"));
  EXPECT_EQ(0, login.remove());
}

TEST_F(CredentialTest, FailedAddKeepsWhatIsInTheWay) {
  ASSERT_EQ(0, Login("u", "old", "p", "d", "s").add());
  ASSERT_EQ(0, mkdir((m_store + "/p/s/blocked").c_str(), 0700));  // a folder where the file goes
  EXPECT_EQ(1001, Login("v", "pw", "p", "blocked", "s").add());
  cmtest::write_file(m_store + "/q", "in the way");  // a file where the provider folder belongs
  EXPECT_EQ(1001, Login("u", "pw", "q", "d", "s").add());
  EXPECT_EQ("in the way", read_file(m_store + "/q"));
  EXPECT_EQ("u:old", found());
}

TEST_F(CredentialTest, EnumerationAppendsEveryLoginInListingOrderAndEqualityIgnoresUserCase) {
  ASSERT_EQ(0, Login("u2", "p2", "alpha", "db2", "set1").add());
  ASSERT_EQ(0, Login("u4", "p4", "Prov Ä", "user db", "set 1").add());
  cmtest::write_file(m_store + "/stray-file", "not a provider");
  EXPECT_EQ("Prov Ä/set 1/user db=u4 alpha/set1/db2=u2 ", all_users());
  CM_MRCredentialList list;
  list.append(Login("keep", "me", "x", "y", "z"));
  ASSERT_EQ(0, Login::lookup(list));
  EXPECT_EQ("keep", list[0].get_user_name().str());
  EXPECT_EQ("p4", list[1].get_user_password().str());

  // The stored forms differ (random nonce): the plain ones are compared, the user's ignoring case.
  const Login a("Alice", "pw", "prov", "DB", "set", "http://one/");
  EXPECT_EQ(1, a == Login("alice", "pw", "prov", "DB", "set", "http://two/"));
  for (const Login& other :
       {Login("Alice", "pw", "prov", "db", "set"), Login("Alice", "pw", "prov", "DB", "SET"),
        Login("Alice", "PW", "prov", "DB", "set"), Login("Alice", "pw", "Prov", "DB", "set"),
        Login("Alicia", "pw", "prov", "DB", "set")})
    EXPECT_EQ(1, a != other);
}

// Several processes writing logins into the same folders at once, from a home without a key or
// store folders, while one login's folders come and go under the others' feet (the store retries
// when another process removes a folder it is creating in): every file stays whole and readable.
TEST_F(CredentialTest, ConcurrentWritersNeverCorruptAFile) {
  const int writers = 4;
  std::vector<pid_t> children(writers);
  for (int w = 0; w < writers; ++w) {
    if ((children[w] = fork()) != 0) continue;
    int failures = 0;
    for (int r = 0; r < 25; ++r) {
      const std::string pw = "pw-" + std::to_string(w) + "-" + std::to_string(r);
      Login tmp("t", "t", "ptmp", "x", "s");
      failures += Login("shared", pw, "p", "d", "s").add() + tmp.add() + tmp.remove() +
                  Login("own", pw, "p", "own" + std::to_string(w), "s").add();
    }
    _exit(failures == 0 ? 0 : 1);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(0u, found().find("shared:pw-"));
  const std::string users = all_users();
  EXPECT_EQ(writers + 1, std::count(users.begin(), users.end(), '='));
}

// An element taken from the list's own storage is copied before the growth frees that storage.
TEST_F(CredentialTest, ListPlacesKeepOrderAcrossGrowthAndRefuseOutOfRange) {
  CM_MRCredentialList list;
  for (int i = 0; i < 32; ++i)
    ASSERT_EQ(0, list.append(Login("u" + std::to_string(i), "", "", "", "")));
  ASSERT_EQ(0, list.append(list[5]));
  ASSERT_EQ(0, list.prepend(list[32]));
  ASSERT_EQ(0, list.insert(Login("x", "", "", "", ""), 2));
  EXPECT_EQ(1072, list.insert(Login("z", "", "", "", ""), list.length() + 1));
  ASSERT_EQ(0, list.remove(3));
  EXPECT_EQ(1072, list.remove(list.length()));
  std::string users;
  for (uint32_t i = 0; i < list.length(); ++i) users += list[i].get_user_name().str() + ",";
  EXPECT_EQ(34u, list.length());
  EXPECT_EQ(0u, users.find("u5,u0,x,u2,"));
  EXPECT_EQ(users.size() - 12, users.rfind(",u30,u31,u5,"));
  EXPECT_EQ(1, list.find(Login("U0", "", "", "", "")));
  EXPECT_EQ(-1, list.find(Login("u0", "pw", "", "", "")));
}

}  // namespace
