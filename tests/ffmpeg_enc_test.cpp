// Encoder pieces that stand on their own: the encoder record, key-frame forcing, and the
// audio preview (resampling to the wave player's format, the pull callback on a real ring
// buffer, the wave player on a test device and on ALSA's "null" device). Encoding inside
// whole conversions is tested in ffmpeg_convert_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LoaderTestSupport.h"
#include "LogCapture.h"
#include "TestWaveOut.h"
#include "engine/FFmpeg.h"
#include "engine/FFmpegEnc.h"
#include "engine/FFmpegEncInternal.h"
#include "platform/WaveOut.h"

namespace {

using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_free;
using AVUtilStubs::av_frame_get_buffer;
using FFmpegEnc::TEncoderPriv;

// ---- The encoder record -------------------------------------------------------------------

TEST(EncoderRecord, AllocAndFree) {
  ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
  const AVCodec* codec = AVCodecStubs::avcodec_find_encoder_by_name("mpeg4");
  ASSERT_NE(codec, nullptr);
  FFmpegHeader::TOutputStream ost{};
  FFmpegHeader::PEncoder enc = nullptr;
  ASSERT_EQ(FFmpegEnc::enc_alloc(enc, codec, nullptr, 3, &ost), 0);
  ASSERT_NE(enc, nullptr);
  ASSERT_NE(enc->enc_ctx, nullptr);
  TEncoderPriv* e = FFmpegEnc::ep_from_enc(enc);
  EXPECT_STREQ(e->log_name, "enc:mpeg4");
  EXPECT_STREQ(enc->class_->item_name(e), "enc:mpeg4");
  EXPECT_EQ(FFmpegEnc::enc_loopback(enc), 3);
  // the encoder owns its statistics input text
  enc->enc_ctx->stats_in = AVUtilStubs::av_strdup("pass-2 statistics");
  FFmpegEnc::enc_free(enc);
  EXPECT_EQ(enc, nullptr);
  FFmpegEnc::enc_free(enc);  // nullptr is ignored
}

// ---- Forced key frames --------------------------------------------------------------------

// Frames at 25 fps from 0 to 6 s: which get forced to key frames.
std::vector<int> ForcedFrames(FFmpegHeader::TKeyframeForceCtx& kf, bool AKeyEvery10 = false) {
  std::vector<int> forced;
  AVFrame* frame = av_frame_alloc();
  frame->time_base = AVRational{1, 25};
  for (int i = 0; i <= 150; i++) {
    frame->pts = i;
    frame->flags = AKeyEvery10 && i % 10 == 0 ? AV_FRAME_FLAG_KEY : 0;
    if (FFmpegEnc::forced_kf_apply(nullptr, &kf, frame)) forced.push_back(i);
  }
  av_frame_free(&frame);
  return forced;
}

TEST(ForcedKeyFrames, Modes) {
  ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
  TLogCapture log;

  {
    SCOPED_TRACE("times 0, 2, 4 s");
    std::int64_t times[] = {0, 2000000, 4000000};
    FFmpegHeader::TKeyframeForceCtx kf{};
    kf.ref_pts = AV_NOPTS_VALUE;
    kf.pts = times;
    kf.nb_pts = 3;
    EXPECT_EQ(ForcedFrames(kf), (std::vector<int>{0, 50, 100}));
  }
  {
    SCOPED_TRACE("expression every 2 s");
    static const char* const names[] = {"n", "n_forced", "prev_forced_n", "prev_forced_t", "t",
                                        nullptr};
    FFmpegHeader::TKeyframeForceCtx kf{};
    kf.ref_pts = AV_NOPTS_VALUE;
    ASSERT_GE(AVUtilStubs::av_expr_parse(&kf.pexpr, "gte(t,n_forced*2)", names, nullptr, nullptr,
                                         nullptr, nullptr, 0, nullptr),
              0);
    TLogCapture::Clear();
    EXPECT_EQ(ForcedFrames(kf), (std::vector<int>{0, 50, 100, 150}));
    EXPECT_EQ(kf.expr_const_values[FFmpegHeader::FKF_N_FORCED], 4);
    EXPECT_EQ(kf.expr_const_values[FFmpegHeader::FKF_PREV_FORCED_N], 150);
    int trace_lines = 0;
    for (const TLogCapture::TLine& l : TLogCapture::Snapshot())
      if (l.Level == AV_LOG_TRACE && l.Text.find("force_key_frame: n:") == 0) trace_lines++;
    EXPECT_EQ(trace_lines, 151);  // one per frame
    AVUtilStubs::av_expr_free(kf.pexpr);
  }
  {
    SCOPED_TRACE("source");
    FFmpegHeader::TKeyframeForceCtx kf{};
    kf.ref_pts = AV_NOPTS_VALUE;
    kf.type_ = 1;
    EXPECT_EQ(ForcedFrames(kf, true).size(), 16u);
    EXPECT_TRUE(ForcedFrames(kf, false).empty());
  }
}

// ---- Audio preview ------------------------------------------------------------------------

class AudioPreviewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
    FTask = std::make_unique<FFmpeg::TCustomFFmpeg>();
    FTask->FAudioPreview = true;
  }
  void TearDown() override {
    FTask->FWavePlayer->Close();
    FTask.reset();
  }

  // A frame of ASamples silent-ish samples (a ramp) in AFormat with AChannels channels.
  static AVFrame* MakeFrame(int AChannels, AVSampleFormat AFormat, int ARate, int ASamples) {
    AVFrame* f = av_frame_alloc();
    f->format = AFormat;
    f->sample_rate = ARate;
    f->nb_samples = ASamples;
    AVUtilStubs::av_channel_layout_default(&f->ch_layout, AChannels);
    EXPECT_EQ(av_frame_get_buffer(f, 0), 0);
    for (int p = 0; p < AV_NUM_DATA_POINTERS && f->data[p]; p++)
      for (int i = 0; i < f->linesize[0]; i++) f->data[p][i] = static_cast<std::uint8_t>(i);
    return f;
  }

  std::unique_ptr<FFmpeg::TCustomFFmpeg> FTask;
};

// Every channel count plays as 16-bit stereo at the frame's rate (the wave player cannot
// take 3, 5, 7 or 8 channels), on ALSA's "null" device.
TEST_F(AudioPreviewTest, EveryChannelCountPlaysAsStereo) {
  std::unique_ptr<Platform::TWaveOutBackend> alsa = Platform::CreateAlsaWaveOutBackend("null");
  if (alsa->DeviceCount() == 0) GTEST_SKIP() << "ALSA has no \"null\" device here";
  TestWaveOut::TBackendScope scope(alsa.get());

  for (int channels : {1, 2, 3, 6, 8}) {
    SCOPED_TRACE(channels);
    AVFrame* frame = MakeFrame(channels, AV_SAMPLE_FMT_FLTP, 48000, 1024);
    ASSERT_TRUE(FFmpegEnc::audio_preview_open(FTask.get(), frame));
    EXPECT_EQ(FTask->FPreviewOutFormat.ch_layout.nb_channels, 2);
    EXPECT_EQ(FTask->FPreviewOutFormat.sample_rate, 48000);
    EXPECT_EQ(FTask->FPreviewOutFormat.sample_fmt, AV_SAMPLE_FMT_S16);
    std::uint8_t* data = nullptr;
    const int n = FFmpegEnc::audio_preview_resample(FTask.get(), frame, FTask->FPreviewInFormat, data);
    EXPECT_EQ(n, 1024 * 2 * 2);
    EXPECT_EQ(data, FTask->FPreviewSamples);
    FTask->FWavePlayer->Close();
    av_frame_free(&frame);
  }
}

// A frame already in the player's format is queued as it is, and only its real samples:
// the plane's padding would play as noise.
TEST_F(AudioPreviewTest, PlayerFormatQueuesOnlyRealSamples) {
  TestWaveOut::TTestWaveOutBackend device;
  TestWaveOut::TBackendScope scope(&device);
  AVFrame* frame = MakeFrame(2, AV_SAMPLE_FMT_S16, 44100, 1001);
  ASSERT_LT(1001 * 4, frame->linesize[0]);  // the plane is padded
  ASSERT_TRUE(FFmpegEnc::audio_preview_open(FTask.get(), frame));
  EXPECT_EQ(device.LastFormat().nChannels, 2);
  EXPECT_EQ(device.LastFormat().nSamplesPerSec, 44100u);
  std::uint8_t* data = nullptr;
  EXPECT_EQ(FFmpegEnc::audio_preview_resample(FTask.get(), frame, FTask->FPreviewInFormat, data),
            1001 * 4);
  EXPECT_EQ(data, frame->data[0]);
  EXPECT_EQ(FTask->FPreviewInFormat.swr_ctx, nullptr);
  av_frame_free(&frame);
}

TEST_F(AudioPreviewTest, ResampledRateGivesProportionalBytes) {
  TestWaveOut::TTestWaveOutBackend device;
  TestWaveOut::TBackendScope scope(&device);
  AVFrame* first = MakeFrame(2, AV_SAMPLE_FMT_S16, 44100, 441);
  ASSERT_TRUE(FFmpegEnc::audio_preview_open(FTask.get(), first));
  // the source changes its rate after the opening: the player keeps its format
  AVFrame* frame = MakeFrame(1, AV_SAMPLE_FMT_S16, 22050, 2205);
  std::uint8_t* data = nullptr;
  int total = 0;
  for (int i = 0; i < 10; i++) {
    const int n = FFmpegEnc::audio_preview_resample(FTask.get(), frame, FTask->FPreviewInFormat, data);
    ASSERT_GE(n, 0);
    total += n;
  }
  // ten frames of 0.1 s at 44100 Hz stereo 16-bit, less the resampler's delay
  EXPECT_LE(total, 44100 * 4);
  EXPECT_GT(total, 44100 * 4 - 2000);
  EXPECT_NE(FTask->FPreviewInFormat.swr_ctx, nullptr);
  av_frame_free(&frame);
  av_frame_free(&first);
}

TEST_F(AudioPreviewTest, PullReadsTheRingBuffer) {
  std::vector<std::uint8_t> sound(3000);
  for (std::size_t i = 0; i < sound.size(); i++) sound[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(FTask->FAudioBuffer->Write(sound.data(), 3000), 3000);
  std::vector<std::uint8_t> out(3000);
  FFmpegEnc::audio_preview_pull(FTask.get(), out.data(), 1000);
  FFmpegEnc::audio_preview_pull(FTask.get(), out.data() + 1000, 2000);
  EXPECT_EQ(out, sound);
  EXPECT_EQ(FTask->FAudioPullCount, 0);
}

// A starved pull waits for sound; once the task ends it fills the rest with silence.
TEST_F(AudioPreviewTest, StarvedPullWaitsThenReturnsSilence) {
  std::vector<std::uint8_t> out(4000, 0xEE);
  std::atomic<bool> returned{false};
  std::thread puller([&] {
    FFmpegEnc::audio_preview_pull(FTask.get(), out.data(), 4000);
    returned = true;
  });
  std::vector<std::uint8_t> sound(100, 0x55);
  ASSERT_EQ(FTask->FAudioBuffer->Write(sound.data(), 100), 100);
  // the puller takes the sound and keeps waiting for more
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (FTask->FAudioBuffer->DataSize() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(FTask->FAudioBuffer->DataSize(), 0);
  EXPECT_FALSE(returned);
  FTask->FJobFinished = true;
  puller.join();
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 100), sound);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 100, out.end()),
            std::vector<std::uint8_t>(3900, 0));
}

// A backlog of more than 8191 bytes that lasts eight pulls is thrown away at the eighth.
TEST_F(AudioPreviewTest, PersistentBacklogIsDiscarded) {
  std::vector<std::uint8_t> sound(30000, 1);
  ASSERT_EQ(FTask->FAudioBuffer->Write(sound.data(), 30000), 30000);
  std::vector<std::uint8_t> out(1000);
  for (int i = 1; i <= 7; i++) {
    SCOPED_TRACE(i);
    FFmpegEnc::audio_preview_pull(FTask.get(), out.data(), 1000);
    EXPECT_EQ(FTask->FAudioPullCount, i);
    EXPECT_EQ(FTask->FAudioBuffer->DataSize(), 30000 - i * 1000);
  }
  FFmpegEnc::audio_preview_pull(FTask.get(), out.data(), 1000);
  EXPECT_EQ(FTask->FAudioBuffer->DataSize(), 0);
  EXPECT_EQ(FTask->FAudioPullCount, 0);

  // a small remainder keeps nothing counted
  ASSERT_EQ(FTask->FAudioBuffer->Write(sound.data(), 5000), 5000);
  FFmpegEnc::audio_preview_pull(FTask.get(), out.data(), 1000);
  EXPECT_EQ(FTask->FAudioPullCount, 0);
  EXPECT_EQ(FTask->FAudioBuffer->DataSize(), 4000);
}

}  // namespace
