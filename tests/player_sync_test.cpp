// The player's clocks and A/V sync decisions, as tables over a stream state whose clocks
// are set and held (paused) at chosen times.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "PlayerTestSupport.h"
#include "components/FFBasePlayClock.h"
#include "runtime/AVUtilStubs.h"

namespace {

using namespace FFBasePlay;

class PlayerSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlayerTestSupport::RequirePlayerLibraries();
    FState = PlayerTestSupport::NewStreamState(&FPlayer);
    init_clock(&FState->vidclk, &FState->videoq.serial);
    init_clock(&FState->audclk, &FState->audioq.serial);
    init_clock(&FState->extclk, nullptr);
  }

  // Opens the named streams and sets the sync setting (the master is computed afresh).
  void Streams(bool AVideo, bool AAudio, int ASync) {
    FState->video_st = AVideo ? &FVideo : nullptr;
    FState->audio_st = AAudio ? &FAudio : nullptr;
    FState->video_stream = AVideo ? 0 : -1;
    FState->audio_stream = AAudio ? 1 : -1;
    FState->av_sync_type = ASync;
    FState->master_sync_valid = false;
  }
  // Holds c at APts (NaN: unset).
  static void Hold(TClock* c, double APts) {
    set_clock(c, APts, c->queue_serial ? c->queue_serial->load() : 0);
    set_clock_paused(c, 1);
  }

  TPlayerCore FPlayer;
  std::unique_ptr<TVideoState> FState;
  AVStream FVideo{};
  AVStream FAudio{};
};

TEST_F(PlayerSyncTest, MasterClockFallsBackToTheStreamsThatAreOpen) {
  const struct {
    int Sync;
    bool Video, Audio;
    int Master;
  } rows[] = {
      {AV_SYNC_AUDIO_MASTER, true, true, AV_SYNC_AUDIO_MASTER},
      {AV_SYNC_AUDIO_MASTER, true, false, AV_SYNC_VIDEO_MASTER},
      {AV_SYNC_AUDIO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
      {AV_SYNC_VIDEO_MASTER, true, true, AV_SYNC_VIDEO_MASTER},
      {AV_SYNC_VIDEO_MASTER, false, true, AV_SYNC_AUDIO_MASTER},
      {AV_SYNC_VIDEO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
      {AV_SYNC_EXTERNAL_CLOCK, true, true, AV_SYNC_EXTERNAL_CLOCK},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "sync " << r.Sync << " video " << r.Video << " audio " << r.Audio);
    Streams(r.Video, r.Audio, r.Sync);
    EXPECT_EQ(get_master_sync_type(FState.get()), r.Master);
  }
  // Computed once per stream: a stream opened later does not change the master.
  Streams(true, false, AV_SYNC_AUDIO_MASTER);
  EXPECT_EQ(get_master_sync_type(FState.get()), AV_SYNC_VIDEO_MASTER);
  FState->audio_st = &FAudio;
  EXPECT_EQ(get_master_sync_type(FState.get()), AV_SYNC_VIDEO_MASTER);
}

TEST_F(PlayerSyncTest, ClockReadingFollowsSerialPauseAndSpeed) {
  TClock* c = &FState->vidclk;
  EXPECT_TRUE(std::isnan(get_clock(c))) << "a new clock has no time";

  const double now = AVUtilStubs::av_gettime_relative() / 1000000.0;
  const struct {
    double Speed;
    double Elapsed;  // seconds since the clock was set at pts 10
    double Expected;
  } rows[] = {{1.0, 2.0, 12.0}, {0.5, 2.0, 11.0}, {2.0, 1.5, 13.0}, {1.0, 0.0, 10.0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "speed " << r.Speed << " elapsed " << r.Elapsed);
    { std::lock_guard<std::mutex> g(c->lock); c->speed = r.Speed; }
    set_clock_at(c, 10.0, FState->videoq.serial, now - r.Elapsed);
    EXPECT_NEAR(get_clock(c), r.Expected, 0.05);
  }

  // Paused, the clock reads its pts.
  set_clock_paused(c, 1);
  EXPECT_EQ(get_clock(c), 10.0);
  // A flush of the followed queue makes the reading NaN, unless the check is skipped.
  FState->videoq.serial += 1;
  EXPECT_TRUE(std::isnan(get_clock(c)));
  EXPECT_EQ(get_clock_unchecked(c), 10.0);
  // The external clock follows its own serial and never goes stale.
  Hold(&FState->extclk, 3.0);
  EXPECT_EQ(get_clock(&FState->extclk), 3.0);
}

TEST_F(PlayerSyncTest, ExternalClockSyncsToASlaveThatIsFarAwayOrWhenUnset) {
  const struct {
    double Ext, Slave, Expected;
  } rows[] = {
      {NAN, 5.0, 5.0},     // unset: takes the slave's time
      {5.0, 12.0, 5.0},    // within 10 s: kept
      {5.0, 15.5, 15.5},   // more than 10 s away: synced
      {5.0, NAN, 5.0},     // a slave without time changes nothing
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "ext " << r.Ext << " slave " << r.Slave);
    Hold(&FState->extclk, r.Ext);
    Hold(&FState->vidclk, r.Slave);
    sync_clock_to_slave(&FState->extclk, &FState->vidclk);
    set_clock_paused(&FState->extclk, 1);
    EXPECT_NEAR(get_clock(&FState->extclk), r.Expected, 0.01);
  }
}

TEST_F(PlayerSyncTest, TargetDelayFollowsTheMaster) {
  const struct {
    int Sync;
    double Video, Master, ExtSpeed, Delay, Expected;
  } rows[] = {
      // Video master: the nominal delay stands.
      {AV_SYNC_VIDEO_MASTER, 10.0, 0.0, 1.0, 0.04, 0.04},
      // Video behind the audio: shown shorter, never below 0.
      {AV_SYNC_AUDIO_MASTER, 10.0, 10.2, 1.0, 0.04, 0.0},
      {AV_SYNC_AUDIO_MASTER, 10.0, 10.15, 1.0, 0.3, 0.15},
      // Video ahead: a short picture is doubled, a long one extended by the difference.
      {AV_SYNC_AUDIO_MASTER, 10.2, 10.0, 1.0, 0.04, 0.08},
      {AV_SYNC_AUDIO_MASTER, 10.2, 10.0, 1.0, 0.2, 0.4},
      // Within the threshold, or too far to be a drift: unchanged.
      {AV_SYNC_AUDIO_MASTER, 10.01, 10.0, 1.0, 0.04, 0.04},
      {AV_SYNC_AUDIO_MASTER, 5000.0, 10.0, 1.0, 0.04, 0.04},
      {AV_SYNC_AUDIO_MASTER, NAN, 10.0, 1.0, 0.04, 0.04},
      // The external clock at another speed stretches a late picture by that speed.
      {AV_SYNC_EXTERNAL_CLOCK, 10.2, 10.0, 0.95, 0.04, 0.04 / 0.95},
      {AV_SYNC_EXTERNAL_CLOCK, 10.2, 10.0, 1.0, 0.04, 0.08},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "sync " << r.Sync << " video " << r.Video << " master "
                                    << r.Master << " delay " << r.Delay);
    Streams(true, true, r.Sync);
    Hold(&FState->vidclk, r.Video);
    Hold(r.Sync == AV_SYNC_EXTERNAL_CLOCK ? &FState->extclk : &FState->audclk, r.Master);
    { std::lock_guard<std::mutex> g(FState->extclk.lock); FState->extclk.speed = r.ExtSpeed; }
    EXPECT_NEAR(compute_target_delay(r.Delay, FState.get()), r.Expected, 1e-9);
  }
}

TEST_F(PlayerSyncTest, AudioSampleCountMovesTowardsTheMasterAfterTwentyMeasures) {
  const struct {
    int Sync;
    double Diff;       // audio clock minus master clock
    double Threshold;  // audio_diff_threshold
    int Expected;      // wanted samples of a 1000-sample frame after the averaging
  } rows[] = {
      {AV_SYNC_AUDIO_MASTER, 0.5, 0.01, 1000},    // audio is the master: unchanged
      {AV_SYNC_VIDEO_MASTER, 0.001, 0.01, 1000},  // average below the threshold
      {AV_SYNC_VIDEO_MASTER, 0.002, 0.001, 1088}, // 1000 + 0.002 x 44100
      {AV_SYNC_VIDEO_MASTER, 0.5, 0.01, 1100},    // at most 10 % more
      {AV_SYNC_VIDEO_MASTER, -0.5, 0.01, 900},    // at most 10 % fewer
      {AV_SYNC_VIDEO_MASTER, 12.0, 0.01, 1000},   // beyond 10 s: no correction
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "sync " << r.Sync << " diff " << r.Diff);
    Streams(true, true, r.Sync);
    FState->audio_src.freq = 44100;
    FState->audio_diff_avg_coef = std::exp(std::log(0.01) / AUDIO_DIFF_AVG_NB);
    FState->audio_diff_avg_count = 0;
    FState->audio_diff_cum = 0;
    FState->audio_diff_threshold = r.Threshold;
    Hold(&FState->vidclk, 100.0);
    Hold(&FState->audclk, 100.0 + r.Diff);
    for (int i = 0; i < AUDIO_DIFF_AVG_NB; ++i)
      ASSERT_EQ(synchronize_audio(FState.get(), 1000), 1000) << "measure " << i;
    EXPECT_EQ(synchronize_audio(FState.get(), 1000), r.Expected);
  }
  // An unset clock restarts the averaging.
  Streams(true, true, AV_SYNC_VIDEO_MASTER);
  Hold(&FState->audclk, NAN);
  EXPECT_EQ(synchronize_audio(FState.get(), 1000), 1000);
  EXPECT_EQ(FState->audio_diff_avg_count, 0);
}

TEST_F(PlayerSyncTest, ExternalClockSpeedFollowsTheQueueFill) {
  const struct {
    int Video, Audio;  // queued packets, -1: stream not open
    double Speed, Expected;
  } rows[] = {
      {2, 20, 1.0, 0.999},     // a queue running dry slows down
      {20, 20, 1.0, 1.001},    // every queue well filled speeds up
      {-1, 11, 1.0, 1.001},
      {20, 5, 0.995, 0.996},   // in between: back towards 1.0
      {20, 5, 1.005, 1.004},
      {20, 5, 1.0, 1.0},
      {0, 0, 0.900, 0.900},    // bounded below
      {30, 30, 1.010, 1.010},  // and above
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "video " << r.Video << " audio " << r.Audio << " speed " << r.Speed);
    FState->video_stream = r.Video >= 0 ? 0 : -1;
    FState->audio_stream = r.Audio >= 0 ? 1 : -1;
    FState->videoq.nb_packets = r.Video;
    FState->audioq.nb_packets = r.Audio;
    { std::lock_guard<std::mutex> g(FState->extclk.lock); FState->extclk.speed = r.Speed; }
    check_external_clock_speed(FState.get());
    EXPECT_NEAR(get_clock_speed(&FState->extclk), r.Expected, 1e-9);
  }
}

TEST_F(PlayerSyncTest, FrameDurationComesFromThePtsWhenPlausible) {
  FState->max_frame_duration = 10.0;
  const struct {
    double Pts, NextPts;
    int Serial, NextSerial;
    double Expected;
  } rows[] = {
      {1.0, 1.04, 1, 1, 0.04},
      {1.0, 1.0, 1, 1, 0.5},    // no distance: the frame's own duration
      {1.0, 0.9, 1, 1, 0.5},
      {1.0, 20.0, 1, 1, 0.5},   // a discontinuity
      {1.0, NAN, 1, 1, 0.5},
      {1.0, 1.04, 1, 2, 0.0},   // across a seek
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.Pts << " -> " << r.NextPts);
    TFrame vp, next;
    vp.pts = r.Pts;
    vp.duration = 0.5;
    vp.serial = r.Serial;
    next.pts = r.NextPts;
    next.serial = r.NextSerial;
    EXPECT_NEAR(vp_duration(FState.get(), &vp, &next), r.Expected, 1e-9);
  }
}

TEST_F(PlayerSyncTest, DisplayRectangleKeepsTheAspectCentredAndEven) {
  const struct {
    int ScrW, ScrH, PicW, PicH;
    AVRational Sar;
    double Aspect;
    SDL_Rect Expected;
  } rows[] = {
      {640, 480, 320, 240, {1, 1}, 0, {0, 0, 640, 480}},
      {640, 480, 1280, 720, {1, 1}, 0, {0, 60, 640, 360}},     // letterbox
      {640, 480, 480, 480, {1, 1}, 0, {80, 0, 480, 480}},      // pillarbox
      {640, 480, 320, 240, {0, 1}, 0, {0, 0, 640, 480}},       // unknown sar: square pixels
      {640, 480, 360, 240, {8, 9}, 0, {0, 0, 640, 480}},       // 360 x 8/9 = 320 wide
      // A forced aspect ratio overrides the picture's sample aspect ratio.
      {640, 480, 320, 240, {2, 1}, 2.35, {0, 104, 640, 272}},
      {640, 480, 320, 240, {1, 1}, 1.0, {80, 0, 480, 480}},
      {101, 51, 320, 240, {1, 1}, 0, {16, 0, 68, 51}},         // odd width rounded to even
      {0, 0, 320, 240, {1, 1}, 0, {0, 0, 1, 1}},               // at least 1 x 1
      {640, 480, 0, 0, {1, 1}, 0, {80, 0, 480, 480}},          // no picture size
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.ScrW << "x" << r.ScrH << " picture " << r.PicW << "x"
                                    << r.PicH << " aspect " << r.Aspect);
    SDL_Rect rect{-1, -1, -1, -1};
    calculate_display_rect(&rect, 0, 0, r.ScrW, r.ScrH, r.PicW, r.PicH, r.Sar, r.Aspect);
    EXPECT_EQ(rect.x, r.Expected.x);
    EXPECT_EQ(rect.y, r.Expected.y);
    EXPECT_EQ(rect.w, r.Expected.w);
    EXPECT_EQ(rect.h, r.Expected.h);
  }
  // The area's origin offsets the rectangle.
  SDL_Rect rect;
  calculate_display_rect(&rect, 10, 20, 640, 480, 1280, 720, {1, 1}, 0);
  EXPECT_EQ(rect.x, 10);
  EXPECT_EQ(rect.y, 80);
}

}  // namespace
