// The player's report ring, its accepted pixel-format list, and the I/O watchdog over a
// local TCP server that accepts a connection and never sends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "PlayerTestSupport.h"
#include "components/FFBasePlay.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFBasePlay;
using FFBaseComponent::psEnd;
using FFBaseComponent::psPlay;
using FFBaseComponent::psStop;

TReport Position(std::int64_t APts) {
  TReport r;
  r.Kind = CReportPosition;
  r.Position = APts;
  r.Bytes = APts / 10;
  return r;
}

TReport State(FFBaseComponent::TPlayState AState) {
  TReport r;
  r.Kind = CReportState;
  r.State = AState;
  return r;
}

TEST(PlayerReportRing, PositionsCollapseIntoTheLatestButStatesAreAllKept) {
  TReportRing ring;
  EXPECT_FALSE(ring.Event().IsSignaled());
  for (int i = 1; i <= 10; ++i) ring.Push(Position(i * 1000));
  ring.Push(State(psEnd));
  ring.Push(State(psStop));  // an undelivered psEnd is not replaced
  ring.Push(Position(20000));
  ring.Push(Position(30000));
  EXPECT_EQ(ring.Count(), 4);
  EXPECT_TRUE(ring.Event().IsSignaled());

  TReport r = ring.Pop();
  EXPECT_EQ(r.Kind, CReportPosition);
  EXPECT_EQ(r.Position, 10000);
  EXPECT_EQ(r.Bytes, 1000);
  EXPECT_EQ(ring.Pop().State, psEnd);
  EXPECT_EQ(ring.Pop().State, psStop);
  r = ring.Pop();
  EXPECT_EQ(r.Position, 30000);
  EXPECT_FALSE(ring.Event().IsSignaled()) << "an empty ring resets its event";
  EXPECT_EQ(ring.Pop().Kind, 0);
}

TEST(PlayerReportRing, AFullRingDropsItsOldestReport) {
  TReportRing ring;
  for (int i = 0; i < TReportRing::CCapacity + 2; ++i) {
    ring.Push(State(i % 2 ? psPlay : psEnd));
    ring.Push(Position(i));  // alternating kinds: nothing collapses
  }
  EXPECT_EQ(ring.Count(), TReportRing::CCapacity);
  // 24 pushed, the 14 oldest dropped: the ring starts at the 15th (state of i = 7).
  const TReport first = ring.Pop();
  EXPECT_EQ(first.Kind, CReportState);
  EXPECT_EQ(first.State, psPlay);
  EXPECT_EQ(ring.Pop().Position, 7);
  ring.Clear();
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_TRUE(ring.Event().IsSignaled()) << "a clear wakes the event thread";
}

// The event thread waits on the ring's event whenever it finds nothing: an event left set
// on an empty ring would keep it spinning.
TEST(PlayerReportRing, AClearWakesTheEventThreadOnce) {
  TReportRing ring;
  ring.Push(State(psPlay));
  ring.Clear();
  EXPECT_TRUE(ring.Event().IsSignaled()) << "a clear wakes the event thread";
  EXPECT_EQ(ring.Pop().Kind, 0);
  EXPECT_FALSE(ring.Event().IsSignaled()) << "finding nothing, it sleeps again";
  ring.Push(State(psPlay));
  EXPECT_TRUE(ring.Event().IsSignaled()) << "the next report wakes it";
}

class PlayerComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlayerTestSupport::RequirePlayerLibraries();
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
  }
};

TEST_F(PlayerComponentTest, PixelFormatListIsResetBeforeAFillAndCapped) {
  PlayerTestSupport::THeadlessPlayer player;
  EXPECT_EQ(player.PixelFormatCount(), 1) << "YUV420P until the renderer says otherwise";
  EXPECT_EQ(player.PixelFormats[0], AV_PIX_FMT_YUV420P);
  player.ClearPixelFormats();
  int accepted = 0;
  for (int i = 0; i < 25; ++i) accepted += player.AddPixelFormat(i) ? 1 : 0;
  EXPECT_EQ(accepted, TFFBasePlayer::CPixelFormatSlots - 1);
  EXPECT_EQ(player.PixelFormatCount(), TFFBasePlayer::CPixelFormatSlots - 1);
  EXPECT_EQ(player.PixelFormats[TFFBasePlayer::CPixelFormatSlots - 1], -1) << "the end mark stays";
  // A second fill starts from an empty list.
  player.ClearPixelFormats();
  ASSERT_TRUE(player.AddPixelFormat(AV_PIX_FMT_RGB24));
  EXPECT_EQ(player.PixelFormatCount(), 1);
  EXPECT_EQ(player.PixelFormats[0], AV_PIX_FMT_RGB24);
}

TEST_F(PlayerComponentTest, NewPlayerDefaults) {
  PlayerTestSupport::THeadlessPlayer player;
  EXPECT_EQ(player.AudioVolume, 128);
  EXPECT_FALSE(player.Mute);
  EXPECT_TRUE(player.TriggerEventInMainThread);
  EXPECT_EQ(player.framedrop, -1);
  EXPECT_EQ(player.av_sync_type, AV_SYNC_AUDIO_MASTER);
  EXPECT_EQ(player.pitch, 1.0f);
  EXPECT_EQ(player.speed, 1.0);
  EXPECT_EQ(player.start_time, AV_NOPTS_VALUE);
  EXPECT_EQ(player.duration, AV_NOPTS_VALUE);
  EXPECT_EQ(player.seek_by_bytes, -1);
  EXPECT_EQ(player.RangeEndAction, reNothing);
  EXPECT_EQ(player.PositionThreshold, 30000);
  EXPECT_TRUE(player.UseSoundTouch);
  EXPECT_TRUE(player.EndOnIOEof && player.StopOnIOError && player.EofOnPermError);
  EXPECT_EQ(player.State(), psStop);
  EXPECT_FALSE(player.Opened());
}

// A TCP server on the loopback interface that lets a client connect and sends nothing.
class TSilentServer {
 public:
  TSilentServer() {
    FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::listen(FSocket, 4) == 0) {
      socklen_t len = sizeof(addr);
      ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len);
      FPort = ntohs(addr.sin_port);
    }
  }
  ~TSilentServer() { ::close(FSocket); }
  std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(FPort); }
  int Port() const { return FPort; }

 private:
  int FSocket = -1;
  int FPort = 0;
};

TEST_F(PlayerComponentTest, TheWatchdogEndsAReadThatDeliversNothing) {
  TSilentServer server;
  ASSERT_GT(server.Port(), 0);
  PlayerTestSupport::THeadlessPlayer player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("offscreen");
  player.ReadTimeout = 300;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(player.Open(server.Url(), nullptr, "-nodisp -f wav"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The interrupted read leaves the demuxer without data: the open fails with the
  // input's name and the error text.
  EXPECT_EQ(player.LastErrMsg().rfind(server.Url() + ": ", 0), 0u) << player.LastErrMsg();
  EXPECT_GE(seconds, 0.25) << "not before the read time-out";
  EXPECT_LT(seconds, 10.0);
  EXPECT_FALSE(player.Opened());
}

TEST_F(PlayerComponentTest, StopCancelsAnOpenThatWaitsForData) {
  TSilentServer server;
  ASSERT_GT(server.Port(), 0);
  PlayerTestSupport::THeadlessPlayer player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("offscreen");
  player.ReadTimeout = 30000;  // longer than the test: only Stop ends the wait
  int failed = 0;
  struct THandler {
    int* Count;
    void OnFailed(Platform::TObject*) { ++*Count; }
  } handler{&failed};
  player.OnOpenFailed = TNotifyEvent::Bind<&THandler::OnFailed>(&handler);
  ASSERT_TRUE(player.TryOpen(server.Url(), nullptr, "-nodisp -f wav"));
  player.Stop(false);  // nothing open yet: cancels the open in progress
  ASSERT_TRUE(PlayerTestSupport::PumpUntil([&] { return failed == 1 && !player.Opening(); }));
  EXPECT_FALSE(player.Opened());
}

TEST_F(PlayerComponentTest, DestroyingAPlayerCancelsItsOpenInProgress) {
  TSilentServer server;
  ASSERT_GT(server.Port(), 0);
  bool opening = false;
  {
    PlayerTestSupport::THeadlessPlayer player;
    player.SetAudioDriver("dummy");
    player.SetVideoDriver("offscreen");
    ASSERT_TRUE(player.TryOpen(server.Url(), nullptr, "-nodisp -f wav"));
    opening = player.Opening();
  }  // returns once the read thread has given up; nothing of the player is used afterwards
  EXPECT_TRUE(opening);
}

}  // namespace
