// Locks, what they guard, and the order in which they may be held:
//
//   schedule_lock   last_dts and source_finished of muxer streams, best_input and
//                   task_exited of filter graphs, task_exited of demuxers, the waiters'
//                   working values; every schedule update runs under it
//   mux_ready_lock  the pre-mux queues, mux_started, nb_mux_ready, nb_streams_ready and
//                   the muxer initialisation (which may start muxer threads and drain
//                   the pre-mux queues into their packet queues)
//   finish_lock     nb_mux_done, task_failed (with finish_cond)
//   pause_lock      paused (with pause_cond)
//   sq lock         one per encoder sync queue: the TSyncQueue and its spare frame
//   waiter lock     one per demuxer and filter graph: choked
//   queue locks     inside ThreadQueue and the end-timestamp message queues
//
// Order: schedule_lock is taken outside waiter locks (a schedule update wakes waiters
// while holding it); the sync-queue path takes and releases schedule_lock before it
// takes the sync-queue lock, never inside it; the queue locks are innermost - nothing
// else is taken while one is held. mux_ready_lock, finish_lock and pause_lock are never
// held together with schedule_lock or with each other, except that a thread queue may
// be used under mux_ready_lock.
//
// Waiting for room in a queue: every blocking send goes downstream (demuxer -> decoder ->
// filter graph -> encoder -> muxer), so the threads waiting on full queues can never form
// a circle. The one send upstream, the muxer's subtitle heartbeat to a decoder, never
// waits (tq_send_unbounded).
//
// mux_started, terminate, paused, choked, state and last_dts are also read without a
// lock, as hints that are tested again under the lock; they are std::atomic. The records
// are in FFmpegSchedInternal.h, each field under the section that says who may touch it.
// The spare packets and frames of a node belong to the node's own sending thread.
#include "engine/FFmpegSched.h"
#include "engine/FFmpegSchedInternal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFmpegHeader.h"
#include "runtime/MyUtils.h"

namespace FFmpegSched {

using AVUtilStubs::av_log;
using FFmpegHeader::atomic_fetch_add;
using FFmpegHeader::atomic_init;
using FFmpegHeader::atomic_load;
using FFmpegHeader::atomic_store;
using FFmpegHeader::err_merge;
using FFmpegHeader::TTimestamp;
using ThreadQueue::TThreadQueue;

namespace {

const char* const CUnit = "FFmpegSched";

// Queue size used when none is given.
constexpr int CDefaultQueueSize = 8;

// ---- Log classes ----------------------------------------------------------------------------

const char* SchItemName(void* ACtx) {
  return (*static_cast<const AVClass* const*>(ACtx))->class_name;
}

AVClass MakeClass(const char* AName, int AParentOffset) {
  AVClass c{};
  c.class_name = AName;
  c.item_name = SchItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  c.parent_log_context_offset = AParentOffset;
  return c;
}

constexpr int CTaskArgOffset = static_cast<int>(offsetof(TSchTask, func_arg));

const AVClass CSchedulerClass = MakeClass("Scheduler", 0);
const AVClass CSchDemuxClass =
    MakeClass("SchDemux", static_cast<int>(offsetof(TSchDemux, task)) + CTaskArgOffset);
const AVClass CSchMuxClass =
    MakeClass("SchMux", static_cast<int>(offsetof(TSchMux, task)) + CTaskArgOffset);
const AVClass CSchDecClass =
    MakeClass("SchDec", static_cast<int>(offsetof(TSchDec, task)) + CTaskArgOffset);
const AVClass CSchEncClass =
    MakeClass("SchEnc", static_cast<int>(offsetof(TSchEnc, task)) + CTaskArgOffset);
const AVClass CSchFilterGraphClass =
    MakeClass("SchFilterGraph", static_cast<int>(offsetof(TSchFilterGraph, task)) + CTaskArgOffset);

// ---- Small helpers --------------------------------------------------------------------------

using w32pthreads::TMutexGuard;

TSchedulerState LoadState(TScheduler* sch) {
  return sch->state.load();
}

void StoreState(TScheduler* sch, TSchedulerState AState) {
  sch->state.store(AState);
}

std::string ErrorText(int AErr) { return CmdUtils::print_error(AErr); }

// Appends one zeroed element to the array: 0 or a negative error (array untouched).
template <class T>
int GrowByOne(T*& AArray, Cardinal& ACount) {
  int count = static_cast<int>(ACount);
  const int ret = CmdUtils::grow_array(AArray, count, count + 1);
  if (ret < 0) return ret;
  ACount = static_cast<Cardinal>(count);
  return 0;
}

int AppendNode(TSchedulerNode*& AArray, Cardinal& ACount, TSchedulerNode ANode) {
  const int ret = GrowByOne(AArray, ACount);
  if (ret < 0) return ret;
  AArray[ACount - 1] = ANode;
  return 0;
}

int AllocFinished(std::uint8_t*& AFinished, Cardinal ACount) {
  AVUtilStubs::av_freep(&AFinished);  // from a start whose checks failed before
  AFinished = static_cast<std::uint8_t*>(AVUtilStubs::av_calloc(ACount ? ACount : 1, 1));
  return AFinished ? 0 : AVERROR(ENOMEM);
}

int QueueAlloc(TThreadQueue*& AQueue, Cardinal nb_streams, int queue_size,
               ThreadQueue::TThreadQueueType type_) {
  if (queue_size <= 0)
    queue_size = CDefaultQueueSize;
  else
    // frame queues are kept small: frames are big
    Platform::Check(type_ == ThreadQueue::THREAD_QUEUE_PACKETS, CUnit, 1029);
  AQueue = ThreadQueue::tq_alloc(nb_streams, static_cast<std::size_t>(queue_size), type_);
  return AQueue ? 0 : AVERROR(ENOMEM);
}

void TaskInit(TScheduler* sch, TSchTask& task, TSchedulerNodeType type_, Cardinal idx,
              TSchThreadFunc func, void* func_arg) {
  task.parent = sch;
  task.node.type_ = type_;
  task.node.idx = idx;
  task.func = func;
  task.func_arg = func_arg;
}

// ---- Waiters and the pause gate -------------------------------------------------------------

void WaiterInit(TSchWaiter& w) {
  w32pthreads::pthread_mutex_init(w.lock, nullptr);
  w32pthreads::pthread_cond_init(w.cond, nullptr);
  atomic_init(w.choked, 0);
}

void WaiterUninit(TSchWaiter& w) {
  w32pthreads::pthread_cond_destroy(w.cond);
  w32pthreads::pthread_mutex_destroy(w.lock);
}

void WaiterSet(TSchWaiter& w, int choked) {
  TMutexGuard guard(w.lock);
  atomic_store(w.choked, choked);
  w32pthreads::pthread_cond_signal(w.cond);
}

// Sleeps while the gate is closed, unless the scheduler terminates.
void PauseGatePass(TScheduler* sch) {
  if (!atomic_load(sch->paused)) return;
  TMutexGuard guard(sch->pause_lock);
  while (atomic_load(sch->paused) && !atomic_load(sch->terminate))
    w32pthreads::pthread_cond_wait(sch->pause_cond, sch->pause_lock);
}

// Passes the pause gate, then sleeps while choked: non-zero when terminating.
int WaiterWait(TScheduler* sch, TSchWaiter& w) {
  PauseGatePass(sch);
  if (!atomic_load(w.choked)) return 0;
  TMutexGuard guard(w.lock);
  while (atomic_load(w.choked) && !atomic_load(sch->terminate))
    w32pthreads::pthread_cond_wait(w.cond, w.lock);
  return atomic_load(sch->terminate);
}

// ---- Scheduling -----------------------------------------------------------------------------

// The smallest last_dts over the muxer streams (finished ones only when count_finished),
// AV_NOPTS_VALUE when one of them has none yet or there is no stream.
std::int64_t TrailingDts(TScheduler* sch, bool count_finished) {
  std::int64_t min_dts = INT64_MAX;
  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    const TSchMux& mux = sch->mux[i];
    for (Cardinal j = 0; j < mux.nb_streams; j++) {
      const TSchMuxStream& ms = mux.streams[j];
      if (!count_finished && ms.source_finished) continue;
      if (ms.last_dts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
      min_dts = std::min(min_dts, ms.last_dts);
    }
  }
  return min_dts == INT64_MAX ? AV_NOPTS_VALUE : min_dts;
}

// Lets run whatever produces the data of a muxer stream.
void UnchokeForStream(TScheduler* sch, TSchedulerNode src) {
  for (;;) {
    if (src.type_ == SCH_NODE_TYPE_FILTER_OUT) {
      TSchFilterGraph& fg = sch->filters[src.idx];
      // a graph that wants no input is a source itself
      if (fg.best_input == fg.nb_inputs) {
        fg.waiter.choked_next = 0;
        return;
      }
      src = fg.inputs[fg.best_input].src_sched;
      continue;
    }
    Platform::Check(src.type_ == SCH_NODE_TYPE_DEMUX, CUnit, 2135);
    sch->demux[src.idx].waiter.choked_next = 0;
    return;
  }
}

// With schedule_lock held.
void ScheduleUpdateLocked(TScheduler* sch) {
  if (atomic_load(sch->terminate)) return;

  const std::int64_t dts = TrailingDts(sch, false);
  atomic_store(sch->last_dts, dts);

  for (Cardinal i = 0; i < sch->nb_demux; i++) {
    TSchWaiter& w = sch->demux[i].waiter;
    w.choked_prev = atomic_load(w.choked);
    w.choked_next = 1;
  }
  for (Cardinal i = 0; i < sch->nb_filters; i++) {
    TSchWaiter& w = sch->filters[i].waiter;
    w.choked_prev = atomic_load(w.choked);
    w.choked_next = 1;
  }

  bool have_unchoked = false;
  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    TSchMux& mux = sch->mux[i];
    for (Cardinal j = 0; j < mux.nb_streams; j++) {
      TSchMuxStream& ms = mux.streams[j];
      if (ms.source_finished) continue;
      // a stream too far ahead of the trailing one waits
      if (dts == AV_NOPTS_VALUE ? ms.last_dts != AV_NOPTS_VALUE
                                : ms.last_dts - dts >= SCHEDULE_TOLERANCE)
        continue;
      UnchokeForStream(sch, ms.src_sched);
      have_unchoked = true;
    }
  }

  // nothing qualified: keep one source running so that the graph cannot stall
  if (!have_unchoked) {
    for (Cardinal i = 0; i < sch->nb_demux; i++) {
      if (!sch->demux[i].task_exited) {
        sch->demux[i].waiter.choked_next = 0;
        have_unchoked = true;
        break;
      }
    }
  }
  if (!have_unchoked) {
    for (Cardinal i = 0; i < sch->nb_filters; i++) {
      if (!sch->filters[i].task_exited) {
        sch->filters[i].waiter.choked_next = 0;
        break;
      }
    }
  }

  for (Cardinal i = 0; i < sch->nb_demux; i++) {
    TSchWaiter& w = sch->demux[i].waiter;
    if (w.choked_next != w.choked_prev) WaiterSet(w, w.choked_next);
  }
  for (Cardinal i = 0; i < sch->nb_filters; i++) {
    TSchWaiter& w = sch->filters[i].waiter;
    if (w.choked_next != w.choked_prev) WaiterSet(w, w.choked_next);
  }
}

void ScheduleUpdate(TScheduler* sch) {
  TMutexGuard guard(sch->schedule_lock);
  ScheduleUpdateLocked(sch);
}

// ---- Muxer path -----------------------------------------------------------------------------

void PreMuxQueueFree(TPreMuxQueue& q) {
  if (!q.fifo) return;
  AVPacket* pkt = nullptr;
  while (AVUtilStubs::av_fifo_read(q.fifo, &pkt, 1) >= 0) AVCodecStubs::av_packet_free(&pkt);
  AVUtilStubs::av_fifo_freep2(&q.fifo);
}

// Queues the packet (nullptr: the end marker) while the muxer has not started. With
// mux_ready_lock held.
int MuxQueuePacket(TSchMux& mux, TSchMuxStream& ms, AVPacket* pkt) {
  using AVUtilStubs::av_fifo_can_read;
  using AVUtilStubs::av_fifo_can_write;

  TPreMuxQueue& q = ms.pre_mux_queue;
  if (av_fifo_can_write(q.fifo) == 0) {
    const std::size_t packets = av_fifo_can_read(q.fifo);
    std::size_t new_size = 2 * packets;
    // The bounds are for packets. The end marker always goes in: a muxer that started
    // without it would wait for this stream's end for good.
    if (pkt && q.data_size + static_cast<std::size_t>(pkt->size) > q.data_threshold)
      new_size = std::min(new_size, static_cast<std::size_t>(std::max(q.max_packets, 0)));
    if (new_size <= packets) {
      av_log(&mux, AV_LOG_ERROR, "Too many packets buffered for output stream.\n");
      return AVERROR_BUFFER_TOO_SMALL;
    }
    const int ret = AVUtilStubs::av_fifo_grow2(q.fifo, new_size - packets);
    if (ret < 0) return ret;
  }

  AVPacket* tmp = nullptr;
  if (pkt) {
    tmp = AVCodecStubs::av_packet_alloc();
    if (!tmp) return AVERROR(ENOMEM);
    AVCodecStubs::av_packet_move_ref(tmp, pkt);
    q.data_size += static_cast<std::size_t>(tmp->size);
  }
  // room was made above
  const int ret = AVUtilStubs::av_fifo_write(q.fifo, &tmp, 1);
  if (ret < 0) {
    if (tmp) q.data_size -= static_cast<std::size_t>(tmp->size);
    AVCodecStubs::av_packet_free(&tmp);
  }
  return ret;
}

// pkt nullptr: the end of the stream.
int SendToMux(TScheduler* sch, TSchMux& mux, Cardinal stream_idx, AVPacket* pkt) {
  TSchMuxStream& ms = mux.streams[stream_idx];
  const std::int64_t dts =
      pkt && pkt->dts != AV_NOPTS_VALUE
          ? AVUtilStubs::av_rescale_q(pkt->dts + pkt->duration, pkt->time_base,
                                      AVRational{1, AV_TIME_BASE})
          : AV_NOPTS_VALUE;

  bool queued = false;
  if (!atomic_load(mux.mux_started)) {
    int ret = 0;
    {
      TMutexGuard guard(sch->mux_ready_lock);
      if (!atomic_load(mux.mux_started)) {
        ret = MuxQueuePacket(mux, ms, pkt);
        queued = true;
      }
    }
    if (ret < 0) return ret;
  }

  if (!queued) {
    if (pkt) {
      if (ms.init_eof) return AVERROR_EOF;
      const int ret = ThreadQueue::tq_send(mux.queue, stream_idx, pkt);
      if (ret < 0) return ret;
    } else {
      ThreadQueue::tq_send_finish(mux.queue, stream_idx);
    }
  }

  if (dts != AV_NOPTS_VALUE || !pkt) {
    TMutexGuard guard(sch->schedule_lock);
    if (pkt)
      ms.last_dts = dts;
    else
      ms.source_finished = 1;
    ScheduleUpdateLocked(sch);
  }
  return 0;
}

// ---- Filter-graph and encoder paths ---------------------------------------------------------

// frame nullptr: the end of that input, passed on once.
int SendToFilter(TSchFilterGraph& fg, Cardinal in_idx, AVFrame* frame) {
  if (frame) return ThreadQueue::tq_send(fg.queue, in_idx, frame);

  TSchFilterIn& fi = fg.inputs[in_idx];
  if (!fi.send_finished) {
    fi.send_finished = 1;
    ThreadQueue::tq_send_finish(fg.queue, in_idx);
    // inputs are fed from different threads
    if (static_cast<Cardinal>(atomic_fetch_add(fg.nb_inputs_finished_send, 1) + 1) == fg.nb_inputs)
      ThreadQueue::tq_send_finish(fg.queue, fg.nb_inputs);
  }
  return 0;
}

int SendToEncThread(TSchEnc& enc, AVFrame* frame) {
  // The end marker finishes the queue even after a failed send closed this input:
  // otherwise the encoder would wait for a frame that never comes.
  if (!frame) {
    ThreadQueue::tq_send_finish(enc.queue, 0);
    return 0;
  }
  if (enc.in_finished) return AVERROR_EOF;
  const int ret = ThreadQueue::tq_send(enc.queue, 0, frame);
  if (ret < 0) enc.in_finished = 1;
  return ret;
}

int SendToEncSq(TScheduler* sch, TSchEnc& enc, AVFrame* frame) {
  TSchSyncQueue& sq = sch->sq_enc[enc.sq_idx[0]];

  // the end of this encoder's input ends its muxer streams as sources
  if (!frame) {
    TMutexGuard guard(sch->schedule_lock);
    for (Cardinal i = 0; i < enc.nb_dst; i++) {
      const TSchedulerNode dst = enc.dst[i];
      if (dst.type_ != SCH_NODE_TYPE_MUX) continue;
      sch->mux[dst.idx].streams[dst.idx_stream].source_finished = 1;
      ScheduleUpdateLocked(sch);
    }
  }

  TMutexGuard guard(sq.lock);
  int ret = SyncQueue::sq_send(sq.sq, static_cast<Cardinal>(enc.sq_idx[1]), SyncQueue::SQFRAME(frame));
  if (ret < 0) return ret;

  for (;;) {
    ret = SyncQueue::sq_receive(sq.sq, -1, SyncQueue::SQFRAME(sq.frame));
    if (ret < 0) {
      if (ret == AVERROR(EAGAIN)) ret = 0;
      break;
    }
    TSchEnc& target = sch->enc[sq.enc_idx[ret]];
    const int err = SendToEncThread(target, sq.frame);
    if (err < 0) {
      AVUtilStubs::av_frame_unref(sq.frame);
      if (err != AVERROR_EOF) {
        ret = err;
        break;
      }
      SyncQueue::sq_send(sq.sq, static_cast<Cardinal>(target.sq_idx[1]), SyncQueue::SQFRAME(nullptr));
    }
  }

  if (ret < 0) {
    // everything has ended, or something failed: close all encoders of the queue
    for (Cardinal i = 0; i < sq.nb_enc_idx; i++)
      ThreadQueue::tq_send_finish(sch->enc[sq.enc_idx[i]].queue, 0);
  }
  return ret;
}

int SendToEnc(TScheduler* sch, TSchEnc& enc, AVFrame* frame) {
  if (enc.open_cb && frame && !enc.opened) {
    const int ret = enc.open_cb(enc.task.func_arg, frame);
    if (ret < 0) return ret;
    // a fixed frame size of an audio encoder: the sync queue cuts its frames to size
    if (ret > 0) {
      Platform::Check(enc.sq_idx[0] >= 0, CUnit, 2785);
      TSchSyncQueue& sq = sch->sq_enc[enc.sq_idx[0]];
      TMutexGuard guard(sq.lock);
      SyncQueue::sq_frame_samples(sq.sq, static_cast<Cardinal>(enc.sq_idx[1]), ret);
    }
    enc.opened = 1;
    // a frame that only carried the parameters for the opening
    if (!frame->buf[0]) {
      AVUtilStubs::av_frame_unref(frame);
      return 0;
    }
  }
  if (enc.sq_idx[0] >= 0) return SendToEncSq(sch, enc, frame);
  return SendToEncThread(enc, frame);
}

// ---- Fan-out to one destination -------------------------------------------------------------

// Each returns AVERROR_EOF when the destination is (or became) closed; closing it sends
// the end downstream and marks it finished. pkt or frame nullptr: close it.

// A packet (of a demuxer or an encoder) to a muxer stream or a decoder.
int PacketSendToDst(TScheduler* sch, TSchedulerNode dst, std::uint8_t& finished, AVPacket* pkt) {
  if (finished) return AVERROR_EOF;
  int ret = 0;
  if (pkt) {
    ret = dst.type_ == SCH_NODE_TYPE_MUX
              ? SendToMux(sch, sch->mux[dst.idx], dst.idx_stream, pkt)
              : ThreadQueue::tq_send(sch->dec[dst.idx].queue, 0, pkt);
    if (ret != AVERROR_EOF) return ret;
  }
  if (dst.type_ == SCH_NODE_TYPE_MUX)
    SendToMux(sch, sch->mux[dst.idx], dst.idx_stream, nullptr);
  else
    ThreadQueue::tq_send_finish(sch->dec[dst.idx].queue, 0);
  finished = 1;
  return ret;
}

// The stream-copy end flag closes a muxer destination in place of the packet.
int DemuxSendToDst(TScheduler* sch, TSchedulerNode dst, std::uint8_t& finished,
                   AVPacket* pkt, unsigned flags) {
  if (pkt && !finished && dst.type_ == SCH_NODE_TYPE_MUX && (flags & DEMUX_SEND_STREAMCOPY_EOF)) {
    AVCodecStubs::av_packet_unref(pkt);
    (void)PacketSendToDst(sch, dst, finished, nullptr);
    return AVERROR_EOF;
  }
  return PacketSendToDst(sch, dst, finished, pkt);
}

int DecSendToDst(TScheduler* sch, TSchedulerNode dst, std::uint8_t& finished, AVFrame* frame) {
  if (finished) return AVERROR_EOF;
  int ret = 0;
  if (frame) {
    ret = dst.type_ == SCH_NODE_TYPE_FILTER_IN
              ? SendToFilter(sch->filters[dst.idx], dst.idx_stream, frame)
              : SendToEnc(sch, sch->enc[dst.idx], frame);
    if (ret != AVERROR_EOF) return ret;
  }
  if (dst.type_ == SCH_NODE_TYPE_FILTER_IN)
    SendToFilter(sch->filters[dst.idx], dst.idx_stream, nullptr);
  else
    SendToEnc(sch, sch->enc[dst.idx], nullptr);
  finished = 1;
  return ret;
}

int FilterSendToDst(TScheduler* sch, TSchedulerNode dst, AVFrame* frame) {
  if (dst.type_ == SCH_NODE_TYPE_ENC) return SendToEnc(sch, sch->enc[dst.idx], frame);
  return SendToFilter(sch->filters[dst.idx], dst.idx_stream, frame);
}

// ---- End routines ---------------------------------------------------------------------------

int DemuxDone(TScheduler* sch, Cardinal idx) {
  TSchDemux& d = sch->demux[idx];
  int ret = 0;
  for (Cardinal i = 0; i < d.nb_streams; i++) {
    TSchDemuxStream& ds = d.streams[i];
    for (Cardinal j = 0; j < ds.nb_dst; j++) {
      const int err = DemuxSendToDst(sch, ds.dst[j], ds.dst_finished[j], nullptr, 0);
      if (err != AVERROR_EOF) ret = err_merge(ret, err);
    }
  }
  TMutexGuard guard(sch->schedule_lock);
  d.task_exited = 1;
  ScheduleUpdateLocked(sch);
  return ret;
}

int DecDone(TScheduler* sch, Cardinal idx) {
  TSchDec& dec = sch->dec[idx];
  int ret = 0;
  ThreadQueue::tq_receive_finish(dec.queue, 0);
  // a demuxer waiting in a flush for this decoder's end timestamp gives up
  if (dec.queue_end_ts)
    AVUtilStubs::av_thread_message_queue_set_err_recv(dec.queue_end_ts, AVERROR_EOF);
  for (Cardinal i = 0; i < dec.nb_outputs; i++) {
    TSchDecOutput& o = dec.outputs[i];
    for (Cardinal j = 0; j < o.nb_dst; j++) {
      const int err = DecSendToDst(sch, o.dst[j], o.dst_finished[j], nullptr);
      if (err < 0 && err != AVERROR_EOF) ret = err_merge(ret, err);
    }
  }
  return ret;
}

int FilterDone(TScheduler* sch, Cardinal idx) {
  TSchFilterGraph& fg = sch->filters[idx];
  int ret = 0;
  for (Cardinal i = 0; i < fg.nb_inputs; i++) ThreadQueue::tq_receive_finish(fg.queue, i);
  for (Cardinal i = 0; i < fg.nb_outputs; i++) {
    const int err = FilterSendToDst(sch, fg.outputs[i].dst, nullptr);
    if (err < 0 && err != AVERROR_EOF) ret = err_merge(ret, err);
  }
  TMutexGuard guard(sch->schedule_lock);
  fg.task_exited = 1;
  ScheduleUpdateLocked(sch);
  return ret;
}

int EncDone(TScheduler* sch, Cardinal idx) {
  TSchEnc& enc = sch->enc[idx];
  int ret = 0;
  ThreadQueue::tq_receive_finish(enc.queue, 0);
  for (Cardinal i = 0; i < enc.nb_dst; i++) {
    const int err = PacketSendToDst(sch, enc.dst[i], enc.dst_finished[i], nullptr);
    if (err < 0 && err != AVERROR_EOF) ret = err_merge(ret, err);
  }
  return ret;
}

// A synchronous run on the main thread waits for the end of the job on the main
// thread's queue, not on finish_cond (it must keep serving the calls handed to it):
// wake it, or it would only see the end at its next poll, up to 20 ms later. Called
// after finish_lock is released.
void NotifyFinishWaiter() { Platform::NotifyMainThread(); }

int MuxDone(TScheduler* sch, Cardinal idx) {
  TSchMux& mux = sch->mux[idx];
  {
    TMutexGuard guard(sch->schedule_lock);
    for (Cardinal i = 0; i < mux.nb_streams; i++) {
      ThreadQueue::tq_receive_finish(mux.queue, i);
      mux.streams[i].source_finished = 1;
    }
    ScheduleUpdateLocked(sch);
  }
  {
    TMutexGuard guard(sch->finish_lock);
    Platform::Check(sch->nb_mux_done < sch->nb_mux, CUnit, 3375);
    sch->nb_mux_done++;
    w32pthreads::pthread_cond_signal(sch->finish_cond);
  }
  NotifyFinishWaiter();
  return 0;
}

int TaskCleanup(TScheduler* sch, TSchedulerNode node) {
  switch (node.type_) {
    case SCH_NODE_TYPE_DEMUX: return DemuxDone(sch, node.idx);
    case SCH_NODE_TYPE_MUX: return MuxDone(sch, node.idx);
    case SCH_NODE_TYPE_DEC: return DecDone(sch, node.idx);
    case SCH_NODE_TYPE_ENC: return EncDone(sch, node.idx);
    case SCH_NODE_TYPE_FILTER_IN: return FilterDone(sch, node.idx);
    default: throw CmdUtils::FFmpegException("Never occur.");
  }
}

// ---- Task threads ---------------------------------------------------------------------------

// The kind of the handler mark (MyUtils::THandlerScope) that every worker thread holds
// for the scheduler's owner while it runs: whatever host code runs there (a hook, a log
// or stream handler) runs under the owner's job, which waits for it.
constexpr char CWorkerFrame[] = "handler on a worker thread of its job";

int TaskWrapper(void* arg) {
  TSchTask& task = *static_cast<TSchTask*>(arg);
  TScheduler* sch = task.parent;
  const MyUtils::THandlerScope worker(sch->owner, CWorkerFrame);

  int ret;
  try {
    ret = task.func(task.func_arg);
  } catch (const std::exception& e) {
    // An exception must not leave a worker thread: it would end the whole process.
    // The task fails instead, and its text reaches the log.
    av_log(task.func_arg, AV_LOG_ERROR, "%s\n", e.what());
    ret = AVERROR_BUG;
  }
  if (ret < 0)
    av_log(task.func_arg, AV_LOG_ERROR, "Task finished with error code: %d (%s)\n", ret,
           ErrorText(ret).c_str());

  ret = err_merge(ret, TaskCleanup(sch, task.node));
  // end of file is a normal end
  if (ret == AVERROR_EOF) ret = 0;

  if (ret < 0) {
    {
      TMutexGuard guard(sch->finish_lock);
      sch->task_failed = 1;
      w32pthreads::pthread_cond_signal(sch->finish_cond);
    }
    NotifyFinishWaiter();
  }

  if (ret < 0)
    av_log(task.func_arg, AV_LOG_ERROR, "Terminating thread with return code %d (%s)\n", ret,
           ErrorText(ret).c_str());
  else
    av_log(task.func_arg, AV_LOG_VERBOSE, "Terminating thread with return code %d (%s)\n", ret,
           "success");
  return ret;
}

int TaskStart(TSchTask& task) {
  Platform::Check(!task.thread_running, CUnit, 1052);
  av_log(task.func_arg, AV_LOG_VERBOSE, "Starting thread...\n");
  int ret = w32pthreads::pthread_create(task.thread, nullptr, TaskWrapper, &task);
  if (ret) {
    if (ret > 0) ret = -ret;
    av_log(task.func_arg, AV_LOG_ERROR, "pthread_create() failed: %s\n", ErrorText(ret).c_str());
    return ret;
  }
  task.thread_running = 1;
  return 0;
}

int TaskStop(TScheduler* sch, TSchTask& task) {
  if (!task.thread_running) return TaskCleanup(sch, task.node);
  void* thread_ret = nullptr;
  Platform::Check(w32pthreads::pthread_join(task.thread, thread_ret) == 0, CUnit, 3913);
  task.thread_running = 0;
  return static_cast<int>(reinterpret_cast<std::intptr_t>(thread_ret));
}

// ---- Muxer start ----------------------------------------------------------------------------

// Starts the muxer's thread and moves what waited in its pre-mux queues into its packet
// queue in decoding-timestamp order. With mux_ready_lock held.
int MuxTaskStart(TSchMux& mux) {
  int ret = TaskStart(mux.task);
  if (ret < 0) return ret;

  for (;;) {
    int min_stream = -1;
    const AVPacket* min_pkt = nullptr;
    for (Cardinal i = 0; i < mux.nb_streams; i++) {
      AVPacket* pkt = nullptr;
      if (AVUtilStubs::av_fifo_peek(mux.streams[i].pre_mux_queue.fifo, &pkt, 1, 0) < 0) continue;
      // ends and packets without timestamps go first
      if (!pkt || pkt->dts == AV_NOPTS_VALUE) {
        min_stream = static_cast<int>(i);
        break;
      }
      if (min_stream < 0 || AVUtilStubs::av_compare_ts(pkt->dts, pkt->time_base, min_pkt->dts,
                                                       min_pkt->time_base) < 0) {
        min_stream = static_cast<int>(i);
        min_pkt = pkt;
      }
    }
    if (min_stream < 0) break;

    TSchMuxStream& ms = mux.streams[min_stream];
    AVPacket* pkt = nullptr;
    Platform::Check(AVUtilStubs::av_fifo_read(ms.pre_mux_queue.fifo, &pkt, 1) >= 0, CUnit, 1959);
    if (pkt) {
      ms.pre_mux_queue.data_size -= static_cast<std::size_t>(pkt->size);
      ret = ms.init_eof ? 0 : ThreadQueue::tq_send(mux.queue, static_cast<Cardinal>(min_stream), pkt);
      AVCodecStubs::av_packet_free(&pkt);
      if (ret == AVERROR_EOF)
        ms.init_eof = 1;
      else if (ret < 0)
        return ret;
    } else {
      ThreadQueue::tq_send_finish(mux.queue, static_cast<Cardinal>(min_stream));
    }
  }

  atomic_store(mux.mux_started, 1);
  return 0;
}

// Runs once per muxer, when the scheduler has started and all of the muxer's streams are
// ready. With mux_ready_lock held.
int MuxInit(TScheduler* sch, TSchMux& mux) {
  int ret = mux.init ? mux.init(mux.task.func_arg) : 0;
  if (ret < 0) return ret;

  sch->nb_mux_ready++;

  if (!sch->sdp_filename && !sch->sdp_auto) return MuxTaskStart(mux);

  // the SDP describes every output: no muxer writes before all are initialised
  if (sch->nb_mux_ready < sch->nb_mux) return 0;

  ret = sch->print_sdp ? sch->print_sdp(sch->owner, sch->sdp_filename) : AVERROR(ENOSYS);
  if (ret < 0) {
    av_log(sch, AV_LOG_ERROR, "Error writing the SDP.\n");
    return ret;
  }

  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    ret = MuxTaskStart(sch->mux[i]);
    if (ret < 0) return ret;
  }
  return 0;
}

// ---- Start preparation ----------------------------------------------------------------------

enum TCycleMark : std::uint8_t { CYCLE_NODE_NEW = 0, CYCLE_NODE_STARTED = 1, CYCLE_NODE_DONE = 2 };

// Depth-first walk upstream from one filter graph through the graphs that feed it: 0, or
// AVERROR(EINVAL) when it comes back to a graph whose walk is under way.
int CheckAcyclicForOutput(TScheduler* sch, TSchedulerNode src, std::uint8_t* visited,
                          TSchedulerNode* stack) {
  Cardinal nb_stack = 0;
  std::fill(visited, visited + sch->nb_filters, CYCLE_NODE_NEW);

  for (;;) {
    TSchFilterGraph& fg = sch->filters[src.idx];
    visited[src.idx] = CYCLE_NODE_STARTED;

    if (src.idx_stream < fg.nb_inputs) {
      const TSchFilterIn& fi = fg.inputs[src.idx_stream++];
      if (fi.src_sched.type_ == SCH_NODE_TYPE_DEMUX) continue;
      Platform::Check(fi.src_sched.type_ == SCH_NODE_TYPE_FILTER_OUT, CUnit, 2365);
      if (visited[fi.src_sched.idx] == CYCLE_NODE_STARTED) return AVERROR(EINVAL);
      Platform::Check(nb_stack < sch->nb_filters, CUnit, 2375);
      stack[nb_stack++] = src;
      src = SCH_FILTER_IN(fi.src_sched.idx, 0);
      continue;
    }

    visited[src.idx] = CYCLE_NODE_DONE;
    if (nb_stack) {
      src = stack[--nb_stack];
      continue;
    }
    return 0;
  }
}

int CheckAcyclic(TScheduler* sch) {
  if (!sch->nb_filters) return 0;
  int ret = 0;
  auto* visited = static_cast<std::uint8_t*>(AVUtilStubs::av_calloc(sch->nb_filters, 1));
  auto* stack = static_cast<TSchedulerNode*>(
      AVUtilStubs::av_calloc(sch->nb_filters, sizeof(TSchedulerNode)));
  if (!visited || !stack) {
    ret = AVERROR(ENOMEM);
  } else {
    for (Cardinal i = 0; i < sch->nb_filters; i++) {
      ret = CheckAcyclicForOutput(sch, SCH_FILTER_IN(i, 0), visited, stack);
      if (ret < 0) {
        av_log(&sch->filters[i], AV_LOG_ERROR, "Transcoding graph has a cycle\n");
        break;
      }
    }
  }
  AVUtilStubs::av_freep(&visited);
  AVUtilStubs::av_freep(&stack);
  return ret;
}

int StartPrepare(TScheduler* sch) {
  int ret;

  for (Cardinal i = 0; i < sch->nb_demux; i++) {
    TSchDemux& d = sch->demux[i];
    for (Cardinal j = 0; j < d.nb_streams; j++) {
      TSchDemuxStream& ds = d.streams[j];
      if (!ds.nb_dst) {
        av_log(&d, AV_LOG_ERROR, "Demuxer stream %u not connected to any sink\n", j);
        return AVERROR(EINVAL);
      }
      ret = AllocFinished(ds.dst_finished, ds.nb_dst);
      if (ret < 0) return ret;
    }
  }

  for (Cardinal i = 0; i < sch->nb_dec; i++) {
    TSchDec& dec = sch->dec[i];
    if (dec.src.type_ == SCH_NODE_TYPE_NONE) {
      av_log(&dec, AV_LOG_ERROR, "Decoder not connected to a source\n");
      return AVERROR(EINVAL);
    }
    for (Cardinal j = 0; j < dec.nb_outputs; j++) {
      TSchDecOutput& o = dec.outputs[j];
      if (!o.nb_dst) {
        av_log(&dec, AV_LOG_ERROR, "Decoder output %u not connected to any sink\n", j);
        return AVERROR(EINVAL);
      }
      ret = AllocFinished(o.dst_finished, o.nb_dst);
      if (ret < 0) return ret;
    }
  }

  for (Cardinal i = 0; i < sch->nb_enc; i++) {
    TSchEnc& enc = sch->enc[i];
    if (enc.src.type_ == SCH_NODE_TYPE_NONE) {
      av_log(&enc, AV_LOG_ERROR, "Encoder not connected to a source\n");
      return AVERROR(EINVAL);
    }
    if (!enc.nb_dst) {
      av_log(&enc, AV_LOG_ERROR, "Encoder not connected to any sink\n");
      return AVERROR(EINVAL);
    }
    ret = AllocFinished(enc.dst_finished, enc.nb_dst);
    if (ret < 0) return ret;
  }

  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    TSchMux& mux = sch->mux[i];
    for (Cardinal j = 0; j < mux.nb_streams; j++) {
      TSchMuxStream& ms = mux.streams[j];
      switch (ms.src.type_) {
        case SCH_NODE_TYPE_DEMUX:  // stream copy
          ms.src_sched = ms.src;
          break;
        case SCH_NODE_TYPE_ENC: {
          const TSchEnc& enc = sch->enc[ms.src.idx];
          if (enc.src.type_ == SCH_NODE_TYPE_DEC) {
            // an encoder fed straight by a decoder (subtitles): the demuxer behind it
            ms.src_sched = sch->dec[enc.src.idx].src;
            Platform::Check(ms.src_sched.type_ == SCH_NODE_TYPE_DEMUX, CUnit, 2568);
          } else {
            ms.src_sched = enc.src;
            Platform::Check(ms.src_sched.type_ == SCH_NODE_TYPE_FILTER_OUT, CUnit, 2573);
          }
          break;
        }
        default:
          av_log(&mux, AV_LOG_ERROR, "Muxer stream #%u not connected to a source\n", j);
          return AVERROR(EINVAL);
      }
    }
    ThreadQueue::tq_free(mux.queue);
    // A format that takes no streams (ffmetadata) gives a muxer without streams: it has
    // nothing to receive and gets no queue (a queue has at least one stream).
    if (!mux.nb_streams) continue;
    ret = QueueAlloc(mux.queue, mux.nb_streams, mux.queue_size, ThreadQueue::THREAD_QUEUE_PACKETS);
    if (ret < 0) return ret;
  }

  for (Cardinal i = 0; i < sch->nb_filters; i++) {
    TSchFilterGraph& fg = sch->filters[i];
    for (Cardinal j = 0; j < fg.nb_inputs; j++) {
      TSchFilterIn& fi = fg.inputs[j];
      if (fi.src.type_ == SCH_NODE_TYPE_NONE) {
        av_log(&fg, AV_LOG_ERROR, "Filtergraph input %u not connected to a source\n", j);
        return AVERROR(EINVAL);
      }
      if (fi.src.type_ == SCH_NODE_TYPE_FILTER_OUT) {
        fi.src_sched = fi.src;
      } else {
        Platform::Check(fi.src.type_ == SCH_NODE_TYPE_DEC, CUnit, 2615);
        const TSchDec& dec = sch->dec[fi.src.idx];
        switch (dec.src.type_) {
          case SCH_NODE_TYPE_DEMUX: fi.src_sched = dec.src; break;
          case SCH_NODE_TYPE_ENC: fi.src_sched = sch->enc[dec.src.idx].src; break;
          default: throw CmdUtils::FFmpegException("Never occur.");
        }
      }
    }
    for (Cardinal j = 0; j < fg.nb_outputs; j++) {
      if (fg.outputs[j].dst.type_ == SCH_NODE_TYPE_NONE) {
        av_log(&fg, AV_LOG_ERROR, "Filtergraph %u output %u not connected to a sink\n", i, j);
        return AVERROR(EINVAL);
      }
    }
  }

  return CheckAcyclic(sch);
}

}  // namespace

// ---- Graph ----------------------------------------------------------------------------------

TScheduler* sch_alloc(FFmpegHeader::TBaseFFmpeg* owner, TSchSdpWriter print_sdp) {
  auto* sch = static_cast<TScheduler*>(AVUtilStubs::av_mallocz(sizeof(TScheduler)));
  if (!sch) return nullptr;
  sch->class_ = &CSchedulerClass;
  sch->sdp_auto = 1;
  sch->state = SCH_STATE_UNINIT;
  sch->last_dts = AV_NOPTS_VALUE;
  sch->owner = owner;
  sch->print_sdp = print_sdp;
  w32pthreads::pthread_mutex_init(sch->mux_ready_lock, nullptr);
  w32pthreads::pthread_mutex_init(sch->finish_lock, nullptr);
  w32pthreads::pthread_cond_init(sch->finish_cond, nullptr);
  w32pthreads::pthread_mutex_init(sch->schedule_lock, nullptr);
  w32pthreads::pthread_mutex_init(sch->pause_lock, nullptr);
  w32pthreads::pthread_cond_init(sch->pause_cond, nullptr);
  return sch;
}

void sch_free(TScheduler*& sch) {
  using AVUtilStubs::av_freep;
  if (!sch) return;

  sch_stop(sch, nullptr);

  for (Cardinal i = 0; i < sch->nb_demux; i++) {
    TSchDemux& d = sch->demux[i];
    for (Cardinal j = 0; j < d.nb_streams; j++) {
      av_freep(&d.streams[j].dst);
      av_freep(&d.streams[j].dst_finished);
    }
    av_freep(&d.streams);
    AVCodecStubs::av_packet_free(&d.send_pkt);
    WaiterUninit(d.waiter);
  }
  av_freep(&sch->demux);

  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    TSchMux& mux = sch->mux[i];
    for (Cardinal j = 0; j < mux.nb_streams; j++) {
      PreMuxQueueFree(mux.streams[j].pre_mux_queue);
      av_freep(&mux.streams[j].sub_heartbeat_dst);
    }
    av_freep(&mux.streams);
    AVCodecStubs::av_packet_free(&mux.sub_heartbeat_pkt);
    ThreadQueue::tq_free(mux.queue);
  }
  av_freep(&sch->mux);

  for (Cardinal i = 0; i < sch->nb_dec; i++) {
    TSchDec& dec = sch->dec[i];
    ThreadQueue::tq_free(dec.queue);
    AVUtilStubs::av_thread_message_queue_free(&dec.queue_end_ts);
    for (Cardinal j = 0; j < dec.nb_outputs; j++) {
      av_freep(&dec.outputs[j].dst);
      av_freep(&dec.outputs[j].dst_finished);
    }
    av_freep(&dec.outputs);
    AVUtilStubs::av_frame_free(&dec.send_frame);
  }
  av_freep(&sch->dec);

  for (Cardinal i = 0; i < sch->nb_enc; i++) {
    TSchEnc& enc = sch->enc[i];
    ThreadQueue::tq_free(enc.queue);
    AVCodecStubs::av_packet_free(&enc.send_pkt);
    av_freep(&enc.dst);
    av_freep(&enc.dst_finished);
  }
  av_freep(&sch->enc);

  for (Cardinal i = 0; i < sch->nb_sq_enc; i++) {
    TSchSyncQueue& sq = sch->sq_enc[i];
    SyncQueue::sq_free(sq.sq);
    AVUtilStubs::av_frame_free(&sq.frame);
    av_freep(&sq.enc_idx);
    w32pthreads::pthread_mutex_destroy(sq.lock);
  }
  av_freep(&sch->sq_enc);

  for (Cardinal i = 0; i < sch->nb_filters; i++) {
    TSchFilterGraph& fg = sch->filters[i];
    ThreadQueue::tq_free(fg.queue);
    av_freep(&fg.inputs);
    av_freep(&fg.outputs);
    WaiterUninit(fg.waiter);
  }
  av_freep(&sch->filters);

  av_freep(&sch->sdp_filename);

  w32pthreads::pthread_cond_destroy(sch->pause_cond);
  w32pthreads::pthread_mutex_destroy(sch->pause_lock);
  w32pthreads::pthread_mutex_destroy(sch->schedule_lock);
  w32pthreads::pthread_cond_destroy(sch->finish_cond);
  w32pthreads::pthread_mutex_destroy(sch->finish_lock);
  w32pthreads::pthread_mutex_destroy(sch->mux_ready_lock);

  av_freep(&sch);
}

int sch_sdp_filename(TScheduler* sch, const char* sdp_filename) {
  char* name = AVUtilStubs::av_strdup(sdp_filename);
  if (!name) return AVERROR(ENOMEM);
  AVUtilStubs::av_freep(&sch->sdp_filename);
  sch->sdp_filename = name;
  return 0;
}

int sch_add_demux(TScheduler* sch, TSchThreadFunc func, void* ctx) {
  int ret = GrowByOne(sch->demux, sch->nb_demux);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_demux - 1;
  TSchDemux& d = sch->demux[idx];
  d.class_ = &CSchDemuxClass;
  TaskInit(sch, d.task, SCH_NODE_TYPE_DEMUX, idx, func, ctx);
  WaiterInit(d.waiter);
  d.send_pkt = AVCodecStubs::av_packet_alloc();
  if (!d.send_pkt) return AVERROR(ENOMEM);
  return static_cast<int>(idx);
}

int sch_add_demux_stream(TScheduler* sch, Cardinal demux_idx) {
  Platform::Check(demux_idx < sch->nb_demux, CUnit, 1477);
  TSchDemux& d = sch->demux[demux_idx];
  const int ret = GrowByOne(d.streams, d.nb_streams);
  if (ret < 0) return ret;
  return static_cast<int>(d.nb_streams - 1);
}

int sch_add_dec(TScheduler* sch, TSchThreadFunc func, void* ctx, int send_end_ts) {
  int ret = GrowByOne(sch->dec, sch->nb_dec);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_dec - 1;
  TSchDec& dec = sch->dec[idx];
  dec.class_ = &CSchDecClass;
  TaskInit(sch, dec.task, SCH_NODE_TYPE_DEC, idx, func, ctx);

  dec.send_frame = AVUtilStubs::av_frame_alloc();
  if (!dec.send_frame) return AVERROR(ENOMEM);

  ret = sch_add_dec_output(sch, idx);
  if (ret < 0) return ret;

  ret = QueueAlloc(dec.queue, 1, 0, ThreadQueue::THREAD_QUEUE_PACKETS);
  if (ret < 0) return ret;

  if (send_end_ts) {
    ret = AVUtilStubs::av_thread_message_queue_alloc(&dec.queue_end_ts, 1, sizeof(TTimestamp));
    if (ret < 0) return ret;
  }
  return static_cast<int>(idx);
}

void sch_remove_dec(TScheduler* sch, Cardinal dec_idx) {
  Platform::Check(sch->nb_dec > 0 && dec_idx == sch->nb_dec - 1, CUnit, 1490);
  TSchDec& dec = sch->dec[dec_idx];
  Platform::Check(!dec.src.type_, CUnit, 1491);  // still unconnected
  ThreadQueue::tq_free(dec.queue);
  AVUtilStubs::av_thread_message_queue_free(&dec.queue_end_ts);
  for (Cardinal j = 0; j < dec.nb_outputs; j++) {
    AVUtilStubs::av_freep(&dec.outputs[j].dst);
    AVUtilStubs::av_freep(&dec.outputs[j].dst_finished);
  }
  AVUtilStubs::av_freep(&dec.outputs);
  AVUtilStubs::av_frame_free(&dec.send_frame);
  dec = TSchDec{};
  sch->nb_dec--;
}

int sch_add_dec_output(TScheduler* sch, Cardinal dec_idx) {
  Platform::Check(dec_idx < sch->nb_dec, CUnit, 1492);
  TSchDec& dec = sch->dec[dec_idx];
  const int ret = GrowByOne(dec.outputs, dec.nb_outputs);
  if (ret < 0) return ret;
  return static_cast<int>(dec.nb_outputs - 1);
}

int sch_add_enc(TScheduler* sch, TSchThreadFunc func, void* ctx, TSchOpenCallback open_cb) {
  int ret = GrowByOne(sch->enc, sch->nb_enc);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_enc - 1;
  TSchEnc& enc = sch->enc[idx];
  enc.class_ = &CSchEncClass;
  TaskInit(sch, enc.task, SCH_NODE_TYPE_ENC, idx, func, ctx);
  enc.open_cb = open_cb;
  enc.sq_idx[0] = -1;
  enc.sq_idx[1] = -1;

  enc.send_pkt = AVCodecStubs::av_packet_alloc();
  if (!enc.send_pkt) return AVERROR(ENOMEM);

  ret = QueueAlloc(enc.queue, 1, 0, ThreadQueue::THREAD_QUEUE_FRAMES);
  if (ret < 0) return ret;
  return static_cast<int>(idx);
}

int sch_add_filtergraph(TScheduler* sch, Cardinal nb_inputs, Cardinal nb_outputs,
                        TSchThreadFunc func, void* ctx) {
  int ret = GrowByOne(sch->filters, sch->nb_filters);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_filters - 1;
  TSchFilterGraph& fg = sch->filters[idx];
  fg.class_ = &CSchFilterGraphClass;
  TaskInit(sch, fg.task, SCH_NODE_TYPE_FILTER_IN, idx, func, ctx);
  WaiterInit(fg.waiter);

  if (nb_inputs) {
    fg.inputs = static_cast<TSchFilterIn*>(AVUtilStubs::av_calloc(nb_inputs, sizeof(TSchFilterIn)));
    if (!fg.inputs) return AVERROR(ENOMEM);
    fg.nb_inputs = nb_inputs;
  }
  if (nb_outputs) {
    fg.outputs =
        static_cast<TSchFilterOut*>(AVUtilStubs::av_calloc(nb_outputs, sizeof(TSchFilterOut)));
    if (!fg.outputs) return AVERROR(ENOMEM);
    fg.nb_outputs = nb_outputs;
  }

  ret = QueueAlloc(fg.queue, nb_inputs + 1, 0, ThreadQueue::THREAD_QUEUE_FRAMES);
  if (ret < 0) return ret;
  return static_cast<int>(idx);
}

int sch_add_mux(TScheduler* sch, TSchThreadFunc func, TSchMuxInit init, void* ctx,
                int sdp_auto, Cardinal thread_queue_size) {
  const int ret = GrowByOne(sch->mux, sch->nb_mux);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_mux - 1;
  TSchMux& mux = sch->mux[idx];
  mux.class_ = &CSchMuxClass;
  TaskInit(sch, mux.task, SCH_NODE_TYPE_MUX, idx, func, ctx);
  mux.init = init;
  mux.queue_size = static_cast<std::int32_t>(std::min<Cardinal>(thread_queue_size, INT_MAX));
  sch->sdp_auto &= sdp_auto ? 1 : 0;
  return static_cast<int>(idx);
}

int sch_add_mux_stream(TScheduler* sch, Cardinal mux_idx) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 1403);
  TSchMux& mux = sch->mux[mux_idx];
  const int ret = GrowByOne(mux.streams, mux.nb_streams);
  if (ret < 0) return ret;
  TSchMuxStream& ms = mux.streams[mux.nb_streams - 1];
  ms.last_dts = AV_NOPTS_VALUE;
  ms.pre_mux_queue.fifo = AVUtilStubs::av_fifo_alloc2(8, sizeof(AVPacket*), 0);
  if (!ms.pre_mux_queue.fifo) return AVERROR(ENOMEM);
  return static_cast<int>(mux.nb_streams - 1);
}

int sch_add_sq_enc(TScheduler* sch, std::int64_t buf_size_us, void* logctx) {
  int ret = GrowByOne(sch->sq_enc, sch->nb_sq_enc);
  if (ret < 0) return ret;
  const Cardinal idx = sch->nb_sq_enc - 1;
  TSchSyncQueue& sq = sch->sq_enc[idx];
  w32pthreads::pthread_mutex_init(sq.lock, nullptr);
  sq.sq = SyncQueue::sq_alloc(SyncQueue::SYNC_QUEUE_FRAMES, buf_size_us, logctx);
  if (!sq.sq) return AVERROR(ENOMEM);
  sq.frame = AVUtilStubs::av_frame_alloc();
  if (!sq.frame) return AVERROR(ENOMEM);
  return static_cast<int>(idx);
}

int sch_sq_add_enc(TScheduler* sch, Cardinal sq_idx, Cardinal enc_idx, int limiting,
                   std::int64_t max_frames) {
  Platform::Check(sq_idx < sch->nb_sq_enc, CUnit, 1725);
  TSchSyncQueue& sq = sch->sq_enc[sq_idx];
  Platform::Check(enc_idx < sch->nb_enc, CUnit, 1728);
  TSchEnc& enc = sch->enc[enc_idx];

  const int stream = SyncQueue::sq_add_stream(sq.sq, limiting);
  if (stream < 0) return stream;

  const int ret = GrowByOne(sq.enc_idx, sq.nb_enc_idx);
  if (ret < 0) return ret;
  sq.enc_idx[sq.nb_enc_idx - 1] = enc_idx;

  enc.sq_idx[0] = static_cast<std::int32_t>(sq_idx);
  enc.sq_idx[1] = stream;

  if (max_frames != INT64_MAX)
    SyncQueue::sq_limit_frames(sq.sq, static_cast<Cardinal>(stream), max_frames);
  return 0;
}

namespace {

// The source slot of dst (the src field of the decoder, encoder, filter-graph input or
// muxer stream), after asserting that dst exists (line ALineIdx) and has no source yet
// (line ALineFree).
TSchedulerNode& FreeSourceOf(TScheduler* sch, TSchedulerNode dst, int ALineIdx, int ALineFree) {
  using Platform::Check;
  TSchedulerNode* slot = nullptr;
  switch (dst.type_) {
    case SCH_NODE_TYPE_DEC:
      Check(dst.idx < sch->nb_dec, CUnit, ALineIdx);
      slot = &sch->dec[dst.idx].src;
      break;
    case SCH_NODE_TYPE_ENC:
      Check(dst.idx < sch->nb_enc, CUnit, ALineIdx);
      slot = &sch->enc[dst.idx].src;
      break;
    case SCH_NODE_TYPE_FILTER_IN:
      Check(dst.idx < sch->nb_filters && dst.idx_stream < sch->filters[dst.idx].nb_inputs, CUnit,
            ALineIdx);
      slot = &sch->filters[dst.idx].inputs[dst.idx_stream].src;
      break;
    case SCH_NODE_TYPE_MUX:
      Check(dst.idx < sch->nb_mux && dst.idx_stream < sch->mux[dst.idx].nb_streams, CUnit,
            ALineIdx);
      slot = &sch->mux[dst.idx].streams[dst.idx_stream].src;
      break;
    default:
      throw CmdUtils::FFmpegException("Never occur.");
  }
  Check(slot->type_ == SCH_NODE_TYPE_NONE, CUnit, ALineFree);
  return *slot;
}

// One fan-out edge: dst joins the source's destinations, and src becomes dst's source.
int LinkFanOut(TSchedulerNode*& dsts, Cardinal& nb_dst, TSchedulerNode& dst_source,
               TSchedulerNode src, TSchedulerNode dst) {
  const int ret = AppendNode(dsts, nb_dst, dst);
  if (ret < 0) return ret;
  dst_source = src;
  return 0;
}

}  // namespace

int sch_connect(TScheduler* sch, TSchedulerNode src, TSchedulerNode dst) {
  using Platform::Check;

  switch (src.type_) {
    case SCH_NODE_TYPE_DEMUX: {
      Check(src.idx < sch->nb_demux && src.idx_stream < sch->demux[src.idx].nb_streams, CUnit, 1769);
      TSchDemuxStream& ds = sch->demux[src.idx].streams[src.idx_stream];
      if (dst.type_ == SCH_NODE_TYPE_DEC)
        return LinkFanOut(ds.dst, ds.nb_dst, FreeSourceOf(sch, dst, 1784, 1787), src, dst);
      if (dst.type_ == SCH_NODE_TYPE_MUX)
        return LinkFanOut(ds.dst, ds.nb_dst, FreeSourceOf(sch, dst, 1792, 1795), src, dst);
      break;
    }
    case SCH_NODE_TYPE_DEC: {
      Check(src.idx < sch->nb_dec, CUnit, 1803);
      TSchDec& dec = sch->dec[src.idx];
      Check(src.idx_stream < dec.nb_outputs, CUnit, 1806);
      TSchDecOutput& o = dec.outputs[src.idx_stream];
      if (dst.type_ == SCH_NODE_TYPE_FILTER_IN)
        return LinkFanOut(o.dst, o.nb_dst, FreeSourceOf(sch, dst, 1821, 1824), src, dst);
      if (dst.type_ == SCH_NODE_TYPE_ENC)
        return LinkFanOut(o.dst, o.nb_dst, FreeSourceOf(sch, dst, 1829, 1832), src, dst);
      break;
    }
    case SCH_NODE_TYPE_FILTER_OUT: {
      Check(src.idx < sch->nb_filters && src.idx_stream < sch->filters[src.idx].nb_outputs, CUnit, 1840);
      TSchFilterOut& fo = sch->filters[src.idx].outputs[src.idx_stream];
      Check(fo.dst.type_ == SCH_NODE_TYPE_NONE, CUnit, 1844);
      // a filter-graph output feeds exactly one destination
      if (dst.type_ == SCH_NODE_TYPE_ENC || dst.type_ == SCH_NODE_TYPE_FILTER_IN) {
        TSchedulerNode& dst_source = dst.type_ == SCH_NODE_TYPE_ENC
                                         ? FreeSourceOf(sch, dst, 1850, 1853)
                                         : FreeSourceOf(sch, dst, 1859, 1862);
        fo.dst = dst;
        dst_source = src;
        return 0;
      }
      break;
    }
    case SCH_NODE_TYPE_ENC: {
      Check(src.idx < sch->nb_enc, CUnit, 1870);
      TSchEnc& enc = sch->enc[src.idx];
      if (dst.type_ == SCH_NODE_TYPE_MUX)
        return LinkFanOut(enc.dst, enc.nb_dst, FreeSourceOf(sch, dst, 1885, 1888), src, dst);
      // loop-back decoding of the encoder's output
      if (dst.type_ == SCH_NODE_TYPE_DEC)
        return LinkFanOut(enc.dst, enc.nb_dst, FreeSourceOf(sch, dst, 1893, 1896), src, dst);
      break;
    }
    default:
      break;
  }
  throw CmdUtils::FFmpegException("Never occur.");
}

void sch_mux_stream_buffering(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              std::size_t data_threshold, int max_packets) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 2049);
  TSchMux& mux = sch->mux[mux_idx];
  Platform::Check(stream_idx < mux.nb_streams, CUnit, 2052);
  TPreMuxQueue& q = mux.streams[stream_idx].pre_mux_queue;
  q.data_threshold = data_threshold;
  q.max_packets = max_packets;
}

int sch_mux_stream_ready(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 2066);
  TSchMux& mux = sch->mux[mux_idx];
  Platform::Check(stream_idx < mux.nb_streams, CUnit, 2069);

  TMutexGuard guard(sch->mux_ready_lock);
  Platform::Check(mux.nb_streams_ready < mux.nb_streams, CUnit, 2073);
  // the muxer starts when it is complete and the scheduler runs, whichever comes last
  if (++mux.nb_streams_ready == mux.nb_streams && LoadState(sch) == SCH_STATE_STARTED)
    return MuxInit(sch, mux);
  return 0;
}

int sch_mux_sub_heartbeat_add(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                              Cardinal dec_idx) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 2093);
  TSchMux& mux = sch->mux[mux_idx];
  Platform::Check(stream_idx < mux.nb_streams, CUnit, 2096);
  TSchMuxStream& ms = mux.streams[stream_idx];

  const int ret = GrowByOne(ms.sub_heartbeat_dst, ms.nb_sub_heartbeat_dst);
  if (ret < 0) return ret;
  Platform::Check(dec_idx < sch->nb_dec, CUnit, 2106);
  ms.sub_heartbeat_dst[ms.nb_sub_heartbeat_dst - 1] = dec_idx;

  if (!mux.sub_heartbeat_pkt) {
    mux.sub_heartbeat_pkt = AVCodecStubs::av_packet_alloc();
    if (!mux.sub_heartbeat_pkt) return AVERROR(ENOMEM);
  }
  return 0;
}

int sch_start(TScheduler* sch) {
  int ret = StartPrepare(sch);
  if (ret < 0) return ret;

  Platform::Check(LoadState(sch) == SCH_STATE_UNINIT, CUnit, 2668);
  StoreState(sch, SCH_STATE_STARTED);

  for (Cardinal i = 0; i < sch->nb_mux; i++) {
    TSchMux& mux = sch->mux[i];
    TMutexGuard guard(sch->mux_ready_lock);
    if (mux.nb_streams_ready == mux.nb_streams) {
      ret = MuxInit(sch, mux);
      if (ret < 0) break;
    }
  }
  if (ret < 0) goto fail;

  for (Cardinal i = 0; i < sch->nb_enc; i++) {
    ret = TaskStart(sch->enc[i].task);
    if (ret < 0) goto fail;
  }
  for (Cardinal i = 0; i < sch->nb_filters; i++) {
    ret = TaskStart(sch->filters[i].task);
    if (ret < 0) goto fail;
  }
  for (Cardinal i = 0; i < sch->nb_dec; i++) {
    ret = TaskStart(sch->dec[i].task);
    if (ret < 0) goto fail;
  }
  for (Cardinal i = 0; i < sch->nb_demux; i++) {
    // an input none of whose streams is used is not read
    if (!sch->demux[i].nb_streams) continue;
    ret = TaskStart(sch->demux[i].task);
    if (ret < 0) goto fail;
  }

  ScheduleUpdate(sch);
  return 0;

fail:
  sch_stop(sch, nullptr);
  return ret;
}

// ---- Data flow ------------------------------------------------------------------------------

namespace {

// A flush request (after a seek): every open decoder of the demuxer gets it, and the
// packet receives the latest end timestamp that the decoders report back.
int DemuxFlush(TScheduler* sch, TSchDemux& d, AVPacket* pkt) {
  Platform::Check(!pkt->buf && !pkt->data && !pkt->side_data_elems, CUnit, 3190);

  for (Cardinal i = 0; i < d.nb_streams; i++) {
    TSchDemuxStream& ds = d.streams[i];
    for (Cardinal j = 0; j < ds.nb_dst; j++) {
      const TSchedulerNode dst = ds.dst[j];
      if (dst.type_ != SCH_NODE_TYPE_DEC || ds.dst_finished[j]) continue;
      ThreadQueue::tq_send(sch->dec[dst.idx].queue, 0, pkt);
    }
  }

  TTimestamp max_end_ts{AV_NOPTS_VALUE, AVRational{0, 1}};
  for (Cardinal i = 0; i < d.nb_streams; i++) {
    TSchDemuxStream& ds = d.streams[i];
    for (Cardinal j = 0; j < ds.nb_dst; j++) {
      const TSchedulerNode dst = ds.dst[j];
      if (dst.type_ != SCH_NODE_TYPE_DEC || ds.dst_finished[j]) continue;
      TSchDec& dec = sch->dec[dst.idx];
      if (!dec.queue_end_ts) continue;
      TTimestamp ts{};
      const int ret = AVUtilStubs::av_thread_message_queue_recv(dec.queue_end_ts, &ts, 0);
      if (ret < 0) return ret;
      if (ts.ts == AV_NOPTS_VALUE) continue;
      if (max_end_ts.ts == AV_NOPTS_VALUE ||
          AVUtilStubs::av_compare_ts(max_end_ts.ts, max_end_ts.tb, ts.ts, ts.tb) < 0)
        max_end_ts = ts;
    }
  }

  pkt->pts = max_end_ts.ts;
  pkt->time_base = max_end_ts.tb;
  return 0;
}

}  // namespace

int sch_demux_send(TScheduler* sch, Cardinal demux_idx, AVPacket* pkt, unsigned flags) {
  Platform::Check(demux_idx < sch->nb_demux, CUnit, 3241);
  TSchDemux& d = sch->demux[demux_idx];

  if (WaiterWait(sch, d.waiter)) return AVERROR_EXIT;

  if (pkt->stream_index == -1) return DemuxFlush(sch, d, pkt);

  Platform::Check(pkt->stream_index >= 0 && static_cast<Cardinal>(pkt->stream_index) < d.nb_streams,
                  CUnit, 3258);
  TSchDemuxStream& ds = d.streams[pkt->stream_index];

  Cardinal nb_done = 0;
  for (Cardinal i = 0; i < ds.nb_dst; i++) {
    if (ds.dst_finished[i]) {
      nb_done++;
      continue;
    }
    AVPacket* to_send = pkt;
    // every destination but the last gets a reference of its own
    if (i < ds.nb_dst - 1) {
      to_send = d.send_pkt;
      const int ret = AVCodecStubs::av_packet_ref(to_send, pkt);
      if (ret < 0) return ret;
    }
    const int ret = DemuxSendToDst(sch, ds.dst[i], ds.dst_finished[i], to_send, flags);
    AVCodecStubs::av_packet_unref(to_send);
    if (ret == AVERROR_EOF)
      nb_done++;
    else if (ret < 0)
      return ret;
  }
  return nb_done == ds.nb_dst ? AVERROR_EOF : 0;
}

int sch_dec_receive(TScheduler* sch, Cardinal dec_idx, AVPacket* pkt) {
  Platform::Check(dec_idx < sch->nb_dec, CUnit, 3391);
  TSchDec& dec = sch->dec[dec_idx];

  // the decoder hands back the end timestamp of what it decoded before the flush
  if (dec.expect_end_ts) {
    TTimestamp ts{pkt->pts, pkt->time_base};
    const int ret = AVUtilStubs::av_thread_message_queue_send(dec.queue_end_ts, &ts, 0);
    if (ret < 0) return ret;
    dec.expect_end_ts = 0;
  }

  int stream_idx = -1;
  const int ret = ThreadQueue::tq_receive(dec.queue, stream_idx, pkt);
  Platform::Check(stream_idx < 1, CUnit, 3410);
  if (ret < 0) return ret;

  if (!pkt->data && !pkt->side_data_elems && dec.queue_end_ts) dec.expect_end_ts = 1;
  return 0;
}

int sch_dec_send(TScheduler* sch, Cardinal dec_idx, Cardinal out_idx, AVFrame* frame) {
  Platform::Check(dec_idx < sch->nb_dec, CUnit, 3490);
  TSchDec& dec = sch->dec[dec_idx];
  Platform::Check(out_idx < dec.nb_outputs, CUnit, 3493);
  TSchDecOutput& o = dec.outputs[out_idx];

  Cardinal nb_done = 0;
  for (Cardinal i = 0; i < o.nb_dst; i++) {
    if (o.dst_finished[i]) {
      nb_done++;
      continue;
    }
    AVFrame* to_send = frame;
    if (i < o.nb_dst - 1) {
      to_send = dec.send_frame;
      // a frame without data carries only properties (such as an end timestamp)
      const int ret = frame->buf[0] ? AVUtilStubs::av_frame_ref(to_send, frame)
                                    : AVUtilStubs::av_frame_copy_props(to_send, frame);
      if (ret < 0) return ret;
    }
    const int ret = DecSendToDst(sch, o.dst[i], o.dst_finished[i], to_send);
    if (ret < 0) {
      AVUtilStubs::av_frame_unref(to_send);
      if (ret != AVERROR_EOF) return ret;
      nb_done++;
    }
  }
  return nb_done == o.nb_dst ? AVERROR_EOF : 0;
}

int sch_filter_receive(TScheduler* sch, Cardinal fg_idx, Cardinal& in_idx, AVFrame* frame) {
  Platform::Check(fg_idx < sch->nb_filters, CUnit, 3696);
  TSchFilterGraph& fg = sch->filters[fg_idx];
  Platform::Check(in_idx <= fg.nb_inputs, CUnit, 3699);

  // best_input is written only here, so this thread may read it without the lock
  if (in_idx != fg.best_input) {
    TMutexGuard guard(sch->schedule_lock);
    fg.best_input = in_idx;
    ScheduleUpdateLocked(sch);
  }

  if (in_idx == fg.nb_inputs) {
    const int terminate = WaiterWait(sch, fg.waiter);
    return terminate ? AVERROR_EOF : AVERROR(EAGAIN);
  }

  for (;;) {
    int idx = -1;
    const int ret = ThreadQueue::tq_receive(fg.queue, idx, frame);
    if (idx < 0) return AVERROR_EOF;
    if (ret == 0) {
      in_idx = static_cast<Cardinal>(idx);
      return 0;
    }
    // the end of one input: the graph learns of it through its own state
  }
}

void sch_filter_receive_finish(TScheduler* sch, Cardinal fg_idx, Cardinal in_idx) {
  Platform::Check(fg_idx < sch->nb_filters, CUnit, 3750);
  TSchFilterGraph& fg = sch->filters[fg_idx];
  Platform::Check(in_idx < fg.nb_inputs, CUnit, 3753);
  TSchFilterIn& fi = fg.inputs[in_idx];

  if (!fi.receive_finished) {
    fi.receive_finished = 1;
    ThreadQueue::tq_receive_finish(fg.queue, in_idx);
    if (static_cast<Cardinal>(++fg.nb_inputs_finished_receive) == fg.nb_inputs)
      ThreadQueue::tq_receive_finish(fg.queue, fg.nb_inputs);
  }
}

int sch_filter_send(TScheduler* sch, Cardinal fg_idx, Cardinal out_idx, AVFrame* frame) {
  Platform::Check(fg_idx < sch->nb_filters, CUnit, 3773);
  TSchFilterGraph& fg = sch->filters[fg_idx];
  Platform::Check(out_idx < fg.nb_outputs, CUnit, 3776);
  return FilterSendToDst(sch, fg.outputs[out_idx].dst, frame);
}

int sch_enc_receive(TScheduler* sch, Cardinal enc_idx, AVFrame* frame) {
  Platform::Check(enc_idx < sch->nb_enc, CUnit, 3578);
  int stream_idx = -1;
  const int ret = ThreadQueue::tq_receive(sch->enc[enc_idx].queue, stream_idx, frame);
  Platform::Check(stream_idx < 1, CUnit, 3582);
  return ret;
}

int sch_enc_send(TScheduler* sch, Cardinal enc_idx, AVPacket* pkt) {
  Platform::Check(enc_idx < sch->nb_enc, CUnit, 3632);
  TSchEnc& enc = sch->enc[enc_idx];

  for (Cardinal i = 0; i < enc.nb_dst; i++) {
    if (enc.dst_finished[i]) continue;
    AVPacket* to_send = pkt;
    if (i < enc.nb_dst - 1) {
      to_send = enc.send_pkt;
      const int ret = AVCodecStubs::av_packet_ref(to_send, pkt);
      if (ret < 0) return ret;
    }
    const int ret = PacketSendToDst(sch, enc.dst[i], enc.dst_finished[i], to_send);
    if (ret < 0) {
      AVCodecStubs::av_packet_unref(to_send);
      if (ret != AVERROR_EOF) return ret;
    }
  }
  return 0;
}

int sch_mux_receive(TScheduler* sch, Cardinal mux_idx, AVPacket* pkt) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 3296);
  int stream_idx = -1;
  // a muxer without streams has no queue: every one of its (no) streams has ended
  TThreadQueue* queue = sch->mux[mux_idx].queue;
  const int ret = queue ? ThreadQueue::tq_receive(queue, stream_idx, pkt) : AVERROR_EOF;
  pkt->stream_index = stream_idx;
  return ret;
}

void sch_mux_receive_finish(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 3308);
  TSchMux& mux = sch->mux[mux_idx];
  Platform::Check(stream_idx < mux.nb_streams, CUnit, 3311);

  ThreadQueue::tq_receive_finish(mux.queue, stream_idx);

  TMutexGuard guard(sch->schedule_lock);
  mux.streams[stream_idx].source_finished = 1;
  ScheduleUpdateLocked(sch);
}

int sch_mux_sub_heartbeat(TScheduler* sch, Cardinal mux_idx, Cardinal stream_idx,
                          const AVPacket* pkt) {
  Platform::Check(mux_idx < sch->nb_mux, CUnit, 3331);
  TSchMux& mux = sch->mux[mux_idx];
  Platform::Check(stream_idx < mux.nb_streams, CUnit, 3334);
  const TSchMuxStream& ms = mux.streams[stream_idx];

  for (Cardinal i = 0; i < ms.nb_sub_heartbeat_dst; i++) {
    // sending moves the packet out: every decoder gets the properties anew
    const int ret = AVCodecStubs::av_packet_copy_props(mux.sub_heartbeat_pkt, pkt);
    if (ret < 0) return ret;
    // The only send against the flow of data: the decoder's frames reach this muxer
    // through the subtitle encoder, so a muxer waiting here for room in the decoder's
    // queue could wait on a decoder that waits on the encoder that waits on this muxer.
    // A beat is a packet without data: it goes in beyond the queue's bound instead.
    ThreadQueue::tq_send_unbounded(sch->dec[ms.sub_heartbeat_dst[i]].queue, 0,
                                   mux.sub_heartbeat_pkt);
    AVCodecStubs::av_packet_unref(mux.sub_heartbeat_pkt);
  }
  return 0;
}

// ---- Control --------------------------------------------------------------------------------

int sch_wait(TScheduler* sch, std::uint64_t timeout_us, std::int64_t& transcode_ts) {
  // the deadline counts from the call, so a wait that outlasted a pause returns at once
  const std::int64_t now = AVUtilStubs::av_gettime();
  const std::int64_t deadline_us =
      timeout_us > static_cast<std::uint64_t>(INT64_MAX - now) ? INT64_MAX
                                                                : now + static_cast<std::int64_t>(timeout_us);
  const w32pthreads::timespec deadline{deadline_us / 1000000,
                                       static_cast<std::int32_t>((deadline_us % 1000000) * 1000)};

  PauseGatePass(sch);

  int ret;
  {
    TMutexGuard guard(sch->finish_lock);
    while (sch->nb_mux_done < sch->nb_mux && !sch->task_failed) {
      if (w32pthreads::pthread_cond_timedwait(sch->finish_cond, sch->finish_lock, deadline) ==
          AVERROR(ETIMEDOUT))
        break;
    }
    ret = sch->nb_mux_done == sch->nb_mux || sch->task_failed;
  }

  transcode_ts = atomic_load(sch->last_dts);
  return ret;
}

int sch_stop(TScheduler* sch, std::int64_t* finish_ts) {
  if (!sch || LoadState(sch) != SCH_STATE_STARTED) return 0;

  {
    // under the schedule lock: no schedule update can unchoke a source after this
    TMutexGuard guard(sch->schedule_lock);
    atomic_store(sch->terminate, 1);
  }
  {
    // release sources asleep in the pause gate: they see terminate
    TMutexGuard guard(sch->pause_lock);
    w32pthreads::pthread_cond_broadcast(sch->pause_cond);
  }

  for (Cardinal i = 0; i < sch->nb_filters; i++) WaiterSet(sch->filters[i].waiter, 1);
  for (Cardinal i = 0; i < sch->nb_demux; i++) WaiterSet(sch->demux[i].waiter, 1);

  int ret = 0;
  for (Cardinal i = 0; i < sch->nb_demux; i++) ret = err_merge(ret, TaskStop(sch, sch->demux[i].task));
  for (Cardinal i = 0; i < sch->nb_dec; i++) ret = err_merge(ret, TaskStop(sch, sch->dec[i].task));
  for (Cardinal i = 0; i < sch->nb_filters; i++) ret = err_merge(ret, TaskStop(sch, sch->filters[i].task));
  for (Cardinal i = 0; i < sch->nb_enc; i++) ret = err_merge(ret, TaskStop(sch, sch->enc[i].task));
  // Every source of the muxers has ended: a muxer waits for no stream any more, also for
  // one whose end a failed send could not pass on.
  for (Cardinal i = 0; i < sch->nb_mux; i++)
    if (sch->mux[i].queue)
      for (Cardinal j = 0; j < sch->mux[i].nb_streams; j++)
        ThreadQueue::tq_send_finish(sch->mux[i].queue, j);
  for (Cardinal i = 0; i < sch->nb_mux; i++) ret = err_merge(ret, TaskStop(sch, sch->mux[i].task));

  if (finish_ts) *finish_ts = TrailingDts(sch, true);

  StoreState(sch, SCH_STATE_STOPPED);
  return ret;
}

void sch_set_paused(TScheduler* sch, int paused) {
  Platform::Check(sch != nullptr, CUnit, 4010);
  if (LoadState(sch) != SCH_STATE_STARTED || atomic_load(sch->terminate)) return;
  TMutexGuard guard(sch->pause_lock);
  atomic_store(sch->paused, paused ? 1 : 0);
  w32pthreads::pthread_cond_broadcast(sch->pause_cond);
}

}  // namespace FFmpegSched
