// KS_Fd: owns one file descriptor for a scope and closes it on leaving. Header-only so that the
// cmi program, which sees only the library's exported interface, uses the same one. Any code may
// use it; not copyable.
#ifndef PLATFORM_KS_KS_FD_H
#define PLATFORM_KS_KS_FD_H

#include <unistd.h>

class KS_Fd {
 public:
  // closer: how to close (the file layer passes its own, so that tests can fail a close).
  explicit KS_Fd(int fd, int (*closer)(int) = ::close) : m_fd(fd), m_closer(closer) {}
  ~KS_Fd() {
    if (m_fd >= 0) m_closer(m_fd);
  }
  KS_Fd(const KS_Fd&) = delete;
  KS_Fd& operator=(const KS_Fd&) = delete;
  int get() const { return m_fd; }
  // Closes now and reports the result (a deferred write error may show only here).
  int close() {
    const int rc = m_closer(m_fd);
    m_fd = -1;
    return rc;
  }

 private:
  int m_fd;
  int (*m_closer)(int);
};

#endif
