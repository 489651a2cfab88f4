#include <pwd.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ks/ks.h"

namespace {

// The passwd entry's field for uid, or empty.
std::string passwd_field(uid_t uid, bool home) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  while (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (!found) return std::string();
  const char* field = home ? found->pw_dir : found->pw_name;
  return field ? field : "";
}

const char* env_nonempty(const char* name) {
  const char* v = getenv(name);
  return v && *v ? v : nullptr;
}

}  // namespace

long credutl_getusid(int, int) { return static_cast<long>(geteuid()); }

SUM_String sysutl_usid_to_user(long usid) {
  std::string name = passwd_field(static_cast<uid_t>(usid), false);
  if (!name.empty()) return SUM_String(name);
  if (const char* v = env_nonempty("USER")) return SUM_String(v);
  if (const char* v = env_nonempty("LOGNAME")) return SUM_String(v);
  return SUM_String();
}

SUM_String sysutl_home_dir() {
  const char* drive = getenv("HOMEDRIVE");
  const char* path = getenv("HOMEPATH");
  if (drive || path) return SUM_String(std::string(drive ? drive : "") + (path ? path : ""));
  if (const char* home = env_nonempty("HOME")) return SUM_String(home);
  return SUM_String(passwd_field(geteuid(), true));
}

SUM_String sysutl_cmi_dir() { return sysutl_home_dir() + "/.Corvane/.Registry/Tarnwell/CMI"; }

int date_get_timeval(struct timeval* tv) {
  if (!tv) return -1;
  return gettimeofday(tv, nullptr) == 0 ? 0 : -1;
}
