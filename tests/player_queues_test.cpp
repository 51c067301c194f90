// The player's event ring, packet queues, frame queues and decoder record, over the real
// SDL2 mutexes and the real FFmpeg libraries (a decoder fed with packets of a file made
// from lavfi sources at test time).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "MediaBuilder.h"
#include "PlayerTestSupport.h"
#include "TempFolder.h"
#include "components/FFBasePlayQueues.h"
#include "components/FFBasePlayState.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"

namespace {

// The entry points this file calls, bound at run time.
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_unref;
using AVCodecStubs::av_new_packet;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_free;
using AVCodecStubs::av_packet_unref;
using AVFormatStubs::av_read_frame;
using AVUtilStubs::av_rescale_q;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_alloc;
using AVCodecStubs::avcodec_parameters_copy;
using AVCodecStubs::avcodec_parameters_free;
using AVCodecStubs::avcodec_parameters_to_context;
using AVFormatStubs::avformat_close_input;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_open_input;

using namespace FFBasePlay;

class PlayerQueuesTest : public ::testing::Test {
 protected:
  void SetUp() override { PlayerTestSupport::RequirePlayerLibraries(); }
};

// A packet of ASize bytes with the given duration.
AVPacket* NewPacket(int ASize, std::int64_t ADuration = 0) {
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  EXPECT_EQ(AVCodecStubs::av_new_packet(pkt, ASize), 0);
  pkt->duration = ADuration;
  return pkt;
}

TEST(PlayerEventQueue, KeepsTheNewest128EventsInOrder) {
  TEventQueue q;
  for (int i = 1; i <= 129; ++i) {
    SDL_Event e{};
    e.type = SDL_USEREVENT;
    e.user.code = i;
    q.Push(e);
  }
  EXPECT_EQ(q.Count(), TEventQueue::CCapacity);
  SDL_Event e;
  for (int i = 2; i <= 129; ++i) {
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.user.code, i);
  }
  EXPECT_FALSE(q.Pop(e));
}

TEST(PlayerEventQueue, ClearEmptiesAndTheRingWrapsAfterwards) {
  TEventQueue q;
  SDL_Event e = MakeUserEvent(FF_QUIT_EVENT, &q);
  for (int i = 0; i < 100; ++i) q.Push(e);
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_FALSE(q.Pop(e));
  // Across the ring's end, with the oldest dropped when full, order is kept.
  auto push = [&](int ACode) {
    SDL_Event in = MakeUserEvent(FF_REFRESH_EVENT, nullptr);
    in.user.code = ACode;
    q.Push(in);
  };
  for (int i = 0; i < 100; ++i) push(i);
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.user.code, i);
  }
  for (int i = 100; i < 200; ++i) push(i);  // 150 pushed, the 22 oldest dropped
  EXPECT_EQ(q.Count(), TEventQueue::CCapacity);
  for (int i = 72; i < 200; ++i) {
    ASSERT_TRUE(q.Pop(e));
    EXPECT_EQ(e.type, FF_REFRESH_EVENT);
    EXPECT_EQ(e.user.code, i);
  }
  EXPECT_FALSE(q.Pop(e));
}

TEST_F(PlayerQueuesTest, AQueueNeverStartedRefusesPacketsAndReleasesThem) {
  TPacketQueue q;
  ASSERT_EQ(packet_queue_init(&q, nullptr), 0);
  AVPacket* pkt = NewPacket(100);
  EXPECT_EQ(packet_queue_put(&q, pkt), -1);
  EXPECT_EQ(pkt->data, nullptr) << "a refused packet is released";
  EXPECT_EQ(q.nb_packets, 0);
  AVCodecStubs::av_packet_free(&pkt);
  packet_queue_destroy(&q);
}

TEST_F(PlayerQueuesTest, CountsBytesWithThisPlatformsEntrySizeAndKeepsOrderAndSerials) {
  TPacketQueue q;
  ASSERT_EQ(packet_queue_init(&q, nullptr), 0);
  packet_queue_start(&q);
  const int serial = q.serial;
  for (int i = 1; i <= 3; ++i) {
    AVPacket* pkt = NewPacket(100 * i, 10 * i);
    pkt->pts = i;
    ASSERT_EQ(packet_queue_put(&q, pkt), 0);
    AVCodecStubs::av_packet_free(&pkt);
  }
  EXPECT_EQ(q.nb_packets, 3);
  EXPECT_EQ(sizeof(TMyAVPacketList), 2 * sizeof(void*));
  EXPECT_EQ(q.size, 600 + 3 * static_cast<int>(sizeof(TMyAVPacketList)));
  EXPECT_EQ(q.duration, 60);

  AVPacket* out = AVCodecStubs::av_packet_alloc();
  int got_serial = -1;
  ASSERT_EQ(packet_queue_get(&q, out, false, got_serial), 1);
  EXPECT_EQ(out->pts, 1);
  EXPECT_EQ(out->size, 100);
  EXPECT_EQ(got_serial, serial);
  AVCodecStubs::av_packet_unref(out);

  // A flush drops what is queued and moves to a new serial.
  packet_queue_flush(&q);
  EXPECT_EQ(q.serial, serial + 1);
  EXPECT_EQ(q.nb_packets, 0);
  EXPECT_EQ(q.size, 0);
  EXPECT_EQ(q.duration, 0);
  EXPECT_EQ(packet_queue_get(&q, out, false, got_serial), 0);

  AVPacket* pkt = NewPacket(10);
  pkt->pts = 7;
  ASSERT_EQ(packet_queue_put(&q, pkt), 0);
  AVCodecStubs::av_packet_free(&pkt);
  ASSERT_EQ(packet_queue_get(&q, out, true, got_serial), 1);
  EXPECT_EQ(out->pts, 7);
  EXPECT_EQ(got_serial, serial + 1);
  AVCodecStubs::av_packet_free(&out);
  packet_queue_destroy(&q);
}

TEST_F(PlayerQueuesTest, AbortWakesABlockedReader) {
  TPacketQueue q;
  ASSERT_EQ(packet_queue_init(&q, nullptr), 0);
  packet_queue_start(&q);
  std::atomic<int> result{2};
  std::thread reader([&] {
    AVPacket* out = AVCodecStubs::av_packet_alloc();
    int serial = 0;
    result = packet_queue_get(&q, out, true, serial);
    AVCodecStubs::av_packet_free(&out);
  });
  packet_queue_abort(&q);
  reader.join();
  EXPECT_EQ(result, -1);
  // An aborted queue refuses puts as well.
  AVPacket* pkt = NewPacket(10);
  EXPECT_EQ(packet_queue_put(&q, pkt), -1);
  AVCodecStubs::av_packet_free(&pkt);
  packet_queue_destroy(&q);
}

// A frame queue over its own packet queue.
class PlayerFrameQueueTest : public PlayerQueuesTest {
 protected:
  void Init(int AMaxSize, int AKeepLast) {
    ASSERT_EQ(packet_queue_init(&FPackets, nullptr), 0);
    packet_queue_start(&FPackets);
    ASSERT_EQ(frame_queue_init(&FFrames, &FPackets, AMaxSize, AKeepLast, nullptr), 0);
  }
  void TearDown() override {
    frame_queue_destroy(&FFrames);
    packet_queue_destroy(&FPackets);
  }
  // Queues a frame with pts APts and byte position APos under the queue's serial.
  void PushFrame(double APts, std::int64_t APos = -1) {
    TFrame* vp = frame_queue_peek_writable(&FFrames);
    ASSERT_NE(vp, nullptr);
    vp->pts = APts;
    vp->pos = APos;
    vp->serial = FPackets.serial;
    vp->frame->nb_samples = 1;
    frame_queue_push(&FFrames);
  }

  TPacketQueue FPackets;
  TFrameQueue FFrames;
};

TEST_F(PlayerFrameQueueTest, AFinishedQueueWithNothingUnreadAnswersAtOnce) {
  Init(VIDEO_PICTURE_QUEUE_SIZE, 1);
  FPackets.finished = 1;
  EXPECT_EQ(frame_queue_peek_readable(&FFrames), nullptr);
  // Frames still queued are read before the end shows.
  PushFrame(1.0);
  TFrame* vp = frame_queue_peek_readable(&FFrames);
  ASSERT_NE(vp, nullptr);
  EXPECT_EQ(vp->pts, 1.0);
}

TEST_F(PlayerFrameQueueTest, KeepLastLeavesTheShownFrameReadable) {
  Init(VIDEO_PICTURE_QUEUE_SIZE, 1);
  PushFrame(1.0, 100);
  PushFrame(2.0, 200);
  EXPECT_EQ(frame_queue_nb_remaining(&FFrames), 2);
  EXPECT_EQ(frame_queue_last_pos(&FFrames), -1) << "nothing shown yet";
  frame_queue_next(&FFrames);  // shows the first frame
  EXPECT_EQ(frame_queue_nb_remaining(&FFrames), 1);
  EXPECT_EQ(frame_queue_peek_last(&FFrames)->pts, 1.0);
  EXPECT_EQ(frame_queue_peek(&FFrames)->pts, 2.0);
  EXPECT_EQ(frame_queue_last_pos(&FFrames), 100);
  frame_queue_next(&FFrames);  // shows the second, releases the first
  EXPECT_EQ(frame_queue_peek_last(&FFrames)->pts, 2.0);
  EXPECT_EQ(frame_queue_nb_remaining(&FFrames), 0);
  EXPECT_EQ(FFrames.size, 1);
  // A flush moves the packet queue to a new serial: the shown frame is stale.
  packet_queue_flush(&FPackets);
  EXPECT_EQ(frame_queue_last_pos(&FFrames), -1);
}

TEST_F(PlayerFrameQueueTest, WithoutKeepLastEveryNextReleasesAFrame) {
  Init(SUBPICTURE_QUEUE_SIZE, 0);
  PushFrame(1.0);
  frame_queue_next(&FFrames);
  EXPECT_EQ(FFrames.size, 0);
  EXPECT_EQ(FFrames.queue[0].frame->nb_samples, 0) << "the slot's frame was released";
}

TEST_F(PlayerFrameQueueTest, SizeIsCappedAndAFullQueueWaitsUntilAborted) {
  Init(100, 0);
  EXPECT_EQ(FFrames.max_size, FRAME_QUEUE_SIZE);
  for (int i = 0; i < FRAME_QUEUE_SIZE; ++i) PushFrame(i);
  std::atomic<bool> done{false};
  TFrame* got = reinterpret_cast<TFrame*>(1);
  std::thread writer([&] {
    got = frame_queue_peek_writable(&FFrames);
    done = true;
  });
  packet_queue_abort(&FPackets);
  frame_queue_signal(&FFrames);
  writer.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(got, nullptr);
}

// Packets of a small MPEG-4 file, in file order.
std::vector<AVPacket*> ReadVideoPackets(const std::string& AFileName, AVCodecParameters* APar,
                                        AVRational& ATimeBase) {
  std::vector<AVPacket*> packets;
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, AFileName.c_str(), nullptr, nullptr) < 0) return packets;
  if (avformat_find_stream_info(ic, nullptr) >= 0) {
    AVCodecStubs::avcodec_parameters_copy(APar, ic->streams[0]->codecpar);
    ATimeBase = ic->streams[0]->time_base;
    for (;;) {
      AVPacket* pkt = AVCodecStubs::av_packet_alloc();
      if (av_read_frame(ic, pkt) < 0) {
        AVCodecStubs::av_packet_free(&pkt);
        break;
      }
      packets.push_back(pkt);
    }
  }
  avformat_close_input(&ic);
  return packets;
}

TEST_F(PlayerQueuesTest, DecoderDropsPacketsOfAnOldSerialAndReportsTheEnd) {
  const std::string file = TempFolder::MakeFile("player_queues", ".mkv");
  ASSERT_FALSE(file.empty());
  const char* name = file.c_str();
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "v";
  spec.Duration = 0.4;  // 10 pictures, key frames at 0 and 5
  ASSERT_EQ(MediaBuilder::WriteMedia(name, "matroska", spec), 0);
  AVCodecParameters* par = avcodec_parameters_alloc();
  AVRational tb{0, 1};
  std::vector<AVPacket*> packets = ReadVideoPackets(name, par, tb);
  std::remove(name);
  ASSERT_EQ(packets.size(), 10u);

  TPacketQueue q;
  ASSERT_EQ(packet_queue_init(&q, nullptr), 0);
  AVCodecContext* avctx = avcodec_alloc_context3(avcodec_find_decoder(par->codec_id));
  ASSERT_GE(avcodec_parameters_to_context(avctx, par), 0);
  avctx->pkt_timebase = tb;
  ASSERT_GE(avcodec_open2(avctx, avctx->codec, nullptr), 0);
  TDecoder d;
  ASSERT_EQ(decoder_init(&d, avctx, &q, nullptr), 0);
  packet_queue_start(&q);

  // The first five pictures, then a flush (a seek), then the last five and the end.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(packet_queue_put(&q, packets[i]), 0);
  packet_queue_flush(&q);
  const int serial = q.serial;
  for (int i = 5; i < 10; ++i) ASSERT_EQ(packet_queue_put(&q, packets[i]), 0);
  AVPacket* null_pkt = av_packet_alloc();
  ASSERT_EQ(packet_queue_put_nullpacket(&q, null_pkt, 0), 0);

  AVFrame* frame = AVUtilStubs::av_frame_alloc();
  std::vector<std::int64_t> pts;
  int got;
  while ((got = decoder_decode_frame(&d, frame, nullptr)) == 1) {
    pts.push_back(frame->pts);
    AVUtilStubs::av_frame_unref(frame);
  }
  EXPECT_EQ(got, 0);
  EXPECT_EQ(d.finished, serial);
  EXPECT_EQ(d.pkt_serial, serial);
  EXPECT_TRUE(d.flushed);
  ASSERT_EQ(pts.size(), 5u) << "the pictures queued before the flush are never decoded";
  EXPECT_EQ(AVUtilStubs::av_rescale_q(pts[0], tb, AVRational{1, 25}), 5);

  // An aborted queue ends the decoder at once.
  packet_queue_abort(&q);
  EXPECT_EQ(decoder_decode_frame(&d, frame, nullptr), -1);

  AVUtilStubs::av_frame_free(&frame);
  av_packet_free(&null_pkt);
  for (AVPacket*& p : packets) av_packet_free(&p);
  avcodec_parameters_free(&par);
  decoder_destroy(&d);
  packet_queue_destroy(&q);
}

}  // namespace
