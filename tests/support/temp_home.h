// TempHome: a fresh temporary home folder for one test. It points HOME (and TAPIR_LOG_DIR,
// TAPIR_MACHINE_REGISTRY) into the folder, unsets HOMEDRIVE/HOMEPATH and every TAPIR_ option
// override, and removes the folder and restores the environment when destroyed.
#ifndef TESTS_SUPPORT_TEMP_HOME_H
#define TESTS_SUPPORT_TEMP_HOME_H

#include <memory>
#include <string>
#include <vector>

namespace cmtest {

class ScopedEnv;

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return m_path; }
  std::string log_dir() const { return m_path + "/log"; }
  std::string machine_registry() const { return m_path + "/machine-registry"; }

 private:
  std::string m_path;
  std::vector<std::unique_ptr<ScopedEnv>> m_saved;
};

// Sets (value null: unsets) an environment variable for one scope and restores the previous
// state afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_name;
  std::string m_old;
  bool m_had = false;
};

// A fresh folder $TMPDIR/<prefix>-XXXXXX (TMPDIR unset: /tmp); empty on failure.
std::string make_temp_dir(const char* prefix);
// Whole-file helpers for assertions.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool path_exists(const std::string& path);
// Runs a shell command, returning its exit status; output captured into *out when given.
int run_command(const std::string& command, std::string* out = nullptr);
// One argument quoted for /bin/sh.
std::string shell_quote(const std::string& arg);
}  // namespace cmtest

#endif
