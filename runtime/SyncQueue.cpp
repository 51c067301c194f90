#include "runtime/SyncQueue.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFUtils.h"

namespace SyncQueue {

namespace {

const char* const CUnit = "SyncQueue";
constexpr AVRational CMicroseconds{1, AV_TIME_BASE};

// The debug lines format timestamps; skip that work unless they are shown.
bool DebugEnabled() { return AVUtilStubs::av_log_get_level() >= AV_LOG_DEBUG; }


bool IsFrames(const TSyncQueue* sq) { return sq->type_ == SYNC_QUEUE_FRAMES; }

std::int64_t ItemPts(const TSyncQueue* sq, const void* item) {
  return IsFrames(sq) ? static_cast<const AVFrame*>(item)->pts
                      : static_cast<const AVPacket*>(item)->pts;
}

std::int64_t ItemDuration(const TSyncQueue* sq, const void* item) {
  return IsFrames(sq) ? static_cast<const AVFrame*>(item)->duration
                      : static_cast<const AVPacket*>(item)->duration;
}

AVRational ItemTimeBase(const TSyncQueue* sq, const void* item) {
  return IsFrames(sq) ? static_cast<const AVFrame*>(item)->time_base
                      : static_cast<const AVPacket*>(item)->time_base;
}

int ItemSamples(const TSyncQueue* sq, const void* item) {
  return IsFrames(sq) ? static_cast<const AVFrame*>(item)->nb_samples : 0;
}

AVRational SampleTimeBase(const AVFrame* frame) { return AVRational{1, frame->sample_rate}; }

// End timestamp of an item in the stream's time base: with re-cutting of nb_samples
// samples the end of those samples, otherwise pts + duration.
std::int64_t ItemEnd(const TSyncQueue* sq, const TSyncQueueStream* st, const void* item,
                     int nb_samples) {
  using AVUtilStubs::av_rescale_q;
  const std::int64_t pts = ItemPts(sq, item);
  if (pts == AV_NOPTS_VALUE) return AV_NOPTS_VALUE;
  if (nb_samples) {
    const AVFrame* frame = static_cast<const AVFrame*>(item);
    return FFUtils::SatAdd64(pts, av_rescale_q(nb_samples, SampleTimeBase(frame), st->tb));
  }
  // Timestamps come from input files and may lie anywhere in the Int64 range.
  return FFUtils::SatAdd64(pts, ItemDuration(sq, item));
}

void* PeekItem(TSyncQueueStream* st, std::size_t offset) {
  void* item = nullptr;
  if (AVUtilStubs::av_container_fifo_peek(st->fifo, &item, offset) < 0) return nullptr;
  return item;
}

void FinishStream(TSyncQueue* sq, Cardinal stream_idx) {
  using AVUtilStubs::av_compare_ts;
  using AVUtilStubs::av_log;
  TSyncQueueStream* st = &sq->streams[stream_idx];

  if (!st->finished && DebugEnabled())
    av_log(sq->logctx, AV_LOG_DEBUG, "sq: finish %u; head ts %s\n", stream_idx,
           FFUtils::TsTimeStr(st->head_ts, st->tb).c_str());
  st->finished = 1;

  if (st->limiting && st->head_ts != AV_NOPTS_VALUE) {
    // a limiting stream that ends bounds every other stream: those already at or past
    // its end are done too
    if (sq->head_finished_stream < 0 ||
        av_compare_ts(st->head_ts, st->tb, sq->streams[sq->head_finished_stream].head_ts,
                      sq->streams[sq->head_finished_stream].tb) < 0)
      sq->head_finished_stream = static_cast<std::int32_t>(stream_idx);

    const TSyncQueueStream* hfs = &sq->streams[sq->head_finished_stream];
    for (Cardinal i = 0; i < sq->nb_streams; i++) {
      TSyncQueueStream* other = &sq->streams[i];
      if (i == stream_idx || other->head_ts == AV_NOPTS_VALUE) continue;
      if (av_compare_ts(other->head_ts, other->tb, hfs->head_ts, hfs->tb) >= 0) {
        if (!other->finished && DebugEnabled())
          av_log(sq->logctx, AV_LOG_DEBUG, "sq: finish secondary %u; head ts %s\n", i,
                 FFUtils::TsTimeStr(other->head_ts, other->tb).c_str());
        other->finished = 1;
      }
    }
  }

  for (Cardinal i = 0; i < sq->nb_streams; i++)
    if (!sq->streams[i].finished) return;
  if (!sq->finished) av_log(sq->logctx, AV_LOG_DEBUG, "sq: finish queue\n");
  sq->finished = 1;
}

void QueueHeadUpdate(TSyncQueue* sq) {
  using AVUtilStubs::av_compare_ts;
  Platform::Check(sq->have_limiting != 0, CUnit, 368);

  if (sq->head_stream < 0) {
    // the head exists only once every limiting stream has a timestamp
    for (Cardinal i = 0; i < sq->nb_streams; i++) {
      const TSyncQueueStream* st = &sq->streams[i];
      if (st->limiting && st->head_ts == AV_NOPTS_VALUE) return;
    }
    for (Cardinal i = 0; i < sq->nb_streams; i++) {
      if (sq->streams[i].limiting) {
        sq->head_stream = static_cast<std::int32_t>(i);
        break;
      }
    }
    Platform::Check(sq->head_stream >= 0, CUnit, 388);
  }

  for (Cardinal i = 0; i < sq->nb_streams; i++) {
    const TSyncQueueStream* st = &sq->streams[i];
    const TSyncQueueStream* head = &sq->streams[sq->head_stream];
    if (st->limiting && st->head_ts != AV_NOPTS_VALUE &&
        av_compare_ts(st->head_ts, st->tb, head->head_ts, head->tb) < 0)
      sq->head_stream = static_cast<std::int32_t>(i);
  }
}

void StreamUpdateTs(TSyncQueue* sq, Cardinal stream_idx, std::int64_t ts) {
  using AVUtilStubs::av_compare_ts;
  TSyncQueueStream* st = &sq->streams[stream_idx];
  if (ts == AV_NOPTS_VALUE || (st->head_ts != AV_NOPTS_VALUE && st->head_ts >= ts)) return;

  st->head_ts = ts;

  // past the end of a finished limiting stream: nothing more of this one is wanted
  if (sq->head_finished_stream >= 0) {
    const TSyncQueueStream* hfs = &sq->streams[sq->head_finished_stream];
    if (av_compare_ts(hfs->head_ts, hfs->tb, ts, st->tb) <= 0) FinishStream(sq, stream_idx);
  }

  if (st->limiting &&
      (sq->head_stream < 0 || sq->head_stream == static_cast<std::int32_t>(stream_idx)))
    QueueHeadUpdate(sq);
}

bool FrameIsAligned(const TSyncQueue* sq, const AVFrame* frame) {
  const std::uintptr_t mask = sq->align_mask;
  const std::uintptr_t linesize = static_cast<std::uintptr_t>(frame->linesize[0]);
  return (reinterpret_cast<std::uintptr_t>(frame->data[0]) & mask) == 0 &&
         (linesize & mask) == 0 && linesize > mask;
}

// Drops the first nb_samples samples of a queued audio frame in place.
void OffsetAudio(AVFrame* frame, int nb_samples) {
  using AVUtilStubs::av_get_bytes_per_sample;
  using AVUtilStubs::av_rescale_q;
  using AVUtilStubs::av_sample_fmt_is_planar;

  Platform::Check(nb_samples <= frame->nb_samples, CUnit, 593);
  const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
  const int bytes_per_sample = av_get_bytes_per_sample(format);
  Platform::Check(bytes_per_sample > 0, CUnit, 594);

  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int channels = frame->ch_layout.nb_channels;
  const int planes = planar ? channels : 1;
  const std::ptrdiff_t shift =
      static_cast<std::ptrdiff_t>(nb_samples) * bytes_per_sample * (planar ? 1 : channels);

  for (int i = 0; i < planes; i++) frame->extended_data[i] += shift;
  if (frame->extended_data != frame->data)
    for (int i = 0; i < planes && i < AV_NUM_DATA_POINTERS; i++) frame->data[i] += shift;
  frame->linesize[0] -= static_cast<int>(shift);

  frame->nb_samples -= nb_samples;
  frame->duration = av_rescale_q(frame->nb_samples, SampleTimeBase(frame), frame->time_base);
  if (frame->pts != AV_NOPTS_VALUE)
    frame->pts = FFUtils::SatAdd64(
        frame->pts, av_rescale_q(nb_samples, SampleTimeBase(frame), frame->time_base));
}

// Releases exactly nb_samples queued samples of the stream into dst.
int ReceiveSamples(TSyncQueue* sq, TSyncQueueStream* st, AVFrame* dst, int nb_samples) {
  using AVUtilStubs::av_channel_layout_copy;
  using AVUtilStubs::av_frame_copy_props;
  using AVUtilStubs::av_frame_get_buffer;
  using AVUtilStubs::av_frame_ref;
  using AVUtilStubs::av_frame_unref;
  using AVUtilStubs::av_rescale_q;
  using AVUtilStubs::av_samples_copy;

  Platform::Check(nb_samples <= st->samples_queued, CUnit, 611);
  Platform::Check(nb_samples > 0, CUnit, 612);

  AVFrame* src = static_cast<AVFrame*>(PeekItem(st, 0));
  Platform::Check(src != nullptr, CUnit, 634);

  if (src->nb_samples > nb_samples && FrameIsAligned(sq, src)) {
    // the head of one frame: a reference limited to the samples wanted
    int ret = av_frame_ref(dst, src);
    if (ret < 0) return ret;
    dst->nb_samples = nb_samples;
    dst->duration = av_rescale_q(nb_samples, SampleTimeBase(src), dst->time_base);
    OffsetAudio(src, nb_samples);
    st->samples_queued -= nb_samples;
    return 0;
  }

  int ret = 0;
  int filled = 0;
  dst->format = src->format;
  dst->nb_samples = nb_samples;
  ret = av_channel_layout_copy(&dst->ch_layout, &src->ch_layout);
  if (ret < 0) goto fail;
  ret = av_frame_get_buffer(dst, 0);
  if (ret < 0) goto fail;
  ret = av_frame_copy_props(dst, src);
  if (ret < 0) goto fail;
  dst->sample_rate = src->sample_rate;

  while (filled < nb_samples) {
    src = static_cast<AVFrame*>(PeekItem(st, 0));
    Platform::Check(src != nullptr, CUnit, 634);
    Platform::Check(src->nb_samples > 0, CUnit, 637);

    const int to_copy = std::min(nb_samples - filled, src->nb_samples);
    ret = av_samples_copy(dst->extended_data, src->extended_data, filled, 0, to_copy,
                          dst->ch_layout.nb_channels, static_cast<AVSampleFormat>(dst->format));
    if (ret < 0) goto fail;

    if (to_copy < src->nb_samples)
      OffsetAudio(src, to_copy);
    else
      AVUtilStubs::av_container_fifo_drain(st->fifo, 1);
    st->samples_queued -= to_copy;
    filled += to_copy;
  }
  Platform::Check(filled == nb_samples, CUnit, 680);

  dst->duration = av_rescale_q(nb_samples, SampleTimeBase(dst), dst->time_base);
  return 0;

fail:
  av_frame_unref(dst);
  return ret;
}

int ReceiveForStream(TSyncQueue* sq, Cardinal stream_idx, TSyncQueueFrame frame) {
  using AVUtilStubs::av_compare_ts;
  using AVUtilStubs::av_container_fifo_can_read;
  using AVUtilStubs::av_log;
  TSyncQueueStream* st = &sq->streams[stream_idx];

  if (av_container_fifo_can_read(st->fifo) &&
      (st->samples_queued >= st->frame_samples || st->finished)) {
    const int nb_samples = st->frame_samples
        ? static_cast<int>(std::min<std::int64_t>(st->frame_samples, st->samples_queued))
        : 0;

    void* item = PeekItem(st, 0);
    Platform::Check(item != nullptr, CUnit, 766);
    Platform::Check(nb_samples == 0 || IsFrames(sq), CUnit, 768);
    const std::int64_t ts = ItemEnd(sq, st, item, nb_samples);

    const TSyncQueueStream* head = sq->head_stream >= 0 ? &sq->streams[sq->head_stream] : nullptr;
    const bool release = ts == AV_NOPTS_VALUE || !sq->have_limiting ||
                         (head && av_compare_ts(ts, st->tb, head->head_ts, head->tb) <= 0);
    if (release) {
      AVFrame* first = static_cast<AVFrame*>(item);
      if (nb_samples && (nb_samples != first->nb_samples || !FrameIsAligned(sq, first))) {
        const int ret = ReceiveSamples(sq, st, frame.f, nb_samples);
        if (ret < 0) return ret;
      } else {
        const int ret = AVUtilStubs::av_container_fifo_read(st->fifo, frame.f, 0);
        if (ret < 0) return ret;
        st->samples_queued -= ItemSamples(sq, frame.f);
      }

      if (DebugEnabled())
        av_log(sq->logctx, AV_LOG_DEBUG, "sq: receive %u ts %s queue head %d ts %s\n",
               stream_idx, FFUtils::TsTimeStr(ts, st->tb).c_str(), sq->head_stream,
               head ? FFUtils::TsTimeStr(head->head_ts, head->tb).c_str() : "N/A");
      return 0;
    }
  }

  return sq->finished || (st->finished && !av_container_fifo_can_read(st->fifo))
      ? AVERROR_EOF
      : AVERROR(EAGAIN);
}

int ReceiveInternal(TSyncQueue* sq, int stream_idx, TSyncQueueFrame frame) {
  Platform::Check(stream_idx >= -1 && stream_idx < static_cast<std::int64_t>(sq->nb_streams),
                  CUnit, 727);

  if (stream_idx >= 0) {
    const int ret = ReceiveForStream(sq, static_cast<Cardinal>(stream_idx), frame);
    return ret < 0 ? ret : stream_idx;
  }

  Cardinal nb_eof = 0;
  for (Cardinal i = 0; i < sq->nb_streams; i++) {
    const int ret = ReceiveForStream(sq, i, frame);
    if (ret == AVERROR_EOF) {
      nb_eof++;
    } else if (ret == AVERROR(EAGAIN)) {
      continue;
    } else if (ret < 0) {
      return ret;
    } else {
      return static_cast<int>(i);
    }
  }
  return nb_eof == sq->nb_streams ? AVERROR_EOF : AVERROR(EAGAIN);
}

// When one stream runs more than buf_size_us ahead of what it still holds, the
// lagging streams get their heads moved up so that its queued items can leave.
// True when it moved anything.
bool OverflowHeartbeat(TSyncQueue* sq, int stream_idx) {
  using AVUtilStubs::av_compare_ts;
  using AVUtilStubs::av_container_fifo_can_read;
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_rescale_q;

  if (stream_idx < 0) {
    for (Cardinal i = 0; i < sq->nb_streams; i++) {
      const TSyncQueueStream* st = &sq->streams[i];
      if (st->head_ts == AV_NOPTS_VALUE) continue;
      if (stream_idx < 0 ||
          av_compare_ts(st->head_ts, st->tb, sq->streams[stream_idx].head_ts,
                        sq->streams[stream_idx].tb) > 0)
        stream_idx = static_cast<int>(i);
    }
    if (stream_idx < 0) return false;
  }

  TSyncQueueStream* st = &sq->streams[stream_idx];
  if (st->head_ts == AV_NOPTS_VALUE) return false;

  std::int64_t tail = AV_NOPTS_VALUE;
  const std::size_t queued = av_container_fifo_can_read(st->fifo);
  for (std::size_t i = 0; i < queued && tail == AV_NOPTS_VALUE; i++) {
    void* item = PeekItem(st, i);
    if (item) tail = ItemEnd(sq, st, item, 0);
  }
  if (tail == AV_NOPTS_VALUE || tail >= st->head_ts ||
      av_rescale_q(st->head_ts - tail, st->tb, CMicroseconds) < sq->buf_size_us)
    return false;

  const std::int64_t new_ts = tail + 1;
  for (Cardinal i = 0; i < sq->nb_streams; i++) {
    TSyncQueueStream* other = &sq->streams[i];
    if (static_cast<int>(i) == stream_idx || other->finished) continue;
    if (other->head_ts != AV_NOPTS_VALUE &&
        av_compare_ts(other->head_ts, other->tb, new_ts, st->tb) >= 0)
      continue;

    std::int64_t ts = av_rescale_q(new_ts, st->tb, other->tb);
    if (other->head_ts != AV_NOPTS_VALUE) ts = std::max(ts, other->head_ts + 1);
    if (DebugEnabled())
      av_log(sq->logctx, AV_LOG_DEBUG, "sq: %u overflow heardbeat %s -> %s\n", i,
             FFUtils::TsTimeStr(other->head_ts, other->tb).c_str(), FFUtils::TsTimeStr(ts, other->tb).c_str());
    StreamUpdateTs(sq, i, ts);
  }
  return true;
}

}  // namespace

TSyncQueue* sq_alloc(TSyncQueueType type_, std::int64_t buf_size_us, void* logctx) {
  TSyncQueue* sq = static_cast<TSyncQueue*>(AVUtilStubs::av_mallocz(sizeof(TSyncQueue)));
  if (!sq) return nullptr;
  sq->type_ = type_;
  sq->buf_size_us = buf_size_us;
  sq->logctx = logctx;
  sq->head_stream = -1;
  sq->head_finished_stream = -1;
  return sq;
}

void sq_free(TSyncQueue*& sq) {
  if (!sq) return;
  for (Cardinal i = 0; i < sq->nb_streams; i++)
    AVUtilStubs::av_container_fifo_free(&sq->streams[i].fifo);
  AVUtilStubs::av_freep(&sq->streams);
  AVUtilStubs::av_freep(&sq);
}

int sq_add_stream(TSyncQueue* sq, int limiting) {
  void* streams =
      AVUtilStubs::av_realloc_array(sq->streams, sq->nb_streams + 1, sizeof(TSyncQueueStream));
  if (!streams) return AVERROR(ENOMEM);
  sq->streams = static_cast<TSyncQueueStream*>(streams);

  TSyncQueueStream* st = &sq->streams[sq->nb_streams];
  std::memset(st, 0, sizeof(*st));
  st->fifo = IsFrames(sq) ? AVUtilStubs::av_container_fifo_alloc_avframe(0)
                          : AVCodecStubs::av_container_fifo_alloc_avpacket(0);
  if (!st->fifo) return AVERROR(ENOMEM);

  // An overflow heartbeat may move the head of a stream that has had no item yet; it is
  // kept in this time base until the first item brings the stream's own, so it must be
  // fine: in whole seconds each move would be at least one second, and the stream
  // could be finished, past the end of a shorter one, before its first item.
  st->tb = CMicroseconds;
  st->head_ts = AV_NOPTS_VALUE;
  st->frames_max = INT64_MAX;
  st->limiting = limiting;
  sq->have_limiting |= limiting;
  return static_cast<int>(sq->nb_streams++);
}

void sq_limit_frames(TSyncQueue* sq, Cardinal stream_idx, std::int64_t max_frames) {
  Platform::Check(stream_idx < sq->nb_streams, CUnit, 891);
  TSyncQueueStream* st = &sq->streams[stream_idx];
  // The limit counts as unsigned, as -frames gives it: -1 (any negative value) is beyond
  // every count, no limit at all, not a limit that was reached before the first frame.
  st->frames_max = max_frames < 0 ? INT64_MAX : max_frames;
  if (st->frames_sent >= st->frames_max) FinishStream(sq, stream_idx);
}

void sq_frame_samples(TSyncQueue* sq, Cardinal stream_idx, int samples) {
  Platform::Check(IsFrames(sq), CUnit, 903);
  Platform::Check(stream_idx < sq->nb_streams, CUnit, 904);
  sq->streams[stream_idx].frame_samples = samples;
  sq->align_mask = AVUtilStubs::av_cpu_max_align() - 1;
}

int sq_send(TSyncQueue* sq, Cardinal stream_idx, TSyncQueueFrame frame) {
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_rescale_q;

  Platform::Check(stream_idx < sq->nb_streams, CUnit, 519);
  TSyncQueueStream* st = &sq->streams[stream_idx];

  if (!frame.f) {
    av_log(sq->logctx, AV_LOG_DEBUG, "sq: %u EOF\n", stream_idx);
    FinishStream(sq, stream_idx);
    return 0;
  }
  if (st->finished) return AVERROR_EOF;

  const AVRational tb = ItemTimeBase(sq, frame.f);
  Platform::Check(tb.num > 0 && tb.den > 0, CUnit, 297);
  if (av_cmp_q(tb, st->tb) != 0) {
    Platform::Check(AVUtilStubs::av_container_fifo_can_read(st->fifo) == 0, CUnit, 303);
    if (st->head_ts != AV_NOPTS_VALUE) st->head_ts = av_rescale_q(st->head_ts, st->tb, tb);
    st->tb = tb;
  }

  const int nb_samples = ItemSamples(sq, frame.f);
  if (nb_samples) {
    AVFrame* f = frame.f;
    Platform::Check(f->sample_rate > 0, CUnit, 541);
    f->duration = av_rescale_q(nb_samples, SampleTimeBase(f), f->time_base);
  }

  const std::int64_t ts = ItemEnd(sq, st, frame.f, 0);
  if (DebugEnabled())
    av_log(sq->logctx, AV_LOG_DEBUG, "sq: send %u ts %s\n", stream_idx,
           FFUtils::TsTimeStr(ts, st->tb).c_str());

  const int ret = AVUtilStubs::av_container_fifo_write(st->fifo, frame.f, 0);
  if (ret < 0) return ret;

  StreamUpdateTs(sq, stream_idx, ts);

  st->samples_queued += nb_samples;
  st->samples_sent += nb_samples;
  if (st->frame_samples)
    st->frames_sent = st->samples_sent / st->frame_samples;
  else
    st->frames_sent++;

  if (st->frames_sent >= st->frames_max) {
    av_log(sq->logctx, AV_LOG_DEBUG, "sq: %u frames_max %" PRId64 " reached\n", stream_idx,
           st->frames_max);
    FinishStream(sq, stream_idx);
  }
  return 0;
}

int sq_receive(TSyncQueue* sq, int stream_idx, TSyncQueueFrame frame) {
  int ret = ReceiveInternal(sq, stream_idx, frame);
  // a stream that runs far ahead must not wait for a lagging one forever
  if (ret == AVERROR(EAGAIN) && OverflowHeartbeat(sq, stream_idx))
    ret = ReceiveInternal(sq, stream_idx, frame);
  return ret;
}

}  // namespace SyncQueue
