// COMMIT through the entry functions against the tracker simulator: client CPU per record for
// 1,000 records of one link each and for one record of 10,000 links, trace off against trace
// level 5, and the host process's peak memory. Run: build-*/bin/commit_bench [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "support/temp_home.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;

struct Figure {
  double commit_cpu = 1e9;    // best round, seconds
  double schedule_cpu = 1e9;  // best round, seconds
  double commit_wall = 1e9;
};

// One provider per configuration; each round links (even rounds) or unlinks (odd rounds) the
// same versions, so every round reads and writes every record.
Figure run(cmtest::PluginHost& host, cmtest::TrackerSim& sim, const std::string& name, int records,
           int links_per_record, int trace_level, int rounds) {
  Figure f;
  void* h = host.init(init_request(name, sim.base_url(), "DB1", "S1", trace_level,
                                   trace_level ? "CMMR:CM_MR:CMOSLC" : ""));
  if (!h) {
    std::fprintf(stderr, "INITIALIZE failed\n");
    std::exit(1);
  }
  for (int round = 0; round < rounds; ++round) {
    const bool link = round % 2 == 0;
    const double s0 = cmbench::cpu_seconds();
    for (int r = 0; r < records; ++r) {
      const std::string id = cmbench::record_id(r);
      for (int l = 0; l < links_per_record; ++l) {
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
    const double s1 = cmbench::cpu_seconds();
    const double w0 = cmbench::wall_seconds();
    const auto c = host.commit(h);
    const double w1 = cmbench::wall_seconds();
    const double s2 = cmbench::cpu_seconds();
    if (c.rc != 0) {
      std::fprintf(stderr, "COMMIT failed: %s\n", c.text.c_str());
      std::exit(1);
    }
    f.schedule_cpu = std::min(f.schedule_cpu, s1 - s0);
    f.commit_cpu = std::min(f.commit_cpu, s2 - s1);
    f.commit_wall = std::min(f.commit_wall, w1 - w0);
  }
  return f;
}

void print(const char* label, const Figure& f, int records) {
  std::printf(
      "%-34s commit CPU %8.3f ms total, %8.1f us/record; wall %8.1f ms; "
      "scheduling CPU %7.1f ms\n",
      label, f.commit_cpu * 1e3, f.commit_cpu * 1e6 / records, f.commit_wall * 1e3,
      f.schedule_cpu * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 2;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  cmtest::TempHome home;  // the trace file and cookie jar go to a throw-away home
  cmtest::PluginHost host;
  if (!host.ok()) {
    std::fprintf(stderr, "cannot load %s: %s\n", CM_PLUGIN_PATH, host.error().c_str());
    return 1;
  }
  // The simulator's database on tmpfs: its per-update fsync is no part of what is measured.
  cmtest::TrackerSimOptions opt;
  opt.db_path = cmbench::shm_db_path();
  cmtest::TrackerSim sim(opt);
  if (!sim.running()) {
    std::fprintf(stderr, "the tracker simulator did not start\n");
    return 1;
  }
  cmbench::create_records(sim, 1000);
  std::printf("COMMIT through the entry functions, best of %d rounds\n", rounds);
  // Trace settings are process-wide and INITIALIZE with level 0 keeps them: traced run last.
  const Figure big = run(host, sim, "bench-big", 1, 10000, 0, std::min(rounds, 2));
  print("1 record x 10,000 links, trace off", big, 1);
  const Figure many = run(host, sim, "bench-many", 1000, 1, 0, rounds);
  print("1,000 records x 1 link, trace off", many, 1000);
  const Figure traced = run(host, sim, "bench-traced", 1000, 1, 5, rounds);
  print("1,000 records x 1 link, trace 5", traced, 1000);
  std::printf("trace level 5 / trace off (commit CPU): %.2f\n",
              traced.commit_cpu / many.commit_cpu);
  std::printf("peak RSS of the host process: %ld KiB\n", cmbench::peak_rss_kib());
  sim.stop();
  if (!opt.db_path.empty()) std::remove(opt.db_path.c_str());
  return 0;
}
