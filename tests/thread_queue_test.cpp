// The bounded multi-stream queue between threads, with real packets and frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "MainThreadPump.h"
#include "TestLibraries.h"
#include "Watchdog.h"
#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/ThreadQueue.h"

namespace {

using namespace ThreadQueue;

// A packet with 16 bytes of payload whose first byte and pts are AValue.
AVPacket* MakePacket(int AValue) {
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  if (AVCodecStubs::av_new_packet(pkt, 16) < 0) return pkt;
  pkt->data[0] = static_cast<std::uint8_t>(AValue);
  pkt->pts = AValue;
  return pkt;
}

class ThreadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { TestLibraries::RequireFFmpegLibraries(); }
  void TearDown() override {
    tq_free(FQueue);
    AVCodecStubs::av_packet_free(&FPacket);
  }

  TThreadQueue* FQueue = nullptr;
  AVPacket* FPacket = nullptr;  // the receiver's packet
};

TEST_F(ThreadQueueTest, ASenderBlocksWhileTheQueueIsFull) {
  FQueue = tq_alloc(2, 1, THREAD_QUEUE_PACKETS);
  ASSERT_NE(FQueue, nullptr);
  std::atomic<int> sent{0};
  std::thread sender([&] {
    for (Cardinal stream = 0; stream < 2; stream++) {
      AVPacket* pkt = MakePacket(10 + static_cast<int>(stream));
      EXPECT_EQ(tq_send(FQueue, stream, pkt), 0);
      EXPECT_EQ(pkt->data, nullptr);  // moved into the queue
      AVCodecStubs::av_packet_free(&pkt);
      sent++;
    }
  });
  ASSERT_TRUE(MainThreadPump::PumpUntil([&] { return sent.load() >= 1; }));
  // the second waits for room
  EXPECT_TRUE(MainThreadPump::KeepsHolding([&] { return sent.load() == 1; }));

  FPacket = AVCodecStubs::av_packet_alloc();
  int stream = -2;
  ASSERT_EQ(tq_receive(FQueue, stream, FPacket), 0);
  EXPECT_EQ(stream, 0);
  EXPECT_EQ(FPacket->pts, 10);
  ASSERT_NE(FPacket->data, nullptr);
  EXPECT_EQ(FPacket->data[0], 10);
  AVCodecStubs::av_packet_unref(FPacket);

  ASSERT_EQ(tq_receive(FQueue, stream, FPacket), 0);
  EXPECT_EQ(stream, 1);
  EXPECT_EQ(FPacket->pts, 11);
  AVCodecStubs::av_packet_unref(FPacket);
  sender.join();
  EXPECT_EQ(sent.load(), 2);
}

TEST_F(ThreadQueueTest, ReceiverFinishWakesABlockedSender) {
  FQueue = tq_alloc(1, 1, THREAD_QUEUE_PACKETS);
  ASSERT_NE(FQueue, nullptr);
  AVPacket* first = MakePacket(1);
  ASSERT_EQ(tq_send(FQueue, 0, first), 0);
  AVCodecStubs::av_packet_free(&first);

  std::atomic<int> result{1};
  AVPacket* second = MakePacket(2);
  std::thread sender([&] { result = tq_send(FQueue, 0, second); });
  EXPECT_TRUE(MainThreadPump::KeepsHolding([&] { return result.load() == 1; }));

  tq_receive_finish(FQueue, 0);
  sender.join();
  EXPECT_EQ(result.load(), AVERROR_EOF);
  ASSERT_NE(second->data, nullptr);  // still the caller's
  EXPECT_EQ(second->data[0], 2);
  EXPECT_EQ(tq_send(FQueue, 0, second), AVERROR(EINVAL));
  AVCodecStubs::av_packet_free(&second);

  // the queued item of the refused stream is dropped; the end comes once, then -1
  FPacket = AVCodecStubs::av_packet_alloc();
  int stream = -2;
  EXPECT_EQ(tq_receive(FQueue, stream, FPacket), AVERROR_EOF);
  EXPECT_EQ(stream, -1);
  EXPECT_EQ(FPacket->data, nullptr);
}

// An unbounded send never waits: a full queue takes the item beyond its bound, in order
// after what was queued, while ordinary sends keep waiting for the queue to fall below
// its bound. The ends of the stream hold for it as for any send.
TEST_F(ThreadQueueTest, AnUnboundedSendGoesPastTheBoundWithoutWaiting) {
  FQueue = tq_alloc(1, 2, THREAD_QUEUE_PACKETS);
  ASSERT_NE(FQueue, nullptr);
  TestWatchdog::TWatchdog watchdog;
  for (int i = 0; i < 5; i++) {
    AVPacket* pkt = MakePacket(i);
    watchdog.Bounded("send " + std::to_string(i), 60, [&] {
      EXPECT_EQ(i < 2 ? tq_send(FQueue, 0, pkt) : tq_send_unbounded(FQueue, 0, pkt), 0);
    });
    EXPECT_EQ(pkt->data, nullptr);
    AVCodecStubs::av_packet_free(&pkt);
  }

  // five items in, above the bound of two: an ordinary sender waits until four have been
  // taken
  std::atomic<int> result{1};
  AVPacket* late = MakePacket(5);
  std::thread sender([&] { result = tq_send(FQueue, 0, late); });
  FPacket = AVCodecStubs::av_packet_alloc();
  int stream = -2;
  watchdog.Arm("receiving", 60);
  for (int i = 0; i < 6; i++) {
    ASSERT_EQ(tq_receive(FQueue, stream, FPacket), 0);
    EXPECT_EQ(stream, 0);
    EXPECT_EQ(FPacket->pts, i);  // in the order sent
    ASSERT_NE(FPacket->data, nullptr);
    EXPECT_EQ(FPacket->data[0], i);
    AVCodecStubs::av_packet_unref(FPacket);
    if (i < 3) {  // two or more still queued
      EXPECT_EQ(result.load(), 1) << "an ordinary send went past the bound";
    }
  }
  sender.join();
  watchdog.Disarm();
  EXPECT_EQ(result.load(), 0);
  AVCodecStubs::av_packet_free(&late);

  // the ends: refused by the receiver, then finished by the sender
  AVPacket* pkt = MakePacket(7);
  tq_receive_finish(FQueue, 0);
  EXPECT_EQ(tq_send_unbounded(FQueue, 0, pkt), AVERROR_EOF);
  ASSERT_NE(pkt->data, nullptr);  // still the caller's
  EXPECT_EQ(tq_send_unbounded(FQueue, 0, pkt), AVERROR(EINVAL));
  AVCodecStubs::av_packet_free(&pkt);
}

TEST_F(ThreadQueueTest, ItemsOfARefusedStreamAreDropped) {
  FQueue = tq_alloc(2, 8, THREAD_QUEUE_PACKETS);
  ASSERT_NE(FQueue, nullptr);
  for (int i = 0; i < 6; i++) {
    AVPacket* pkt = MakePacket(i);
    ASSERT_EQ(tq_send(FQueue, static_cast<Cardinal>(i % 2), pkt), 0);
    AVCodecStubs::av_packet_free(&pkt);
  }
  tq_receive_finish(FQueue, 0);
  tq_send_finish(FQueue, 1);

  FPacket = AVCodecStubs::av_packet_alloc();
  std::vector<int> got;
  int stream = -2;
  int ret;
  while ((ret = tq_receive(FQueue, stream, FPacket)) == 0) {
    EXPECT_EQ(stream, 1);
    got.push_back(static_cast<int>(FPacket->pts));
    AVCodecStubs::av_packet_unref(FPacket);
  }
  EXPECT_EQ(got, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(ret, AVERROR_EOF);
  EXPECT_EQ(stream, 1);  // stream 0 was refused by the receiver: its end is not reported
  EXPECT_EQ(tq_receive(FQueue, stream, FPacket), AVERROR_EOF);
  EXPECT_EQ(stream, -1);
}

TEST_F(ThreadQueueTest, EndsAreReportedOnceInIndexOrderThenMinusOne) {
  FQueue = tq_alloc(3, 4, THREAD_QUEUE_FRAMES);
  ASSERT_NE(FQueue, nullptr);
  AVFrame* frame = AVUtilStubs::av_frame_alloc();
  frame->pts = 42;
  ASSERT_EQ(tq_send(FQueue, 2, frame), 0);
  for (Cardinal i : {2u, 0u, 1u}) tq_send_finish(FQueue, i);

  int stream = -2;
  ASSERT_EQ(tq_receive(FQueue, stream, frame), 0);  // items before ends
  EXPECT_EQ(stream, 2);
  EXPECT_EQ(frame->pts, 42);
  AVUtilStubs::av_frame_unref(frame);
  for (int expected : {0, 1, 2, -1, -1, -1}) {
    EXPECT_EQ(tq_receive(FQueue, stream, frame), AVERROR_EOF);
    EXPECT_EQ(stream, expected);
  }
  AVUtilStubs::av_frame_free(&frame);
}

// A queue that could hold nothing (or serve no stream) is refused instead of made: its
// first sender would block for good.
TEST_F(ThreadQueueTest, AQueueThatHoldsNothingIsRefused) {
  for (const TThreadQueueType type_ : {THREAD_QUEUE_PACKETS, THREAD_QUEUE_FRAMES}) {
    SCOPED_TRACE(static_cast<int>(type_));
    EXPECT_EQ(tq_alloc(1, 0, type_), nullptr);
    EXPECT_EQ(tq_alloc(0, 8, type_), nullptr);
    TThreadQueue* one = tq_alloc(1, 1, type_);
    EXPECT_NE(one, nullptr);
    tq_free(one);
  }
}

TEST_F(ThreadQueueTest, StreamIndexOutOfRangeIsAProgrammingError) {
  FQueue = tq_alloc(2, 4, THREAD_QUEUE_PACKETS);
  ASSERT_NE(FQueue, nullptr);
  AVPacket* pkt = MakePacket(0);
  EXPECT_THROW(tq_send(FQueue, 2, pkt), Platform::EAssertionFailed);
  EXPECT_THROW(tq_send_finish(FQueue, 2), Platform::EAssertionFailed);
  EXPECT_THROW(tq_receive_finish(FQueue, 5), Platform::EAssertionFailed);
  AVCodecStubs::av_packet_free(&pkt);
}

// Several senders through a small queue to one receiver: each stream's items arrive
// complete and in order, its end once after them; frames and packets alike.
class ThreadQueueStress : public ThreadQueueTest,
                          public ::testing::WithParamInterface<TThreadQueueType> {};

TEST_P(ThreadQueueStress, SendersAndOneReceiver) {
  const TThreadQueueType type = GetParam();
  constexpr Cardinal CStreams = 4;
  constexpr int CItems = 2000;
  FQueue = tq_alloc(CStreams, 8, type);
  ASSERT_NE(FQueue, nullptr);

  std::vector<std::thread> senders;
  for (Cardinal s = 0; s < CStreams; s++) {
    senders.emplace_back([this, s, type] {
      for (int i = 0; i < CItems; i++) {
        if (type == THREAD_QUEUE_PACKETS) {
          AVPacket* pkt = MakePacket(i);
          EXPECT_EQ(tq_send(FQueue, s, pkt), 0);
          AVCodecStubs::av_packet_free(&pkt);
        } else {
          AVFrame* frame = AVUtilStubs::av_frame_alloc();
          frame->pts = i;
          EXPECT_EQ(tq_send(FQueue, s, frame), 0);
          AVUtilStubs::av_frame_free(&frame);
        }
      }
      tq_send_finish(FQueue, s);
    });
  }

  AVFrame* frame = AVUtilStubs::av_frame_alloc();
  FPacket = AVCodecStubs::av_packet_alloc();
  void* item = type == THREAD_QUEUE_PACKETS ? static_cast<void*>(FPacket) : static_cast<void*>(frame);
  std::vector<std::int64_t> next(CStreams, 0);
  std::vector<int> ends(CStreams, 0);
  bool in_order = true;
  for (;;) {
    int stream = -2;
    const int ret = tq_receive(FQueue, stream, item);
    if (ret == AVERROR_EOF && stream == -1) break;
    ASSERT_GE(stream, 0);
    if (ret == AVERROR_EOF) {
      ends[static_cast<std::size_t>(stream)]++;
      in_order = in_order && next[static_cast<std::size_t>(stream)] == CItems;
      continue;
    }
    ASSERT_EQ(ret, 0);
    const std::int64_t pts = type == THREAD_QUEUE_PACKETS ? FPacket->pts : frame->pts;
    in_order = in_order && pts == next[static_cast<std::size_t>(stream)]++;
    if (type == THREAD_QUEUE_PACKETS)
      AVCodecStubs::av_packet_unref(FPacket);
    else
      AVUtilStubs::av_frame_unref(frame);
  }
  for (std::thread& t : senders) t.join();
  AVUtilStubs::av_frame_free(&frame);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(next, std::vector<std::int64_t>(CStreams, CItems));
  EXPECT_EQ(ends, std::vector<int>(CStreams, 1));
}

INSTANTIATE_TEST_SUITE_P(Items, ThreadQueueStress,
                         ::testing::Values(THREAD_QUEUE_PACKETS, THREAD_QUEUE_FRAMES),
                         [](const ::testing::TestParamInfo<TThreadQueueType>& info) {
                           return info.param == THREAD_QUEUE_PACKETS ? "Packets" : "Frames";
                         });

}  // namespace
