// The wave player on a test device (and once on ALSA's "null" device).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "MainThreadPump.h"
#include "TestWaveOut.h"
#include "platform/Threads.h"
#include "runtime/WavePlay.h"

namespace {

using TestWaveOut::TBackendScope;
using TestWaveOut::TTestWaveOutBackend;
using WavePlay::TFF_AudioSpec;
using WavePlay::TWavePlayer;

constexpr int CBlock = 4096;  // bytes per block of the default spec

// The owner's side: counts the calls and fills call n with the byte n; the first call
// can be held until the test lets it go.
struct TPullSource {
  std::atomic<int> Calls{0};
  std::mutex Lock;
  std::condition_variable Cond;
  bool HoldFirst = false;
  bool FirstEntered = false;

  static void Pull(void* AUserData, std::uint8_t* AStream, int ALen) {
    TPullSource* self = static_cast<TPullSource*>(AUserData);
    const int n = ++self->Calls;
    if (n == 1) {
      std::unique_lock<std::mutex> g(self->Lock);
      self->FirstEntered = true;
      self->Cond.notify_all();
      self->Cond.wait(g, [self] { return !self->HoldFirst; });
    }
    std::memset(AStream, n & 0xFF, static_cast<std::size_t>(ALen));
  }

  void Release() {
    std::lock_guard<std::mutex> g(Lock);
    HoldFirst = false;
    Cond.notify_all();
  }
  void WaitFirstEntered() {
    std::unique_lock<std::mutex> g(Lock);
    Cond.wait(g, [this] { return FirstEntered; });
  }
};

class WavePlayerTest : public ::testing::Test {
 protected:
  TFF_AudioSpec SpecFor(TPullSource& ASource) {
    TFF_AudioSpec spec{};
    spec.callback = TPullSource::Pull;
    spec.userdata = &ASource;
    return spec;
  }

  TTestWaveOutBackend FBackend;
  TBackendScope FScope{&FBackend};
};

TEST_F(WavePlayerTest, ZeroSpecOpensTheDefaultsPaused) {
  TPullSource source;
  TWavePlayer player;
  TFF_AudioSpec desired = SpecFor(source);
  TFF_AudioSpec obtained{};
  ASSERT_TRUE(player.Open(&desired, &obtained)) << player.LastErrMsg();

  EXPECT_EQ(obtained.freq, 22050);
  EXPECT_EQ(obtained.format, 0x8010);
  EXPECT_EQ(obtained.channels, 2);
  EXPECT_EQ(obtained.samples, 1024);
  EXPECT_EQ(obtained.size, 4096u);
  EXPECT_EQ(obtained.silence, 0);
  EXPECT_TRUE(player.Opened());
  EXPECT_TRUE(player.Paused());

  const Platform::WAVEFORMATEX format = FBackend.LastFormat();
  EXPECT_EQ(format.wFormatTag, Platform::WAVE_FORMAT_PCM);
  EXPECT_EQ(format.nChannels, 2);
  EXPECT_EQ(format.nSamplesPerSec, 22050u);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.nBlockAlign, 4);
  EXPECT_EQ(format.nAvgBytesPerSec, 88200u);

  // Pause on a paused device changes nothing; neither does Resume on a playing one.
  player.Pause();
  EXPECT_TRUE(player.Paused());
  player.Resume();
  EXPECT_FALSE(player.Paused());
  player.Resume();
  EXPECT_FALSE(player.Paused());
  player.Close();
  EXPECT_FALSE(player.Opened());
}

TEST_F(WavePlayerTest, ChannelCountsAndBlockSizes) {
  struct TCase {
    int Freq;
    int Channels;
    bool Accepted;
    int Samples;  // when accepted
  } const cases[] = {
      {22050, 1, true, 1024}, {22050, 2, true, 1024}, {44100, 4, true, 2048},
      {48000, 6, true, 4096}, {22050, 3, false, 0},   {22050, 5, false, 0},
      {22050, 7, false, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Freq << " Hz, " << c.Channels << " channels");
    TPullSource source;
    TWavePlayer player;
    TFF_AudioSpec desired = SpecFor(source);
    desired.freq = c.Freq;
    desired.channels = static_cast<std::uint8_t>(c.Channels);
    TFF_AudioSpec obtained{};
    ASSERT_EQ(player.Open(&desired, &obtained), c.Accepted);
    if (c.Accepted) {
      EXPECT_EQ(obtained.samples, c.Samples);
      EXPECT_EQ(obtained.size, static_cast<Platform::Cardinal>(2 * c.Channels * c.Samples));
    } else {
      EXPECT_EQ(player.LastErrMsg(), std::to_string(c.Channels) + " channels not support.");
      EXPECT_FALSE(player.Opened());
    }
  }
}

TEST_F(WavePlayerTest, MissingDeviceAndRefusedFormat) {
  TPullSource source;
  TWavePlayer player;
  TFF_AudioSpec desired = SpecFor(source);

  FBackend.Devices = 0;
  EXPECT_FALSE(player.Open(&desired, nullptr));
  EXPECT_EQ(player.LastErrMsg(), "No wave audio playing devices found.");

  FBackend.Devices = 1;
  FBackend.OpenError = TTestWaveOutBackend::CTestError;
  EXPECT_FALSE(player.Open(&desired, nullptr));
  EXPECT_EQ(player.LastErrMsg(), "test device failure");
  EXPECT_FALSE(player.Opened());
  EXPECT_EQ(FBackend.Opens(), 0);
}

TEST_F(WavePlayerTest, CallbacksRunOnlyBetweenResumeAndClose) {
  TPullSource source;
  TWavePlayer player;
  TFF_AudioSpec desired = SpecFor(source);
  ASSERT_TRUE(player.Open(&desired, nullptr)) << player.LastErrMsg();

  // Paused: the device takes nothing, so nothing is asked for.
  FBackend.Grant(4 * CBlock);
  EXPECT_TRUE(MainThreadPump::KeepsHolding(
      [&] { return source.Calls.load() == 0 && FBackend.BytesTaken() == 0; }, 100));
  EXPECT_EQ(source.Calls.load(), 0);
  EXPECT_EQ(FBackend.BytesTaken(), 0);

  player.Resume();
  ASSERT_TRUE(FBackend.WaitUntil([&] { return source.Calls.load() == 4; }));

  // The four silent blocks played first; the refills queue behind them.
  FBackend.Grant(4 * CBlock);
  ASSERT_TRUE(FBackend.WaitUntil([&] { return FBackend.BytesTaken() == 8 * CBlock; }));
  const std::vector<std::uint8_t> taken = FBackend.Taken();
  for (int block = 0; block < 8; block++) {
    const std::uint8_t expected = block < 4 ? 0 : static_cast<std::uint8_t>(block - 3);
    for (int i = 0; i < CBlock; i++)
      ASSERT_EQ(taken[block * CBlock + i], expected) << "block " << block << " byte " << i;
  }

  ASSERT_TRUE(FBackend.WaitUntil([&] { return source.Calls.load() == 8; }));
  player.Close();
  EXPECT_FALSE(player.Opened());
  const int calls = source.Calls.load();
  const std::int64_t bytes = FBackend.BytesTaken();
  FBackend.Grant(TTestWaveOutBackend::CUnlimited);
  EXPECT_TRUE(MainThreadPump::KeepsHolding(
      [&] { return source.Calls.load() == calls && FBackend.BytesTaken() == bytes; }, 100));
  EXPECT_EQ(source.Calls.load(), calls);
  EXPECT_EQ(FBackend.BytesTaken(), bytes);
}

// Blocks that finish while the owner's callback is busy are each refilled afterwards:
// four stay in flight.
TEST_F(WavePlayerTest, SlowCallbackKeepsFourBlocksInFlight) {
  TPullSource source;
  source.HoldFirst = true;
  TWavePlayer player;
  TFF_AudioSpec desired = SpecFor(source);
  ASSERT_TRUE(player.Open(&desired, nullptr)) << player.LastErrMsg();
  player.Resume();

  FBackend.Grant(4 * CBlock);
  source.WaitFirstEntered();
  ASSERT_TRUE(FBackend.WaitUntil([&] { return FBackend.BytesTaken() == 4 * CBlock; }));
  Platform::Sleep(50);  // the other three completions arrive while the first call waits
  source.Release();

  FBackend.Grant(4 * CBlock);
  EXPECT_TRUE(FBackend.WaitUntil([&] { return FBackend.BytesTaken() == 8 * CBlock; }))
      << "taken " << FBackend.BytesTaken() / CBlock << " blocks";
  EXPECT_TRUE(FBackend.WaitUntil([&] { return source.Calls.load() == 8; }));
  player.Close();
}

// Destroying an open, playing player stops its thread before the blocks go.
TEST_F(WavePlayerTest, DestroyWhilePlaying) {
  TPullSource source;
  FBackend.Grant(TTestWaveOutBackend::CUnlimited);
  for (int round = 0; round < 3; round++) {
    TWavePlayer player;
    TFF_AudioSpec desired = SpecFor(source);
    ASSERT_TRUE(player.Open(&desired, nullptr)) << player.LastErrMsg();
    player.Resume();
    const int before = source.Calls.load();
    ASSERT_TRUE(FBackend.WaitUntil([&] { return source.Calls.load() > before + 16; }));
  }
}

TEST(WavePlayerAlsa, PlaysOnTheNullDevice) {
  std::unique_ptr<Platform::TWaveOutBackend> alsa = Platform::CreateAlsaWaveOutBackend("null");
  if (alsa->DeviceCount() == 0) GTEST_SKIP() << "ALSA has no \"null\" device here";
  TBackendScope scope(alsa.get());

  TPullSource source;
  TWavePlayer player;
  TFF_AudioSpec desired{};
  desired.freq = 48000;
  desired.callback = TPullSource::Pull;
  desired.userdata = &source;
  ASSERT_TRUE(player.Open(&desired, nullptr)) << player.LastErrMsg();
  player.Resume();
  for (int i = 0; i < 1000 && source.Calls.load() < 8; i++) Platform::Sleep(10);
  EXPECT_GE(source.Calls.load(), 8);
  player.Pause();
  player.Close();
  EXPECT_FALSE(player.Opened());
}

TEST(WavePlayerAlsa, AMissingDeviceIsReported) {
  std::unique_ptr<Platform::TWaveOutBackend> alsa =
      Platform::CreateAlsaWaveOutBackend("ostrevan_no_such_device");
  TBackendScope scope(alsa.get());
  TWavePlayer player;
  TFF_AudioSpec desired{};
  EXPECT_FALSE(player.Open(&desired, nullptr));
  EXPECT_EQ(player.LastErrMsg(), "No wave audio playing devices found.");
  EXPECT_FALSE(player.Opened());
}

}  // namespace
