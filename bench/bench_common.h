// Shared pieces of the COMMIT benchmarks: CPU and memory readings of this process, seeding the
// simulator with records, and the host-side plug-in loader of the tests. Bench code only.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/plugin_host.h"
#include "support/tracker_sim.h"

namespace cmbench {

// User + system CPU seconds of this process so far (the simulator runs in its own process).
inline double cpu_seconds() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

inline double wall_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

inline long peak_rss_kib() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// A fresh database path on tmpfs when there is one, else empty (the simulator's own temp file).
inline std::string shm_db_path() {
  struct stat st {};
  if (stat("/dev/shm", &st) != 0 || !S_ISDIR(st.st_mode)) return "";
  return "/dev/shm/cm-bench-" + std::to_string(getpid()) + ".sqlite";
}

// The plug-in under test: $CM_BENCH_PLUGIN (e.g. an older build to compare with), else this tree's.
inline const char* plugin_path() {
  const char* path = std::getenv("CM_BENCH_PLUGIN");
  return path && *path ? path : CM_PLUGIN_PATH;
}

inline std::string record_id(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "MR%05d", i);
  return buf;
}

// Creates (or empties) records 0..records-1 in S1/DB1 through the control endpoint. A seed file
// of that size can take the simulator longer to load than its launcher waits.
inline void create_records(cmtest::TrackerSim& sim, int records) {
  for (int i = 0; i < records; ++i)
    sim.put_record({{"dbset", "S1"},
                    {"userdb", "DB1"},
                    {"id", record_id(i)},
                    {"links", nlohmann::json::array()}});
}

}  // namespace cmbench

#endif
