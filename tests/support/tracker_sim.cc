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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace cmtest {

namespace {

constexpr const char* kListening = "tracker-sim listening on ";
constexpr const char* kControl = "tracker-sim control on ";
constexpr int kStartSeconds = 10;

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t append_to_string(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::string escape_segment(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// Reads one line from fd into *line, waiting until the deadline. False on timeout or EOF.
bool read_line(int fd, std::string* buffer, std::string* line,
               std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    size_t nl = buffer->find('\n');
    if (nl != std::string::npos) {
      *line = buffer->substr(0, nl);
      buffer->erase(0, nl + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

TrackerSim::TrackerSim(const TrackerSimOptions& options) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cmtest-sim-XXXXXX";
  if (!mkdtemp(&pattern[0])) {
    ADD_FAILURE() << "TrackerSim: mkdtemp failed: " << strerror(errno);
    return;
  }
  m_dir = pattern;
  m_db_path = options.db_path.empty() ? m_dir + "/records.sqlite" : options.db_path;

  std::vector<std::string> args = {
      "/usr/bin/python3",
      options.program.empty() ? std::string(CM_TRACKER_SIM) : options.program,
      "--port",
      "0",
      "--db",
      m_db_path,
      "--base-path",
      options.base_path};
  if (!options.seed_json.empty()) {
    std::string seed = m_dir + "/seed.json";
    std::ofstream(seed) << options.seed_json;
    args.insert(args.end(), {"--seed", seed});
  }
  for (const auto& user : options.users)
    args.insert(args.end(), {"--user", user.first + ":" + user.second});
  if (options.tls) {
    args.insert(args.end(), {"--tls-cert", options.cert, "--tls-key", options.key});
    if (!options.client_ca.empty()) args.insert(args.end(), {"--client-ca", options.client_ca});
  }
  args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "TrackerSim: pipe failed: " << strerror(errno);
    return;
  }
  std::string err_path = m_dir + "/stderr.txt";
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. The simulator dies with the test process
    // even when the test crashes before the destructor could run.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  if (err_fd >= 0) close(err_fd);
  if (null_fd >= 0) close(null_fd);
  if (pid < 0) {
    close(out[0]);
    ADD_FAILURE() << "TrackerSim: fork failed: " << strerror(errno);
    return;
  }
  m_pid = pid;
  m_stdout_fd = out[0];

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  std::string buffer, line;
  bool ok = read_line(m_stdout_fd, &buffer, &line, deadline) &&
            line.compare(0, strlen(kListening), kListening) == 0;
  if (ok) {
    m_base_url = line.substr(strlen(kListening));
    size_t host = m_base_url.find("://");
    size_t colon = m_base_url.find(':', host + 3);
    size_t slash = m_base_url.find('/', host + 3);
    m_root_url = m_base_url.substr(0, slash);
    m_port = colon == std::string::npos ? 0 : atoi(m_base_url.c_str() + colon + 1);
    if (options.tls) {
      ok = read_line(m_stdout_fd, &buffer, &line, deadline) &&
           line.compare(0, strlen(kControl), kControl) == 0;
      if (ok) m_root_url = line.substr(strlen(kControl));
    }
  }
  if (!ok || m_port <= 0) {
    stop();
    ADD_FAILURE() << "TrackerSim did not start; first output line \"" << line << "\"; stderr:\n"
                  << stderr_text();
    m_base_url.clear();
    m_root_url.clear();
    m_port = 0;
  }
}

TrackerSim::~TrackerSim() {
  stop();
  if (m_stdout_fd >= 0) close(m_stdout_fd);
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
}

bool TrackerSim::running() const {
  if (m_pid <= 0) return false;
  // Probe without reaping so that stop() still collects the exit status.
  siginfo_t info{};
  info.si_pid = 0;
  if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    return false;
  return info.si_pid == 0;
}

int TrackerSim::stop() {
  if (m_pid <= 0) return -1;
  kill(m_pid, SIGTERM);
  int status = 0;
  pid_t r = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((r = waitpid(m_pid, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (r == 0) {
    kill(m_pid, SIGKILL);
    while ((r = waitpid(m_pid, &status, 0)) < 0 && errno == EINTR) {
    }
  }
  m_pid = -1;
  if (r < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string TrackerSim::stderr_text() {
  if (m_dir.empty()) return {};
  std::ifstream in(m_dir + "/stderr.txt");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

long TrackerSim::control(const char* method, const std::string& path, const std::string& body,
                         std::string* response) {
  if (m_root_url.empty()) return 0;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return 0;
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Content-Type: application/json"));
  std::string url = m_root_url + path;
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  if (strcmp(method, "POST") == 0) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_to_string);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, response);
  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    ADD_FAILURE() << "TrackerSim control " << method << " " << url
                  << " failed: " << curl_easy_strerror(rc);
    return 0;
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

namespace {
nlohmann::json parse_or_fail(long status, const std::string& text, const std::string& what) {
  if (status != 200) {
    if (status != 0) ADD_FAILURE() << "TrackerSim " << what << ": HTTP " << status << " " << text;
    return nullptr;
  }
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) {
    ADD_FAILURE() << "TrackerSim " << what << ": not JSON: " << text;
    return nullptr;
  }
  return value;
}
}  // namespace

nlohmann::json TrackerSim::record(const std::string& dbset, const std::string& userdb,
                                  const std::string& id) {
  std::string text;
  long status = control("GET",
                        "/_sim/records/" + escape_segment(dbset) + "/" + escape_segment(userdb) +
                            "/" + escape_segment(id),
                        "", &text);
  if (status == 404) return nullptr;  // unknown record: null, not a failure
  return parse_or_fail(status, text, "record");
}

void TrackerSim::post(const std::string& path, const std::string& body, const char* what) {
  std::string text;
  long status = control("POST", path, body, &text);
  if (status != 200) ADD_FAILURE() << "TrackerSim " << what << ": HTTP " << status << " " << text;
}

void TrackerSim::put_record(const nlohmann::json& rec) {
  post("/_sim/records", rec.dump(), "put_record");
}

nlohmann::json TrackerSim::log() {
  std::string text;
  long status = control("GET", "/_sim/log", "", &text);
  return parse_or_fail(status, text, "log");
}

void TrackerSim::clear_log() { post("/_sim/log/clear", "", "clear_log"); }

nlohmann::json TrackerSim::stats() {
  std::string text;
  long status = control("GET", "/_sim/stats", "", &text);
  return parse_or_fail(status, text, "stats");
}

void TrackerSim::fault(const std::string& mode, int count, const std::string& match,
                       double seconds) {
  nlohmann::json request = {{"mode", mode}, {"count", count}, {"match", match}};
  if (seconds > 0) request["seconds"] = seconds;
  fault_spec(request);
}

void TrackerSim::fault_spec(const nlohmann::json& request) {
  post("/_sim/fault", request.dump(), "fault");
}

void TrackerSim::clear_faults() { post("/_sim/fault/clear", "", "clear_faults"); }

}  // namespace cmtest
