// A private temporary home folder for a fuzz target whose code under test reads and writes the
// user's files: every per-user path then lands in it. Removed at exit; a crash leaves it behind
// for inspection.
#ifndef FUZZ_FUZZ_HOME_H
#define FUZZ_FUZZ_HOME_H

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_home {

inline std::string& folder() {
  static std::string path;
  return path;
}

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

inline void remove_folder() {
  if (!folder().empty()) nftw(folder().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Points HOME at a fresh folder and drops what would lead elsewhere.
inline void enter() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/cm-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  folder() = pattern;
  atexit(remove_folder);
  setenv("HOME", pattern.c_str(), 1);
  setenv("TAPIR_LOG_DIR", (pattern + "/log").c_str(), 1);
  setenv("TAPIR_MACHINE_REGISTRY", (pattern + "/machine-registry").c_str(), 1);
  unsetenv("HOMEDRIVE");
  unsetenv("HOMEPATH");
}

// Replaces path with exactly these bytes (a NUL included), as a damaged or hostile file would be.
inline void put_file(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  if (fclose(f) != 0) abort();
}

}  // namespace fuzz_home

#endif
