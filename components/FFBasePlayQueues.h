// The player's queues: packet queues (read thread -> decoder threads), frame queues
// (decoder threads -> display and audio output), the player's SDL event queue, and the
// decoder record that ties a codec context to its packet queue.
//
// Locks (none is ever taken while another of them is held, except where noted):
// - TPacketQueue::mutex guards pkt_list and the counters' updates; `cond` wakes a
//   blocked packet_queue_get. The counters are atomics so that the read thread may test
//   the fill (buffer limit, end of playback) and the clocks may compare serials without
//   taking the lock.
// - TFrameQueue::mutex guards `size` changes and the waits of both sides; `cond` wakes
//   them. Only the writer moves `windex`, only the reader moves `rindex`.
// - TFrame::lock (per slot) is held while the slot is released and by the output side
//   while it converts or hooks the slot's picture; it is taken after the queue's mutex
//   is released, never while it is held.
// - TEventQueue has its own mutex.
//
// The SDL mutexes and condition variables need the SDL2 entry points bound (SDL need
// not be started).
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
}

#include <SDL.h>

namespace FFBasePlay {

class TPlayerCore;

// One entry of a packet queue's FIFO: the packet and the serial it was queued under.
struct TMyAVPacketList {
  AVPacket* pkt;
  int serial;
};

// Packets of one stream, in order. `size` counts the packets' bytes plus the size of
// one FIFO entry per packet (this platform's, 16 bytes), which is what the read thread's
// 15 MiB buffer limit weighs.
struct TPacketQueue {
  AVFifo* pkt_list = nullptr;
  std::atomic<int> nb_packets{0};
  std::atomic<int> size{0};
  std::atomic<std::int64_t> duration{0};  // stream time base
  // 1 = aborted; a new queue starts aborted until packet_queue_start.
  std::atomic<int> abort_request{1};
  // Bumped by every flush and by start: what was queued before belongs to an older serial.
  std::atomic<int> serial{0};
  // Set by the read thread when no more packets come at end of file; cleared by a put.
  std::atomic<int> finished{0};
  SDL_mutex* mutex = nullptr;
  SDL_cond* cond = nullptr;
};

// Output-side data kept with a frame slot (a converted picture and the like); freed
// with the slot's queue.
class TFrameConverterRecord {
 public:
  virtual ~TFrameConverterRecord() = default;
};

// One slot of a frame queue: a decoded picture or sample buffer, or a subtitle.
struct TFrame {
  AVFrame* frame = nullptr;
  AVSubtitle sub{};
  int serial = 0;
  double pts = 0;       // seconds
  double duration = 0;  // seconds
  std::int64_t pos = 0; // byte position in the input
  int width = 0;
  int height = 0;
  int format = 0;
  AVRational sar{0, 1};
  int uploaded = 0;
  int flip_v = 0;
  // Held while the slot is released and by the output side while it reads the slot.
  std::mutex lock;
  std::unique_ptr<TFrameConverterRecord> conv;
};

constexpr int VIDEO_PICTURE_QUEUE_SIZE = 3;
constexpr int SUBPICTURE_QUEUE_SIZE = 16;
constexpr int SAMPLE_QUEUE_SIZE = 9;
constexpr int FRAME_QUEUE_SIZE = 16;  // the most slots a frame queue holds

struct TFrameQueue {
  TFrame queue[FRAME_QUEUE_SIZE];
  int rindex = 0;  // moved by the reader only, under `mutex`
  int windex = 0;  // moved by the writer only
  std::atomic<int> size{0};
  int max_size = 0;
  int keep_last = 0;
  std::atomic<int> rindex_shown{0};
  SDL_mutex* mutex = nullptr;
  SDL_cond* cond = nullptr;
  TPacketQueue* pktq = nullptr;
};

// ---- Packet queue ------------------------------------------------------------------------
// The routines that can fail store their message as APlayer's last error (APlayer may be
// nullptr: then the message is only logged).

// Zeroes q and makes its FIFO, mutex and condition; q is left aborted. 0, or
// AVERROR(ENOMEM) with "SDL_CreateMutex(): %s" / "SDL_CreateCond(): %s".
[[nodiscard]] int packet_queue_init(TPacketQueue* q, TPlayerCore* APlayer);
// Moves pkt's content into the queue under the queue's serial. 0; -1 when the queue is
// aborted or the FIFO cannot grow (pkt is then unreferenced).
int packet_queue_put(TPacketQueue* q, AVPacket* pkt);
// Queues an empty packet of stream_index (end of stream for the decoder); pkt must be an
// allocated, empty packet.
int packet_queue_put_nullpacket(TPacketQueue* q, AVPacket* pkt, int stream_index);
// Frees every queued packet, zeroes the counters and bumps the serial.
void packet_queue_flush(TPacketQueue* q);
// Flushes and frees everything packet_queue_init made.
void packet_queue_destroy(TPacketQueue* q);
// Marks the queue aborted and wakes a blocked reader.
void packet_queue_abort(TPacketQueue* q);
// Clears the abort mark and bumps the serial.
void packet_queue_start(TPacketQueue* q);
// Takes the oldest packet into pkt and its serial into serial. 1 a packet; 0 none and
// ablock false; -1 aborted. A blocking call waits until a packet comes or the queue is
// aborted.
int packet_queue_get(TPacketQueue* q, AVPacket* pkt, bool ablock, int& serial);

// ---- Frame queue -------------------------------------------------------------------------

// max_size is capped at FRAME_QUEUE_SIZE. 0, or AVERROR(ENOMEM) (messages as above).
[[nodiscard]] int frame_queue_init(TFrameQueue* f, TPacketQueue* pktq, int max_size,
                                   int keep_last, TPlayerCore* APlayer);
void frame_queue_destroy(TFrameQueue* f);
// Wakes both sides (after the packet queue was aborted).
void frame_queue_signal(TFrameQueue* f);
// The next frame to show, the one after it, and the last shown one.
TFrame* frame_queue_peek(TFrameQueue* f);
TFrame* frame_queue_peek_next(TFrameQueue* f);
TFrame* frame_queue_peek_last(TFrameQueue* f);
// The slot to fill, waiting while the queue is full; nullptr when the packet queue was
// aborted.
TFrame* frame_queue_peek_writable(TFrameQueue* f);
// The next frame, waiting while nothing is unread; nullptr when the packet queue was
// aborted, or when it is finished and nothing is unread.
TFrame* frame_queue_peek_readable(TFrameQueue* f);
// Publishes the slot returned by frame_queue_peek_writable.
void frame_queue_push(TFrameQueue* f);
// Moves src_frame's picture with its times into the next writable slot (under the slot's
// lock) and publishes it; 0, or -1 when the packet queue was aborted (src_frame is then
// left as it was).
int frame_queue_put_picture(TFrameQueue* f, AVFrame* src_frame, double pts, double duration,
                            std::int64_t pos, int serial);
// Done with the frame at the read index: with keep_last the first call only marks it
// shown; otherwise the slot is released and the reader moves on.
void frame_queue_next(TFrameQueue* f);
// Frames not yet shown.
int frame_queue_nb_remaining(TFrameQueue* f);
// Byte position of the shown frame when it belongs to the packet queue's serial, else -1.
// Any thread may ask.
std::int64_t frame_queue_last_pos(TFrameQueue* f);

// ---- Event queue -------------------------------------------------------------------------

// The player's own events (user events; the stream state rides in user.data1).
constexpr Uint32 FF_USER_EVENT = SDL_USEREVENT;              // 0x8000, HandleUserEvent
constexpr Uint32 FF_QUIT_EVENT = SDL_USEREVENT + 2;          // 0x8002
constexpr Uint32 FF_REFRESH_EVENT = SDL_USEREVENT + 3;       // 0x8003
constexpr Uint32 FF_REFRESH2_EVENT = SDL_USEREVENT + 4;      // 0x8004
// The read thread met the end of the file: the play loop runs the range-end action (the
// read thread must not wait for the stream lock, which a closer holds while it joins it).
constexpr Uint32 FF_RANGE_END_EVENT = SDL_USEREVENT + 5;     // 0x8005

// A ring of 128 SDL events. A full queue drops its oldest event to make room, so the
// newest 128 events are kept. Any thread may push or pop.
class TEventQueue {
 public:
  static constexpr int CCapacity = 128;

  TEventQueue() = default;
  TEventQueue(const TEventQueue&) = delete;
  TEventQueue& operator=(const TEventQueue&) = delete;

  void Push(const SDL_Event& AEvent);
  // Takes the oldest event; False when the queue is empty.
  bool Pop(SDL_Event& AEvent);
  void Clear();
  int Count() const;

 private:
  mutable std::mutex FLock;
  // Guarded by FLock.
  SDL_Event FEvents[CCapacity]{};
  int FRead = 0;
  int FCount = 0;
};

// A user event of type AType carrying AOpaque (the stream state).
SDL_Event MakeUserEvent(Uint32 AType, void* AOpaque);

// ---- Decoder record ----------------------------------------------------------------------

struct TDecoder {
  AVPacket* pkt = nullptr;
  AVCodecContext* avctx = nullptr;
  TPacketQueue* queue = nullptr;
  SDL_cond* empty_queue_cond = nullptr;
  // Owned by the decoder thread.
  int pkt_serial = -1;
  int packet_pending = 0;
  std::int64_t start_pts = AV_NOPTS_VALUE;
  AVRational start_pts_tb{0, 1};
  std::int64_t next_pts = AV_NOPTS_VALUE;
  AVRational next_pts_tb{0, 1};
  // The packet serial whose end the decoder reached; the read thread compares it with
  // the queue's serial to detect the end of playback.
  std::atomic<int> finished{0};
  // Set when a serial change flushed the codec (a seek reached the decoder).
  std::atomic<bool> flushed{false};
  // The player's "drp" setting: -1 automatic, 0 take the packet's timestamp, 1 reorder.
  int reorder_pts = -1;
  SDL_Thread* decoder_tid = nullptr;
};

// 0, or AVERROR(ENOMEM) when the packet cannot be allocated.
[[nodiscard]] int decoder_init(TDecoder* d, AVCodecContext* avctx, TPacketQueue* queue,
                               SDL_cond* empty_queue_cond);
// Decodes the next frame (into frame) or subtitle (into sub, when the codec decodes
// subtitles). 1 a frame; 0 end of stream (the codec drained); -1 the queue was aborted;
// another negative code on a decoding failure.
int decoder_decode_frame(TDecoder* d, AVFrame* frame, AVSubtitle* sub);
// Starts the queue and the decoder thread thread_name running fn(arg). 0, or AVERROR(ENOMEM)
// with "SDL_CreateThread(): %s" logged as an error.
[[nodiscard]] int decoder_start(TDecoder* d, SDL_ThreadFunction fn, const char* thread_name,
                                void* arg, TPlayerCore* APlayer);
// Aborts the queue, wakes the frame queue's waiters, joins the thread, flushes the queue.
void decoder_abort(TDecoder* d, TFrameQueue* fq);
// Frees the packet and the codec context.
void decoder_destroy(TDecoder* d);

}  // namespace FFBasePlay
