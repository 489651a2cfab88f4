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
#include <cstring>
#include <thread>

#include "support/temp_home.h"

namespace cmtest {

namespace {

using Clock = std::chrono::steady_clock;

size_t append_to_string(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The rest of the next line on fd that starts with prefix; empty on timeout or end of file.
std::string read_line(int fd, const std::string& prefix, Clock::time_point deadline) {
  std::string line;
  for (char c; Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    if (read(fd, &c, 1) != 1) break;
    if (c != '\n')
      line += c;
    else if (line.compare(0, prefix.size(), prefix) == 0)
      return line.substr(prefix.size());
    else
      line.clear();
  }
  return "";
}

}  // namespace

TrackerSim::TrackerSim(const TrackerSimOptions& options) : m_dir(make_temp_dir("cmtest-sim")) {
  const std::string program = options.program.empty() ? CM_TRACKER_SIM : options.program;
  const std::string db = options.db_path.empty() ? m_dir + "/records.sqlite" : options.db_path;
  std::vector<std::string> args = {"/usr/bin/python3", program, "--port", "0", "--db", db};
  if (!options.seed_json.empty()) {
    write_file(m_dir + "/seed.json", options.seed_json);
    args.insert(args.end(), {"--seed", m_dir + "/seed.json"});
  }
  for (const auto& user : options.users)
    args.insert(args.end(), {"--user", user.first + ":" + user.second});
  if (options.tls) args.insert(args.end(), {"--tls-cert", options.cert, "--tls-key", options.key});
  if (!options.client_ca.empty()) args.insert(args.end(), {"--client-ca", options.client_ca});
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int out[2];
  if (m_dir.empty() || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "TrackerSim: " << strerror(errno);
    return;
  }
  const int err_fd = open((m_dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const pid_t parent = getpid();
  m_pid = fork();
  if (m_pid == 0) {
    // Only async-signal-safe calls from here to exec.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out[1], 1);
    dup2(err_fd, 2);
    dup2(open("/dev/null", O_RDONLY), 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err_fd);
  m_stdout_fd = out[0];
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  if (m_pid > 0) m_base_url = read_line(m_stdout_fd, "tracker-sim listening on ", deadline);
  const size_t host = m_base_url.find("://");
  if (host != std::string::npos)
    m_root_url = options.tls ? read_line(m_stdout_fd, "tracker-sim control on ", deadline)
                             : m_base_url.substr(0, m_base_url.find('/', host + 3));
  if (m_root_url.empty()) {
    stop();
    ADD_FAILURE() << "TrackerSim did not start; stderr:\n" << stderr_text();
    m_base_url.clear();
  }
}

TrackerSim::~TrackerSim() {
  stop();
  if (m_stdout_fd >= 0) close(m_stdout_fd);
  if (!m_dir.empty()) run_command("rm -rf " + shell_quote(m_dir));
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
  for (int i = 0; i < 500 && (r = waitpid(m_pid, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (r == 0 && kill(m_pid, SIGKILL) == 0) r = waitpid(m_pid, &status, 0);
  m_pid = -1;
  return r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string TrackerSim::stderr_text() {
  return m_dir.empty() ? "" : read_file(m_dir + "/stderr.txt");
}

nlohmann::json TrackerSim::control(const std::string& path, const std::string* body,
                                   bool missing_ok) {
  if (m_root_url.empty()) return nullptr;
  CURL* h = curl_easy_init();
  const std::string url = m_root_url + path;
  std::string text;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  if (body) curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, body->c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_to_string);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &text);
  const CURLcode rc = curl_easy_perform(h);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(h);
  if (status == 404 && missing_ok) return nullptr;
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (rc == CURLE_OK && status == 200 && !value.is_discarded()) return value;
  ADD_FAILURE() << "TrackerSim " << url << ": " << curl_easy_strerror(rc) << ", HTTP " << status
                << " " << text;
  return nullptr;
}

nlohmann::json TrackerSim::record(const std::string& dbset, const std::string& userdb,
                                  const std::string& id) {
  std::string path = "/_sim/records";
  for (const std::string* part : {&dbset, &userdb, &id}) {
    char* escaped = curl_easy_escape(nullptr, part->data(), static_cast<int>(part->size()));
    path += "/" + std::string(escaped ? escaped : "");
    curl_free(escaped);
  }
  return control(path, nullptr, true);
}

void TrackerSim::fault(const std::string& mode, int count, const std::string& match,
                       double seconds) {
  nlohmann::json request = {{"mode", mode}, {"count", count}, {"match", match}};
  if (seconds > 0) request["seconds"] = seconds;
  fault_spec(request);
}

bool make_test_certificates(const std::string& dir, std::string* log) {
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ";
  const std::string sign = " -CA ca.pem -CAkey ca.key -CAcreateserial -days 2";
  return run_command("(set -e; cd " + shell_quote(dir) +
                         "; printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext; openssl req -x509" +
                         key + "ca.key -out ca.pem -days 2 -subj /CN=test-ca; openssl req" + key +
                         "server.key -out server.csr -subj /CN=127.0.0.1; openssl x509 -req -in "
                         "server.csr -out server.pem -extfile san.ext" +
                         sign + "; openssl req" + key +
                         "client.key -out client.csr -subj /CN=card-holder; openssl x509 -req -in "
                         "client.csr -out client.pem" +
                         sign + "; cat client.pem client.key > client-bundle.pem) 2>&1",
                     log) == 0;
}

}  // namespace cmtest
