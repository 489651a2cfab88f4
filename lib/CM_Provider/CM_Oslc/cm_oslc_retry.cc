#include "CM_Provider/CM_Oslc/cm_oslc_retry.h"

#include <curl/curl.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

constexpr int kMaxRetriesOption = 100;

void real_sleep(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

CM_OslcRetry::Sleeper g_sleeper = &real_sleep;

int count_option(const char* name, int fallback) {
  const std::string text = cm_rest_option(name);
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < 0 || value > kMaxRetriesOption) {
    return fallback;
  }
  return static_cast<int>(value);
}

// Retry-After in milliseconds (seconds or an HTTP date), -1 when the answer has none.
long retry_after_ms(const CM_RestUri& request) {
  SUM_StringList lines;
  if (request.GetResponseHeaders(lines) != 0) return -1;
  static const char kName[] = "retry-after:";
  long found = -1;
  for (int i = 0; i < lines.count(); ++i) {
    const std::string line = lines[i].str();
    if (line.size() < sizeof kName - 1 || strncasecmp(line.c_str(), kName, sizeof kName - 1) != 0)
      continue;
    std::string value = line.substr(sizeof kName - 1);
    while (!value.empty() && isspace(static_cast<unsigned char>(value.front()))) value.erase(0, 1);
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    if (value.empty()) continue;
    if (isdigit(static_cast<unsigned char>(value[0]))) {
      errno = 0;
      char* end = nullptr;
      const long long seconds = strtoll(value.c_str(), &end, 10);
      if (*end != '\0') continue;
      // Anything that does not fit is far beyond the cap anyway.
      found = errno != 0 || seconds > CM_OslcRetry::kMaxRetryAfterMs / 1000
                  ? CM_OslcRetry::kMaxRetryAfterMs
                  : static_cast<long>(seconds * 1000);
    } else {
      const time_t when = curl_getdate(value.c_str(), nullptr);
      if (when < 0) continue;
      const time_t now = time(nullptr);
      found = when <= now ? 0 : static_cast<long>(when - now) * 1000;
    }
  }
  return found;
}

}  // namespace

CM_OslcRetry::CM_OslcRetry()
    : m_retries(count_option("CMI_RETRIES", kDefaultRetries)),
      m_conflict_retries(count_option("CMI_CONFLICT_RETRIES", kDefaultConflictRetries)),
      m_random(std::random_device{}()) {}

CM_RetryKind CM_OslcRetry::Classify(const CM_RestUri& request) {
  const int transfer = request.GetTransferStatus();
  if (transfer < 0) return CM_RetryKind::None;
  if (transfer != CURLE_OK && transfer != CURLE_PARTIAL_FILE) {
    switch (transfer) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_OPERATION_TIMEDOUT:
      case CURLE_GOT_NOTHING:
      case CURLE_SEND_ERROR:
      case CURLE_RECV_ERROR:
        return CM_RetryKind::Transient;
      default:
        return CM_RetryKind::None;
    }
  }
  switch (request.GetHttpStatus()) {
    case 429:
    case 502:
    case 503:
    case 504:
      return CM_RetryKind::Transient;
    case 409:
    case 412:
      return CM_RetryKind::Conflict;
    default:
      return CM_RetryKind::None;
  }
}

std::string CM_OslcRetry::Describe(const CM_RestUri& request) {
  const int transfer = request.GetTransferStatus();
  if (transfer != CURLE_OK && transfer != CURLE_PARTIAL_FILE)
    return "transfer error " + std::to_string(transfer);
  return "HTTP " + std::to_string(request.GetHttpStatus());
}

long CM_OslcRetry::PauseMs(int retry, const CM_RestUri* request) {
  if (request != nullptr) {
    const long asked = retry_after_ms(*request);
    if (asked >= 0) return asked < kMaxRetryAfterMs ? asked : kMaxRetryAfterMs;
  }
  long ceiling = kFirstPauseMs;
  for (int i = 1; i < retry && ceiling < kMaxPauseMs; ++i) ceiling *= 2;
  if (ceiling > kMaxPauseMs) ceiling = kMaxPauseMs;
  std::uniform_int_distribution<long> pick(ceiling / 2, ceiling);
  return pick(m_random);
}

void CM_OslcRetry::Sleep(long ms) { g_sleeper(ms); }

CM_OslcRetry::Sleeper CM_OslcRetry::SetSleeper(Sleeper sleeper) {
  Sleeper previous = g_sleeper;
  g_sleeper = sleeper != nullptr ? sleeper : &real_sleep;
  return previous;
}
