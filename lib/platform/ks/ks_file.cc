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
#include "platform/ks/ks_fd.h"
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
KS_FileSystem& ks_system_files() { return g_system_files; }

KS_FileSystem* ks_set_file_system(KS_FileSystem* fs) {
  KS_FileSystem* old = g_files;
  g_files = fs != nullptr ? fs : &g_system_files;
  return old;
}

namespace {

// Closes through the file layer in use.
int layer_close(int fd) { return ks_file_system().Close(fd); }

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
  int raw = ks_system_files().Open(path, O_RDONLY, 0);
  if (raw < 0) return SUM_String();
  KS_Fd fd(raw, layer_close);
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
  KS_Fd fd(raw, layer_close);
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
  int dir = ks_system_files().Open(folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (dir >= 0) {
    fsync(dir);
    ks_system_files().Close(dir);
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
      if (stat(part.c_str(), &st) != 0) return -1;
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
      }
    }
  }
  return 0;
}

int fileutl_is_plain_name(const char* name, size_t len) {
  if (!name || len == 0) return 0;
  if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.')) return 0;
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c < 0x20 || c == 0x7f) return 0;
  }
  return 1;
}

int fileutl_is_within(const char* path, const char* folder) {
  if (!path || !folder || !*folder) return 0;
  const size_t base = strlen(folder);
  if (strncmp(path, folder, base) != 0 || path[base] != '/') return 0;
  const char* piece = path + base + 1;
  for (;;) {
    const char* end = strchr(piece, '/');
    const size_t len = end ? static_cast<size_t>(end - piece) : strlen(piece);
    if (!fileutl_is_plain_name(piece, len)) return 0;
    if (!end) return 1;
    piece = end + 1;
  }
}

int fileutl_secure_dirs(const char* base, const char* path, int tighten, int create,
                        SUM_String* bad_folder) {
  if (!base || !path || !*base) return FILEUTL_DIR_NOT_DIR;
  const std::string top(base);
  const std::string full(path);
  if (full != top && !fileutl_is_within(path, base)) return FILEUTL_DIR_NOT_DIR;
  if (create && fileutl_mkpath(base, 0700, 0) != 0) {
    if (bad_folder) *bad_folder = SUM_String(top);
    return FILEUTL_DIR_ERRNO;
  }
  const uid_t me = geteuid();
  size_t pos = top.size();
  for (;;) {
    const std::string folder = full.substr(0, pos);
    int code = FILEUTL_DIR_OK;
    struct stat st;
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      code = FILEUTL_DIR_ERRNO;
    } else if (lstat(folder.c_str(), &st) != 0) {
      code = FILEUTL_DIR_ERRNO;
    } else if (!S_ISDIR(st.st_mode)) {
      code = FILEUTL_DIR_NOT_DIR;
    } else if (st.st_uid != me) {
      code = FILEUTL_DIR_NOT_OWNED;
    } else if (tighten && (st.st_mode & 077) != 0) {
      if (chmod(folder.c_str(), 0700) != 0) code = FILEUTL_DIR_ERRNO;
    } else if (!tighten && (st.st_mode & 022) != 0) {
      code = FILEUTL_DIR_OPEN;
    }
    if (code != FILEUTL_DIR_OK) {
      if (bad_folder) *bad_folder = SUM_String(folder);
      return code;
    }
    if (pos >= full.size()) return FILEUTL_DIR_OK;
    pos = full.find('/', pos + 1);
    if (pos == std::string::npos) pos = full.size();
  }
}

const char* fileutl_dir_problem(int code, int err) {
  switch (code) {
    case FILEUTL_DIR_OK:
      return "no problem";
    case FILEUTL_DIR_NOT_DIR:
      return "not a folder";
    case FILEUTL_DIR_NOT_OWNED:
      return "owned by another user";
    case FILEUTL_DIR_OPEN:
      return "writable by other users";
    default:
      return strerror(err);
  }
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
