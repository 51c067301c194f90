// Throughput of the scheduler with trivial node bodies: packets through demux -> mux,
// and frames through demux -> dec -> filter -> enc -> mux, each beside the same threads
// joined by bare thread queues; and the scheduler's own cost per item (waiters, pause
// gate, fan-out, schedule updates) measured where no thread ever waits.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "BenchLibraries.h"
#include "engine/FFmpegSched.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/ThreadQueue.h"

namespace {

using namespace FFmpegSched;
using AVCodecStubs::av_new_packet;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_unref;

constexpr int CItems = 100000;
constexpr AVRational CMicro{1, 1000000};

bool LoadLibraries() {
  if (!BenchLibraries::Load()) return false;
  AVUtilStubs::av_log_set_level(AV_LOG_ERROR);
  return true;
}

// A packet with timing only: no allocation, so that only the queues and the
// scheduler are measured.
void MakeTiming(AVPacket* pkt, std::int64_t k) {
  pkt->stream_index = 0;
  pkt->pts = pkt->dts = k * 1000;
  pkt->duration = 1000;
  pkt->time_base = CMicro;
}

// What a demuxer or an encoder makes for every item.
void MakePacket(AVPacket* pkt, std::int64_t k) {
  av_new_packet(pkt, 64);
  pkt->stream_index = 0;
  pkt->pts = pkt->dts = k * 1000;
  pkt->duration = 1000;
  pkt->time_base = CMicro;
}

// What a decoder or a filter makes for every item.
void MakeFrame(AVFrame* frame, std::int64_t pts) {
  frame->buf[0] = AVUtilStubs::av_buffer_alloc(64);
  frame->data[0] = frame->buf[0]->data;
  frame->pts = pts;
  frame->duration = 1000;
  frame->time_base = CMicro;
}

// ---- Through the scheduler ------------------------------------------------------------------

struct TCtx {
  const AVClass* class_ = nullptr;  // a log context without a class
  TScheduler* Sch = nullptr;
  Cardinal Idx = 0;
  std::function<int(TCtx&)> Body;
};

int Run(void* AArg) {
  TCtx& c = *static_cast<TCtx*>(AArg);
  return c.Body(c);
}

int DemuxBody(TCtx& c) {
  AVPacket* pkt = av_packet_alloc();
  for (int k = 0; k < CItems; k++) {
    MakePacket(pkt, k);
    if (sch_demux_send(c.Sch, c.Idx, pkt, 0) < 0) break;
  }
  av_packet_free(&pkt);
  return 0;
}

int DecBody(TCtx& c) {
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (sch_dec_receive(c.Sch, c.Idx, pkt) >= 0) {
    MakeFrame(frame, pkt->pts);
    av_packet_unref(pkt);
    if (sch_dec_send(c.Sch, c.Idx, 0, frame) < 0) break;
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  return 0;
}

int FilterBody(TCtx& c) {
  AVFrame* in = av_frame_alloc();
  AVFrame* out = av_frame_alloc();
  for (;;) {
    Cardinal input = 0;
    if (sch_filter_receive(c.Sch, c.Idx, input, in) < 0) break;
    MakeFrame(out, in->pts);
    av_frame_unref(in);
    if (sch_filter_send(c.Sch, c.Idx, 0, out) < 0) break;
  }
  av_frame_free(&out);
  av_frame_free(&in);
  return 0;
}

int EncBody(TCtx& c) {
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  while (sch_enc_receive(c.Sch, c.Idx, frame) >= 0) {
    MakePacket(pkt, frame->pts / 1000);
    av_frame_unref(frame);
    if (sch_enc_send(c.Sch, c.Idx, pkt) < 0) break;
  }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  return 0;
}

int MuxBody(TCtx& c) {
  AVPacket* pkt = av_packet_alloc();
  for (;;) {
    const int ret = sch_mux_receive(c.Sch, c.Idx, pkt);
    if (pkt->stream_index < 0) break;
    if (ret == AVERROR_EOF) {
      sch_mux_receive_finish(c.Sch, c.Idx, static_cast<Cardinal>(pkt->stream_index));
      continue;
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  return 0;
}

int MuxInit(void*) { return 0; }

// Builds, runs to the end and frees the graph: seconds taken.
double RunScheduled(bool AChain) {
  TScheduler* sch = sch_alloc(nullptr);
  TCtx demux, dec, fg, enc, mux;
  for (TCtx* c : {&demux, &dec, &fg, &enc, &mux}) c->Sch = sch;
  demux.Body = DemuxBody;
  dec.Body = DecBody;
  fg.Body = FilterBody;
  enc.Body = EncBody;
  mux.Body = MuxBody;

  demux.Idx = static_cast<Cardinal>(sch_add_demux(sch, Run, &demux));
  sch_add_demux_stream(sch, demux.Idx);
  mux.Idx = static_cast<Cardinal>(sch_add_mux(sch, Run, MuxInit, &mux, 0, 0));
  sch_add_mux_stream(sch, mux.Idx);
  sch_mux_stream_buffering(sch, mux.Idx, 0, 52428800, 128);
  sch_mux_stream_ready(sch, mux.Idx, 0);
  if (AChain) {
    dec.Idx = static_cast<Cardinal>(sch_add_dec(sch, Run, &dec, 0));
    fg.Idx = static_cast<Cardinal>(sch_add_filtergraph(sch, 1, 1, Run, &fg));
    enc.Idx = static_cast<Cardinal>(sch_add_enc(sch, Run, &enc, nullptr));
    sch_connect(sch, SCH_DSTREAM(demux.Idx, 0), SCH_DEC_IN(dec.Idx));
    sch_connect(sch, SCH_DEC_OUT(dec.Idx, 0), SCH_FILTER_IN(fg.Idx, 0));
    sch_connect(sch, SCH_FILTER_OUT(fg.Idx, 0), SCH_ENC(enc.Idx));
    sch_connect(sch, SCH_ENC(enc.Idx), SCH_MSTREAM(mux.Idx, 0));
  } else {
    sch_connect(sch, SCH_DSTREAM(demux.Idx, 0), SCH_MSTREAM(mux.Idx, 0));
  }

  const auto start = std::chrono::steady_clock::now();
  if (sch_start(sch) < 0) std::abort();
  std::int64_t ts = 0;
  while (!sch_wait(sch, 1000000, ts)) {
  }
  sch_stop(sch);
  const auto end = std::chrono::steady_clock::now();
  sch_free(sch);
  return std::chrono::duration<double>(end - start).count();
}

// ---- The same threads over bare thread queues -----------------------------------------------

using ThreadQueue::TThreadQueue;

double RunBare(bool AChain) {
  using namespace ThreadQueue;
  const int hops = AChain ? 4 : 1;
  std::vector<TThreadQueue*> queues;
  for (int i = 0; i < hops; i++)
    queues.push_back(tq_alloc(1, 8, (i == 1 || i == 2) ? THREAD_QUEUE_FRAMES : THREAD_QUEUE_PACKETS));

  // node i receives from queues[i - 1] and sends into queues[i]
  auto node = [&](int i) {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt_out = av_packet_alloc();
    AVFrame* frame_out = av_frame_alloc();
    auto is_frames = [&](int q) { return AChain && (q == 1 || q == 2); };
    int stream = 0;
    if (i == 0) {
      for (int k = 0; k < CItems; k++) {
        MakePacket(pkt_out, k);
        tq_send(queues[0], 0, pkt_out);
      }
      tq_send_finish(queues[0], 0);
    } else {
      void* in = is_frames(i - 1) ? static_cast<void*>(frame) : static_cast<void*>(pkt);
      while (tq_receive(queues[i - 1], stream, in) >= 0) {
        std::int64_t pts = is_frames(i - 1) ? frame->pts : pkt->pts;
        av_frame_unref(frame);
        av_packet_unref(pkt);
        if (i == hops) continue;  // the muxer
        if (is_frames(i)) {
          MakeFrame(frame_out, pts);
          tq_send(queues[i], 0, frame_out);
        } else {
          MakePacket(pkt_out, pts / 1000);
          tq_send(queues[i], 0, pkt_out);
        }
      }
      if (i < hops) tq_send_finish(queues[i], 0);
    }
    av_frame_free(&frame_out);
    av_packet_free(&pkt_out);
    av_frame_free(&frame);
    av_packet_free(&pkt);
  };

  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i <= hops; i++) threads.emplace_back(node, i);
  for (std::thread& t : threads) t.join();
  const auto end = std::chrono::steady_clock::now();
  for (TThreadQueue*& q : queues) tq_free(q);
  return std::chrono::duration<double>(end - start).count();
}

void Measure(benchmark::State& state, bool AChain) {
  double sched = 0, bare = 0;
  for (auto _ : state) {
    const double s = RunScheduled(AChain);
    bare += RunBare(AChain);
    sched += s;
    state.SetIterationTime(s);
  }
  const double n = static_cast<double>(state.iterations()) * CItems;
  state.SetItemsProcessed(static_cast<std::int64_t>(n));
  state.counters["ns_per_item"] = sched / n * 1e9;
  state.counters["bare_ns_per_item"] = bare / n * 1e9;
}

// Packets of one stream copied from a demuxer to a muxer.
void BM_SchedDemuxToMux(benchmark::State& state) { Measure(state, false); }
BENCHMARK(BM_SchedDemuxToMux)->UseManualTime()->Unit(benchmark::kMillisecond);

// Packets and frames through demuxer, decoder, filter graph, encoder and muxer.
void BM_SchedFullChain(benchmark::State& state) { Measure(state, true); }
BENCHMARK(BM_SchedFullChain)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- Cost of the scheduler's calls themselves -----------------------------------------------

// The wall-clock runs above are ruled by thread wake-ups and memory allocation. Here
// no thread ever waits and no packet carries data: the muxer's queue holds every
// packet, the demuxer sends them all, then the muxer takes them all; each side is
// timed and compared with bare tq_send/tq_receive on a queue of the same size.
struct TCallTimes {
  double Send = 0;
  double Receive = 0;
};

TCallTimes TimeScheduledCalls() {
  TScheduler* sch = sch_alloc(nullptr);
  std::atomic<bool> sent{false};
  TCallTimes times;
  TCtx demux, mux;
  demux.Sch = mux.Sch = sch;
  demux.Body = [&](TCtx& c) {
    AVPacket* pkt = av_packet_alloc();
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < CItems; k++) {
      MakeTiming(pkt, k);
      sch_demux_send(c.Sch, c.Idx, pkt, 0);
    }
    times.Send = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    av_packet_free(&pkt);
    sent = true;
    return 0;
  };
  mux.Body = [&](TCtx& c) {
    while (!sent) std::this_thread::yield();
    AVPacket* pkt = av_packet_alloc();
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < CItems; k++) {
      sch_mux_receive(c.Sch, c.Idx, pkt);
      av_packet_unref(pkt);
    }
    times.Receive = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    av_packet_free(&pkt);
    return MuxBody(c);
  };
  demux.Idx = static_cast<Cardinal>(sch_add_demux(sch, Run, &demux));
  sch_add_demux_stream(sch, demux.Idx);
  mux.Idx = static_cast<Cardinal>(sch_add_mux(sch, Run, MuxInit, &mux, 0, CItems + 8));
  sch_add_mux_stream(sch, mux.Idx);
  sch_mux_stream_ready(sch, mux.Idx, 0);
  sch_connect(sch, SCH_DSTREAM(demux.Idx, 0), SCH_MSTREAM(mux.Idx, 0));
  if (sch_start(sch) < 0) std::abort();
  std::int64_t ts = 0;
  while (!sch_wait(sch, 1000000, ts)) {
  }
  sch_free(sch);
  return times;
}

TCallTimes TimeBareCalls() {
  using namespace ThreadQueue;
  TThreadQueue* tq = tq_alloc(1, CItems + 8, THREAD_QUEUE_PACKETS);
  TCallTimes times;
  // on threads of their own, as the scheduler's nodes are
  std::thread([&] {
    AVPacket* pkt = av_packet_alloc();
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < CItems; k++) {
      MakeTiming(pkt, k);
      tq_send(tq, 0, pkt);
    }
    times.Send = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    av_packet_free(&pkt);
  }).join();
  std::thread([&] {
    AVPacket* pkt = av_packet_alloc();
    const auto start = std::chrono::steady_clock::now();
    int stream = 0;
    for (int k = 0; k < CItems; k++) {
      tq_receive(tq, stream, pkt);
      av_packet_unref(pkt);
    }
    times.Receive = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    av_packet_free(&pkt);
  }).join();
  tq_free(tq);
  return times;
}

void BM_SchedCallOverhead(benchmark::State& state) {
  TCallTimes sched, bare;
  for (auto _ : state) {
    const TCallTimes s = TimeScheduledCalls();
    const TCallTimes b = TimeBareCalls();
    sched.Send += s.Send;
    sched.Receive += s.Receive;
    bare.Send += b.Send;
    bare.Receive += b.Receive;
    state.SetIterationTime(s.Send + s.Receive);
  }
  const double n = static_cast<double>(state.iterations()) * CItems;
  state.SetItemsProcessed(static_cast<std::int64_t>(n));
  state.counters["demux_send_ns"] = sched.Send / n * 1e9;
  state.counters["tq_send_ns"] = bare.Send / n * 1e9;
  state.counters["mux_receive_ns"] = sched.Receive / n * 1e9;
  state.counters["tq_receive_ns"] = bare.Receive / n * 1e9;
  state.counters["overhead_ns_per_item"] =
      ((sched.Send + sched.Receive) - (bare.Send + bare.Receive)) / n * 1e9;
}
BENCHMARK(BM_SchedCallOverhead)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!LoadLibraries()) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
