// The player's audio output: the device-open fall-backs against a stand-in for SDL's
// device open, and what the audio callback plays, through SDL's "disk" audio driver
// (which writes the device's samples to a file) from a lavfi sine queued as the decoder
// would queue it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PlayerTestSupport.h"
#include "SavedEnvironment.h"
#include "TempFolder.h"
#include "components/FFBasePlayAudio.h"
#include "components/FFBasePlayClock.h"
#include "platform/Object.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"

namespace {

using namespace FFBasePlay;
using PlayerTestSupport::TFramePtr;
using SDL2Stubs::SDLLoader;

// ---- Device-open fall-backs ------------------------------------------------------------

struct TAttempt {
  int Channels;
  int Freq;
  bool operator==(const TAttempt&) const = default;
};

// The stand-in device: records each attempt and accepts what Accept allows, answering
// with Advise's changes.
struct TFakeDevice {
  std::vector<TAttempt> Attempts;
  std::vector<SDL_AudioDeviceID> Closed;
  bool (*Accept)(const SDL_AudioSpec&) = nullptr;
  int AdvisedFreq = 0;            // 0: as asked
  SDL_AudioFormat AdvisedFormat = AUDIO_S16SYS;
};
TFakeDevice* gDevice = nullptr;

SDL_AudioDeviceID SDLCALL FakeOpen(const char*, int, const SDL_AudioSpec* desired,
                                   SDL_AudioSpec* obtained, int) {
  gDevice->Attempts.push_back({desired->channels, desired->freq});
  if (!gDevice->Accept(*desired)) return 0;
  *obtained = *desired;
  if (gDevice->AdvisedFreq) obtained->freq = gDevice->AdvisedFreq;
  obtained->format = gDevice->AdvisedFormat;
  obtained->size = obtained->samples * obtained->channels * 2u;
  return 7;
}

void SDLCALL FakeClose(SDL_AudioDeviceID dev) { gDevice->Closed.push_back(dev); }

class PlayerAudioOpenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlayerTestSupport::RequirePlayerLibraries();
    FSavedOpen = SDL2Stubs::SDL_OpenAudioDevice;
    FSavedClose = SDL2Stubs::SDL_CloseAudioDevice;
    SDL2Stubs::SDL_OpenAudioDevice = FakeOpen;
    SDL2Stubs::SDL_CloseAudioDevice = FakeClose;
    gDevice = &FDevice;
    const char* env = std::getenv("SDL_AUDIO_CHANNELS");
    FHadChannels = env != nullptr;
    if (env) FChannels = env;
    ::unsetenv("SDL_AUDIO_CHANNELS");
  }
  void TearDown() override {
    SDL2Stubs::SDL_OpenAudioDevice = FSavedOpen;
    SDL2Stubs::SDL_CloseAudioDevice = FSavedClose;
    gDevice = nullptr;
    if (FHadChannels)
      ::setenv("SDL_AUDIO_CHANNELS", FChannels.c_str(), 1);
    else
      ::unsetenv("SDL_AUDIO_CHANNELS");
  }
  // audio_open for AChannels at ARate; the result, with FParams filled.
  int Open(int AChannels, int ARate) {
    AVChannelLayout layout{};
    AVUtilStubs::av_channel_layout_default(&layout, AChannels);
    const int ret = audio_open(&FPlayer, nullptr, &layout, ARate, &FParams);
    AVUtilStubs::av_channel_layout_uninit(&layout);
    return ret;
  }

  TFakeDevice FDevice;
  TPlayerCore FPlayer;
  TAudioParams FParams;

 private:
  decltype(SDL2Stubs::SDL_OpenAudioDevice) FSavedOpen = nullptr;
  decltype(SDL2Stubs::SDL_CloseAudioDevice) FSavedClose = nullptr;
  bool FHadChannels = false;
  std::string FChannels;
};

TEST_F(PlayerAudioOpenTest, ChannelsFallBackBeforeRatesDo) {
  const struct {
    const char* Name;
    const char* EnvChannels;  // SDL_AUDIO_CHANNELS, nullptr: unset
    int Channels, Rate;
    bool (*Accept)(const SDL_AudioSpec&);
    std::vector<TAttempt> Attempts;
    int GotChannels, GotRate;  // 0: the open fails
  } rows[] = {
      {"six channels wanted, stereo device", "6", 2, 48000,
       [](const SDL_AudioSpec& s) { return s.channels == 2; },
       {{6, 48000}, {4, 48000}, {2, 48000}}, 2, 48000},
      {"mono at 44100 only", nullptr, 2, 48000,
       [](const SDL_AudioSpec& s) { return s.channels == 1 && s.freq == 44100; },
       {{2, 48000}, {1, 48000}, {2, 44100}, {1, 44100}}, 1, 44100},
      {"a rate above the table starts at its top", nullptr, 1, 200000,
       [](const SDL_AudioSpec& s) { return s.freq == 96000; },
       {{1, 200000}, {1, 192000}, {1, 96000}}, 1, 96000},
      {"nothing opens", nullptr, 2, 48000, [](const SDL_AudioSpec&) { return false; },
       {{2, 48000}, {1, 48000}, {2, 44100}, {1, 44100}}, 0, 0},
      {"no rate", nullptr, 2, 0, [](const SDL_AudioSpec&) { return true; }, {}, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    FDevice = TFakeDevice{};
    FDevice.Accept = r.Accept;
    FPlayer.audio_dev = 0;
    if (r.EnvChannels)
      ::setenv("SDL_AUDIO_CHANNELS", r.EnvChannels, 1);
    else
      ::unsetenv("SDL_AUDIO_CHANNELS");
    const int ret = Open(r.Channels, r.Rate);
    EXPECT_EQ(FDevice.Attempts, r.Attempts);
    if (r.GotChannels) {
      EXPECT_GT(ret, 0);
      EXPECT_EQ(FParams.ch_layout.nb_channels, r.GotChannels);
      EXPECT_EQ(FParams.freq, r.GotRate);
      EXPECT_EQ(FParams.fmt, AV_SAMPLE_FMT_S16);
      EXPECT_EQ(FParams.frame_size, 2 * r.GotChannels);
      EXPECT_EQ(FParams.bytes_per_sec, 2 * r.GotChannels * r.GotRate);
      EXPECT_EQ(FPlayer.audio_dev, 7u);
    } else {
      EXPECT_EQ(ret, -1);
      EXPECT_EQ(FPlayer.audio_dev, 0u);
    }
  }
  AVUtilStubs::av_channel_layout_uninit(&FParams.ch_layout);
}

TEST_F(PlayerAudioOpenTest, AdvisedRateIsTakenAndAnAdvisedFormatRefusedWithTheDeviceClosed) {
  FDevice.Accept = [](const SDL_AudioSpec&) { return true; };
  FDevice.AdvisedFreq = 22050;
  ASSERT_GT(Open(2, 44100), 0);
  EXPECT_EQ(FParams.freq, 22050);
  EXPECT_EQ(FParams.bytes_per_sec, 4 * 22050);

  FDevice = TFakeDevice{};
  FDevice.Accept = [](const SDL_AudioSpec&) { return true; };
  FDevice.AdvisedFormat = AUDIO_F32SYS;
  EXPECT_EQ(Open(2, 44100), -1);
  EXPECT_EQ(FDevice.Closed, std::vector<SDL_AudioDeviceID>{7}) << "a refused device is closed";
  AVUtilStubs::av_channel_layout_uninit(&FParams.ch_layout);
}

// ---- Playing through the disk driver ---------------------------------------------------

constexpr int CRate = 44100;
constexpr int CFrequency = 1000;
constexpr double CDuration = 0.5;
// Frames this long make the whole sound fit in the sample queue: it is all queued before
// the device starts (see Play), so every gap of silence would be the player's own.
constexpr int CFrameSamples = 4096;

struct TMeasure {
  std::size_t Sounding = 0;  // samples from the first to the last audible one
  double Frequency = 0;      // from rising zero crossings over those
  int Peak = 0;
  bool AllSilent = true;
};

TMeasure Measure(const std::vector<std::int16_t>& ASamples) {
  TMeasure m;
  std::size_t first = ASamples.size(), last = 0;
  for (std::size_t i = 0; i < ASamples.size(); ++i) {
    if (ASamples[i] != 0) m.AllSilent = false;
    if (std::abs(ASamples[i]) > 100) {
      if (first == ASamples.size()) first = i;
      last = i;
    }
    m.Peak = std::max(m.Peak, std::abs(static_cast<int>(ASamples[i])));
  }
  if (first >= last) return m;
  m.Sounding = last - first + 1;
  int crossings = 0;
  for (std::size_t i = first + 1; i <= last; ++i)
    if (ASamples[i - 1] < 0 && ASamples[i] >= 0) ++crossings;
  m.Frequency = crossings / (static_cast<double>(m.Sounding) / CRate);
  return m;
}

class PlayerAudioPlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlayerTestSupport::RequirePlayerLibraries();
    FFile = TempFolder::MakeFile("player_audio", ".raw");
    ASSERT_FALSE(FFile.empty());
    ::setenv("SDL_DISKAUDIOFILE", FFile.c_str(), 1);
    // Only this test's client may run SDL, on the disk driver.
    SDLLoader->QuitAll();
    ASSERT_TRUE(SDLLoader->Init(&FClient, "disk", "", false)) << SDLLoader->LastErrMsg();
    FPlayer.LogSender = nullptr;
  }
  void TearDown() override {
    SDLLoader->Quit(&FClient);
    std::remove(FFile.c_str());
  }

  // Plays AFrames as the decoder would queue them and returns what the device got.
  std::vector<std::int16_t> Play(std::vector<TFramePtr> AFrames) {
    std::unique_ptr<TVideoState> is = PlayerTestSupport::NewStreamState(&FPlayer);
    AVStream stream{};
    is->audio_st = &stream;
    is->audio_stream = 0;
    is->av_sync_type = FPlayer.av_sync_type;
    is->pitch = FPlayer.pitch;
    EXPECT_EQ(packet_queue_init(&is->audioq, &FPlayer), 0);
    EXPECT_EQ(frame_queue_init(&is->sampq, &is->audioq, SAMPLE_QUEUE_SIZE, 1, &FPlayer), 0);
    init_clock(&is->audclk, &is->audioq.serial);
    init_clock(&is->vidclk, &is->videoq.serial);
    init_clock(&is->extclk, nullptr);
    set_clock_speed(&is->extclk, FPlayer.speed);
    packet_queue_start(&is->audioq);

    AVChannelLayout layout{};
    AVUtilStubs::av_channel_layout_default(&layout, 1);
    const int hw = audio_open(&FPlayer, is.get(), &layout, CRate, &is->audio_tgt);
    AVUtilStubs::av_channel_layout_uninit(&layout);
    EXPECT_GT(hw, 0) << FPlayer.LastErrMsg();
    std::vector<std::int16_t> out;
    if (hw > 0) {
      is->audio_hw_buf_size = hw;
      is->audio_src.freq = is->audio_tgt.freq;
      is->audio_src.fmt = is->audio_tgt.fmt;
      AVUtilStubs::av_channel_layout_copy(&is->audio_src.ch_layout, &is->audio_tgt.ch_layout);
      is->audio_diff_avg_coef = std::exp(std::log(0.01) / AUDIO_DIFF_AVG_NB);
      is->audio_diff_threshold = static_cast<double>(hw) / is->audio_tgt.bytes_per_sec;

      // The decoder's part: queue the frames, then mark the end.
      std::mutex queued_lock;
      std::condition_variable queued_cond;
      bool queued = false;
      std::thread feeder([&] {
        for (TFramePtr& f : AFrames) {
          TFrame* af = frame_queue_peek_writable(&is->sampq);
          if (!af) return;
          af->pts = static_cast<double>(f->pts) / CRate;
          af->duration = static_cast<double>(f->nb_samples) / CRate;
          af->serial = is->audioq.serial;
          AVUtilStubs::av_frame_move_ref(af->frame, f.get());
          frame_queue_push(&is->sampq);
        }
        is->audioq.finished = 1;
        frame_queue_signal(&is->sampq);
        std::lock_guard<std::mutex> g(queued_lock);
        queued = true;
        queued_cond.notify_all();
      });
      // Frames that all fit in the queue are all queued before the device starts: a
      // feeder held up on a busy machine would otherwise leave the device short, and it
      // plays silence in the middle of the sound.
      if (AFrames.size() < static_cast<std::size_t>(SAMPLE_QUEUE_SIZE)) {
        std::unique_lock<std::mutex> g(queued_lock);
        EXPECT_TRUE(queued_cond.wait_for(g, std::chrono::seconds(120), [&] { return queued; }));
      }
      const SDL_AudioDeviceID dev = FPlayer.audio_dev;
      SDL2Stubs::SDL_PauseAudioDevice(dev, 0);
      // A bound for a hung device, not a speed target.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (!is->audio_eof && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      EXPECT_TRUE(is->audio_eof) << "the end of the samples reached the device";
      packet_queue_abort(&is->audioq);
      frame_queue_signal(&is->sampq);
      SDL2Stubs::SDL_CloseAudioDevice(dev);
      feeder.join();

      std::ifstream file(FFile, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      out.resize(bytes.size() / 2);
      std::memcpy(out.data(), bytes.data(), out.size() * 2);
    }
    audio_release(is.get());
    frame_queue_destroy(&is->sampq);
    packet_queue_destroy(&is->audioq);
    return out;
  }

  static std::vector<std::int16_t> SamplesOf(const std::vector<TFramePtr>& AFrames) {
    std::vector<std::int16_t> s;
    for (const TFramePtr& f : AFrames) {
      const auto* p = reinterpret_cast<const std::int16_t*>(f->data[0]);
      s.insert(s.end(), p, p + f->nb_samples);
    }
    return s;
  }

  TPlayerCore FPlayer;

 private:
  class TClient : public Platform::TObject {};
  TClient FClient;
  TestEnvironment::TSavedVariables FVariables{"SDL_AUDIODRIVER", "SDL_DISKAUDIOFILE"};
  std::string FFile;
};

TEST_F(PlayerAudioPlayTest, FullVolumePlaysTheSamplesUnchangedAndHooksEachBuffer) {
  std::vector<TFramePtr> frames = PlayerTestSupport::SineFrames(CFrequency, CRate, CDuration, CFrameSamples);
  ASSERT_FALSE(frames.empty());
  const std::vector<std::int16_t> in = SamplesOf(frames);

  struct THook {
    std::mutex Lock;
    std::int64_t FirstPts = -1;
    std::size_t Bytes = 0;
    int Rate = 0, Channels = 0;
    void OnAudio(Platform::TObject*, const std::int64_t& APTS, std::uint8_t*, int ASize,
                 int ASampleRate, int AChannels) {
      std::lock_guard<std::mutex> g(Lock);
      if (FirstPts < 0) FirstPts = APTS;
      Bytes += static_cast<std::size_t>(ASize);
      Rate = ASampleRate;
      Channels = AChannels;
    }
  } hook;
  FPlayer.AudioHook = true;
  FPlayer.OnAudioHook = FFBaseComponent::TAudioHookEvent::Bind<&THook::OnAudio>(&hook);

  const std::vector<std::int16_t> out = Play(std::move(frames));
  // The device got the input, bit for bit, after some leading silence.
  std::size_t start = 0;
  while (start < out.size() && out[start] == 0) ++start;
  ASSERT_GT(start, 0u);
  ASSERT_GE(out.size(), start - 1 + in.size());
  EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin() + static_cast<long>(start - 1)))
      << "the first sample of the sine is 0";

  std::lock_guard<std::mutex> g(hook.Lock);
  EXPECT_EQ(hook.FirstPts, 0);
  EXPECT_EQ(hook.Bytes, in.size() * 2);
  EXPECT_EQ(hook.Rate, CRate);
  EXPECT_EQ(hook.Channels, 1);
}

TEST_F(PlayerAudioPlayTest, VolumeScalesAndMuteOrZeroVolumeGiveSilence) {
  const struct {
    int Volume;
    bool Mute;
    double PeakRatio;  // of the input's peak; 0: silence throughout
  } rows[] = {{64, false, 0.5}, {0, false, 0.0}, {128, true, 0.0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "volume " << r.Volume << " mute " << r.Mute);
    std::vector<TFramePtr> frames = PlayerTestSupport::SineFrames(CFrequency, CRate, CDuration, CFrameSamples);
    ASSERT_FALSE(frames.empty());
    const TMeasure in = Measure(SamplesOf(frames));
    FPlayer.AudioVolume = r.Volume;
    FPlayer.Mute = r.Mute;
    const TMeasure out = Measure(Play(std::move(frames)));
    if (r.PeakRatio == 0) {
      EXPECT_TRUE(out.AllSilent);
    } else {
      EXPECT_NEAR(out.Peak, in.Peak * r.PeakRatio, in.Peak * 0.02);
      EXPECT_NEAR(out.Frequency, CFrequency, CFrequency * 0.01);
    }
  }
}

TEST_F(PlayerAudioPlayTest, PitchAndTempoChangeThroughSoundTouch) {
  if (!SoundTouchStubs::soundtouch_createInstance) GTEST_SKIP() << "SoundTouch is not installed";
  const struct {
    const char* Name;
    float Pitch;
    double Speed;  // external clock as the master at this speed
    double Frequency, Duration;
  } rows[] = {
      {"pitch 1.5", 1.5f, 1.0, 1.5 * CFrequency, CDuration},
      {"tempo 2 keeps the pitch", 1.0f, 2.0, CFrequency, CDuration / 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    FPlayer.pitch = r.Pitch;
    FPlayer.speed = r.Speed;
    FPlayer.av_sync_type = r.Speed != 1.0 ? AV_SYNC_EXTERNAL_CLOCK : AV_SYNC_AUDIO_MASTER;
    const TMeasure out =
        Measure(Play(PlayerTestSupport::SineFrames(CFrequency, CRate, CDuration, CFrameSamples)));
    EXPECT_NEAR(out.Frequency, r.Frequency, r.Frequency * 0.03);
    // SoundTouch keeps back what fills its window at the end; the rest is played.
    EXPECT_NEAR(out.Sounding / static_cast<double>(CRate), r.Duration, r.Duration * 0.25);
  }
}

}  // namespace

namespace {

TEST(PlayerSoundTouchGate, OlderLibrariesChangeTempoAndPitchOnlyForIntegerOutput) {
  PlayerTestSupport::RequirePlayerLibraries();
  if (!SoundTouchStubs::soundtouch_createInstance) GTEST_SKIP() << "SoundTouch is not installed";
  const unsigned saved = SoundTouchStubs::SoundTouchVersion;
  TPlayerCore player;
  std::unique_ptr<TVideoState> is = PlayerTestSupport::NewStreamState(&player);
  const struct {
    unsigned Version;
    AVSampleFormat Format;
    bool Use;
    bool Usable;
  } rows[] = {
      {10800, AV_SAMPLE_FMT_FLT, true, true},  {10500, AV_SAMPLE_FMT_S16, true, true},
      {10500, AV_SAMPLE_FMT_S32, true, true},  {10500, AV_SAMPLE_FMT_FLT, true, false},
      {9900, AV_SAMPLE_FMT_S16, true, false},  {20302, AV_SAMPLE_FMT_S16, false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "version " << r.Version << " format " << r.Format
                                    << " use " << r.Use);
    SoundTouchStubs::SoundTouchVersion = r.Version;
    is->audio_tgt.fmt = r.Format;
    player.UseSoundTouch = r.Use;
    EXPECT_EQ(SoundTouchUsable(&player, is.get()), r.Usable);
  }
  SoundTouchStubs::SoundTouchVersion = saved;
}

}  // namespace
