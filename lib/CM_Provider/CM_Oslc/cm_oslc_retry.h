// CM_OslcRetry: whether a finished tracker request is worth trying again, and how long to wait
// first. The association engine owns one per commit and asks it after every failed read or
// update. Passing failures (connection refused, reset or timed out; HTTP 429, 502, 503, 504) are
// tried again up to CMI_RETRIES times per request (default 2); an update that lost a race with
// another writer (HTTP 409, 412) is read, re-applied and written again up to
// CMI_CONFLICT_RETRIES times per record (default 5). Pauses grow from 25-50 ms to at most 1 s,
// randomised so that writers that collided once do not collide again in step; a Retry-After
// answer is honoured instead, up to 10 s. Options are read when the object is made; a value that
// is not a whole number from 0 to 100 gives the default. One thread at a time; never throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_RETRY_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_RETRY_H

#include <random>
#include <string>

#include "CM_Provider/CM_Oslc/cm_rest_request.h"

enum class CM_RetryKind { None, Transient, Conflict };

class CM_OslcRetry {
 public:
  static constexpr int kDefaultRetries = 2;
  static constexpr int kDefaultConflictRetries = 5;
  static constexpr long kFirstPauseMs = 50;
  static constexpr long kMaxPauseMs = 1000;
  static constexpr long kMaxRetryAfterMs = 10000;

  CM_OslcRetry();

  int transient_limit() const { return m_retries; }
  int conflict_limit() const { return m_conflict_retries; }

  // What the last Run of request asks for. Conflict is only meaningful for an update.
  static CM_RetryKind Classify(const CM_RestUri& request);
  // "HTTP 503" or "transfer error 7", for the trace.
  static std::string Describe(const CM_RestUri& request);
  // The pause before retry number retry (1 for the first) in milliseconds; the Retry-After of
  // request's answer, when it has one, capped at kMaxRetryAfterMs.
  long PauseMs(int retry, const CM_RestUri* request);

  // Blocks the calling thread for ms milliseconds through the current sleeper.
  static void Sleep(long ms);
  // Replaces the sleeper (null: the real one) and returns the previous one. Tests record the
  // pauses instead of waiting them out.
  using Sleeper = void (*)(long ms);
  static Sleeper SetSleeper(Sleeper sleeper);

 private:
  int m_retries;
  int m_conflict_retries;
  std::minstd_rand m_random;
};

#endif
