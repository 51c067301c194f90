// Parsing long command lines: one task parses "-y" repeated N times before a small job
// (a lavfi input to the null muxer), for N from 1,000 to 100,000 arguments. Target: the
// time grows in proportion to N (the fitted complexity is O(N)); 30,000 arguments parse
// in well under a second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/FFmpeg.h"
#include "runtime/FFLoad.h"

namespace {

bool LoadLibraries() {
  static const bool loaded = [] {
    FFLoad::FFLoader->SetLibraryPath(OSTREVAN_LIBAV_DIR);
    if (!FFLoad::FFLoader->Load(FFLoad::CEncoderLibraries)) {
      std::fprintf(stderr, "%s\n", FFLoad::FFLoader->GetLastErrMsg().c_str());
      return false;
    }
    return true;
  }();
  return loaded;
}

void BM_ParseRepeatedOption(benchmark::State& AState) {
  if (!LoadLibraries()) {
    AState.SkipWithError("the FFmpeg libraries did not load");
    return;
  }
  std::string line = "-v error";
  for (std::int64_t i = 0; i < AState.range(0); i++) line += " -y";
  line += " -f lavfi -i nullsrc=d=0.1 -f null -";
  for (auto _ : AState) {
    FFmpeg::TFFmpeg task;
    if (task.ParseOptions(line) < 0) {
      AState.SkipWithError("the command line did not parse");
      return;
    }
  }
  AState.SetComplexityN(AState.range(0));
}

}  // namespace

BENCHMARK(BM_ParseRepeatedOption)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

BENCHMARK_MAIN();
