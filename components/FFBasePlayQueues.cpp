#include "components/FFBasePlayQueues.h"

#include <cstring>

#include "components/FFBasePlayState.h"
#include "platform/Format.h"
#include "platform/RaceAnnotations.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SDL2Stubs.h"

namespace FFBasePlay {

// The entry points this file calls, bound at run time.
using SDL2Stubs::SDL_CondSignal;
using SDL2Stubs::SDL_CondWait;
using SDL2Stubs::SDL_CreateCond;
using SDL2Stubs::SDL_CreateMutex;
using SDL2Stubs::SDL_CreateThread;
using SDL2Stubs::SDL_DestroyCond;
using SDL2Stubs::SDL_DestroyMutex;
using SDL2Stubs::SDL_GetError;
using SDL2Stubs::SDL_LockMutex;
using SDL2Stubs::SDL_UnlockMutex;
using SDL2Stubs::SDL_WaitThread;
using AVUtilStubs::av_buffer_create;
using AVUtilStubs::av_free;
using AVUtilStubs::av_malloc;
using AVUtilStubs::av_fifo_alloc2;
using AVUtilStubs::av_fifo_freep2;
using AVUtilStubs::av_fifo_read;
using AVUtilStubs::av_fifo_write;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_move_ref;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_log;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_move_ref;
using AVCodecStubs::av_packet_unref;
using AVUtilStubs::av_rescale_q;
using AVCodecStubs::avcodec_decode_subtitle2;
using AVCodecStubs::avcodec_flush_buffers;
using AVCodecStubs::avcodec_free_context;
using AVCodecStubs::avcodec_receive_frame;
using AVCodecStubs::avcodec_send_packet;
using AVCodecStubs::avsubtitle_free;

namespace {

// "SDL_CreateMutex(): %s" and the like, as the player's last error.
int SDLFailure(TPlayerCore* APlayer, const char* AWhat) {
  const std::string text = Platform::Format("%s(): %s", AWhat, SDL_GetError());
  if (APlayer)
    APlayer->ReportError(text, true);
  else
    FFLoad::VEDovedo->Log(nullptr, FFLoad::llError, text);
  return AVERROR(ENOMEM);
}

// Releases what a frame slot holds (the caller holds the slot's lock).
void frame_queue_unref_item(TFrame* vp) {
  vp->uploaded = 0;
  av_frame_unref(vp->frame);
  avsubtitle_free(&vp->sub);
}

}  // namespace

// ---- Packet queue ------------------------------------------------------------------------

namespace {

// Under q->mutex.
int packet_queue_put_private(TPacketQueue* q, AVPacket* pkt) {
  if (q->abort_request) return -1;
  TMyAVPacketList pkt1{pkt, q->serial.load()};
  const int ret = av_fifo_write(q->pkt_list, &pkt1, 1);
  if (ret < 0) return ret;
  q->nb_packets += 1;
  q->size += pkt1.pkt->size + static_cast<int>(sizeof(pkt1));
  q->duration += pkt1.pkt->duration;
  q->finished = 0;
  // Wakes a decoder blocked in packet_queue_get.
  SDL_CondSignal(q->cond);
  return 0;
}

}  // namespace

int packet_queue_put(TPacketQueue* q, AVPacket* pkt) {
  AVPacket* pkt1 = av_packet_alloc();
  if (!pkt1) {
    av_packet_unref(pkt);
    return -1;
  }
  av_packet_move_ref(pkt1, pkt);

  SDL_LockMutex(q->mutex);
  const int ret = packet_queue_put_private(q, pkt1);
  SDL_UnlockMutex(q->mutex);

  if (ret < 0) {
    av_packet_free(&pkt1);
    return -1;
  }
  return 0;
}

int packet_queue_put_nullpacket(TPacketQueue* q, AVPacket* pkt, int stream_index) {
  pkt->stream_index = stream_index;
  return packet_queue_put(q, pkt);
}

int packet_queue_init(TPacketQueue* q, TPlayerCore* APlayer) {
  q->pkt_list = nullptr;
  q->nb_packets = 0;
  q->size = 0;
  q->duration = 0;
  q->serial = 0;
  q->finished = 0;
  q->mutex = nullptr;
  q->cond = nullptr;
  q->pkt_list = av_fifo_alloc2(1, sizeof(TMyAVPacketList), AV_FIFO_FLAG_AUTO_GROW);
  if (!q->pkt_list) return AVERROR(ENOMEM);
  q->mutex = SDL_CreateMutex();
  if (!q->mutex) return SDLFailure(APlayer, "SDL_CreateMutex");
  q->cond = SDL_CreateCond();
  if (!q->cond) return SDLFailure(APlayer, "SDL_CreateCond");
  q->abort_request = 1;
  return 0;
}

void packet_queue_flush(TPacketQueue* q) {
  if (!q->mutex) return;
  SDL_LockMutex(q->mutex);
  TMyAVPacketList pkt1;
  while (av_fifo_read(q->pkt_list, &pkt1, 1) >= 0) av_packet_free(&pkt1.pkt);
  q->nb_packets = 0;
  q->size = 0;
  q->duration = 0;
  q->serial += 1;
  SDL_UnlockMutex(q->mutex);
}

void packet_queue_destroy(TPacketQueue* q) {
  if (q->pkt_list && q->mutex) packet_queue_flush(q);
  if (q->pkt_list) av_fifo_freep2(&q->pkt_list);
  if (q->mutex) SDL_DestroyMutex(q->mutex);
  if (q->cond) SDL_DestroyCond(q->cond);
  q->mutex = nullptr;
  q->cond = nullptr;
}

void packet_queue_abort(TPacketQueue* q) {
  SDL_LockMutex(q->mutex);
  q->abort_request = 1;
  SDL_CondSignal(q->cond);
  SDL_UnlockMutex(q->mutex);
}

void packet_queue_start(TPacketQueue* q) {
  SDL_LockMutex(q->mutex);
  q->abort_request = 0;
  q->serial += 1;
  SDL_UnlockMutex(q->mutex);
}

int packet_queue_get(TPacketQueue* q, AVPacket* pkt, bool ablock, int& serial) {
  int ret;
  SDL_LockMutex(q->mutex);
  for (;;) {
    if (q->abort_request) {
      ret = -1;
      break;
    }
    TMyAVPacketList pkt1;
    if (av_fifo_read(q->pkt_list, &pkt1, 1) >= 0) {
      q->nb_packets -= 1;
      q->size -= pkt1.pkt->size + static_cast<int>(sizeof(pkt1));
      q->duration -= pkt1.pkt->duration;
      av_packet_move_ref(pkt, pkt1.pkt);
      serial = pkt1.serial;
      av_packet_free(&pkt1.pkt);
      ret = 1;
      break;
    }
    if (!ablock) {
      ret = 0;
      break;
    }
    SDL_CondWait(q->cond, q->mutex);
  }
  SDL_UnlockMutex(q->mutex);
  return ret;
}

// ---- Frame queue -------------------------------------------------------------------------

int frame_queue_init(TFrameQueue* f, TPacketQueue* pktq, int max_size, int keep_last,
                     TPlayerCore* APlayer) {
  f->rindex = 0;
  f->windex = 0;
  f->size = 0;
  f->rindex_shown = 0;
  f->mutex = SDL_CreateMutex();
  if (!f->mutex) return SDLFailure(APlayer, "SDL_CreateMutex");
  f->cond = SDL_CreateCond();
  if (!f->cond) return SDLFailure(APlayer, "SDL_CreateCond");
  f->pktq = pktq;
  f->max_size = max_size < FRAME_QUEUE_SIZE ? max_size : FRAME_QUEUE_SIZE;
  f->keep_last = keep_last ? 1 : 0;
  for (int i = 0; i < f->max_size; i++) {
    f->queue[i].frame = av_frame_alloc();
    if (!f->queue[i].frame) return AVERROR(ENOMEM);
  }
  return 0;
}

void frame_queue_destroy(TFrameQueue* f) {
  for (int i = 0; i < f->max_size; i++) {
    TFrame* vp = &f->queue[i];
    {
      std::lock_guard<std::mutex> g(vp->lock);
      if (vp->frame) frame_queue_unref_item(vp);
      av_frame_free(&vp->frame);
    }
    vp->conv.reset();
  }
  if (f->mutex) SDL_DestroyMutex(f->mutex);
  if (f->cond) SDL_DestroyCond(f->cond);
  f->mutex = nullptr;
  f->cond = nullptr;
  f->max_size = 0;
}

void frame_queue_signal(TFrameQueue* f) {
  SDL_LockMutex(f->mutex);
  SDL_CondSignal(f->cond);
  SDL_UnlockMutex(f->mutex);
}

TFrame* frame_queue_peek(TFrameQueue* f) {
  return &f->queue[(f->rindex + f->rindex_shown) % f->max_size];
}

TFrame* frame_queue_peek_next(TFrameQueue* f) {
  return &f->queue[(f->rindex + f->rindex_shown + 1) % f->max_size];
}

TFrame* frame_queue_peek_last(TFrameQueue* f) { return &f->queue[f->rindex]; }

TFrame* frame_queue_peek_writable(TFrameQueue* f) {
  SDL_LockMutex(f->mutex);
  while (f->size >= f->max_size && !f->pktq->abort_request) SDL_CondWait(f->cond, f->mutex);
  SDL_UnlockMutex(f->mutex);
  if (f->pktq->abort_request) return nullptr;
  return &f->queue[f->windex];
}

TFrame* frame_queue_peek_readable(TFrameQueue* f) {
  SDL_LockMutex(f->mutex);
  while (f->size - f->rindex_shown <= 0 && !f->pktq->abort_request && !f->pktq->finished)
    SDL_CondWait(f->cond, f->mutex);
  const bool nothing = f->size - f->rindex_shown <= 0;
  SDL_UnlockMutex(f->mutex);
  if (f->pktq->abort_request || nothing) return nullptr;
  return &f->queue[(f->rindex + f->rindex_shown) % f->max_size];
}

void frame_queue_push(TFrameQueue* f) {
  if (++f->windex == f->max_size) f->windex = 0;
  SDL_LockMutex(f->mutex);
  f->size += 1;
  SDL_CondSignal(f->cond);
  SDL_UnlockMutex(f->mutex);
}

int frame_queue_put_picture(TFrameQueue* f, AVFrame* src_frame, double pts, double duration,
                            std::int64_t pos, int serial) {
  TFrame* vp = frame_queue_peek_writable(f);
  if (!vp) return -1;
  {
    std::lock_guard<std::mutex> g(vp->lock);
    vp->sar = src_frame->sample_aspect_ratio;
    vp->uploaded = 0;
    vp->width = src_frame->width;
    vp->height = src_frame->height;
    vp->format = src_frame->format;
    vp->pts = pts;
    vp->duration = duration;
    vp->pos = pos;
    vp->serial = serial;
    av_frame_move_ref(vp->frame, src_frame);
  }
  frame_queue_push(f);
  return 0;
}

void frame_queue_next(TFrameQueue* f) {
  if (f->keep_last && !f->rindex_shown) {
    f->rindex_shown = 1;
    return;
  }
  {
    TFrame* vp = &f->queue[f->rindex];
    std::lock_guard<std::mutex> g(vp->lock);
    frame_queue_unref_item(vp);
  }
  SDL_LockMutex(f->mutex);
  if (++f->rindex == f->max_size) f->rindex = 0;
  f->size -= 1;
  SDL_CondSignal(f->cond);
  SDL_UnlockMutex(f->mutex);
}

int frame_queue_nb_remaining(TFrameQueue* f) { return f->size - f->rindex_shown; }

std::int64_t frame_queue_last_pos(TFrameQueue* f) {
  // Other threads than the reader ask (the position report): the mutex orders this
  // against the reader moving on and the writer refilling the slot afterwards.
  SDL_LockMutex(f->mutex);
  TFrame* fp = &f->queue[f->rindex];
  const std::int64_t pos = (f->rindex_shown && fp->serial == f->pktq->serial) ? fp->pos : -1;
  SDL_UnlockMutex(f->mutex);
  return pos;
}

// ---- Event queue -------------------------------------------------------------------------

void TEventQueue::Push(const SDL_Event& AEvent) {
  std::lock_guard<std::mutex> g(FLock);
  int w = (FRead + FCount) % CCapacity;
  if (FCount == CCapacity) {
    // Full: the oldest event makes room for the new one.
    w = FRead;
    FRead = (FRead + 1) % CCapacity;
  } else {
    ++FCount;
  }
  FEvents[w] = AEvent;
}

bool TEventQueue::Pop(SDL_Event& AEvent) {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount == 0) return false;
  AEvent = FEvents[FRead];
  std::memset(&FEvents[FRead], 0, sizeof(SDL_Event));
  FRead = (FRead + 1) % CCapacity;
  --FCount;
  return true;
}

void TEventQueue::Clear() {
  std::lock_guard<std::mutex> g(FLock);
  std::memset(FEvents, 0, sizeof(FEvents));
  FRead = 0;
  FCount = 0;
}

int TEventQueue::Count() const {
  std::lock_guard<std::mutex> g(FLock);
  return FCount;
}

SDL_Event MakeUserEvent(Uint32 AType, void* AOpaque) {
  SDL_Event e;
  std::memset(&e, 0, sizeof(e));
  e.type = AType;
  e.user.data1 = AOpaque;
  return e;
}

// ---- Decoder record ----------------------------------------------------------------------

int decoder_init(TDecoder* d, AVCodecContext* avctx, TPacketQueue* queue,
                 SDL_cond* empty_queue_cond) {
  d->pkt = av_packet_alloc();
  if (!d->pkt) return AVERROR(ENOMEM);
  d->avctx = avctx;
  d->queue = queue;
  d->empty_queue_cond = empty_queue_cond;
  d->start_pts = AV_NOPTS_VALUE;
  d->pkt_serial = -1;
  d->packet_pending = 0;
  d->finished = 0;
  d->flushed = false;
  d->next_pts = AV_NOPTS_VALUE;
  return 0;
}

namespace {

// The byte position's record is shared by the packet, the codec's copies of it and the
// decoded frames, and freed by whichever thread drops the last reference (see
// Platform::HandedOver): its readers hand it over, the free takes it over.
void PositionFree(void* /*opaque*/, std::uint8_t* data) {
  Platform::TakenOver(data);
  av_free(data);
}

AVBufferRef* NewPositionRef(std::int64_t APos) {
  auto* data = static_cast<std::uint8_t*>(av_malloc(sizeof(APos)));
  if (!data) return nullptr;
  std::memcpy(data, &APos, sizeof(APos));
  Platform::HandedOver(data);
  AVBufferRef* ref = av_buffer_create(data, sizeof(APos), PositionFree, nullptr, 0);
  if (!ref) av_free(data);
  return ref;
}

}  // namespace

int decoder_decode_frame(TDecoder* d, AVFrame* frame, AVSubtitle* sub) {
  int ret = AVERROR(EAGAIN);

  for (;;) {
    if (d->queue->serial == d->pkt_serial) {
      do {
        if (d->queue->abort_request) return -1;

        switch (d->avctx->codec_type) {
          case AVMEDIA_TYPE_VIDEO:
            ret = avcodec_receive_frame(d->avctx, frame);
            if (ret >= 0) {
              if (d->reorder_pts == -1)
                frame->pts = frame->best_effort_timestamp;
              else if (!d->reorder_pts)
                frame->pts = frame->pkt_dts;
            }
            break;
          case AVMEDIA_TYPE_AUDIO:
            ret = avcodec_receive_frame(d->avctx, frame);
            if (ret >= 0) {
              // Audio frames are timed in 1/sample_rate; a frame without a time follows
              // on from the previous one.
              const AVRational tb{1, frame->sample_rate};
              if (frame->pts != AV_NOPTS_VALUE)
                frame->pts = av_rescale_q(frame->pts, d->avctx->pkt_timebase, tb);
              else if (d->next_pts != AV_NOPTS_VALUE)
                frame->pts = av_rescale_q(d->next_pts, d->next_pts_tb, tb);
              if (frame->pts != AV_NOPTS_VALUE) {
                d->next_pts = frame->pts + frame->nb_samples;
                d->next_pts_tb = tb;
              }
            }
            break;
          default:
            break;
        }
        if (ret == AVERROR_EOF) {
          d->finished = d->pkt_serial;
          avcodec_flush_buffers(d->avctx);
          return 0;
        }
        if (ret >= 0) return 1;
      } while (ret != AVERROR(EAGAIN));
    }

    do {
      if (d->queue->nb_packets == 0 && d->empty_queue_cond) SDL_CondSignal(d->empty_queue_cond);
      if (d->packet_pending) {
        d->packet_pending = 0;
      } else {
        const int old_serial = d->pkt_serial;
        if (packet_queue_get(d->queue, d->pkt, true, d->pkt_serial) < 0) return -1;
        if (old_serial != d->pkt_serial) {
          // A flush (seek) reached the decoder: what the codec holds is stale.
          avcodec_flush_buffers(d->avctx);
          d->finished = 0;
          d->next_pts = d->start_pts;
          d->next_pts_tb = d->start_pts_tb;
          d->flushed = true;
        }
      }
      if (d->queue->serial == d->pkt_serial) break;
      av_packet_unref(d->pkt);
    } while (true);

    if (d->avctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
      int got_frame = 0;
      ret = avcodec_decode_subtitle2(d->avctx, sub, &got_frame, d->pkt);
      if (ret < 0) {
        ret = AVERROR(EAGAIN);
      } else {
        if (got_frame && !d->pkt->data) d->packet_pending = 1;
        ret = got_frame ? 0 : (d->pkt->data ? AVERROR(EAGAIN) : AVERROR_EOF);
      }
      av_packet_unref(d->pkt);
      // A decoded subtitle is a frame for the caller.
      if (ret == 0) return 1;
      if (ret == AVERROR_EOF) {
        d->finished = d->pkt_serial;
        return 0;
      }
    } else {
      // The byte position travels with the packet to its frames (the codec copies the
      // opaque data when opened with +copy_opaque).
      if (d->pkt->buf && !d->pkt->opaque_ref) {
        d->pkt->opaque_ref = NewPositionRef(d->pkt->pos);
        if (!d->pkt->opaque_ref) return AVERROR(ENOMEM);
      }
      if (avcodec_send_packet(d->avctx, d->pkt) == AVERROR(EAGAIN)) {
        av_log(d->avctx, AV_LOG_ERROR,
               "Receive_frame and send_packet both returned EAGAIN, which is an API "
               "violation.\n");
        d->packet_pending = 1;
      } else {
        av_packet_unref(d->pkt);
      }
    }
  }
}

int decoder_start(TDecoder* d, SDL_ThreadFunction fn, const char* thread_name, void* arg,
                  TPlayerCore* APlayer) {
  packet_queue_start(d->queue);
  d->decoder_tid = SDL_CreateThread(fn, thread_name, arg);
  if (!d->decoder_tid) {
    const std::string text = Platform::Format("SDL_CreateThread(): %s", SDL_GetError());
    if (APlayer)
      APlayer->Log(FFLoad::llError, text);
    else
      FFLoad::VEDovedo->Log(nullptr, FFLoad::llError, text);
    return AVERROR(ENOMEM);
  }
  return 0;
}

void decoder_abort(TDecoder* d, TFrameQueue* fq) {
  packet_queue_abort(d->queue);
  frame_queue_signal(fq);
  if (d->decoder_tid) SDL_WaitThread(d->decoder_tid, nullptr);
  d->decoder_tid = nullptr;
  packet_queue_flush(d->queue);
}

void decoder_destroy(TDecoder* d) {
  av_packet_free(&d->pkt);
  avcodec_free_context(&d->avctx);
}

}  // namespace FFBasePlay
