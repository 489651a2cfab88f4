// StderrCapture: collects what the library prints on standard error while it lives, for tests
// that check the printed messages.
#ifndef TESTS_SUPPORT_STDERR_CAPTURE_H
#define TESTS_SUPPORT_STDERR_CAPTURE_H

#include <gtest/gtest.h>

#include <string>

namespace cmtest {

class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() { text(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // What was printed while capturing; the capture ends at the first call.
  const std::string& text() {
    if (!m_done) m_text = testing::internal::GetCapturedStderr();
    m_done = true;
    return m_text;
  }

 private:
  bool m_done = false;
  std::string m_text;
};

}  // namespace cmtest

#endif
