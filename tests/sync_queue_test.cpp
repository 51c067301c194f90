// Keeping output streams in step: limiting heads, finishing, audio re-cutting and the
// overflow heartbeat.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <vector>

#include "TestLibraries.h"
#include "platform/Exception.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SyncQueue.h"

namespace {

using namespace SyncQueue;

constexpr AVRational CMilliseconds{1, 1000};

class SyncQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLibraries::RequireFFmpegLibraries();
    FPacket = AVCodecStubs::av_packet_alloc();
    FFrame = AVUtilStubs::av_frame_alloc();
  }
  void TearDown() override {
    sq_free(FQueue);
    AVCodecStubs::av_packet_free(&FPacket);
    AVUtilStubs::av_frame_free(&FFrame);
  }

  // Sends a packet of [APts, APts + ADuration) milliseconds.
  int SendPacket(Cardinal AStream, std::int64_t APts, std::int64_t ADuration) {
    struct TOwned {
      AVPacket* Packet = AVCodecStubs::av_packet_alloc();
      ~TOwned() { AVCodecStubs::av_packet_free(&Packet); }
    } owned;
    owned.Packet->pts = APts;
    owned.Packet->duration = ADuration;
    owned.Packet->time_base = CMilliseconds;
    return sq_send(FQueue, AStream, SQPKT(owned.Packet));
  }

  // Receives one packet: the stream index (or the error) and its pts in APts.
  int Receive(int AStream, std::int64_t& APts) {
    const int ret = sq_receive(FQueue, AStream, SQPKT(FPacket));
    APts = ret >= 0 ? FPacket->pts : AV_NOPTS_VALUE;
    AVCodecStubs::av_packet_unref(FPacket);
    return ret;
  }

  TSyncQueue* FQueue = nullptr;
  AVPacket* FPacket = nullptr;
  AVFrame* FFrame = nullptr;
};

TEST_F(SyncQueueTest, TheEarliestLimitingHeadHoldsBackLaterItems) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 1);

  std::int64_t pts;
  ASSERT_EQ(SendPacket(1, 0, 3000), 0);          // ends at 3 s
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));  // no head before every limiting stream has one
  ASSERT_EQ(SendPacket(0, 0, 1000), 0);          // ends at 1 s
  EXPECT_EQ(Receive(-1, pts), 0);
  EXPECT_EQ(pts, 0);
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));  // 3 s is past the head at 1 s
  EXPECT_EQ(Receive(1, pts), AVERROR(EAGAIN));

  ASSERT_EQ(SendPacket(0, 1000, 1500), 0);  // head moves to 2.5 s
  EXPECT_EQ(Receive(-1, pts), 0);
  EXPECT_EQ(pts, 1000);
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));

  ASSERT_EQ(SendPacket(0, 2500, 1000), 0);  // 3.5 s: now stream 1 at 3 s is the head
  EXPECT_EQ(Receive(-1, pts), 1);
  EXPECT_EQ(pts, 0);
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));  // 3.5 s waits for stream 1
}

TEST_F(SyncQueueTest, AFinishingLimitingStreamFinishesThosePastIt) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 1);
  ASSERT_EQ(sq_add_stream(FQueue, 0), 2);

  std::int64_t pts;
  ASSERT_EQ(SendPacket(0, 0, 2000), 0);  // ends at 2 s
  ASSERT_EQ(SendPacket(1, 0, 3000), 0);  // ends at 3 s
  ASSERT_EQ(SendPacket(2, 0, 1000), 0);  // ends at 1 s, not limiting
  ASSERT_EQ(sq_send(FQueue, 0, SQPKT(nullptr)), 0);

  EXPECT_EQ(SendPacket(1, 3000, 100), AVERROR_EOF);  // past 2 s: finished
  ASSERT_EQ(SendPacket(2, 1000, 500), 0);           // at 1.5 s still open

  EXPECT_EQ(Receive(-1, pts), 0);
  EXPECT_EQ(Receive(-1, pts), 2);
  EXPECT_EQ(pts, 0);
  EXPECT_EQ(Receive(-1, pts), 2);
  EXPECT_EQ(pts, 1000);
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));  // stream 2 has not ended

  ASSERT_EQ(SendPacket(2, 1500, 1000), 0);  // reaches 2.5 s: finished as well
  EXPECT_EQ(SendPacket(2, 2500, 100), AVERROR_EOF);
  // everything has ended: what lies beyond 2 s is never released
  EXPECT_EQ(Receive(-1, pts), AVERROR_EOF);
  EXPECT_EQ(Receive(1, pts), AVERROR_EOF);
}

// Timestamps at the top of the range (a crafted file's): the ends saturate instead of
// wrapping to the bottom, so the order holds and the queue ends as at any time.
TEST_F(SyncQueueTest, EndsNearTheLargestTimestampSaturate) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 1);
  constexpr std::int64_t CTop = INT64_MAX - 500;

  std::int64_t pts;
  ASSERT_EQ(SendPacket(0, CTop - 2000, 1000), 0);
  ASSERT_EQ(SendPacket(1, CTop, 1000), 0);  // would end past the largest Int64
  EXPECT_EQ(Receive(-1, pts), 0);
  EXPECT_EQ(pts, CTop - 2000);
  EXPECT_EQ(Receive(-1, pts), AVERROR(EAGAIN));
  ASSERT_EQ(SendPacket(0, CTop - 1000, 1000), 0);
  EXPECT_EQ(Receive(-1, pts), 0);
  EXPECT_EQ(pts, CTop - 1000);
  ASSERT_EQ(sq_send(FQueue, 0, SQPKT(nullptr)), 0);
  // stream 1's item ends past the end of stream 0: never released, as at any time
  EXPECT_EQ(Receive(-1, pts), AVERROR_EOF);
}

TEST_F(SyncQueueTest, FrameLimit) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 0), 0);
  ASSERT_EQ(sq_add_stream(FQueue, 0), 1);
  sq_limit_frames(FQueue, 0, 2);
  ASSERT_EQ(SendPacket(0, 0, 10), 0);
  ASSERT_EQ(SendPacket(0, 10, 10), 0);  // the second reaches the limit
  EXPECT_EQ(SendPacket(0, 20, 10), AVERROR_EOF);

  ASSERT_EQ(SendPacket(1, 0, 10), 0);
  sq_limit_frames(FQueue, 1, 1);  // already reached: finished at once
  EXPECT_EQ(SendPacket(1, 10, 10), AVERROR_EOF);

  std::int64_t pts;
  EXPECT_EQ(Receive(0, pts), 0);
  EXPECT_EQ(Receive(0, pts), 0);
  EXPECT_EQ(Receive(0, pts), AVERROR_EOF);
  EXPECT_EQ(Receive(-1, pts), 1);
  EXPECT_EQ(Receive(-1, pts), AVERROR_EOF);
}

// A negative limit is no limit (-frames -1): set before or after items were sent, the
// stream goes on taking them.
TEST_F(SyncQueueTest, NegativeFrameLimitIsNoLimit) {
  for (const std::int64_t limit : {std::int64_t{-1}, std::int64_t{-2}, INT64_MIN}) {
    SCOPED_TRACE(limit);
    sq_free(FQueue);
    FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 10000000, nullptr);
    ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
    ASSERT_EQ(sq_add_stream(FQueue, 1), 1);
    sq_limit_frames(FQueue, 0, limit);  // before the first item
    ASSERT_EQ(SendPacket(1, 0, 10), 0);
    sq_limit_frames(FQueue, 1, limit);  // after one
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(SendPacket(0, 10 * i, 10), 0);
      EXPECT_EQ(SendPacket(1, 10 * (i + 1), 10), 0);
    }
    std::int64_t pts;
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(Receive(0, pts), 0);
      EXPECT_EQ(pts, 10 * i);
    }
  }
}

// A stream far ahead of a lagging one moves the lagging head up by heartbeats, so that
// it does not wait forever; it keeps buf_size_us of its own items back.
TEST_F(SyncQueueTest, OverflowHeartbeatReleasesALaggingQueue) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 1000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 1);

  std::int64_t pts;
  ASSERT_EQ(SendPacket(1, 0, 40), 0);  // the lagging stream: up to 40 ms, then silence
  for (int i = 0; i < 50; i++) ASSERT_EQ(SendPacket(0, i * 100, 100), 0);  // up to 5 s
  EXPECT_EQ(Receive(-1, pts), 1);

  std::vector<std::int64_t> released;
  int ret;
  while ((ret = Receive(-1, pts)) == 0) released.push_back(pts);
  EXPECT_EQ(ret, AVERROR(EAGAIN));
  // items ending up to 4 s (5 s - 1 s of buffering) leave
  ASSERT_EQ(released.size(), 40u);
  for (int i = 0; i < 40; i++) EXPECT_EQ(released[static_cast<std::size_t>(i)], i * 100);
}

TEST_F(SyncQueueTest, ProgrammingErrors) {
  FQueue = sq_alloc(SYNC_QUEUE_PACKETS, 1000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  EXPECT_THROW(SendPacket(1, 0, 10), Platform::EAssertionFailed);
  EXPECT_THROW(sq_frame_samples(FQueue, 0, 1024), Platform::EAssertionFailed);
  EXPECT_THROW(sq_limit_frames(FQueue, 3, 1), Platform::EAssertionFailed);
  std::int64_t pts;
  EXPECT_THROW(Receive(1, pts), Platform::EAssertionFailed);

  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  pkt->pts = 0;
  pkt->time_base = AVRational{0, 1};
  EXPECT_THROW(sq_send(FQueue, 0, SQPKT(pkt)), Platform::EAssertionFailed);
  AVCodecStubs::av_packet_free(&pkt);
}

// ---- Audio re-cutting ------------------------------------------------------------------

constexpr int CRate = 48000;

// An audio frame of ASamples samples continuing a running counter: sample n of channel
// c holds n * 2 + c.
AVFrame* MakeAudio(AVSampleFormat AFormat, int ASamples, std::int64_t& ACounter) {
  AVFrame* frame = AVUtilStubs::av_frame_alloc();
  frame->format = AFormat;
  frame->nb_samples = ASamples;
  frame->sample_rate = CRate;
  frame->time_base = AVRational{1, CRate};
  frame->pts = ACounter;
  AVUtilStubs::av_channel_layout_default(&frame->ch_layout, 2);
  if (AVUtilStubs::av_frame_get_buffer(frame, 0) < 0) return frame;
  const bool planar = AVUtilStubs::av_sample_fmt_is_planar(AFormat) != 0;
  for (int i = 0; i < ASamples; i++, ACounter++) {
    for (int c = 0; c < 2; c++) {
      const std::int32_t value = static_cast<std::int32_t>(ACounter * 2 + c);
      if (planar)
        reinterpret_cast<std::int32_t*>(frame->extended_data[c])[i] = value;
      else
        reinterpret_cast<std::int32_t*>(frame->data[0])[i * 2 + c] = value;
    }
  }
  return frame;
}

std::int32_t SampleAt(const AVFrame* AFrame, int AIndex, int AChannel) {
  if (AVUtilStubs::av_sample_fmt_is_planar(static_cast<AVSampleFormat>(AFrame->format)))
    return reinterpret_cast<const std::int32_t*>(AFrame->extended_data[AChannel])[AIndex];
  return reinterpret_cast<const std::int32_t*>(AFrame->data[0])[AIndex * 2 + AChannel];
}

struct TRecutCase {
  const char* Name;
  AVSampleFormat Format;
  int InputSamples;  // per incoming frame
  int Frames;        // incoming frames
};

void PrintTo(const TRecutCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class SyncQueueRecut : public SyncQueueTest, public ::testing::WithParamInterface<TRecutCase> {};

// Every released frame holds 1,024 samples (the last one the rest), the counter runs on
// without gap or repetition, and pts and duration follow it.
TEST_P(SyncQueueRecut, FixedFrameSizeKeepsTheSamplesContinuous) {
  const TRecutCase& c = GetParam();
  constexpr int CFrameSamples = 1024;
  FQueue = sq_alloc(SYNC_QUEUE_FRAMES, 1000000, nullptr);
  ASSERT_EQ(sq_add_stream(FQueue, 1), 0);
  sq_frame_samples(FQueue, 0, CFrameSamples);

  std::int64_t sent = 0;
  std::int64_t received = 0;
  int frames_out = 0;
  bool continuous = true;
  auto drain = [&](bool AFinished) {
    for (;;) {
      const int ret = sq_receive(FQueue, -1, SQFRAME(FFrame));
      if (ret < 0) {
        EXPECT_EQ(ret, AFinished ? AVERROR_EOF : AVERROR(EAGAIN));
        return;
      }
      const std::int64_t left = sent - received;
      EXPECT_EQ(FFrame->nb_samples, AFinished && left < CFrameSamples ? left : CFrameSamples);
      EXPECT_EQ(FFrame->pts, received);
      EXPECT_EQ(FFrame->duration, FFrame->nb_samples);
      for (int i = 0; i < FFrame->nb_samples; i++)
        for (int ch = 0; ch < 2; ch++)
          continuous = continuous && SampleAt(FFrame, i, ch) == (received + i) * 2 + ch;
      received += FFrame->nb_samples;
      frames_out++;
      AVUtilStubs::av_frame_unref(FFrame);
    }
  };

  for (int f = 0; f < c.Frames; f++) {
    AVFrame* frame = MakeAudio(c.Format, c.InputSamples, sent);
    ASSERT_EQ(sq_send(FQueue, 0, SQFRAME(frame)), 0);
    AVUtilStubs::av_frame_free(&frame);
    drain(false);
  }
  ASSERT_EQ(sq_send(FQueue, 0, SQFRAME(nullptr)), 0);
  drain(true);

  EXPECT_TRUE(continuous);
  EXPECT_EQ(received, sent);
  EXPECT_EQ(frames_out, (sent + CFrameSamples - 1) / CFrameSamples);
}

INSTANTIATE_TEST_SUITE_P(
    Audio, SyncQueueRecut,
    ::testing::Values(TRecutCase{"Unaligned1000", AV_SAMPLE_FMT_S32, 1000, 10},
                      TRecutCase{"Planar1000", AV_SAMPLE_FMT_S32P, 1000, 10},
                      TRecutCase{"Aligned4096", AV_SAMPLE_FMT_S32, 4096, 3},
                      TRecutCase{"Planar4096", AV_SAMPLE_FMT_S32P, 4096, 3},
                      TRecutCase{"Exact1024", AV_SAMPLE_FMT_S32, 1024, 4},
                      TRecutCase{"Odd1500", AV_SAMPLE_FMT_S32P, 1500, 7}),
    [](const ::testing::TestParamInfo<TRecutCase>& info) { return info.param.Name; });

}  // namespace
