// A full, read-only or failing disk under the cookie jar, the login store and the trace file: the
// failed write says why, leaves the old file as it was and leaves no temporary file behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <cm_mr_credential.h>
#include "CM_Provider/cm_cookie_jar.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

using cmtest::read_file;

enum class Call { kOpen, kMakeTemp, kWrite, kSync };

// Fails one kind of call with one errno, for files inside one folder only (the trace of the
// code under test keeps working); every other call goes to the system.
class FailingFiles : public KS_FileSystem {
 public:
  FailingFiles(std::string folder, Call call, int err)
      : m_folder(std::move(folder) + "/"), m_call(call), m_errno(err) {}

  int Open(const char* path, int flags, mode_t mode) override {
    if (!inside(path)) return KS_FileSystem::Open(path, flags, mode);
    if (m_call == Call::kOpen) return fail();
    return watch(KS_FileSystem::Open(path, flags, mode));
  }
  int MakeTemp(char* name_template) override {
    if (!inside(name_template)) return KS_FileSystem::MakeTemp(name_template);
    if (m_call == Call::kMakeTemp) return fail();
    return watch(KS_FileSystem::MakeTemp(name_template));
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    if (m_call == Call::kWrite && m_watched.count(fd) != 0) return fail();
    return KS_FileSystem::Write(fd, data, size);
  }
  int Sync(int fd) override {
    if (m_call == Call::kSync && m_watched.count(fd) != 0) return fail();
    return KS_FileSystem::Sync(fd);
  }
  int Close(int fd) override {
    m_watched.erase(fd);
    return KS_FileSystem::Close(fd);
  }
  int failures() const { return m_failures; }

 private:
  bool inside(const char* path) const { return std::string(path).rfind(m_folder, 0) == 0; }
  int watch(int fd) {
    if (fd >= 0) m_watched.insert(fd);
    return fd;
  }
  int fail() {
    ++m_failures;
    errno = m_errno;
    return -1;
  }

  std::string m_folder;
  Call m_call;
  int m_errno;
  std::set<int> m_watched;
  int m_failures = 0;
};

class ScopedFiles {
 public:
  explicit ScopedFiles(KS_FileSystem* fs) : m_old(ks_set_file_system(fs)) {}
  ~ScopedFiles() { ks_set_file_system(m_old); }
  ScopedFiles(const ScopedFiles&) = delete;
  ScopedFiles& operator=(const ScopedFiles&) = delete;

 private:
  KS_FileSystem* m_old;
};

std::string folder_of(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::vector<std::string> temporaries(const std::string& folder) {
  std::vector<std::string> found;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.find(".tmp") != std::string::npos) found.push_back(name);
  }
  closedir(dir);
  return found;
}

// One kind of file: how to write it once for real, how to try the write that must fail, and
// where the cause is reported.
struct FileKind {
  const char* name;
  std::function<void()> write_old;
  std::function<bool()> write_new;  // true when the write reported failure
  std::function<std::string()> path;
  bool cause_in_trace;  // else on standard error
  const char* message;  // what standard error must also say, before the file's path
};

const char kOldCookie[] = "JSESSIONID=old";

CM_CookieJar jar(const std::string& home) {
  CM_CookieJar made(SUM_String(home + "/jar/prov/dbs"), SUM_String("db"));
  made.set_element_name("Cookie");
  return made;
}

CM_MRCredential login(const char* password) {
  return CM_MRCredential("alice", password, "prov", "db", "dbs");
}

std::vector<FileKind> kinds(const std::string& home) {
  return {
      {"cookie_jar", [home] { ASSERT_EQ(0, jar(home).set_cookie(kOldCookie)); },
       [home] { return jar(home).set_cookie("JSESSIONID=new") != 0; },
       [home] { return jar(home).get_file_path().str(); }, true, "Unable to save cookie in "},
      {"credential", [] { ASSERT_EQ(0, login("old").add()); },
       [] { return login("new").add() != 0; },
       [] { return (sysutl_cmi_dir() + "/MRUser/prov/dbs/db").str(); }, true, nullptr},
      {"trace",
       [] {
         {
           CM_TraceScope scope("CMMR", "Test", "write_old");
           scope.print_always("old line");
         }
         CM_Trace::close();  // the failing write reopens the file
       },
       [] {
         CM_TraceScope scope("CMMR", "Test", "write_new");
         scope.print_always("new line");
         return true;
       },
       [] { return std::string(CM_Trace::file_path()); }, false, "The trace file "},
  };
}

struct Fault {
  int err;
  Call call;        // for the files replaced whole
  Call trace_call;  // for the trace file, appended to
};

const Fault kFaults[] = {
    {ENOSPC, Call::kWrite, Call::kWrite},
    {EACCES, Call::kMakeTemp, Call::kOpen},
    {EIO, Call::kSync, Call::kWrite},
};

class DiskFaultTest : public ::testing::TestWithParam<std::tuple<int, Fault>> {
 protected:
  void SetUp() override {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure("CMMR", 5);
  }
  void TearDown() override { CM_Trace::reset(); }

  cmtest::TempHome home;
};

TEST_P(DiskFaultTest, FailedWriteSaysWhyAndKeepsTheOldFile) {
  const FileKind kind = kinds(home.path())[static_cast<size_t>(std::get<0>(GetParam()))];
  const Fault fault = std::get<1>(GetParam());
  const bool is_trace = !kind.cause_in_trace;
  SCOPED_TRACE(std::string(kind.name) + " " + strerror(fault.err));

  kind.write_old();
  const std::string path = kind.path();
  const std::string old_text = read_file(path);
  ASSERT_FALSE(old_text.empty());
  const std::string trace_before = read_file(CM_Trace::file_path());

  FailingFiles files(folder_of(path), is_trace ? fault.trace_call : fault.call, fault.err);
  cmtest::StderrCapture stderr_text;
  bool reported;
  {
    ScopedFiles installed(&files);
    reported = kind.write_new();
  }
  const std::string printed = stderr_text.text();

  EXPECT_TRUE(reported);
  EXPECT_GT(files.failures(), 0);
  EXPECT_EQ(old_text, read_file(path));
  EXPECT_TRUE(temporaries(folder_of(path)).empty());
  const std::string cause = strerror(fault.err);
  if (kind.message != nullptr) {
    EXPECT_NE(std::string::npos, printed.find(kind.message + path)) << printed;
  }
  if (is_trace) {
    EXPECT_NE(std::string::npos, printed.find(cause)) << printed;
    // Tracing is off after the first refused line: one message, not one per line.
    EXPECT_EQ(printed.find(kind.message), printed.rfind(kind.message));
  } else {
    const std::string trace = read_file(CM_Trace::file_path()).substr(trace_before.size());
    EXPECT_NE(std::string::npos, trace.find("Cannot write " + path + ": " + cause)) << trace;
  }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<int, Fault>>& info) {
  static const char* const names[] = {"CookieJar", "Credential", "Trace"};
  return std::string(names[std::get<0>(info.param)]) + "_" +
         strerrorname_np(std::get<1>(info.param).err);
}

INSTANTIATE_TEST_SUITE_P(AllFiles, DiskFaultTest,
                         ::testing::Combine(::testing::Range(0, 3), ::testing::ValuesIn(kFaults)),
                         case_name);

}  // namespace
