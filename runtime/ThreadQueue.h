// A bounded multi-stream queue that carries frames or packets from sending threads to
// one receiving thread, with end of stream per stream in both directions: a sender
// finishes a stream, a receiver refuses one (its senders then see end of stream).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Types.h"
#include "runtime/w32pthreads.h"

extern "C" {
struct AVContainerFifo;
struct AVFifo;
}

namespace ThreadQueue {

using Platform::Cardinal;

enum TThreadQueueType : std::int32_t {
  THREAD_QUEUE_FRAMES = 0,   // items are AVFrame
  THREAD_QUEUE_PACKETS = 1,  // items are AVPacket
};

// Bits of a stream's flag word.
constexpr std::int32_t CSendFinished = 1;
constexpr std::int32_t CReceiveFinished = 2;

struct TThreadQueue {
  std::int32_t* finished;         // nb_streams flag words
  Cardinal nb_streams;
  TThreadQueueType type_;
  AVContainerFifo* fifo;          // the items, moved in by reference
  AVFifo* fifo_stream_index;      // stream index of each queued item
  w32pthreads::pthread_mutex_t lock;
  w32pthreads::pthread_cond_t cond;
  std::size_t queue_size;         // the bound on items that tq_send waits for
};

// A new queue of nb_streams streams holding at most queue_size items over all streams
// together, or nullptr when out of memory. Both counts must be at least 1: a queue that
// can hold nothing would block its first sender for good, so it is refused (nullptr).
TThreadQueue* tq_alloc(Cardinal nb_streams, std::size_t queue_size, TThreadQueueType type_);
// Frees the queue with the items in it and sets tq to nullptr; nullptr is accepted.
void tq_free(TThreadQueue*& tq);

// Queues the frame or packet `data` (its content moves into the queue, leaving it
// empty), blocking while the queue is full. 0; AVERROR(EINVAL) when the stream's sending
// side was finished; AVERROR_EOF when its receiving side is finished (the item stays
// with the caller); another negative error from the FIFO.
int tq_send(TThreadQueue* tq, Cardinal stream_idx, void* data);
// As tq_send, but never waits for room: a full queue holds the item beyond its bound
// (later tq_send calls still wait until the queue is below its bound). For small control
// items sent against the flow of data, by a thread that the receiver itself feeds
// through other queues: waiting for room there could close a circle of threads, each
// waiting for the next to take an item.
int tq_send_unbounded(TThreadQueue* tq, Cardinal stream_idx, void* data);
// Takes the next item into `data` (an empty frame or packet), blocking while nothing is
// available. 0 with the item's stream in stream_idx; AVERROR_EOF with the index of a
// stream whose end is reported now (once per stream, after its items); AVERROR_EOF
// with -1 when every stream has ended.
int tq_receive(TThreadQueue* tq, int& stream_idx, void* data);
// The sender will send no more on the stream.
void tq_send_finish(TThreadQueue* tq, Cardinal stream_idx);
// The receiver takes no more from the stream: its queued items are dropped, its
// senders get AVERROR_EOF.
void tq_receive_finish(TThreadQueue* tq, Cardinal stream_idx);

}  // namespace ThreadQueue
