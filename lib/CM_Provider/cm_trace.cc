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
#include <memory>
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

// Bytes of trace lines. Keeps its memory: a traced operation writes thousands of lines.
struct LineBuffer {
  std::unique_ptr<char[]> data;
  size_t size = 0;
  size_t capacity = 0;
  // Room for `extra` more bytes; false when memory is short.
  bool reserve(size_t extra) {
    if (size + extra <= capacity && data) return true;
    size_t grown = capacity < 256 ? 256 : capacity * 2;
    if (grown < size + extra) grown = size + extra;
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[grown]);
    if (!bigger) return false;
    if (size > 0) memcpy(bigger.get(), data.get(), size);
    data = std::move(bigger);
    capacity = grown;
    return true;
  }
  char* end() { return data.get() + size; }
};

struct TraceState {
  char path[kPathSize] = {0};
  int fd = -1;
  int level = 0;
  std::vector<std::string> subsystems;
  unsigned configuration = 1;  // counts the changes of `subsystems`, for the scopes' lookups
  size_t last_listed = 0;      // the entry of `subsystems` that a lookup found last
  int batch_depth = 0;
  LineBuffer pending;  // lines of the running batch not yet written
  LineBuffer line;     // an unbatched line
  int burst_depth = 0;
  int burst_lines_left = 0;  // lines that may still use burst_time
  struct timeval burst_time {};
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
  state().burst_lines_left = 0;  // a write may take a while: the clock is read afresh after it
  while (len > 0) {
    ssize_t n = ks_file_system().Write(fd, line, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int cause = n < 0 ? errno : ENOSPC;
      TraceState& s = state();
      const std::string path(s.path);
      s.pending.size = 0;
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
  if (s.fd >= 0 && s.pending.size > 0) write_all(s.fd, s.pending.data.get(), s.pending.size);
  s.pending.size = 0;
}

// Lines of a burst that share one reading of the clock.
const int kBurstLines = 64;

// The clock for the next line: inside a burst, the reading of an earlier line while it is fresh.
struct timeval line_time() {
  TraceState& s = state();
  if (s.burst_depth > 0 && s.burst_lines_left > 0) {
    --s.burst_lines_left;
    return s.burst_time;
  }
  struct timeval tv;
  if (date_get_timeval(&tv) != 0) {
    tv.tv_sec = unix_nt_time(nullptr);
    tv.tv_usec = 0;
  }
  if (s.burst_depth > 0) {
    s.burst_time = tv;
    s.burst_lines_left = kBurstLines - 1;
  }
  return tv;
}

// "Mon DD,YYYY HH:MM:SS.mmm" of now into `out` (at least kStampSize bytes); returns its length,
// 0 when the local time is unknown. Lines come by the thousand per second: the local time is
// worked out once a second and the stamp once a millisecond.
const size_t kStampSize = 50;
size_t stamp_now(char* out) {
  const struct timeval tv = line_time();
  const int ms = static_cast<int>(tv.tv_usec / 1000) % 1000;
  static time_t s_second = -1;
  static int s_ms = -1;
  static char s_stamp[kStampSize];
  static size_t s_len = 0;  // of the part up to the seconds' dot; 0: no local time
  if (tv.tv_sec != s_second) {
    const time_t seconds = tv.tv_sec;
    struct tm local;
    s_len = 0;
    if (localtime_r(&seconds, &local)) {
      const int n = snprintf(s_stamp, sizeof s_stamp, "%s %02d,%d %02d:%02d:%02d.",
                             kMonths[local.tm_mon % 12], local.tm_mday, local.tm_year + 1900,
                             local.tm_hour, local.tm_min, local.tm_sec);
      if (n > 0 && static_cast<size_t>(n) + 4 <= kStampSize) s_len = static_cast<size_t>(n);
    }
    s_second = tv.tv_sec;
    s_ms = -1;
  }
  if (s_len == 0) return 0;
  if (ms != s_ms) {
    s_stamp[s_len] = static_cast<char>('0' + ms / 100);
    s_stamp[s_len + 1] = static_cast<char>('0' + ms / 10 % 10);
    s_stamp[s_len + 2] = static_cast<char>('0' + ms % 10);
    s_ms = ms;
  }
  const size_t len = s_len + 3;
  if (len == 24) {
    memcpy(out, s_stamp, 24);  // the length of every stamp of years 1000 to 9999: no call
  } else {
    memcpy(out, s_stamp, len);
  }
  return len;
}

// The pieces of "::TRACE::tag::class::method::" (null names are empty) with their lengths.
class Prefix {
 public:
  Prefix(const char* tag, const char* class_name, const char* method)
      : m_names{or_empty(tag), or_empty(class_name), or_empty(method)},
        m_lens{strlen(m_names[0]), strlen(m_names[1]), strlen(m_names[2])} {}
  size_t size() const { return 15 + m_lens[0] + m_lens[1] + m_lens[2]; }
  // Writes the prefix (size() bytes, no terminator) at `p`; returns its end.
  char* put(char* p) const {
    memcpy(p, "::TRACE::", 9);
    p += 9;
    for (int i = 0; i < 3; ++i) {
      memcpy(p, m_names[i], m_lens[i]);
      p += m_lens[i];
      memcpy(p, "::", 2);
      p += 2;
    }
    return p;
  }

 private:
  const char* m_names[3];
  size_t m_lens[3];
};

// The text of a line with a finished text (cut at the text buffer's size).
auto text_of(const char* text, size_t len) {
  return [text, len](char* dst) {
    const size_t n = len < kTextSize - 1 ? len : kTextSize - 1;
    memcpy(dst, text, n);
    return n;
  };
}

// Appends the decimal digits of `v` (negative: with its sign) at `p`; returns their end.
char* put_decimal(char* p, unsigned long long v, bool negative) {
  char digits[24];
  char* d = digits + sizeof digits;
  do {
    *--d = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) *--d = '-';
  const size_t n = static_cast<size_t>(digits + sizeof digits - d);
  memcpy(p, d, n);
  return p + n;
}

// What vsnprintf(dst, kTextSize, format, ap) leaves in `dst` for the conversions trace lines use
// (%s of a string, %d, %u, %ld, %lu, %zu, %%, without flags, width or precision), without its
// cost per call; its length in `len`. False, with `dst` spoilt, for any other format.
bool format_plain(char* dst, size_t& len, const char* format, va_list ap) {
  char* p = dst;
  const char* const end = dst + kTextSize - 1;
  auto put = [&p, end](const char* text, size_t n) {
    if (n > static_cast<size_t>(end - p)) n = static_cast<size_t>(end - p);
    memcpy(p, text, n);
    p += n;
  };
  char number[24];
  auto put_number = [&](unsigned long long v, bool negative) {
    put(number, static_cast<size_t>(put_decimal(number, v, negative) - number));
  };
  auto put_signed = [&](long long v) {
    put_number(
        v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v),
        v < 0);
  };
  const char* f = format;
  while (p < end) {
    const char* percent = strchr(f, '%');
    if (!percent) {
      put(f, strlen(f));
      break;
    }
    put(f, static_cast<size_t>(percent - f));
    const char* c = percent + 1;
    if (*c == 's') {
      const char* arg = va_arg(ap, const char*);
      if (!arg) return false;  // printf's own spelling of a null string
      put(arg, strnlen(arg, static_cast<size_t>(end - p)));
    } else if (*c == 'd') {
      put_signed(va_arg(ap, int));
    } else if (*c == 'u') {
      put_number(va_arg(ap, unsigned), false);
    } else if (*c == 'l' && c[1] == 'd') {
      put_signed(va_arg(ap, long));
      ++c;
    } else if (*c == 'l' && c[1] == 'u') {
      put_number(va_arg(ap, unsigned long), false);
      ++c;
    } else if (*c == 'z' && c[1] == 'u') {
      put_number(va_arg(ap, size_t), false);
      ++c;
    } else if (*c == '%') {
      put("%", 1);
    } else {
      return false;
    }
    f = c + 1;
  }
  len = static_cast<size_t>(p - dst);
  return true;
}

// The text of a line from a printf format (cut at the text buffer's size).
auto formatted(const char* format, va_list& ap) {
  return [format, &ap](char* dst) {
    va_list plain;
    va_copy(plain, ap);
    size_t len = 0;
    const bool done = format_plain(dst, len, or_empty(format), plain);
    va_end(plain);
    if (done) return len;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = vsnprintf(dst, kTextSize, or_empty(format), ap);
#pragma GCC diagnostic pop
    return n < 0 ? size_t{0} : strlen(dst);
  };
}

}  // namespace

// Writes one line "stamp::TRACE::tag::class::method::text\n" (inside a batch: collects it).
// `put_text(dst)` writes the text, at most kTextSize - 1 bytes, and returns its length. A line
// that finds no memory is dropped.
template <typename PutText>
void CM_TraceScope::emit(const char* method, PutText put_text) const {
  TraceState& s = state();
  if (s.fd < 0 && s.path[0] != '\0') CM_Trace::open();
  if (s.fd < 0) return;
  const bool own_method = method == m_method;
  if (own_method && m_prefix_len == 0) {
    const Prefix prefix(m_tag, m_class, m_method);
    if (prefix.size() <= kPrefixCapacity)
      m_prefix_len = static_cast<unsigned>(prefix.put(m_prefix) - m_prefix);
  }
  LineBuffer& out = s.batch_depth > 0 ? s.pending : s.line;
  if (s.batch_depth == 0) out.size = 0;
  // Room for the stamp, the prefix, the text and the newline.
  auto room = [&out](size_t prefix_len) {
    if (out.reserve(kStampSize + prefix_len + kTextSize)) return true;
    flush_pending();  // short of memory: write what is kept and drop this line
    return false;
  };
  char* p;
  if (own_method && m_prefix_len > 0) {
    if (!room(m_prefix_len)) return;
    p = out.end();
    p += stamp_now(p);
    memcpy(p, m_prefix, m_prefix_len);
    p += m_prefix_len;
  } else {
    const Prefix prefix(m_tag, m_class, method);
    if (!room(prefix.size())) return;
    p = out.end();
    p += stamp_now(p);
    p = prefix.put(p);
  }
  p += put_text(p);
  *p++ = '\n';
  out.size = static_cast<size_t>(p - out.data.get());
  if (s.batch_depth == 0) {
    write_all(s.fd, out.data.get(), out.size);
  } else if (out.size >= kBatchBytes) {
    flush_pending();
  }
}

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
  s.configuration = s.configuration == ~0u ? 1 : s.configuration + 1;
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
    if (s.pending.reserve(len)) {
      memcpy(s.pending.end(), line, len);
      s.pending.size += len;
      if (s.pending.size >= kBatchBytes) flush_pending();
      return;
    }
    flush_pending();  // short of memory: write what is kept, then this line on its own
  }
  write_all(s.fd, line, len);
}

char* CM_Trace::format_line(const CM_TraceScope* scope, const char* method, const char* text) {
  char stamp[kStampSize];
  const size_t stamp_len = stamp_now(stamp);
  try {
    const Prefix prefix(scope ? scope->tag() : nullptr, scope ? scope->class_name() : nullptr,
                        method);
    std::string line(stamp, stamp_len);
    line.resize(stamp_len + prefix.size());
    prefix.put(&line[stamp_len]);
    line += or_empty(text);
    line += '\n';
    char* copy = static_cast<char*>(malloc(line.size() + 1));
    if (copy) memcpy(copy, line.c_str(), line.size() + 1);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const char* CM_Trace::file_path() { return state().path; }

int CM_Trace::level() { return state().level; }

void CM_Trace::reset() {
  close();
  TraceState& s = state();
  s.path[0] = '\0';
  configure(nullptr, 0);
}

CM_TraceBatch::CM_TraceBatch() { ++state().batch_depth; }

CM_TraceBatch::~CM_TraceBatch() {
  TraceState& s = state();
  if (--s.batch_depth == 0) flush_pending();
}

CM_TraceBurst::CM_TraceBurst() { ++state().burst_depth; }

CM_TraceBurst::~CM_TraceBurst() {
  TraceState& s = state();
  if (--s.burst_depth == 0) s.burst_lines_left = 0;
}

bool CM_TraceScope::is_enabled(int level) const {
  // With tracing off this is all a scope pays for: short, so that the constructor, the
  // destructor and print take it inline.
  const TraceState& s = state();
  if (level > s.level || !m_tag) return false;
  return m_listed_for == s.configuration ? m_listed : look_up_tag();
}

bool CM_TraceScope::look_up_tag() const {
  TraceState& s = state();
  // Every new scope asks: the entry found last, most often its tag again, is tried first.
  const std::vector<std::string>& tags = s.subsystems;
  const size_t last = s.last_listed;
  m_listed = last < tags.size() && strcmp(tags[last].c_str(), m_tag) == 0;
  for (size_t i = 0; !m_listed && i < tags.size(); ++i) {
    if (i != last && strcmp(tags[i].c_str(), m_tag) == 0) {
      m_listed = true;
      s.last_listed = i;
    }
  }
  m_listed_for = s.configuration;
  return m_listed;
}

CM_TraceScope::CM_TraceScope(const char* tag, const char* class_name, const char* method)
    : m_tag(tag), m_class(class_name), m_method(method) {
  if (m_method && is_enabled(3)) emit(m_method, text_of("Entering", 8));
}

CM_TraceScope::CM_TraceScope(const char* tag, const char* class_name)
    : m_tag(tag), m_class(class_name), m_method(nullptr) {}

CM_TraceScope::~CM_TraceScope() {
  if (m_method && is_enabled(3)) emit(m_method, text_of("Exiting", 7));
}

void CM_TraceScope::print(int level, const char* format, ...) const {
  if (!is_enabled(level)) return;
  va_list ap;
  va_start(ap, format);
  emit(m_method, formatted(format, ap));
  va_end(ap);
}

void CM_TraceScope::print_always(const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  emit(m_method, formatted(format, ap));
  va_end(ap);
}

void CM_TraceScope::print_always_joined(std::initializer_list<const char*> pieces) const {
  // The same text print_always("%s%s...") would give, cut at the same length, without printf.
  emit(m_method, [&pieces](char* dst) {
    size_t len = 0;
    for (const char* piece : pieces) {
      const size_t n = strnlen(or_empty(piece), kTextSize - 1 - len);
      memcpy(dst + len, or_empty(piece), n);
      len += n;
    }
    return len;
  });
}

void CM_TraceScope::print_as(const char* method, const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  emit(method, formatted(format, ap));
  va_end(ap);
}
