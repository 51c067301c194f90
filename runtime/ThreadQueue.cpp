#include "runtime/ThreadQueue.h"

#include <cerrno>

#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"

namespace ThreadQueue {

namespace {

const char* const CUnit = "ThreadQueue";

void UnrefItem(TThreadQueue* tq, void* data) {
  if (tq->type_ == THREAD_QUEUE_FRAMES)
    AVUtilStubs::av_frame_unref(static_cast<AVFrame*>(data));
  else
    AVCodecStubs::av_packet_unref(static_cast<AVPacket*>(data));
}

// One attempt to take an item or report an end, with the lock held.
int ReceiveLocked(TThreadQueue* tq, int& stream_idx, void* data) {
  using AVUtilStubs::av_container_fifo_read;
  using AVUtilStubs::av_fifo_read;

  while (av_container_fifo_read(tq->fifo, data, 0) >= 0) {
    Cardinal idx = 0;
    Platform::Check(av_fifo_read(tq->fifo_stream_index, &idx, 1) >= 0, CUnit, 267);
    if (tq->finished[idx] & CReceiveFinished) {
      UnrefItem(tq, data);  // the receiver refused this stream
      continue;
    }
    stream_idx = static_cast<int>(idx);
    return 0;
  }

  Cardinal nb_finished = 0;
  for (Cardinal i = 0; i < tq->nb_streams; i++) {
    if (tq->finished[i] & CReceiveFinished) {
      nb_finished++;
    } else if (tq->finished[i] != 0) {
      // the sender finished and everything it sent was taken: report the end once
      tq->finished[i] |= CReceiveFinished;
      stream_idx = static_cast<int>(i);
      return AVERROR_EOF;
    }
  }
  return nb_finished == tq->nb_streams ? AVERROR_EOF : AVERROR(EAGAIN);
}

}  // namespace

TThreadQueue* tq_alloc(Cardinal nb_streams, std::size_t queue_size, TThreadQueueType type_) {
  using AVUtilStubs::av_calloc;
  using AVUtilStubs::av_container_fifo_alloc_avframe;
  using AVUtilStubs::av_fifo_alloc2;
  using AVUtilStubs::av_mallocz;

  if (nb_streams == 0 || queue_size == 0) return nullptr;
  TThreadQueue* tq = static_cast<TThreadQueue*>(av_mallocz(sizeof(TThreadQueue)));
  if (!tq) return nullptr;
  // the lock and the condition variable are usable zero-filled; freeing a partial
  // queue below relies on that
  w32pthreads::pthread_mutex_init(tq->lock, nullptr);
  w32pthreads::pthread_cond_init(tq->cond, nullptr);

  tq->finished = static_cast<std::int32_t*>(av_calloc(nb_streams, sizeof(std::int32_t)));
  if (!tq->finished) goto fail;
  tq->nb_streams = nb_streams;
  tq->type_ = type_;

  tq->fifo = type_ == THREAD_QUEUE_FRAMES ? av_container_fifo_alloc_avframe(0)
                                          : AVCodecStubs::av_container_fifo_alloc_avpacket(0);
  if (!tq->fifo) goto fail;

  tq->fifo_stream_index = av_fifo_alloc2(queue_size, sizeof(Cardinal), 0);
  if (!tq->fifo_stream_index) goto fail;
  tq->queue_size = queue_size;

  return tq;

fail:
  tq_free(tq);
  return nullptr;
}

void tq_free(TThreadQueue*& tq) {
  if (!tq) return;
  AVUtilStubs::av_container_fifo_free(&tq->fifo);
  AVUtilStubs::av_fifo_freep2(&tq->fifo_stream_index);
  AVUtilStubs::av_freep(&tq->finished);
  w32pthreads::pthread_cond_destroy(tq->cond);
  w32pthreads::pthread_mutex_destroy(tq->lock);
  AVUtilStubs::av_freep(&tq);
}

namespace {

int SendLocked(TThreadQueue* tq, Cardinal stream_idx, void* data, bool AWaitForRoom) {
  using AVUtilStubs::av_container_fifo_write;
  using AVUtilStubs::av_fifo_can_read;
  using AVUtilStubs::av_fifo_can_write;
  using AVUtilStubs::av_fifo_grow2;
  using AVUtilStubs::av_fifo_write;

  std::int32_t& flags = tq->finished[stream_idx];
  if (flags & CSendFinished) return AVERROR(EINVAL);

  while (AWaitForRoom && !(flags & CReceiveFinished) &&
         av_fifo_can_read(tq->fifo_stream_index) >= tq->queue_size)
    w32pthreads::pthread_cond_wait(tq->cond, tq->lock);

  if (flags & CReceiveFinished) {
    flags |= CSendFinished;
    return AVERROR_EOF;
  }

  // room for the index first (past the bound only for an unbounded send), then the
  // item: an index is written only for an item that is in the queue, and with room
  // made here, writing the index cannot fail
  int ret = 0;
  if (av_fifo_can_write(tq->fifo_stream_index) == 0) {
    ret = av_fifo_grow2(tq->fifo_stream_index, 1);
    if (ret < 0) return ret;
  }
  ret = av_container_fifo_write(tq->fifo, data, 0);
  if (ret < 0) return ret;
  ret = av_fifo_write(tq->fifo_stream_index, &stream_idx, 1);
  if (ret < 0) return ret;

  w32pthreads::pthread_cond_broadcast(tq->cond);
  return 0;
}

}  // namespace

int tq_send(TThreadQueue* tq, Cardinal stream_idx, void* data) {
  Platform::Check(stream_idx < tq->nb_streams, CUnit, 217);
  w32pthreads::TMutexGuard guard(tq->lock);
  return SendLocked(tq, stream_idx, data, true);
}

int tq_send_unbounded(TThreadQueue* tq, Cardinal stream_idx, void* data) {
  Platform::Check(stream_idx < tq->nb_streams, CUnit, 217);
  w32pthreads::TMutexGuard guard(tq->lock);
  return SendLocked(tq, stream_idx, data, false);
}

int tq_receive(TThreadQueue* tq, int& stream_idx, void* data) {
  using AVUtilStubs::av_container_fifo_can_read;

  stream_idx = -1;
  w32pthreads::TMutexGuard guard(tq->lock);
  for (;;) {
    const std::size_t readable = av_container_fifo_can_read(tq->fifo);
    const int ret = ReceiveLocked(tq, stream_idx, data);
    // taking items makes room for a waiting sender
    if (av_container_fifo_can_read(tq->fifo) != readable)
      w32pthreads::pthread_cond_broadcast(tq->cond);
    if (ret != AVERROR(EAGAIN)) return ret;
    w32pthreads::pthread_cond_wait(tq->cond, tq->lock);
  }
}

void tq_send_finish(TThreadQueue* tq, Cardinal stream_idx) {
  Platform::Check(stream_idx < tq->nb_streams, CUnit, 344);
  w32pthreads::TMutexGuard guard(tq->lock);
  // a receiver waiting for data learns of the end; a sender blocked on the same
  // stream is not expected (one sender per stream finishes it)
  tq->finished[stream_idx] |= CSendFinished;
  w32pthreads::pthread_cond_broadcast(tq->cond);
}

void tq_receive_finish(TThreadQueue* tq, Cardinal stream_idx) {
  Platform::Check(stream_idx < tq->nb_streams, CUnit, 359);
  w32pthreads::TMutexGuard guard(tq->lock);
  // senders blocked for room on this stream wake and get AVERROR_EOF
  tq->finished[stream_idx] |= CReceiveFinished;
  w32pthreads::pthread_cond_broadcast(tq->cond);
}

}  // namespace ThreadQueue
