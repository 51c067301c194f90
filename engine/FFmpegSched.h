// The scheduler of one conversion task: the directed graph of worker nodes (demuxers,
// decoders, filter graphs, encoders, muxers) that the task registers while its command
// line is parsed, the queues between them, one worker thread per node, and the traffic
// between the nodes at run time with back-pressure, the pause gate, end of stream and
// termination.
//
// Every node record begins with a log class whose parent log context is the node's
// owner (func_arg), so the scheduler's messages about a node appear under its owner.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Types.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SyncQueue.h"
#include "runtime/ThreadQueue.h"
#include "runtime/w32pthreads.h"

extern "C" {
struct AVThreadMessageQueue;
}

namespace FFmpegHeader {
class TBaseFFmpeg;
}

namespace FFmpegSched {

using Platform::Cardinal;

// ---- Nodes ----------------------------------------------------------------------------------

enum TSchedulerNodeType : std::int32_t {
  SCH_NODE_TYPE_NONE = 0,  // not connected
  SCH_NODE_TYPE_DEMUX = 1,
  SCH_NODE_TYPE_MUX = 2,
  SCH_NODE_TYPE_DEC = 3,
  SCH_NODE_TYPE_ENC = 4,
  SCH_NODE_TYPE_FILTER_IN = 5,
  SCH_NODE_TYPE_FILTER_OUT = 6,
};

// idx: the demuxer, muxer, decoder, encoder or filter graph; idx_stream: the stream of a
// demuxer or muxer, the output of a decoder, the input or output of a filter graph.
struct TSchedulerNode {
  TSchedulerNodeType type_;
  Cardinal idx;
  Cardinal idx_stream;
};

constexpr TSchedulerNode SCH_DSTREAM(Cardinal file, Cardinal stream) {
  return TSchedulerNode{SCH_NODE_TYPE_DEMUX, file, stream};
}
constexpr TSchedulerNode SCH_MSTREAM(Cardinal file, Cardinal stream) {
  return TSchedulerNode{SCH_NODE_TYPE_MUX, file, stream};
}
constexpr TSchedulerNode SCH_DEC_IN(Cardinal dec) {
  return TSchedulerNode{SCH_NODE_TYPE_DEC, dec, 0};
}
constexpr TSchedulerNode SCH_DEC_OUT(Cardinal dec, Cardinal out) {
  return TSchedulerNode{SCH_NODE_TYPE_DEC, dec, out};
}
constexpr TSchedulerNode SCH_ENC(Cardinal enc) {
  return TSchedulerNode{SCH_NODE_TYPE_ENC, enc, 0};
}
constexpr TSchedulerNode SCH_FILTER_IN(Cardinal fg, Cardinal input) {
  return TSchedulerNode{SCH_NODE_TYPE_FILTER_IN, fg, input};
}
constexpr TSchedulerNode SCH_FILTER_OUT(Cardinal fg, Cardinal output) {
  return TSchedulerNode{SCH_NODE_TYPE_FILTER_OUT, fg, output};
}

enum TSchedulerState : std::int32_t {
  SCH_STATE_UNINIT = 0,
  SCH_STATE_STARTED = 1,
  SCH_STATE_STOPPED = 2,
};

// Flag of sch_demux_send: the packet ends the stream-copy destinations of its stream.
constexpr int DEMUX_SEND_STREAMCOPY_EOF = 1;

// How far (microseconds of output time) an output may run ahead of the slowest
// unfinished output stream before its sources are choked.
constexpr std::int64_t SCHEDULE_TOLERANCE = 100000;

// The body of a node's thread: 0 or a negative error code.
using TSchThreadFunc = int (*)(void* func_arg);
// An encoder's opening, run with its first frame on the sending thread: negative for an
// error, positive for a fixed audio frame size, else 0.
using TSchOpenCallback = int (*)(void* func_arg, const AVFrame* frame);
// A muxer's initialisation, run once the scheduler has started and all of its streams
// are ready.
using TSchMuxInit = int (*)(void* func_arg);
// Writes the SDP of the task's RTP outputs (sdp_filename may be nullptr): 0 or an error.
using TSchSdpWriter = int (*)(FFmpegHeader::TBaseFFmpeg* owner, const char* sdp_filename);

struct TScheduler;

struct TSchTask {
  TScheduler* parent;
  TSchedulerNode node;     // the node itself
  TSchThreadFunc func;
  void* func_arg;          // the owner's context, also the parent log context
  w32pthreads::pthread_t thread;
  std::int32_t thread_running;
};

struct TSchWaiter {
  w32pthreads::pthread_mutex_t lock;
  w32pthreads::pthread_cond_t cond;
  std::int32_t choked;
  // working values of the schedule update
  std::int32_t choked_prev;
  std::int32_t choked_next;
};

struct TSchDemuxStream {
  TSchedulerNode* dst;
  std::uint8_t* dst_finished;  // one per destination, allocated at start
  Cardinal nb_dst;
};

struct TSchDemux {
  const AVClass* class_;
  TSchDemuxStream* streams;
  Cardinal nb_streams;
  TSchTask task;
  TSchWaiter waiter;
  AVPacket* send_pkt;          // spare packet for fan-out
  std::int32_t task_exited;    // guarded by schedule_lock
};

struct TSchDecOutput {
  TSchedulerNode* dst;
  std::uint8_t* dst_finished;
  Cardinal nb_dst;
};

struct TSchDec {
  const AVClass* class_;
  TSchedulerNode src;
  TSchDecOutput* outputs;
  Cardinal nb_outputs;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;     // packets, one stream
  AVThreadMessageQueue* queue_end_ts;   // TTimestamp records, capacity 1, or nullptr
  std::int32_t expect_end_ts;
  AVFrame* send_frame;                  // spare frame for fan-out
};

struct TSchSyncQueue {
  SyncQueue::TSyncQueue* sq;
  AVFrame* frame;  // spare frame
  w32pthreads::pthread_mutex_t lock;
  Cardinal* enc_idx;
  Cardinal nb_enc_idx;
};

struct TSchEnc {
  const AVClass* class_;
  TSchedulerNode src;
  TSchedulerNode* dst;
  std::uint8_t* dst_finished;
  Cardinal nb_dst;
  // index into sq_enc and the stream inside that sync queue; -1 without a sync queue
  std::int32_t sq_idx[2];
  TSchOpenCallback open_cb;
  std::int32_t opened;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;  // frames, one stream
  std::int32_t in_finished;
  AVPacket* send_pkt;  // spare packet for fan-out
};

struct TSchFilterIn {
  TSchedulerNode src;
  TSchedulerNode src_sched;  // the demuxer stream or filter output that produces the data
  std::int32_t send_finished;
  std::int32_t receive_finished;
};

struct TSchFilterOut {
  TSchedulerNode dst;
};

struct TSchFilterGraph {
  const AVClass* class_;
  TSchFilterIn* inputs;
  Cardinal nb_inputs;
  std::int32_t nb_inputs_finished_send;
  std::int32_t nb_inputs_finished_receive;
  TSchFilterOut* outputs;
  Cardinal nb_outputs;
  TSchTask task;
  ThreadQueue::TThreadQueue* queue;  // frames: one stream per input and a control stream
  TSchWaiter waiter;
  Cardinal best_input;               // guarded by schedule_lock
  std::int32_t task_exited;          // guarded by schedule_lock
};

struct TPreMuxQueue {
  AVFifo* fifo;  // AVPacket pointers; nullptr is the end marker
  std::int32_t max_packets;
  std::size_t data_size;
  std::size_t data_threshold;
};

struct TSchMuxStream {
  TSchedulerNode src;
  TSchedulerNode src_sched;
  Cardinal* sub_heartbeat_dst;  // decoder indices
  Cardinal nb_sub_heartbeat_dst;
  TPreMuxQueue pre_mux_queue;
  std::int32_t init_eof;
  std::int64_t last_dts;          // microseconds; guarded by schedule_lock
  std::int32_t source_finished;   // guarded by schedule_lock
};

struct TSchMux {
  const AVClass* class_;
  TSchMuxStream* streams;
  Cardinal nb_streams;
  Cardinal nb_streams_ready;
  TSchMuxInit init;
  TSchTask task;
  std::int32_t mux_started;
  ThreadQueue::TThreadQueue* queue;  // packets, one stream per output stream
  std::int32_t queue_size;           // 0: default
  AVPacket* sub_heartbeat_pkt;
};

struct TScheduler {
  const AVClass* class_;

  TSchDemux* demux;
  Cardinal nb_demux;

  TSchMux* mux;
  Cardinal nb_mux;

  Cardinal nb_mux_ready;
  w32pthreads::pthread_mutex_t mux_ready_lock;

  Cardinal nb_mux_done;
  std::int32_t task_failed;
  w32pthreads::pthread_mutex_t finish_lock;
  w32pthreads::pthread_cond_t finish_cond;

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

  TSchedulerState state;
  std::int32_t terminate;

  w32pthreads::pthread_mutex_t schedule_lock;
  std::int64_t last_dts;  // the trailing output timestamp, microseconds

  w32pthreads::pthread_mutex_t pause_lock;
  w32pthreads::pthread_cond_t pause_cond;
  std::int32_t paused;

  FFmpegHeader::TBaseFFmpeg* owner;
  TSchSdpWriter print_sdp;  // the owner's SDP writer
};

// ---- Graph ----------------------------------------------------------------------------------

// A new scheduler for the task, or nullptr when out of memory. print_sdp writes the SDP
// of the task's RTP outputs when one is due.
TScheduler* sch_alloc(FFmpegHeader::TBaseFFmpeg* owner, TSchSdpWriter print_sdp = nullptr);
// Stops the scheduler, frees it with everything it holds and sets sch to nullptr;
// nullptr is accepted, and so is a graph whose registration failed half-way.
void sch_free(TScheduler*& sch);

// Registration: each returns the new index or a negative error (-12: out of memory).
int sch_sdp_filename(TScheduler* sch, const char* sdp_filename);
int sch_add_demux(TScheduler* sch, TSchThreadFunc func, void* ctx);
int sch_add_demux_stream(TScheduler* sch, Cardinal demux_idx);
int sch_add_dec(TScheduler* sch, TSchThreadFunc func, void* ctx, int send_end_ts);
// Takes back the decoder added last, before anything was connected to it: a decoder whose
// set-up failed leaves no node whose context is gone (a later start would run it).
void sch_remove_dec(TScheduler* sch, Cardinal dec_idx);
int sch_add_dec_output(TScheduler* sch, Cardinal dec_idx);
int sch_add_enc(TScheduler* sch, TSchThreadFunc func, void* ctx, TSchOpenCallback open_cb);
int sch_add_filtergraph(TScheduler* sch, Cardinal nb_inputs, Cardinal nb_outputs,
                        TSchThreadFunc func, void* ctx);
int sch_add_mux(TScheduler* sch, TSchThreadFunc func, TSchMuxInit init, void* ctx,
                int sdp_auto, Cardinal thread_queue_size);
int sch_add_mux_stream(TScheduler* sch, Cardinal mux_idx);
int sch_add_sq_enc(TScheduler* sch, std::int64_t buf_size_us, void* logctx);
int sch_sq_add_enc(TScheduler* sch, Cardinal sq_idx, Cardinal enc_idx, int limiting,
                   std::int64_t max_frames);

// Records the edge src -> dst: 0 or -12.
int sch_connect(TScheduler* sch, TSchedulerNode src, TSchedulerNode dst);

void sch_mux_stream_buffering(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              std::size_t data_threshold, int max_packets);
// Counts the stream ready; the muxer's last stream after the start runs the muxer's
// initialisation and returns its result.
int sch_mux_stream_ready(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx);
int sch_mux_sub_heartbeat_add(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              Cardinal dec_idx);

// Checks the graph, allocates the queues and starts the worker threads: 0 or an error
// (-22 for a broken graph, nothing started then).
int sch_start(TScheduler* sch);

// ---- Data flow ------------------------------------------------------------------------------

// 0; AVERROR_EOF when every destination of the packet's stream is closed; AVERROR_EXIT
// when the scheduler terminates; another error. A packet with stream index -1 is a
// flush request and receives the latest end timestamp of the decoders.
int sch_demux_send(TScheduler* sch, Cardinal demux_idx, AVPacket* pkt, unsigned flags);

int sch_dec_receive(TScheduler* sch, Cardinal dec_idx, AVPacket* pkt);
int sch_dec_send(TScheduler* sch, Cardinal dec_idx, Cardinal out_idx, AVFrame* frame);

// in_idx: the input the graph wants next, or nb_inputs to run without input when it
// may. 0 with the frame and its input in in_idx; AVERROR(EAGAIN) when the graph may run
// without input; AVERROR_EOF.
int sch_filter_receive(TScheduler* sch, Cardinal fg_idx, Cardinal& in_idx, AVFrame* frame);
void sch_filter_receive_finish(TScheduler* sch, Cardinal fg_idx, Cardinal in_idx);
// frame nullptr: the end of that output.
int sch_filter_send(TScheduler* sch, Cardinal fg_idx, Cardinal out_idx, AVFrame* frame);

int sch_enc_receive(TScheduler* sch, Cardinal enc_idx, AVFrame* frame);
int sch_enc_send(TScheduler* sch, Cardinal enc_idx, AVPacket* pkt);

// As tq_receive; the packet's stream index is the muxer stream it came from (negative
// when every stream has ended).
int sch_mux_receive(TScheduler* sch, Cardinal mux_idx, AVPacket* pkt);
void sch_mux_receive_finish(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx);
int sch_mux_sub_heartbeat(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                          const AVPacket* pkt);

// ---- Control --------------------------------------------------------------------------------

// Waits at most timeout_us (and not while paused): 1 when every muxer has finished or a
// task has failed, else 0; transcode_ts receives the trailing output timestamp.
int sch_wait(TScheduler* sch, std::uint64_t timeout_us, std::int64_t& transcode_ts);
// Terminates and joins every worker: the merged result of their tasks. finish_ts, when
// given, receives the trailing timestamp counting finished streams too.
int sch_stop(TScheduler* sch, std::int64_t* finish_ts = nullptr);
// 1 closes the pause gate, 0 opens it; only while the scheduler runs.
void sch_set_paused(TScheduler* sch, int paused);
// Whether the calling thread is one of sch's worker threads (a host handler called by a
// demuxer, decoder, filter, encoder or muxer of this scheduler).
bool sch_on_worker_thread(const TScheduler* sch);

}  // namespace FFmpegSched
