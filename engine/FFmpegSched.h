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

// Flag of sch_demux_send: the packet ends the stream-copy destinations of its stream.
constexpr int DEMUX_SEND_STREAMCOPY_EOF = 1;

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

// The scheduler of one task; its records are the scheduler's own (FFmpegSchedInternal.h).
struct TScheduler;

// ---- Graph ----------------------------------------------------------------------------------
//
// The graph is built by the thread that parses the task's command line, before sch_start;
// none of these calls may run concurrently with another call on the same scheduler.

// A new scheduler for the task, or nullptr when out of memory; the caller owns it and
// frees it with sch_free. print_sdp writes the SDP of the task's RTP outputs when one is
// due.
[[nodiscard]] TScheduler* sch_alloc(FFmpegHeader::TBaseFFmpeg* owner,
                                    TSchSdpWriter print_sdp = nullptr);
// Stops the scheduler (as sch_stop), frees it with everything it holds and sets sch to
// nullptr; nullptr is accepted, and so is a graph whose registration failed half-way.
// Not from a worker thread of sch.
void sch_free(TScheduler*& sch);

// Registration: each returns the new index (of the node, or of the stream within its
// node) or a negative error: AVERROR(ENOMEM) when out of memory, the graph unchanged.
// ctx is the owner's context: it is passed to func and the callbacks, and is the parent
// log context of the node; it stays the owner's and must outlive the scheduler's threads.
// sch_sdp_filename keeps a copy of the name: 0 or AVERROR(ENOMEM).
int sch_sdp_filename(TScheduler* sch, const char* sdp_filename);
int sch_add_demux(TScheduler* sch, TSchThreadFunc func, void* ctx);
int sch_add_demux_stream(TScheduler* sch, Cardinal demux_idx);
// send_end_ts: the decoder hands back the end timestamp of what it decoded when a
// demuxer flushes it (sch_demux_send with stream index -1).
int sch_add_dec(TScheduler* sch, TSchThreadFunc func, void* ctx, int send_end_ts);
// Takes back the decoder added last, before anything was connected to it: a decoder whose
// set-up failed leaves no node whose context is gone (a later start would run it).
void sch_remove_dec(TScheduler* sch, Cardinal dec_idx);
int sch_add_dec_output(TScheduler* sch, Cardinal dec_idx);
// open_cb (may be nullptr) opens the encoder from its first frame, on the thread that
// sends that frame.
int sch_add_enc(TScheduler* sch, TSchThreadFunc func, void* ctx, TSchOpenCallback open_cb);
int sch_add_filtergraph(TScheduler* sch, Cardinal nb_inputs, Cardinal nb_outputs,
                        TSchThreadFunc func, void* ctx);
// thread_queue_size: the packets the muxer's queue holds, 0 for the default.
int sch_add_mux(TScheduler* sch, TSchThreadFunc func, TSchMuxInit init, void* ctx,
                int sdp_auto, Cardinal thread_queue_size);
int sch_add_mux_stream(TScheduler* sch, Cardinal mux_idx);
// A sync queue for encoders, buffering buf_size_us of their input.
int sch_add_sq_enc(TScheduler* sch, std::int64_t buf_size_us, void* logctx);
// Feeds encoder enc_idx through sync queue sq_idx; a limiting stream ends the others when
// it ends; max_frames caps its frames (INT64_MAX: no cap). 0 or AVERROR(ENOMEM).
int sch_sq_add_enc(TScheduler* sch, Cardinal sq_idx, Cardinal enc_idx, int limiting,
                   std::int64_t max_frames);

// Records the edge src -> dst: 0 or AVERROR(ENOMEM). Which pairs may be joined is
// checked by sch_start.
int sch_connect(TScheduler* sch, TSchedulerNode src, TSchedulerNode dst);

// How much a muxer stream holds back while its muxer is not yet initialised.
void sch_mux_stream_buffering(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              std::size_t data_threshold, int max_packets);
// Counts the stream ready (any thread, before or after the start); the muxer's last
// stream after the start runs the muxer's initialisation on the calling thread and
// returns its result, else 0.
int sch_mux_stream_ready(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx);
// Decoder dec_idx receives a heartbeat from the muxer stream: 0 or AVERROR(ENOMEM).
int sch_mux_sub_heartbeat_add(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              Cardinal dec_idx);

// Checks the graph, allocates the queues and starts the worker threads: 0 or a negative
// error. AVERROR(EINVAL) for a broken graph (the reason is logged; no thread started);
// a failure after threads started stops them again.
[[nodiscard]] int sch_start(TScheduler* sch);

// ---- Data flow ------------------------------------------------------------------------------
//
// Each call is made by the worker thread of the node it names (the demuxer, decoder,
// filter graph, encoder or muxer given by the index), while the scheduler runs. Sending
// moves the data on: after 0 the packet or frame is blank. After an error it may still
// hold its reference: the caller unrefs it. Sending may block for back-pressure (a full
// queue, a choked source, the pause gate).

// 0; AVERROR_EOF when every destination of the packet's stream is closed; AVERROR_EXIT
// when the scheduler terminates; another error. A packet with stream index -1 is a
// flush request and receives the latest end timestamp of the decoders.
int sch_demux_send(TScheduler* sch, Cardinal demux_idx, AVPacket* pkt, unsigned flags);

// Takes the decoder's next packet into pkt (blank on entry), blocking while none is
// queued. 0 with the packet: a packet without data or side data is a flush request, and
// the next call hands its pts/time_base back to the demuxer that flushed as the end
// timestamp when the decoder was added with send_end_ts. AVERROR_EOF when the input has
// ended; another negative error.
int sch_dec_receive(TScheduler* sch, Cardinal dec_idx, AVPacket* pkt);
// Hands a decoded frame (or, without data, a frame that carries only properties) to
// every open destination of decoder output out_idx: filter inputs or encoders. 0;
// AVERROR_EOF when every destination of that output is closed (the frame may still hold
// its reference); the error of an encoder's opening or of a queue.
int sch_dec_send(TScheduler* sch, Cardinal dec_idx, Cardinal out_idx, AVFrame* frame);

// Takes the graph's next input frame into frame (blank on entry). in_idx: the input the
// graph wants next, or nb_inputs to run without input when it may. 0 with the frame and
// its input in in_idx; AVERROR(EAGAIN) when the graph may run without input (after the
// graph's sources were let run); AVERROR_EOF when every input has ended or the scheduler
// terminates.
int sch_filter_receive(TScheduler* sch, Cardinal fg_idx, Cardinal& in_idx, AVFrame* frame);
// The graph takes no more from input in_idx: its queued frames are dropped and its
// senders get AVERROR_EOF. Repeating it is harmless.
void sch_filter_receive_finish(TScheduler* sch, Cardinal fg_idx, Cardinal in_idx);
// Hands a filtered frame to the destination of output out_idx (an encoder or another
// graph's input); frame nullptr ends that output. 0; AVERROR_EOF when the destination is
// closed; the error of an encoder's opening or of a queue.
int sch_filter_send(TScheduler* sch, Cardinal fg_idx, Cardinal out_idx, AVFrame* frame);

// Takes the encoder's next frame into frame (blank on entry), blocking while none is
// queued. 0 with the frame; AVERROR_EOF when the input has ended; another negative error.
int sch_enc_receive(TScheduler* sch, Cardinal enc_idx, AVFrame* frame);
// Hands an encoded packet to every open destination of the encoder (muxer streams or
// decoders). 0, also when every destination is closed (the packet then still holds its
// reference: unref it before reuse); a negative error of a queue or of av_packet_ref.
int sch_enc_send(TScheduler* sch, Cardinal enc_idx, AVPacket* pkt);

// As tq_receive; the packet's stream index is the muxer stream it came from (negative
// when every stream has ended; at once for a muxer without streams).
int sch_mux_receive(TScheduler* sch, Cardinal mux_idx, AVPacket* pkt);
// The muxer takes no more from the stream; its source counts as finished.
void sch_mux_receive_finish(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx);
// Sends the properties of pkt (which stays the caller's) to the decoders registered with
// sch_mux_sub_heartbeat_add: 0 or a negative error.
int sch_mux_sub_heartbeat(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                          const AVPacket* pkt);

// ---- Control --------------------------------------------------------------------------------
//
// Called by the thread that owns the scheduler (the one that started it), never by one of
// its worker threads.

// Waits at most timeout_us (and not while paused): 1 when every muxer has finished or a
// task has failed, else 0; transcode_ts receives the trailing output timestamp.
int sch_wait(TScheduler* sch, std::uint64_t timeout_us, std::int64_t& transcode_ts);
// Terminates and joins every worker: the merged result of their tasks (0 when the
// scheduler never started or has stopped already). The muxers are joined last, once
// every source has ended: each writes what its queue holds and ends, also when a
// source's end of stream was lost to a failed send. finish_ts, when given, receives the
// trailing timestamp counting finished streams too.
int sch_stop(TScheduler* sch, std::int64_t* finish_ts = nullptr);
// 1 closes the pause gate, 0 opens it; only while the scheduler runs (ignored otherwise).
// Any thread.
void sch_set_paused(TScheduler* sch, int paused);

}  // namespace FFmpegSched
