#include "support/tracker_sim.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "support/temp_home.h"

namespace cmtest {

namespace {

using Clock = std::chrono::steady_clock;

size_t append_to_string(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::string escape_segment(const std::string& text) {
  std::unique_ptr<char, decltype(&curl_free)> escaped(
      curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())), curl_free);
  return escaped ? escaped.get() : "";
}

// The next line on fd that starts with prefix, without the prefix; empty on timeout or EOF.
std::string read_line(int fd, const char* prefix, Clock::time_point deadline, std::string* seen) {
  std::string line;
  for (char c; Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int r = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || read(fd, &c, 1) != 1) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    *seen = line;
    if (line.compare(0, strlen(prefix), prefix) == 0) return line.substr(strlen(prefix));
    line.clear();
  }
  return "";
}

}  // namespace

TrackerSim::TrackerSim(const TrackerSimOptions& options) {
  m_dir = make_temp_dir("cmtest-sim");
  if (m_dir.empty()) {
    ADD_FAILURE() << "TrackerSim: mkdtemp failed: " << strerror(errno);
    return;
  }
  m_db_path = options.db_path.empty() ? m_dir + "/records.sqlite" : options.db_path;
  const std::string program = options.program.empty() ? CM_TRACKER_SIM : options.program;
  std::vector<std::string> args = {"/usr/bin/python3", program,       "--port",         "0", "--db",
                                   m_db_path,          "--base-path", options.base_path};
  if (!options.seed_json.empty()) {
    write_file(m_dir + "/seed.json", options.seed_json);
    args.insert(args.end(), {"--seed", m_dir + "/seed.json"});
  }
  for (const auto& user : options.users)
    args.insert(args.end(), {"--user", user.first + ":" + user.second});
  if (options.tls) args.insert(args.end(), {"--tls-cert", options.cert, "--tls-key", options.key});
  if (options.tls && !options.client_ca.empty())
    args.insert(args.end(), {"--client-ca", options.client_ca});
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "TrackerSim: pipe failed: " << strerror(errno);
    return;
  }
  int err_fd = open((m_dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t parent = getpid();
  m_pid = fork();
  if (m_pid == 0) {
    // Only async-signal-safe calls from here to exec. The simulator dies with the test process
    // even when the test crashes before the destructor could run.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(err_fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err_fd);
  close(null_fd);
  m_stdout_fd = out[0];

  auto deadline = Clock::now() + std::chrono::seconds(10);
  std::string seen;
  if (m_pid > 0) m_base_url = read_line(m_stdout_fd, "tracker-sim listening on ", deadline, &seen);
  size_t host = m_base_url.find("://");
  if (host != std::string::npos) {
    m_root_url = m_base_url.substr(0, m_base_url.find('/', host + 3));
    size_t colon = m_root_url.rfind(':');
    if (colon > host) m_port = atoi(m_root_url.c_str() + colon + 1);
  }
  if (m_port > 0 && options.tls)
    m_root_url = read_line(m_stdout_fd, "tracker-sim control on ", deadline, &seen);
  if (m_port <= 0 || m_root_url.empty()) {
    stop();
    ADD_FAILURE() << "TrackerSim did not start; last output line \"" << seen << "\"; stderr:\n"
                  << stderr_text();
    m_base_url.clear();
    m_root_url.clear();
    m_port = 0;
  }
}

TrackerSim::~TrackerSim() {
  stop();
  if (m_stdout_fd >= 0) close(m_stdout_fd);
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool TrackerSim::running() const {
  // Probe without reaping so that stop() still collects the exit status.
  siginfo_t info{};
  return m_pid > 0 &&
         waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int TrackerSim::stop() {
  if (m_pid <= 0) return -1;
  kill(m_pid, SIGTERM);
  int status = 0;
  pid_t r = 0;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while ((r = waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (r == 0) {
    kill(m_pid, SIGKILL);
    while ((r = waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  m_pid = -1;
  if (r < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string TrackerSim::stderr_text() {
  return m_dir.empty() ? "" : read_file(m_dir + "/stderr.txt");
}

long TrackerSim::control(const char* method, const std::string& path, const std::string& body,
                         std::string* response) {
  if (m_root_url.empty()) return 0;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
  const std::string url = m_root_url + path;
  CURL* h = curl.get();
  if (!h) return 0;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (strcmp(method, "POST") == 0) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_to_string);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, response);
  CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK)
    ADD_FAILURE() << "TrackerSim control " << method << " " << url
                  << " failed: " << curl_easy_strerror(rc);
  return rc == CURLE_OK ? status : 0;
}

nlohmann::json TrackerSim::get(const std::string& path, bool missing_ok) {
  std::string text;
  long status = control("GET", path, "", &text);
  if (status == 404 && missing_ok) return nullptr;
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (status == 200 && !value.is_discarded()) return value;
  if (status != 0) ADD_FAILURE() << "TrackerSim GET " << path << ": HTTP " << status << " " << text;
  return nullptr;
}

void TrackerSim::post(const std::string& path, const std::string& body) {
  std::string text;
  long status = control("POST", path, body, &text);
  if (status != 200)
    ADD_FAILURE() << "TrackerSim POST " << path << ": HTTP " << status << " " << text;
}

nlohmann::json TrackerSim::record(const std::string& dbset, const std::string& userdb,
                                  const std::string& id) {
  return get("/_sim/records/" + escape_segment(dbset) + "/" + escape_segment(userdb) + "/" +
                 escape_segment(id),
             true);
}

void TrackerSim::put_record(const nlohmann::json& rec) { post("/_sim/records", rec.dump()); }
nlohmann::json TrackerSim::log() { return get("/_sim/log"); }
void TrackerSim::clear_log() { post("/_sim/log/clear"); }
nlohmann::json TrackerSim::stats() { return get("/_sim/stats"); }
void TrackerSim::fault_spec(const nlohmann::json& request) { post("/_sim/fault", request.dump()); }
void TrackerSim::clear_faults() { post("/_sim/fault/clear"); }

void TrackerSim::fault(const std::string& mode, int count, const std::string& match,
                       double seconds) {
  nlohmann::json request = {{"mode", mode}, {"count", count}, {"match", match}};
  if (seconds > 0) request["seconds"] = seconds;
  fault_spec(request);
}

}  // namespace cmtest
