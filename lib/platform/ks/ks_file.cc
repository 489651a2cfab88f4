#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"

int KS_FileSystem::Open(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
int KS_FileSystem::MakeTemp(char* name_template) { return mkostemp(name_template, O_CLOEXEC); }
ssize_t KS_FileSystem::Write(int fd, const void* data, size_t size) {
  return ::write(fd, data, size);
}
int KS_FileSystem::Sync(int fd) { return fsync(fd); }
int KS_FileSystem::Close(int fd) { return ::close(fd); }
int KS_FileSystem::Rename(const char* from, const char* to) { return ::rename(from, to); }

namespace {

KS_FileSystem g_system_files;
KS_FileSystem* g_files = &g_system_files;

}  // namespace

KS_FileSystem& ks_file_system() { return *g_files; }

KS_FileSystem* ks_set_file_system(KS_FileSystem* fs) {
  KS_FileSystem* old = g_files;
  g_files = fs != nullptr ? fs : &g_system_files;
  return old;
}

namespace {

// Owns a descriptor for the scope.
class Fd {
 public:
  explicit Fd(int fd) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ks_file_system().Close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  // Closes now and reports the result (a deferred write error may show only here).
  int close() {
    int rc = ks_file_system().Close(m_fd);
    m_fd = -1;
    return rc;
  }

 private:
  int m_fd;
};

std::string parent_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ks_file_system().Write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SUM_String strutl_read(int, const char* path, int, int, int) {
  if (!path || !*path) return SUM_String();
  int raw = ::open(path, O_RDONLY | O_CLOEXEC);
  if (raw < 0) return SUM_String();
  Fd fd(raw);
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return SUM_String();
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SUM_String();
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return SUM_String(text);
}

int strutl_write(const char* text, const char* path, int, int) {
  if (!path || !*path) return -1;
  if (!text) text = "";
  std::string target(path);
  if (target.back() == '/') return -1;
  std::string folder = parent_of(target);
  size_t slash = target.find_last_of('/');
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = folder + "/." + base + ".tmpXXXXXX";
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  // Keep the mode of a file being replaced; a new file is private.
  mode_t mode = 0600;
  struct stat old;
  if (stat(path, &old) == 0) {
    if (!S_ISREG(old.st_mode)) return -1;
    mode = old.st_mode & 07777;
  }
  KS_FileSystem& files = ks_file_system();
  int raw = files.MakeTemp(name.data());
  if (raw < 0) return -1;
  Fd fd(raw);
  size_t len = strlen(text);
  bool ok =
      fchmod(fd.get(), mode) == 0 && write_all(fd.get(), text, len) && files.Sync(fd.get()) == 0;
  // The caller reports the first failure's cause: keep it past the clean-up.
  int cause = ok ? 0 : errno;
  if (fd.close() != 0 && ok) {
    ok = false;
    cause = errno;
  }
  if (ok && files.Rename(name.data(), path) != 0) {
    ok = false;
    cause = errno;
  }
  if (!ok) {
    unlink(name.data());
    errno = cause;
    return -1;
  }
  // Make the rename itself durable.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    ::close(dir);
  }
  return 0;
}

int fileutl_exists(const char* path, int) {
  if (!path || !*path) return 0;
  struct stat st;
  return stat(path, &st) == 0 ? 1 : 0;
}

int fileutl_mkpath(const char* path, int mode, int) {
  if (!path || !*path) return -1;
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  for (size_t pos = 1; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != '/') continue;
    std::string part = p.substr(0, pos);
    if (part.empty() || part.back() == '/') continue;  // "a//b"
    if (mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0) {
      if (errno != EEXIST) return -1;
      struct stat st;
      if (stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    }
  }
  return 0;
}

int fileutl_rm(const char* path, int) {
  if (!path || !*path) return -4;
  struct stat st;
  if (lstat(path, &st) != 0) return -4;
  // rmdir refuses a folder that still holds entries, which is exactly the promise.
  int rc = S_ISDIR(st.st_mode) ? rmdir(path) : unlink(path);
  return rc == 0 ? 0 : -4;
}

int fileutl_read_whole_dir(const char* folder, int, SUM_StringList* out) {
  if (!folder || !*folder) return -1;
  DIR* dir = opendir(folder);
  if (!dir) return -1;
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  bool failed = errno != 0;
  closedir(dir);
  if (failed) return -1;
  std::sort(names.begin(), names.end());
  if (out) {
    out->clear();
    for (const auto& n : names) out->append(SUM_String(n));
  }
  return static_cast<int>(names.size());
}
