// Trace costs: a line that the filter drops must cost next to nothing (about 170 call sites sit on
// hot paths), and a written line is one formatted write.
#include <benchmark/benchmark.h>

#include <string>

#include "CM_Provider/cm_trace.h"
#include "support/temp_home.h"

namespace {

// A process-wide trace set up like a provider with tracing on.
class TraceSetup {
 public:
  TraceSetup(const char* tags, int level) {
    CM_Trace::reset();
    CM_Trace::set_file("bench", 1);
    CM_Trace::configure(tags, level);
  }
  ~TraceSetup() { CM_Trace::reset(); }
  TraceSetup(const TraceSetup&) = delete;
  TraceSetup& operator=(const TraceSetup&) = delete;
};

void BM_PrintFilteredByTag(benchmark::State& state) {
  cmtest::TempHome home;
  TraceSetup trace("CMOSLC:CM_MR", 5);
  CM_TraceScope scope("CMMR", "CM_Session", "get_cookie");
  int i = 0;
  for (auto _ : state) scope.print(4, "cookie %d for %s", ++i, "https://tracker.example/x");
}
BENCHMARK(BM_PrintFilteredByTag);

void BM_PrintFilteredByLevel(benchmark::State& state) {
  cmtest::TempHome home;
  TraceSetup trace("CMOSLC:CMMR", 2);
  CM_TraceScope scope("CMMR", "CM_Session", "get_cookie");
  int i = 0;
  for (auto _ : state) scope.print(4, "cookie %d for %s", ++i, "https://tracker.example/x");
}
BENCHMARK(BM_PrintFilteredByLevel);

void BM_PrintWritten(benchmark::State& state) {
  cmtest::TempHome home;
  TraceSetup trace("CMMR", 5);
  CM_TraceScope scope("CMMR", "CM_Session", "get_cookie");
  int i = 0;
  for (auto _ : state) scope.print(4, "cookie %d for %s", ++i, "https://tracker.example/x");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintWritten);

}  // namespace

BENCHMARK_MAIN();
