#include "support/temp_home.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace cmtest {

std::string make_temp_dir(const char* prefix) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  return mkdtemp(&pattern[0]) ? pattern : std::string();
}

TempHome::TempHome() : m_path(make_temp_dir("cmtest-home")) {
  if (m_path.empty()) throw std::runtime_error("mkdtemp failed");
  // Option overrides from the developer's shell must not leak into tests.
  std::vector<std::string> names = {"HOMEDRIVE", "HOMEPATH"};
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "TAPIR_", 6) == 0) names.emplace_back(*e, strchr(*e, '=') - *e);
  for (const auto& name : names)
    m_saved.push_back(std::make_unique<ScopedEnv>(name.c_str(), nullptr));
  m_saved.push_back(std::make_unique<ScopedEnv>("HOME", m_path.c_str()));
  m_saved.push_back(std::make_unique<ScopedEnv>("TAPIR_LOG_DIR", log_dir().c_str()));
  m_saved.push_back(
      std::make_unique<ScopedEnv>("TAPIR_MACHINE_REGISTRY", machine_registry().c_str()));
}

TempHome::~TempHome() {
  // Restored in reverse, so that a name saved twice gets its first value back.
  while (!m_saved.empty()) m_saved.pop_back();
  // A test may have taken write permission away.
  run_command("chmod -R u+rwx " + shell_quote(m_path) + " 2>/dev/null; rm -rf " +
              shell_quote(m_path));
}

static void set_env(const char* name, const char* value) {
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
  const char* old = getenv(name);
  if ((m_had = old != nullptr)) m_old = old;
  set_env(name, value);
}

ScopedEnv::~ScopedEnv() { set_env(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

std::string read_file(const std::string& path) {
  std::ostringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int run_command(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  const int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace cmtest
