// TrackerSim: starts tools/tracker-sim/tracker_sim.py on an ephemeral loopback port for one test
// and stops it again. The object owns the child process, its pipes and a temp folder holding the
// SQLite file; the destructor kills and reaps the child and removes the folder, so no process is
// left behind even when a test fails (the child also dies with the thread that started it, should
// the test process crash). Test code only; not thread-safe (one test thread drives it).
// The control helpers talk plain HTTP to the /_sim endpoints (for TLS sims, on the simulator's
// separate control port) and never throw: on failure they return null JSON (record/log/stats) and
// record a GTest failure; record() of an unknown record returns null JSON without a failure. The
// JSON shapes (records, log entries, stats, fault objects) are described in
// tools/tracker-sim/README.md.
#ifndef TESTS_SUPPORT_TRACKER_SIM_H
#define TESTS_SUPPORT_TRACKER_SIM_H

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace cmtest {

struct TrackerSimOptions {
  std::string seed_json;  // seed file contents ({"records":[...]}); empty: no seed
  std::vector<std::pair<std::string, std::string>> users;  // empty: no auth required
  bool tls = false;
  std::string cert, key, client_ca;  // PEM file paths; client_ca set: client certificate required
  // Extras beyond the basic contract:
  std::string db_path;                  // empty: a fresh file in the sim's temp folder
  std::string base_path = "/oslc";      // path prefix of the served base URL
  std::vector<std::string> extra_args;  // appended to the command line as given
  // Another server with the same start-up contract (e.g. tests/support/hostile_tracker.py);
  // empty: the tracker simulator.
  std::string program;
};

class TrackerSim {
 public:
  explicit TrackerSim(const TrackerSimOptions& options = {});
  ~TrackerSim();
  TrackerSim(const TrackerSim&) = delete;
  TrackerSim& operator=(const TrackerSim&) = delete;

  bool running() const;                                       // started and not yet stopped/exited
  const std::string& base_url() const { return m_base_url; }  // e.g. http://127.0.0.1:43121/oslc
  int port() const { return m_port; }
  // Where the /_sim control endpoints are reached: scheme, host and port of the served address,
  // or, for TLS sims, the simulator's separate plain-HTTP control listener (so the helpers work
  // even when client certificates are required).
  const std::string& root_url() const { return m_root_url; }
  const std::string& db_path() const { return m_db_path; }
  pid_t pid() const { return m_pid; }

  // Control helpers (JSON in and out).
  nlohmann::json record(const std::string& dbset, const std::string& userdb, const std::string& id);
  void put_record(const nlohmann::json& rec);
  nlohmann::json log();
  void clear_log();
  nlohmann::json stats();
  void fault(const std::string& mode, int count = 1, const std::string& match = "",
             double seconds = 0);
  void clear_faults();
  // Any fault object, for the extra modes and their parameters ("bytes", "chunked",
  // "location"; see tools/tracker-sim/README.md).
  void fault_spec(const nlohmann::json& request);

  // SIGTERM, then reap; returns the exit status (0 on a clean stop), -1 when not running.
  int stop();
  // Everything the child wrote to stderr so far (for failure messages).
  std::string stderr_text();

 private:
  // Performs one control request; returns the HTTP status (0 on transport failure).
  long control(const char* method, const std::string& path, const std::string& body,
               std::string* response);
  // A control GET answering JSON (null on failure; on 404 without one when missing_ok), a POST.
  nlohmann::json get(const std::string& path, bool missing_ok = false);
  void post(const std::string& path, const std::string& body = "");

  pid_t m_pid = -1;
  int m_stdout_fd = -1;
  int m_port = 0;
  std::string m_base_url;
  std::string m_root_url;
  std::string m_dir;
  std::string m_db_path;
};

}  // namespace cmtest

#endif
