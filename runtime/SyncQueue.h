// Keeps the streams of one output in step: an item is released only when it does not
// end after the earliest head of the "limiting" streams; a stream that ends (or reaches
// its frame limit) finishes the streams already past it; audio can be re-cut into
// frames of a fixed number of samples. The owner serialises every call: the queue has
// no lock of its own.
#pragma once
#include <cstdint>

#include "platform/Types.h"

extern "C" {
#include <libavutil/rational.h>
struct AVContainerFifo;
struct AVFrame;
struct AVPacket;
}

namespace SyncQueue {

using Platform::Cardinal;

enum TSyncQueueType : std::int32_t {
  SYNC_QUEUE_PACKETS = 0,
  SYNC_QUEUE_FRAMES = 1,
};

// A frame or a packet, by the queue's type; nullptr means end of stream.
union TSyncQueueFrame {
  AVFrame* f;
  AVPacket* p;
};

inline TSyncQueueFrame SQFRAME(AVFrame* frame) {
  TSyncQueueFrame item;
  item.f = frame;
  return item;
}

inline TSyncQueueFrame SQPKT(AVPacket* pkt) {
  TSyncQueueFrame item;
  item.p = pkt;
  return item;
}

struct TSyncQueueStream {
  AVContainerFifo* fifo;
  AVRational tb;              // time base of the stream's timestamps; 1/1000000 until the first item
  std::int64_t samples_queued;
  std::int64_t head_ts;       // largest end timestamp sent, in tb; AV_NOPTS_VALUE until then
  std::int32_t limiting;
  std::int32_t finished;
  std::int64_t frames_sent;
  std::int64_t samples_sent;
  std::int64_t frames_max;    // INT64_MAX: no limit
  std::int32_t frame_samples; // fixed output frame size in samples, 0: frames unchanged
};

struct TSyncQueue {
  TSyncQueueType type_;
  void* logctx;                       // log context of the debug lines
  std::int32_t finished;              // every stream finished
  std::int32_t head_stream;           // limiting stream with the earliest head, or -1
  std::int32_t head_finished_stream;  // finished limiting stream with the earliest head, or -1
  std::int64_t buf_size_us;           // buffering allowed before an overflow heartbeat
  TSyncQueueStream* streams;
  Cardinal nb_streams;
  std::int32_t have_limiting;
  std::uintptr_t align_mask;          // memory alignment mask for audio re-cutting
};

// A new queue, or nullptr when out of memory.
TSyncQueue* sq_alloc(TSyncQueueType type_, std::int64_t buf_size_us, void* logctx);
// Frees the queue with every queued item; sets sq to nullptr; nullptr is accepted.
void sq_free(TSyncQueue*& sq);

// Adds a stream; its index, or AVERROR(ENOMEM).
int sq_add_stream(TSyncQueue* sq, int limiting);
// At most max_frames frames pass on the stream; reached already, it finishes at once. A
// negative max_frames is no limit (the limit is an unsigned count).
void sq_limit_frames(TSyncQueue* sq, Cardinal stream_idx, std::int64_t max_frames);
// Frame queues: audio of the stream leaves in frames of `samples` samples.
void sq_frame_samples(TSyncQueue* sq, Cardinal stream_idx, int samples);

// Queues the item (its content moves into the queue); a nullptr item finishes the
// stream. 0; AVERROR_EOF when the stream is finished; a FIFO error.
int sq_send(TSyncQueue* sq, Cardinal stream_idx, TSyncQueueFrame frame);
// Releases an item of the stream (-1: of any stream) into `frame`: the index of its
// stream; AVERROR(EAGAIN) when nothing may be released yet; AVERROR_EOF when
// everything has ended; another error.
int sq_receive(TSyncQueue* sq, int stream_idx, TSyncQueueFrame frame);

}  // namespace SyncQueue
