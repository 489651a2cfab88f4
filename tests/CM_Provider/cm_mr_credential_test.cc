#include <cm_mr_credential.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <cm_mr_credential_list.h>
#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"

namespace {

using cmtest::path_exists;
using cmtest::read_file;

unsigned mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class CredentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
  }
  void TearDown() override { CM_Trace::reset(); }
  // Leaves a login file as another writer might have: user and stored password as children.
  void write_login(const std::string& text) {
    ASSERT_EQ(0, cmtest::run_command("mkdir -p '" + m_store + "/p/s'"));
    cmtest::write_file(m_store + "/p/s/d", text);
  }
  static std::string login_text(const std::string& first, const std::string& second) {
    return "<CMCredential><UserName>" + first + "</UserName><Password>" + second +
           "</Password></CMCredential>";
  }
  static int lookup(CM_MRCredential& found) { return found.lookup("p", "s", "d", ""); }

  cmtest::TempHome home;
  const std::string m_store = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/MRUser";
};

TEST_F(CredentialTest, AddThenLookupRestoresTheLoginFromAPrivateFile) {
  CM_MRCredential stored("alice", "pa ss/wörd<&>", "p", "d", "s");
  ASSERT_EQ(0, stored.add());
  std::string text = read_file(m_store + "/p/s/d");
  text.erase(std::remove_if(text.begin(), text.end(), ::isspace), text.end());
  EXPECT_EQ(login_text("alice", stored.get_encrypt_pw().str()), text.substr(text.find("<CMC")));
  EXPECT_EQ(std::string::npos, text.find("pa ss")) << "password on disk in plain text";
  EXPECT_EQ(0600u, mode_of(m_store + "/p/s/d"));
  EXPECT_EQ(0700u, mode_of(m_store + "/p/s"));
  CM_MRCredential found;
  ASSERT_EQ(0, lookup(found));
  EXPECT_EQ("alice", found.get_user_name().str());
  EXPECT_EQ("pa ss/wörd<&>", found.get_user_password().str());
  const std::string trace = read_file(CM_Trace::file_path());
  EXPECT_NE(std::string::npos, trace.find("::add::add: Credentials stored for provider name: p"));
  EXPECT_NE(std::string::npos, trace.find("lookup(): USER=\"alice\""));
}

TEST_F(CredentialTest, LookupOfMissingLoginIs1002AndUsesTheGivenBaseOnlyWhenNoneIsSet) {
  CM_MRCredential missing;
  EXPECT_EQ(1002, lookup(missing));
  EXPECT_EQ(m_store, missing.get_file_path().str());
  const std::string other = home.path() + "/elsewhere";
  CM_MRCredential there("erin", "pw", "p", "d", "s");
  there.set_file_path(other.c_str());
  ASSERT_EQ(0, there.add());
  EXPECT_FALSE(path_exists(m_store));
  CM_MRCredential fresh;
  ASSERT_EQ(0, fresh.lookup("p", "s", "d", other.c_str()));
  EXPECT_EQ("erin", fresh.get_user_name().str());
  CM_MRCredential preset("x", "y", "p", "d", "s");  // already has a base: keeps it
  EXPECT_EQ(1002, preset.lookup("p", "s", "d", other.c_str()));
}

TEST_F(CredentialTest, DamagedFilesAreUnreadableNotMissingAndSkippedByEnumeration) {
  const char* const damaged[] = {"", "user=alice password=x", "<CMCredential><UserName>a</Use",
                                 "<CMCredential><UserName>alice</UserName></CMCredential>",
                                 "<CMCredential/>"};
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    write_login(text);
    CM_MRCredential found;
    EXPECT_EQ(1001, lookup(found));
    EXPECT_EQ(0, found.get_user_name().GetLength());
    CM_MRCredentialList list;
    EXPECT_EQ(0, CM_MRCredential::lookup(list));
    EXPECT_EQ(0u, list.length());
  }
  ASSERT_EQ(0, CM_MRCredential("alice", "good", "p", "d", "s").add());
  CM_MRCredential found;
  EXPECT_EQ(0, lookup(found));
}

TEST_F(CredentialTest, ChildrenAreReadByPositionAndATamperedPasswordReadsAsNone) {
  const std::string genuine = CM_MRCredential("alice", "pw", "p", "d", "s").get_encrypt_pw().str();
  std::string tampered = genuine;
  tampered[tampered.size() - 3] = tampered[tampered.size() - 3] == 'Q' ? 'R' : 'Q';
  for (const std::string& text : {login_text(genuine, "alice"), login_text("alice", tampered)}) {
    write_login(text);
    CM_MRCredential found;
    ASSERT_EQ(0, lookup(found));
    EXPECT_EQ(0, found.get_user_password().GetLength());
  }
  // Too long for the stored form: nothing is stored.
  CM_MRCredential c("alice", std::string(400, 'p'), "p", "d", "s");
  EXPECT_EQ(0, c.get_encrypt_pw().GetLength());
}

TEST_F(CredentialTest, RemoveDeletesTheFileAndOnlyTheFoldersItEmpties) {
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p1", "d1", "s1").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p1", "d2", "s1").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p1", "d3", "s2").add());
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p2", "d1", "s1").add());
  cmtest::write_file(m_store + "/p2/notes.txt", "user's own file");
  const struct {
    const char *provider, *dbset, *userdb, *gone, *kept;
  } steps[] = {{"p1", "s1", "d1", "/p1/s1/d1", "/p1/s1/d2"},
               {"p1", "s1", "d2", "/p1/s1", "/p1/s2/d3"},
               {"p1", "s2", "d3", "/p1", "/p2/s1/d1"},
               {"p2", "s1", "d1", "/p2/s1", "/p2/notes.txt"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.gone);
    CM_MRCredential one;
    ASSERT_EQ(0, one.lookup(step.provider, step.dbset, step.userdb, ""));
    ASSERT_EQ(0, one.remove());
    EXPECT_FALSE(path_exists(m_store + step.gone));
    EXPECT_TRUE(path_exists(m_store + step.kept));
  }
  ASSERT_EQ(0, cmtest::run_command("rm -r '" + m_store + "/p2'"));
  ASSERT_EQ(0, CM_MRCredential("u", "pw", "p", "d", "s").add());
  CM_MRCredential last("u", "pw", "p", "d", "s");
  ASSERT_EQ(0, last.remove());
  EXPECT_FALSE(path_exists(m_store));  // the very last login takes the store with it
  EXPECT_EQ(0, last.remove());
  EXPECT_EQ(0, CM_MRCredential().remove());
}

TEST_F(CredentialTest, FailedAddKeepsWhatIsInTheWay) {
  ASSERT_EQ(0, CM_MRCredential("u", "old", "p", "d", "s").add());
  ASSERT_EQ(0, mkdir((m_store + "/p/s/blocked").c_str(), 0700));  // a folder where the file goes
  EXPECT_EQ(1001, CM_MRCredential("v", "pw", "p", "blocked", "s").add());
  cmtest::write_file(m_store + "/q", "a file where the provider folder belongs");
  EXPECT_EQ(1001, CM_MRCredential("u", "pw", "q", "d", "s").add());
  EXPECT_EQ("a file where the provider folder belongs", read_file(m_store + "/q"));
  CM_MRCredential found;
  ASSERT_EQ(0, lookup(found));
  EXPECT_EQ("old", found.get_user_password().str());
}

TEST_F(CredentialTest, EnumerationAppendsEveryLoginInListingOrder) {
  ASSERT_EQ(0, CM_MRCredential("u1", "p1", "beta", "db1", "set1").add());
  ASSERT_EQ(0, CM_MRCredential("u2", "p2", "alpha", "db2", "set1").add());
  ASSERT_EQ(0, CM_MRCredential("u3", "p3", "alpha", "db1", "set2").add());
  ASSERT_EQ(0, CM_MRCredential("u4", "p4", "Prov Ä", "user db", "set 1").add());
  cmtest::write_file(m_store + "/stray-file", "not a provider");
  CM_MRCredentialList list;
  list.append(CM_MRCredential("keep", "me", "x", "y", "z"));
  ASSERT_EQ(0, CM_MRCredential::lookup(list));
  std::string got;
  for (uint32_t i = 0; i < list.length(); ++i) {
    got += list[i].get_provider_name().str() + "/" + list[i].get_dbset().str() + "/" +
           list[i].get_user_database_name().str() + "=" + list[i].get_user_name().str() + " ";
  }
  EXPECT_EQ(
      "x/z/y=keep Prov Ä/set 1/user db=u4 alpha/set1/db2=u2 alpha/set2/db1=u3 "
      "beta/set1/db1=u1 ",
      got);
  EXPECT_EQ("p4", list[1].get_user_password().str());
}

TEST_F(CredentialTest, EqualityIgnoresUserCaseOnly) {
  CM_MRCredential a("Alice", "pw", "prov", "DB", "set", "http://one/");
  CM_MRCredential b("alice", "pw", "prov", "DB", "set", "http://two/");
  b.set_file_path("/some/where/else");
  EXPECT_EQ(1, a == b);  // the stored forms differ (random nonce): the plain ones are compared
  EXPECT_EQ(0, a != b);
  const CM_MRCredential others[] = {{"Alice", "pw", "prov", "db", "set"},
                                    {"Alice", "pw", "prov", "DB", "SET"},
                                    {"Alice", "PW", "prov", "DB", "set"},
                                    {"Alice", "pw", "Prov", "DB", "set"},
                                    {"Alicia", "pw", "prov", "DB", "set"}};
  for (const CM_MRCredential& other : others) EXPECT_EQ(1, a != other);
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
      const std::string own = "own" + std::to_string(w);
      for (int r = 0; r < kRounds; ++r) {
        std::string pw = "pw-" + std::to_string(w) + "-" + std::to_string(r);
        // One shared login every writer rewrites, and one of its own.
        failures += CM_MRCredential("shared", pw.c_str(), "p", "common", "s").add() != 0;
        failures += CM_MRCredential("own", pw.c_str(), "p", own.c_str(), "s").add() != 0;
        // Adding and removing one login makes its folders come and go under the others' feet.
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
  EXPECT_EQ(static_cast<uint32_t>(kWriters + 1), list.length());
}

}  // namespace
