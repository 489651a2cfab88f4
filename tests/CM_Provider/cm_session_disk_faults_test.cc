// A full, read-only or failing disk under the cookie jar, the login store and the trace file: the
// failed write says why, leaves the old file as it was and leaves no temporary file behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <cm_mr_credential.h>
#include "CM_Provider/cm_cookie_jar.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

using cmtest::read_file;

enum Call { kOpen, kMakeTemp, kWrite, kSync };

// Fails one kind of call with one errno, for files inside one folder only (the trace of the
// code under test keeps working); every other call goes to the system.
class FailingFiles : public KS_FileSystem {
 public:
  FailingFiles(const std::string& folder, Call call, int err)
      : m_folder(folder + "/"), m_call(call), m_errno(err), m_old(ks_set_file_system(this)) {}
  ~FailingFiles() override { ks_set_file_system(m_old); }
  int Open(const char* path, int flags, mode_t mode) override {
    return hit(path, kOpen) ? fail() : watch(path, KS_FileSystem::Open(path, flags, mode));
  }
  int MakeTemp(char* name) override {
    return hit(name, kMakeTemp) ? fail() : watch(name, KS_FileSystem::MakeTemp(name));
  }
  ssize_t Write(int fd, const void* data, size_t size) override {
    return m_call == kWrite && m_watched.count(fd) ? fail() : KS_FileSystem::Write(fd, data, size);
  }
  int Sync(int fd) override {
    return m_call == kSync && m_watched.count(fd) ? fail() : KS_FileSystem::Sync(fd);
  }
  int Close(int fd) override {
    m_watched.erase(fd);
    return KS_FileSystem::Close(fd);
  }
  int failures = 0;

 private:
  bool inside(const char* path) const { return std::string(path).rfind(m_folder, 0) == 0; }
  bool hit(const char* path, Call call) const { return m_call == call && inside(path); }
  int watch(const char* path, int fd) {
    if (fd >= 0 && inside(path)) m_watched.insert(fd);
    return fd;
  }
  int fail() {
    ++failures;
    errno = m_errno;
    return -1;
  }
  std::string m_folder;
  Call m_call;
  int m_errno;
  KS_FileSystem* m_old;
  std::set<int> m_watched;
};

std::string folder_of(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

bool has_temporary(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  while (const dirent* e = dir ? readdir(dir.get()) : nullptr)
    if (std::string(e->d_name).find(".tmp") != std::string::npos) return true;
  return false;
}

// One kind of file: how to write it, where it is, and where the cause is told: the trace (files
// replaced whole) or standard error after `message` and the path (the trace file itself).
struct FileKind {
  const char* name;
  std::function<bool(const char*)> write;  // true when the write reported failure
  std::function<std::string()> path;
  const char* message;
  bool cause_in_trace;
};

CM_CookieJar jar() {
  CM_CookieJar made(sysutl_home_dir() + "/jar/prov/dbs", SUM_String("db"));
  made.set_element_name("Cookie");
  return made;
}

const FileKind kKinds[] = {
    {"cookie jar", [](const char* text) { return jar().set_cookie(text) != 0; },
     [] { return jar().get_file_path().str(); }, "Unable to save cookie in ", true},
    {"login", [](const char* text) { return CM_MRCredential("a", text, "p", "d", "s").add() != 0; },
     [] { return (sysutl_cmi_dir() + "/MRUser/p/s/d").str(); }, nullptr, true},
    {"trace",
     [](const char* text) {
       CM_TraceScope("CMMR", "Test", "write").print_always("%s", text);
       CM_Trace::close();  // the next line reopens the file
       return true;
     },
     [] { return std::string(CM_Trace::file_path()); }, "The trace file ", false}};

TEST(DiskFaults, FailedWriteSaysWhyKeepsTheOldFileAndLeavesNoTemporary) {
  // The errno, the failing call for files replaced whole, and for the trace file (appended to).
  const struct {
    int err;
    Call call, trace_call;
  } faults[] = {{ENOSPC, kWrite, kWrite}, {EACCES, kMakeTemp, kOpen}, {EIO, kSync, kWrite}};
  for (const FileKind& kind : kKinds) {
    for (const auto& fault : faults) {
      SCOPED_TRACE(std::string(kind.name) + ": " + strerror(fault.err));
      cmtest::TempHome home;
      CM_Trace::reset();
      CM_Trace::set_file("tester", static_cast<int>(getpid()));
      CM_Trace::configure("CMMR", 5);
      kind.write("old");
      const std::string path = kind.path();
      const std::string old_text = read_file(path);
      ASSERT_FALSE(old_text.empty());
      const size_t trace_before = read_file(CM_Trace::file_path()).size();
      cmtest::StderrCapture stderr_text;
      FailingFiles files(folder_of(path), kind.cause_in_trace ? fault.call : fault.trace_call,
                         fault.err);
      EXPECT_TRUE(kind.write("new"));
      EXPECT_TRUE(kind.write("newer"));
      const std::string printed = stderr_text.text();
      EXPECT_GT(files.failures, 0);
      EXPECT_EQ(old_text, read_file(path));
      EXPECT_FALSE(has_temporary(folder_of(path)));
      const std::string cause = strerror(fault.err);
      if (kind.message) EXPECT_NE(std::string::npos, printed.find(kind.message + path)) << printed;
      if (kind.cause_in_trace) {
        const std::string trace = read_file(CM_Trace::file_path()).substr(trace_before);
        EXPECT_NE(std::string::npos, trace.find("Cannot write " + path + ": " + cause)) << trace;
      } else {
        EXPECT_NE(std::string::npos, printed.find(cause)) << printed;
        // Tracing is off after the first refused line: one message, not one per line.
        EXPECT_EQ(printed.find(kind.message), printed.rfind(kind.message));
      }
      CM_Trace::reset();
    }
  }
}

}  // namespace
