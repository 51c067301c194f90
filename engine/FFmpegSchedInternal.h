// The scheduler's own records: the graph of nodes, their queues, waiters and threads.
// Only the scheduler (engine/FFmpegSched.cpp) and its tests include this header; every
// other unit holds a TScheduler* and goes through the entry points of FFmpegSched.h.
//
// The locks named below, what they guard and the order in which they are taken are
// described at the top of engine/FFmpegSched.cpp. Each record says which of its fields
// are set while the graph is registered (by the thread that parses the command line,
// before sch_start), which belong to one worker thread, and which are guarded by a lock.
// Flags read by other threads without their lock are std::atomic.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/FFmpegSched.h"
#include "runtime/SyncQueue.h"
#include "runtime/ThreadQueue.h"
#include "runtime/w32pthreads.h"

extern "C" {
struct AVThreadMessageQueue;
}

namespace FFmpegSched {

enum TSchedulerState : std::int32_t {
  SCH_STATE_UNINIT = 0,
  SCH_STATE_STARTED = 1,
  SCH_STATE_STOPPED = 2,
};

// How far (microseconds of output time) an output may run ahead of the slowest
// unfinished output stream before its sources are choked.
constexpr std::int64_t SCHEDULE_TOLERANCE = 100000;

struct TSchTask {
  // Set while the graph is registered.
  TScheduler* parent;
  TSchedulerNode node;     // the node itself
  TSchThreadFunc func;
  void* func_arg;          // the owner's context, also the parent log context
  // Owned by the thread that calls sch_start and sch_stop.
  w32pthreads::pthread_t thread;
  std::int32_t thread_running;
};

struct TSchWaiter {
  w32pthreads::pthread_mutex_t lock;
  w32pthreads::pthread_cond_t cond;
  // Written under lock; read without it as a hint by the waiting thread.
  std::atomic<std::int32_t> choked;
  // Guarded by schedule_lock: working values of the schedule update.
  std::int32_t choked_prev;
  std::int32_t choked_next;
};

struct TSchDemuxStream {
  // Set while the graph is registered.
  TSchedulerNode* dst;
  Cardinal nb_dst;
  // Allocated at start, one per destination; owned by the demuxer's thread (and by
  // sch_stop once that thread has ended).
  std::uint8_t* dst_finished;
};

struct TSchDemux {
  // Set while the graph is registered.
  const AVClass* class_;
  TSchDemuxStream* streams;
  Cardinal nb_streams;
  TSchTask task;
  TSchWaiter waiter;
  // Owned by the demuxer's thread.
  AVPacket* send_pkt;          // spare packet for fan-out
  // Guarded by schedule_lock.
  std::int32_t task_exited;
};

struct TSchDecOutput {
  // Set while the graph is registered.
  TSchedulerNode* dst;
  Cardinal nb_dst;
  // Allocated at start; owned by the decoder's thread.
  std::uint8_t* dst_finished;
};

struct TSchDec {
  // Set while the graph is registered.
  const AVClass* class_;
  TSchedulerNode src;
  TSchDecOutput* outputs;
  Cardinal nb_outputs;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;     // packets, one stream
  AVThreadMessageQueue* queue_end_ts;   // TTimestamp records, capacity 1, or nullptr
  // Owned by the decoder's thread.
  std::int32_t expect_end_ts;
  AVFrame* send_frame;                  // spare frame for fan-out
};

struct TSchSyncQueue {
  // Set while the graph is registered.
  Cardinal* enc_idx;
  Cardinal nb_enc_idx;
  w32pthreads::pthread_mutex_t lock;
  // Guarded by lock.
  SyncQueue::TSyncQueue* sq;
  AVFrame* frame;  // spare frame
};

struct TSchEnc {
  // Set while the graph is registered.
  const AVClass* class_;
  TSchedulerNode src;
  TSchedulerNode* dst;
  Cardinal nb_dst;
  // index into sq_enc and the stream inside that sync queue; -1 without a sync queue
  std::int32_t sq_idx[2];
  TSchOpenCallback open_cb;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;  // frames, one stream
  // Owned by the thread that sends to the encoder (its one source; under the sync
  // queue's lock when the encoder is fed through a sync queue).
  std::int32_t opened;
  std::int32_t in_finished;
  // Allocated at start; owned by the encoder's thread.
  std::uint8_t* dst_finished;
  AVPacket* send_pkt;  // spare packet for fan-out
};

struct TSchFilterIn {
  // Set while the graph is registered.
  TSchedulerNode src;
  TSchedulerNode src_sched;  // the demuxer stream or filter output that produces the data
  // Owned by the thread that feeds this input.
  std::int32_t send_finished;
  // Owned by the filter graph's thread.
  std::int32_t receive_finished;
};

struct TSchFilterOut {
  // Set while the graph is registered.
  TSchedulerNode dst;
};

struct TSchFilterGraph {
  // Set while the graph is registered.
  const AVClass* class_;
  TSchFilterIn* inputs;
  Cardinal nb_inputs;
  TSchFilterOut* outputs;
  Cardinal nb_outputs;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;  // frames: one stream per input and a control stream
  TSchWaiter waiter;
  // Counted by the threads that feed the inputs, each once.
  std::atomic<std::int32_t> nb_inputs_finished_send;
  // Owned by the filter graph's thread.
  std::int32_t nb_inputs_finished_receive;
  // Guarded by schedule_lock (written only by the graph's thread, which may read it
  // without the lock).
  Cardinal best_input;
  std::int32_t task_exited;
};

// Guarded by mux_ready_lock.
struct TPreMuxQueue {
  AVFifo* fifo;  // AVPacket pointers; nullptr is the end marker
  std::int32_t max_packets;
  std::size_t data_size;
  std::size_t data_threshold;
};

struct TSchMuxStream {
  // Set while the graph is registered.
  TSchedulerNode src;
  TSchedulerNode src_sched;
  Cardinal* sub_heartbeat_dst;  // decoder indices
  Cardinal nb_sub_heartbeat_dst;
  // Guarded by mux_ready_lock.
  TPreMuxQueue pre_mux_queue;
  std::int32_t init_eof;
  // Guarded by schedule_lock.
  std::int64_t last_dts;          // microseconds
  std::int32_t source_finished;
};

struct TSchMux {
  // Set while the graph is registered.
  const AVClass* class_;
  TSchMuxStream* streams;
  Cardinal nb_streams;
  TSchMuxInit init;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;  // packets, one stream per output stream
  std::int32_t queue_size;           // 0: default
  // Owned by the muxer's thread.
  AVPacket* sub_heartbeat_pkt;
  // Guarded by mux_ready_lock.
  Cardinal nb_streams_ready;
  // Set under mux_ready_lock; read without it as a hint by the senders.
  std::atomic<std::int32_t> mux_started;
};

struct TScheduler {
  // Set while the graph is registered.
  const AVClass* class_;

  TSchDemux* demux;
  Cardinal nb_demux;

  TSchMux* mux;
  Cardinal nb_mux;

  TSchDec* dec;
  Cardinal nb_dec;

  TSchEnc* enc;
  Cardinal nb_enc;

  TSchSyncQueue* sq_enc;
  Cardinal nb_sq_enc;

  TSchFilterGraph* filters;
  Cardinal nb_filters;

  char* sdp_filename;
  std::int32_t sdp_auto;

  FFmpegHeader::TBaseFFmpeg* owner;
  TSchSdpWriter print_sdp;  // the owner's SDP writer

  // Guarded by mux_ready_lock.
  w32pthreads::pthread_mutex_t mux_ready_lock;
  Cardinal nb_mux_ready;

  // Guarded by finish_lock (with finish_cond).
  w32pthreads::pthread_mutex_t finish_lock;
  w32pthreads::pthread_cond_t finish_cond;
  Cardinal nb_mux_done;
  std::int32_t task_failed;

  // Written by the thread that starts and stops the scheduler; read by any thread.
  std::atomic<TSchedulerState> state;
  // Set once under schedule_lock by sch_stop; read by every thread without a lock.
  std::atomic<std::int32_t> terminate;

  // Every schedule update runs under schedule_lock.
  w32pthreads::pthread_mutex_t schedule_lock;
  // Written under schedule_lock; read by sch_wait without it.
  std::atomic<std::int64_t> last_dts;  // the trailing output timestamp, microseconds

  // Written under pause_lock (with pause_cond); read without it as a hint.
  w32pthreads::pthread_mutex_t pause_lock;
  w32pthreads::pthread_cond_t pause_cond;
  std::atomic<std::int32_t> paused;
};

}  // namespace FFmpegSched
