// COMMIT through the entry functions against the tracker simulator: client CPU per record for
// 1,000 records of one link each and for one record of 10,000 and of 100,000 links, trace off
// against trace level 5, the scheduling CPU per ASSOCIATE, and the memory a COMMIT adds at its
// peak. Every case runs in a fresh child process (a library never loaded before, its own peak
// memory); the figures that matter are printed as ratios of cases measured in the same run.
// Run: build-*/bin/commit_bench [ROUNDS] [CASE...]   (cases: many traced big huge; default all)
// CM_BENCH_PLUGIN=PATH measures another build of the plug-in.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "support/temp_home.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;

struct Case {
  const char* name;
  const char* label;
  int records;
  int links_per_record;
  int trace_level;
  int max_rounds;
};

const Case kCases[] = {
    {"many", "1,000 records x 1 link, trace off", 1000, 1, 0, 100},
    {"traced", "1,000 records x 1 link, trace 5", 1000, 1, 5, 100},
    {"big", "1 record x 10,000 links, trace off", 1, 10000, 0, 10},
    {"huge", "1 record x 100,000 links, trace off", 1, 100000, 0, 2},
};

// Best round of one case. A round links every version (one COMMIT) and unlinks it again (a
// second COMMIT), so every COMMIT reads and writes every record.
struct Figure {
  double commit_cpu = 1e9;    // seconds, link and unlink COMMITs together
  double commit_wall = 1e9;   // seconds
  double schedule_cpu = 1e9;  // seconds, all ASSOCIATEs and DISASSOCIATEs of the round
  long commit_peak_kib = 0;   // most memory one COMMIT added above what the process held before
};

// Resident memory of this process in KiB from /proc/self/status ("VmRSS", "VmHWM").
long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return 0;
}

// Lets VmHWM start again from the current resident size.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void schedule(cmtest::PluginHost& host, void* h, const Case& c, bool link) {
  for (int r = 0; r < c.records; ++r) {
    const std::string id = cmbench::record_id(r);
    for (int l = 0; l < c.links_per_record; ++l) {
      const std::string sel =
          "tw://vob/src/file" + std::to_string(l) + ".c@@/main/" + std::to_string(r);
      const std::string req = change_request(sel, "file" + std::to_string(l) + ".c", id);
      const auto reply = link ? host.associate(h, req) : host.disassociate(h, req);
      if (reply.rc != 1) {
        std::fprintf(stderr, "scheduling failed: %s\n", reply.text.c_str());
        std::exit(1);
      }
    }
  }
}

Figure run_case(const Case& c, const std::string& base_url, int rounds) {
  cmtest::PluginHost host(cmbench::plugin_path());
  if (!host.ok()) {
    std::fprintf(stderr, "cannot load %s: %s\n", cmbench::plugin_path(), host.error().c_str());
    std::exit(1);
  }
  Figure f;
  void* h = host.init(init_request(std::string("bench-") + c.name, base_url, "DB1", "S1",
                                   c.trace_level, c.trace_level ? "CMMR:CM_MR:CMOSLC" : ""));
  if (!h) {
    std::fprintf(stderr, "INITIALIZE failed\n");
    std::exit(1);
  }
  for (int round = 0; round < rounds; ++round) {
    double commit_cpu = 0, commit_wall = 0, schedule_cpu = 0;
    for (const bool link : {true, false}) {
      const double s0 = cmbench::cpu_seconds();
      schedule(host, h, c, link);
      const double s1 = cmbench::cpu_seconds();
      const long before = status_kib("VmRSS");
      reset_peak();
      const double w0 = cmbench::wall_seconds();
      const double t0 = cmbench::cpu_seconds();
      const auto reply = host.commit(h);
      const double t1 = cmbench::cpu_seconds();
      const double w1 = cmbench::wall_seconds();
      if (reply.rc != 0) {
        std::fprintf(stderr, "COMMIT failed: %s\n", reply.text.c_str());
        std::exit(1);
      }
      f.commit_peak_kib = std::max(f.commit_peak_kib, status_kib("VmHWM") - before);
      schedule_cpu += s1 - s0;
      commit_cpu += t1 - t0;
      commit_wall += w1 - w0;
    }
    f.commit_cpu = std::min(f.commit_cpu, commit_cpu);
    f.commit_wall = std::min(f.commit_wall, commit_wall);
    f.schedule_cpu = std::min(f.schedule_cpu, schedule_cpu);
  }
  return f;
}

// Runs one case in a child process and reads its figure back through a pipe.
bool run_in_child(const Case& c, const std::string& base_url, int rounds, Figure& out) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    const Figure f = run_case(c, base_url, rounds);
    const bool sent = write(fds[1], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
    _exit(sent ? 0 : 1);  // no destructors: the simulator belongs to the parent
  }
  close(fds[1]);
  Figure f;
  const bool got = read(fds[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  out = f;
  return true;
}

void print(const Case& c, const Figure& f) {
  const int versions = c.records * c.links_per_record * 2;
  std::printf(
      "%-36s COMMIT CPU %9.3f ms (%8.1f us/record), wall %9.1f ms, peak +%7ld KiB; "
      "scheduling CPU %6.2f us/version\n",
      c.label, f.commit_cpu * 1e3, f.commit_cpu * 1e6 / (2 * c.records), f.commit_wall * 1e3,
      f.commit_peak_kib, f.schedule_cpu * 1e6 / versions);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
  std::vector<std::string> wanted(argv + std::min(argc, 2), argv + argc);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  cmtest::TempHome home;  // the trace files and cookie jars go to a throw-away home
  // The simulator's database on tmpfs: its per-update fsync is no part of what is measured.
  cmtest::TrackerSimOptions opt;
  opt.db_path = cmbench::shm_db_path();
  cmtest::TrackerSim sim(opt);
  if (!sim.running()) {
    std::fprintf(stderr, "the tracker simulator did not start\n");
    return 1;
  }
  cmbench::create_records(sim, 1000);
  std::printf("COMMIT through the entry functions, best of up to %d rounds (link + unlink)\n",
              rounds);
  std::map<std::string, Figure> figures;
  int failures = 0;
  for (const Case& c : kCases) {
    if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), c.name) == wanted.end())
      continue;
    Figure f;
    if (!run_in_child(c, sim.base_url(), std::min(rounds, c.max_rounds), f)) {
      std::fprintf(stderr, "%s: the case failed\n", c.label);
      ++failures;
      continue;
    }
    print(c, f);
    figures[c.name] = f;
  }
  auto ratio = [&](const char* label, const char* a, const char* b, auto field) {
    if (figures.count(a) && figures.count(b))
      std::printf("%-62s %7.2fx\n", label, field(figures[a]) / field(figures[b]));
  };
  auto commit = [](const Figure& f) { return f.commit_cpu; };
  auto scheduling = [](const Figure& f) { return f.schedule_cpu; };
  auto peak = [](const Figure& f) { return static_cast<double>(std::max(1L, f.commit_peak_kib)); };
  ratio("COMMIT CPU, trace level 5 / trace off:", "traced", "many", commit);
  ratio("ASSOCIATE CPU, trace level 5 / trace off (1,000 per COMMIT):", "traced", "many",
        scheduling);
  ratio("COMMIT CPU, 100,000 links / 10,000 links:", "huge", "big", commit);
  ratio("COMMIT peak memory added, 100,000 links / 10,000 links:", "huge", "big", peak);
  sim.stop();
  if (!opt.db_path.empty()) std::remove(opt.db_path.c_str());
  return failures == 0 ? 0 : 1;
}
