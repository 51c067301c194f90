// Throughput of the queues between the conversion threads: the thread queue and the
// sync queue in items per second, the circular buffer in bytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "BenchLibraries.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CircularBuffer.h"
#include "runtime/SyncQueue.h"
#include "runtime/ThreadQueue.h"

namespace {

// One sender thread per stream hands packets through a queue of 8 to this thread.
void BM_ThreadQueue(benchmark::State& state) {
  using namespace ThreadQueue;
  const Cardinal streams = static_cast<Cardinal>(state.range(0));
  constexpr int CItems = 200000;
  const int per_stream = CItems / static_cast<int>(streams);
  AVPacket* received = AVCodecStubs::av_packet_alloc();

  for (auto _ : state) {
    TThreadQueue* tq = tq_alloc(streams, 8, THREAD_QUEUE_PACKETS);
    std::vector<std::thread> senders;
    for (Cardinal s = 0; s < streams; s++) {
      senders.emplace_back([tq, s, per_stream] {
        AVPacket* pkt = AVCodecStubs::av_packet_alloc();
        for (int i = 0; i < per_stream; i++) {
          pkt->pts = i;
          tq_send(tq, s, pkt);
        }
        tq_send_finish(tq, s);
        AVCodecStubs::av_packet_free(&pkt);
      });
    }
    int stream = 0;
    std::int64_t items = 0;
    for (;;) {
      const int ret = tq_receive(tq, stream, received);
      if (ret == AVERROR_EOF && stream < 0) break;
      if (ret == 0) {
        items++;
        AVCodecStubs::av_packet_unref(received);
      }
    }
    for (std::thread& t : senders) t.join();
    tq_free(tq);
    benchmark::DoNotOptimize(items);
  }
  AVCodecStubs::av_packet_free(&received);
  state.SetItemsProcessed(state.iterations() * per_stream * streams);
}
BENCHMARK(BM_ThreadQueue)->Arg(1)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

// The queue's own cost without any thread switch: batches of 8 sent and received on
// one thread.
void BM_ThreadQueueSameThread(benchmark::State& state) {
  using namespace ThreadQueue;
  const Cardinal streams = static_cast<Cardinal>(state.range(0));
  TThreadQueue* tq = tq_alloc(streams, 8, THREAD_QUEUE_PACKETS);
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  AVPacket* received = AVCodecStubs::av_packet_alloc();
  std::int64_t items = 0;
  for (auto _ : state) {
    for (int i = 0; i < 8; i++) {
      pkt->pts = i;
      tq_send(tq, static_cast<Cardinal>(i) % streams, pkt);
    }
    int stream = 0;
    for (int i = 0; i < 8; i++) {
      tq_receive(tq, stream, received);
      AVCodecStubs::av_packet_unref(received);
    }
    items += 8;
  }
  AVCodecStubs::av_packet_free(&pkt);
  AVCodecStubs::av_packet_free(&received);
  tq_free(tq);
  state.SetItemsProcessed(items);
}
BENCHMARK(BM_ThreadQueueSameThread)->Arg(1)->Arg(8);

// Interleaved packets of limiting streams, sent and released on one thread as a muxer
// does.
void BM_SyncQueue(benchmark::State& state) {
  using namespace SyncQueue;
  const int streams = static_cast<int>(state.range(0));
  constexpr int CItems = 200000;
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  AVPacket* out = AVCodecStubs::av_packet_alloc();

  for (auto _ : state) {
    TSyncQueue* sq = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
    for (int s = 0; s < streams; s++) sq_add_stream(sq, 1);
    std::int64_t released = 0;
    for (int i = 0; i < CItems; i++) {
      pkt->pts = i / streams * 10;
      pkt->duration = 10;
      pkt->time_base = AVRational{1, 1000};
      sq_send(sq, static_cast<Cardinal>(i % streams), SQPKT(pkt));
      while (sq_receive(sq, -1, SQPKT(out)) >= 0) {
        released++;
        AVCodecStubs::av_packet_unref(out);
      }
    }
    for (int s = 0; s < streams; s++) sq_send(sq, static_cast<Cardinal>(s), SQPKT(nullptr));
    while (sq_receive(sq, -1, SQPKT(out)) >= 0) {
      released++;
      AVCodecStubs::av_packet_unref(out);
    }
    sq_free(sq);
    benchmark::DoNotOptimize(released);
  }
  AVCodecStubs::av_packet_free(&pkt);
  AVCodecStubs::av_packet_free(&out);
  state.SetItemsProcessed(state.iterations() * CItems);
}
BENCHMARK(BM_SyncQueue)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond);

// A producer thread writes 64 MiB in chunks of the given size into a 1 MiB ring that
// this thread drains.
void BM_CircularBuffer(benchmark::State& state) {
  const int chunk = static_cast<int>(state.range(0));
  constexpr std::int64_t CTotal = 64 << 20;
  std::vector<std::uint8_t> source(static_cast<std::size_t>(chunk), 0x5A);
  std::vector<std::uint8_t> sink(static_cast<std::size_t>(chunk));

  for (auto _ : state) {
    CircularBuffer::TCircularBuffer buffer;
    buffer.SetAutoGrow(false);
    std::thread producer([&] {
      for (std::int64_t sent = 0; sent < CTotal; sent += chunk) buffer.Write(source.data(), chunk);
      buffer.EndWriting();
    });
    std::int64_t received = 0;
    int n;
    while ((n = buffer.Read(sink.data(), chunk)) >= 0) received += n;
    producer.join();
    benchmark::DoNotOptimize(received);
  }
  state.SetBytesProcessed(state.iterations() * CTotal);
}
BENCHMARK(BM_CircularBuffer)->Arg(256)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!BenchLibraries::Load()) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
