// Log throughput: lines per second from av_log of the real libavutil through the log
// worker's callback into an OnLog handler, synchronous and asynchronous, from one and
// from eight producing threads; and the cost of a message below the log level.
//
// In asynchronous mode the producers only queue; "delivered" is the share of the lines
// that reached the handler (the ring drops the oldest when the log thread falls behind).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "BenchLibraries.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"

namespace {

using namespace FFLoad;

std::atomic<long> GHandled{0};
std::atomic<bool> GMarkerSeen{false};

void CountLine(void*, Platform::TObject*, int, TLogLevel, const std::string& ALogMsg) {
  if (ALogMsg == "-- marker --")
    GMarkerSeen = true;
  else
    GHandled.fetch_add(1, std::memory_order_relaxed);
}

// A log context as FFmpeg's own objects have one.
const AVClass CBenchClass = [] {
  AVClass c{};
  c.class_name = "BenchContext";
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}();
struct TContext {
  const AVClass* Class = &CBenchClass;
} GContext;

// Waits until every line queued before reached the handler.
void Drain() {
  GMarkerSeen = false;
  const bool synchronous = VEDovedo->GetSynchronous();
  VEDovedo->SetSynchronous(false);
  VEDovedo->Log("-- marker --");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!GMarkerSeen && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  VEDovedo->SetSynchronous(synchronous);
}

void Prepare(benchmark::State& AState, bool ASynchronous) {
  if (!BenchLibraries::Load()) {
    AState.SkipWithError("libraries not loaded");
    return;
  }
  VEDovedo->SetTriggerEventInMainThread(false);
  VEDovedo->SetOnLog(TLogEvent::FromFunction(CountLine, nullptr));
  Drain();
  VEDovedo->SetSynchronous(ASynchronous);
  GHandled = 0;
}

void Lines(benchmark::State& AState, bool ASynchronous) {
  if (AState.thread_index() == 0) Prepare(AState, ASynchronous);
  int frame = 0;
  for (auto _ : AState) {
    ++frame;
    AVUtilStubs::av_log(&GContext, AV_LOG_INFO, "frame=%5d fps=%.1f q=%.1f size=%8dKiB\n", frame,
                        29.97, 2.0, frame * 7);
  }
  AState.SetItemsProcessed(AState.iterations());
  if (AState.thread_index() == 0) {
    const long produced = static_cast<long>(AState.iterations()) * AState.threads();
    Drain();
    AState.counters["delivered"] =
        produced > 0 ? static_cast<double>(GHandled.load()) / static_cast<double>(produced) : 0;
    VEDovedo->SetOnLog(nullptr);
    VEDovedo->SetSynchronous(false);
  }
}

void BM_LogSynchronous(benchmark::State& AState) { Lines(AState, true); }
void BM_LogAsynchronous(benchmark::State& AState) { Lines(AState, false); }

// A message above the log level, as the debug lines of a conversion are at the default
// level: it must cost next to nothing.
void BM_LogBelowLevel(benchmark::State& AState) {
  if (AState.thread_index() == 0) Prepare(AState, false);
  int frame = 0;
  for (auto _ : AState) {
    ++frame;
    AVUtilStubs::av_log(&GContext, AV_LOG_DEBUG, "packet %d pts %d\n", frame, frame * 3);
  }
  AState.SetItemsProcessed(AState.iterations());
  if (AState.thread_index() == 0) VEDovedo->SetOnLog(nullptr);
}

BENCHMARK(BM_LogSynchronous)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogAsynchronous)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogBelowLevel)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
