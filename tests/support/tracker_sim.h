// TrackerSim: starts tools/tracker-sim/tracker_sim.py on an ephemeral loopback port for one test
// and stops it again: the destructor kills and reaps the child and removes its temp folder (the
// child also dies with the test process, should that crash). Test code only; one test thread.
// The control helpers talk plain HTTP to the /_sim endpoints (for TLS sims, on the simulator's
// separate control port) and never throw: on failure they return null JSON and record a GTest
// failure; record() of an unknown record returns null JSON without one. The JSON shapes are
// described in tools/tracker-sim/README.md.
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
  std::string db_path;               // empty: a fresh file in the sim's temp folder
  std::vector<std::string> extra_args;  // appended to the command line as given
  // Another server with the same start-up contract (tests/support/hostile_tracker.py); empty:
  // the tracker simulator.
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
  // Where the /_sim control endpoints are reached (for TLS sims, a plain-HTTP listener of its own).
  const std::string& root_url() const { return m_root_url; }

  nlohmann::json record(const std::string& dbset, const std::string& userdb, const std::string& id);
  void put_record(const nlohmann::json& rec) { post("/_sim/records", rec.dump()); }
  nlohmann::json log() { return control("/_sim/log"); }
  void clear_log() { post("/_sim/log/clear"); }
  nlohmann::json stats() { return control("/_sim/stats"); }
  void fault(const std::string& mode, int count = 1, const std::string& match = "",
             double seconds = 0);
  void clear_faults() { post("/_sim/fault/clear"); }
  // Any fault object, for the extra modes and their parameters (see tools/tracker-sim/README.md).
  void fault_spec(const nlohmann::json& request) { post("/_sim/fault", request.dump()); }

  // SIGTERM, then reap; returns the exit status (0 on a clean stop), -1 when not running.
  int stop();
  // Everything the child wrote to stderr so far (for failure messages).
  std::string stderr_text();

 private:
  // A control request (a POST when body is given), answering JSON; null on failure (on 404
  // without one when missing_ok).
  nlohmann::json control(const std::string& path, const std::string* body = nullptr,
                         bool missing_ok = false);
  void post(const std::string& path, const std::string& body = "{}") { control(path, &body); }

  pid_t m_pid = -1;
  int m_stdout_fd = -1;
  std::string m_base_url, m_root_url, m_dir;
};

// A throw-away CA (ca.pem, ca.key) with a server certificate for 127.0.0.1 (server.pem,
// server.key) and a client certificate for "card-holder" (client.pem, client.key,
// client-bundle.pem), made with the openssl tool in dir; false (its output in *log) on failure.
bool make_test_certificates(const std::string& dir, std::string* log);

}  // namespace cmtest

#endif
