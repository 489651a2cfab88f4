#include "support/temp_home.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace cmtest {

TempHome::TempHome() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cmtest-home-XXXXXX";
  std::string buf = pattern;
  if (!mkdtemp(&buf[0])) throw std::runtime_error("mkdtemp failed");
  m_path = buf;
  save_and_set("HOME", m_path.c_str());
  save_and_set("HOMEDRIVE", nullptr);
  save_and_set("HOMEPATH", nullptr);
  save_and_set("TAPIR_LOG_DIR", log_dir().c_str());
  save_and_set("TAPIR_MACHINE_REGISTRY", machine_registry().c_str());
  // Option overrides from the developer's shell must not leak into tests.
  std::vector<std::string> overrides;
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "TAPIR_", 6) == 0) {
      std::string name(*e, strchr(*e, '=') - *e);
      if (name != "TAPIR_LOG_DIR" && name != "TAPIR_MACHINE_REGISTRY") overrides.push_back(name);
    }
  }
  for (const auto& name : overrides) save_and_set(name.c_str(), nullptr);
}

TempHome::~TempHome() {
  for (const auto& kv : m_saved) {
    if (kv.second.first)
      setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
    else
      unsetenv(kv.first.c_str());
  }
  // Restore write permission that a test may have taken away, then remove everything.
  run_command("chmod -R u+rwx '" + m_path + "' 2>/dev/null; rm -rf '" + m_path + "'");
}

void TempHome::save_and_set(const char* name, const char* value) {
  if (!m_saved.count(name)) {
    const char* old = getenv(name);
    m_saved[name] = {old != nullptr, old ? old : ""};
  }
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
  const char* old = getenv(name);
  m_had = old != nullptr;
  if (m_had) m_old = old;
  setenv(name, value, 1);
}

ScopedEnv::~ScopedEnv() {
  if (m_had)
    setenv(m_name.c_str(), m_old.c_str(), 1);
  else
    unsetenv(m_name.c_str());
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
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
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input, const std::string& io_dir,
                          const std::string& prefix) {
  const std::string in = io_dir + "/stdin", out = io_dir + "/stdout", err = io_dir + "/stderr";
  write_file(in, input);
  std::string command = prefix + shell_quote(program);
  for (const auto& a : args) command += " " + shell_quote(a);
  ProgramResult r;
  r.status = run_command(command + " <" + shell_quote(in) + " >" + shell_quote(out) + " 2>" +
                         shell_quote(err));
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

}  // namespace cmtest
