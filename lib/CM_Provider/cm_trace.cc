#include "CM_Provider/cm_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "CM_Provider/cm_messages.h"
#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"
#include "platform/nt/nt.h"
#include "platform/tbs/tbs.h"

namespace {

const size_t kPathSize = 1024;
const size_t kTextSize = 2048;

struct TraceState {
  char path[kPathSize] = {0};
  int fd = -1;
  int level = 0;
  std::vector<std::string> subsystems;
  int batch_depth = 0;
  std::string pending;  // lines of the running batch not yet written
};

// Lines reach the file in writes of about this size while a batch runs.
const size_t kBatchBytes = 64 * 1024;

// Built on first use and never destroyed: objects destroyed at exit may still trace.
TraceState& state() {
  alignas(TraceState) static unsigned char storage[sizeof(TraceState)];
  static TraceState* s = new (storage) TraceState();
  return *s;
}

const char* or_empty(const char* s) { return s ? s : ""; }

// Names tried beside a trace file name that cannot be used.
const int kFreshNames = 100;

bool is_own_regular_file(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    errno = EPERM;
    return false;
  }
  return true;
}

// The classic locale's month abbreviations, independent of the process locale.
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Writes the whole text, retrying after interruptions; gives up on any other failure.
// A full or failing disk would refuse every later line too: a refused write says why once and
// turns tracing off.
void write_all(int fd, const char* line, size_t len) {
  while (len > 0) {
    ssize_t n = ks_file_system().Write(fd, line, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int cause = n < 0 ? errno : ENOSPC;
      TraceState& s = state();
      const std::string path(s.path);
      s.pending.clear();
      if (s.fd >= 0) ks_file_system().Close(s.fd);
      s.fd = -1;
      s.path[0] = '\0';
      imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrTraceUnwritable, path.c_str(),
                 strerror(cause));
      return;
    }
    line += n;
    len -= static_cast<size_t>(n);
  }
}

void flush_pending() {
  TraceState& s = state();
  if (s.fd >= 0 && !s.pending.empty()) write_all(s.fd, s.pending.data(), s.pending.size());
  s.pending.clear();
}

// Formats the detail text (cut at the buffer's end) and writes it as one line.
void emit(const CM_TraceScope* scope, const char* method, const char* format, va_list ap) {
  TraceState& s = state();
  if (s.fd < 0 && s.path[0] == '\0') return;  // nowhere to write: skip the formatting too
  char text[kTextSize];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  if (vsnprintf(text, sizeof text, or_empty(format), ap) < 0) text[0] = '\0';
#pragma GCC diagnostic pop
  char* line = CM_Trace::format_line(scope, method, text);
  if (!line) return;
  CM_Trace::write_line(line);
  free(line);
}

}  // namespace

void CM_Trace::set_file(const char* name, int pid) {
  TraceState& s = state();
  char logdir[kPathSize];
  // Without a log folder, or with a path that would be cut, there is no trace file: a guessed
  // or shortened path could land anywhere.
  s.path[0] = '\0';
  if (tbs_product_log_dir(logdir, 0) != 0 || logdir[0] == '\0') return;
  // A user name is one path piece.
  std::string user(or_empty(name));
  for (char& c : user)
    if (c == '/') c = '_';
  bool named = !user.empty();
  int cut =
      named ? strutl_concat(s.path, sizeof s.path, 5, logdir, "/", "cmmr_trace", "/", user.c_str())
            : strutl_concat(s.path, sizeof s.path, 3, logdir, "/", "cmmr_trace");
  if (cut != 0) {
    s.path[0] = '\0';
    return;
  }
  // The trace holds session cookies: its folders must be the user's own and closed to others,
  // or someone else could swap the file under us.
  SUM_String bad(logdir);
  const std::string top = std::string(logdir) + "/cmmr_trace";
  int code = fileutl_mkpath(logdir, 0700, 1) == 0 ? FILEUTL_DIR_OK : FILEUTL_DIR_ERRNO;
  if (code == FILEUTL_DIR_OK) code = fileutl_secure_dirs(top.c_str(), s.path, 0, 1, &bad);
  if (code != FILEUTL_DIR_OK) {
    imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrTraceFolder, bad.c_str(),
               fileutl_dir_problem(code, errno));
    s.path[0] = '\0';
    return;
  }

  char process[32];
  snprintf(process, sizeof process, "p%d", pid);
  time_t now = unix_nt_time(nullptr);
  struct tm local;
  char date[50] = {0};
  if (localtime_r(&now, &local)) strftime(date, sizeof date, "d%y%m%d_t%H%M%S", &local);

  std::string dir(s.path);
  cut = named ? strutl_concat(s.path, sizeof s.path, 10, dir.c_str(), "/", "cmmr", "_",
                              user.c_str(), "_", date, "_", process, ".log")
              : strutl_concat(s.path, sizeof s.path, 8, dir.c_str(), "/", "cmmr", "_", date, "_",
                              process, ".log");
  if (cut != 0) s.path[0] = '\0';
}

void CM_Trace::configure(const char* subsystems, int level) {
  TraceState& s = state();
  s.level = level;
  s.subsystems.clear();
  if (!subsystems) return;
  const char* p = subsystems;
  while (*p) {
    const char* end = strchr(p, ':');
    if (!end) end = p + strlen(p);
    if (end > p) s.subsystems.emplace_back(p, static_cast<size_t>(end - p));
    p = *end ? end + 1 : end;
  }
}

void CM_Trace::open() {
  TraceState& s = state();
  if (s.path[0] == '\0') return;
  // Never through a symbolic link, never into a file of someone else, never blocking on a FIFO
  // planted at the name: such a name is passed over for a fresh one beside it.
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK;
  s.fd = ks_file_system().Open(s.path, flags | O_CREAT, 0600);
  if (s.fd >= 0 && !is_own_regular_file(s.fd)) close();
  const std::string wanted(s.path);
  const size_t dot = wanted.rfind(".log");
  const std::string stem = dot == std::string::npos ? wanted : wanted.substr(0, dot);
  for (int n = 1; s.fd < 0 && n <= kFreshNames; ++n) {
    const std::string fresh = stem + "_" + std::to_string(n) + ".log";
    if (fresh.size() >= sizeof s.path) break;
    s.fd = ks_file_system().Open(fresh.c_str(), flags | O_CREAT | O_EXCL, 0600);
    if (s.fd >= 0) strutl_cpy_buf(s.path, fresh.c_str(), sizeof s.path);
  }
  if (s.fd < 0) {
    imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrTraceFile, wanted.c_str(),
               strerror(errno));
    s.path[0] = '\0';  // tracing is off; do not try again for every line
  }
}

int CM_Trace::close() {
  flush_pending();
  TraceState& s = state();
  int rc = s.fd;
  if (s.fd >= 0) rc = ks_file_system().Close(s.fd);
  s.fd = -1;
  return rc;
}

void CM_Trace::write_line(const char* line) {
  if (!line) return;
  TraceState& s = state();
  if (s.fd < 0 && s.path[0] != '\0') open();
  if (s.fd < 0) return;
  const size_t len = strlen(line);
  if (s.batch_depth > 0) {
    try {
      s.pending.append(line, len);
      if (s.pending.size() >= kBatchBytes) flush_pending();
      return;
    } catch (const std::bad_alloc&) {
      flush_pending();  // short of memory: write what is kept, then this line on its own
    }
  }
  write_all(s.fd, line, len);
}

char* CM_Trace::format_line(const CM_TraceScope* scope, const char* method, const char* text) {
  struct timeval tv;
  if (date_get_timeval(&tv) != 0) {
    tv.tv_sec = unix_nt_time(nullptr);
    tv.tv_usec = 0;
  }
  time_t seconds = tv.tv_sec;
  // A traced operation writes many lines per second: the local time is worked out once a second.
  static time_t s_second = -1;
  static struct tm s_local;
  static bool s_local_ok = false;
  if (seconds != s_second) {
    s_local_ok = localtime_r(&seconds, &s_local) != nullptr;
    s_second = seconds;
  }
  char stamp[50] = {0};
  if (s_local_ok) {
    const struct tm& local = s_local;
    snprintf(stamp, sizeof stamp, "%s %02d,%d %02d:%02d:%02d.%.3d", kMonths[local.tm_mon % 12],
             local.tm_mday, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<int>(tv.tv_usec / 1000));
  }
  const char* tag = scope ? or_empty(scope->tag()) : "";
  const char* cls = scope ? or_empty(scope->class_name()) : "";
  method = or_empty(method);
  text = or_empty(text);
  size_t size = strlen(stamp) + strlen(tag) + strlen(cls) + strlen(method) + strlen(text) + 17;
  char* line = static_cast<char*>(malloc(size));
  if (!line) return nullptr;
  snprintf(line, size, "%s::%s::%s::%s::%s::%s\n", stamp, "TRACE", tag, cls, method, text);
  return line;
}

const char* CM_Trace::file_path() { return state().path; }

int CM_Trace::level() { return state().level; }

void CM_Trace::reset() {
  close();
  TraceState& s = state();
  s.path[0] = '\0';
  s.level = 0;
  s.subsystems.clear();
}

CM_TraceBatch::CM_TraceBatch() { ++state().batch_depth; }

CM_TraceBatch::~CM_TraceBatch() {
  TraceState& s = state();
  if (--s.batch_depth == 0) flush_pending();
}

CM_TraceScope::CM_TraceScope(const char* tag, const char* class_name, const char* method)
    : m_tag(tag), m_class(class_name), m_method(method) {
  if (m_method && is_enabled(3)) {
    char* line = CM_Trace::format_line(this, m_method, "Entering");
    if (line) {
      CM_Trace::write_line(line);
      free(line);
    }
  }
}

CM_TraceScope::CM_TraceScope(const char* tag, const char* class_name)
    : m_tag(tag), m_class(class_name), m_method(nullptr) {}

CM_TraceScope::~CM_TraceScope() {
  if (m_method && is_enabled(3)) {
    char* line = CM_Trace::format_line(this, m_method, "Exiting");
    if (line) {
      CM_Trace::write_line(line);
      free(line);
    }
  }
}

bool CM_TraceScope::is_enabled(int level) const {
  const TraceState& s = state();
  if (level > s.level || !m_tag) return false;
  for (const std::string& tag : s.subsystems)
    if (tag[0] == m_tag[0] && strcmp(tag.c_str(), m_tag) == 0) return true;
  return false;
}

void CM_TraceScope::print(int level, const char* format, ...) const {
  if (!is_enabled(level)) return;
  va_list ap;
  va_start(ap, format);
  emit(this, m_method, format, ap);
  va_end(ap);
}

void CM_TraceScope::print_always(const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  emit(this, m_method, format, ap);
  va_end(ap);
}

void CM_TraceScope::print_as(const char* method, const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  emit(this, method, format, ap);
  va_end(ap);
}
