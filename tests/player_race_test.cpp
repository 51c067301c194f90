// The player against a host that opens, stops, closes and changes settings at any moment:
// no deadlock, no race, no use of a freed stream between the player's threads and the
// host. Meant to run under ThreadSanitizer and AddressSanitizer as well (scripts/test.sh
// --tsan / --asan), where a race or a use after free fails the test; a call that never
// returns ends the test through a watchdog with a generous bound.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "MediaBuilder.h"
#include "PlayerFixture.h"
#include "PlayerTestSupport.h"
#include "Watchdog.h"
#include "components/FFBasePlay.h"
#include "components/FFPlay.h"
#include "platform/Dispatcher.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFBasePlay;
using FFBaseComponent::psEnd;
using FFBaseComponent::psPlay;
using FFBaseComponent::psStop;
using FFBaseComponent::TPlayState;
using PlayerTestSupport::PumpUntil;
using PlayerTestSupport::THeadlessPlayer;
using TestWatchdog::TWatchdog;

// Far beyond anything a busy machine needs for the calls it bounds.
constexpr double CBound = 60.0;

// What the host saw of one player (main thread).
struct TSeen {
  std::vector<TPlayState> States;
  int Positions = 0;
  int OpenFailed = 0;
  int FileOpens = 0;
  int Events = 0;  // of every kind

  void Attach(TFFBasePlayer& APlayer) {
    APlayer.OnState = FFBaseComponent::TPlayStateEvent::Bind<&TSeen::OnState>(this);
    APlayer.OnPosition = FFBaseComponent::TPositionEvent::Bind<&TSeen::OnPosition>(this);
    APlayer.OnOpenFailed = TNotifyEvent::Bind<&TSeen::OnOpenFailedEvent>(this);
    APlayer.OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TSeen::OnFileOpen>(this);
  }
  void OnState(Platform::TObject*, TPlayState AState) {
    States.push_back(AState);
    ++Events;
  }
  void OnPosition(Platform::TObject*, const std::int64_t&) {
    ++Positions;
    ++Events;
  }
  void OnOpenFailedEvent(Platform::TObject*) {
    ++OpenFailed;
    ++Events;
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) {
    ++FileOpens;
    ++Events;
  }
  bool Saw(TPlayState AState) const {
    return std::find(States.begin(), States.end(), AState) != States.end();
  }
  void Clear() {
    States.clear();
    Positions = 0;
  }
};

// Whether the open stream's read thread is inside av_read_frame.
bool ReadThreadInRead(TFFBasePlayer& APlayer) {
  if (APlayer.LockStream(Platform::INFINITE) != Platform::TWaitResult::wrSignaled) return false;
  TVideoState* is = APlayer.Stream();
  const bool in_read = is && is->in_read;
  APlayer.UnlockStream();
  return in_read;
}

// A TCP server on the loopback interface for one connection: it sends AData and then
// nothing more, keeping the connection open until Release or until it gives up after
// APatience seconds.
class TStallingServer {
 public:
  TStallingServer(std::string AData, double APatience) : FData(std::move(AData)) {
    FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::listen(FSocket, 1) < 0 ||
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len) < 0)
      return;
    FPort = ntohs(addr.sin_port);
    FThread = std::thread([this, APatience] {
      const int peer = ::accept(FSocket, nullptr, nullptr);
      if (peer < 0) return;
      std::size_t sent = 0;
      while (sent < FData.size()) {
        const ssize_t n = ::send(peer, FData.data() + sent, FData.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      std::unique_lock<std::mutex> g(FLock);
      FAccepted = true;
      FCond.notify_all();
      if (!FCond.wait_for(g, std::chrono::milliseconds(static_cast<long long>(APatience * 1000)),
                          [&] { return FReleased; }))
        FGaveUp = true;
      ::close(peer);
    });
  }
  ~TStallingServer() {
    Release();
    if (FSocket >= 0) ::shutdown(FSocket, SHUT_RDWR);
    if (FThread.joinable()) FThread.join();
    if (FSocket >= 0) ::close(FSocket);
  }
  int Port() const { return FPort; }
  bool Accepted() {
    std::lock_guard<std::mutex> g(FLock);
    return FAccepted;
  }
  // The server closed the connection because nobody released it in time.
  bool GaveUp() {
    std::lock_guard<std::mutex> g(FLock);
    return FGaveUp;
  }
  void Release() {
    std::lock_guard<std::mutex> g(FLock);
    FReleased = true;
    FCond.notify_all();
  }

 private:
  std::string FData;
  int FSocket = -1;
  int FPort = 0;
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FCond;
  // Guarded by FLock.
  bool FAccepted = false;
  bool FReleased = false;
  bool FGaveUp = false;
};

class PlayerRaceTest : public PlayerTestSupport::TPlayerFixture {
 protected:
  static void SetUpTestSuite() {
    MakeClips("player_race");
    ASSERT_EQ(FClips->Write("audio.wav", "a", 0.3), 0);
    ASSERT_EQ(FClips->Write("av.mkv", "va", 0.3), 0);
    ASSERT_EQ(FClips->Write("video.mkv", "v", 0.3), 0);
    ASSERT_EQ(FClips->Write("long.mkv", "va", 1.0), 0);
    ASSERT_EQ(FClips->Write("long.wav", "a", 2.0), 0);
  }
  static std::string File(const char* AName) { return FDir + AName; }
  static std::string ReadFile(const std::string& AName) {
    std::ifstream f(AName, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // Rounds of the loops below; PLAYER_STRESS_ROUNDS scales them for a longer soak.
  static int Rounds(int ADefault) {
    const char* v = std::getenv("PLAYER_STRESS_ROUNDS");
    return v ? std::max(1, std::atoi(v)) : ADefault;
  }

  TWatchdog FWatchdog;
};

// A failing asynchronous open hands its half-built stream to the fail thread, which frees
// it; a Stop meanwhile cancels the open through the same stream and must never reach it
// once it is freed.
TEST_F(PlayerRaceTest, StopWhileAFailingTryOpenIsOpening) {
  TSeen seen;  // outlives the player, whose last events reach it
  THeadlessPlayer player;
  Prepare(player);
  seen.Attach(player);
  const int rounds = Rounds(60);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    // Fails at once (no such file), or after opening the input (no stream to play).
    const bool missing = i % 2 == 0;
    ASSERT_TRUE(missing ? player.TryOpen(File("/missing.wav"))
                        : player.TryOpen(File("/audio.wav"), nullptr, "-an"))
        << player.LastErrMsg();
    std::this_thread::sleep_for(std::chrono::microseconds((i * 37) % 900));
    player.Stop(false);
    ASSERT_TRUE(PumpUntil([&] { return seen.OpenFailed == i + 1 && !player.Opening(); }))
        << "every failed open is reported once";
    EXPECT_FALSE(player.Opened());
  }
}

// Open on a playing player closes the old stream before it resets and parses the
// options: the old stream's video thread reads them while it rebuilds its filters (here
// made to rebuild right when Open begins).
TEST_F(PlayerRaceTest, OpenOnAPlayingPlayerParsesOnlyAfterTheOldStreamIsClosed) {
  TSeen seen;  // outlives the player, whose last events reach it
  THeadlessPlayer player;
  Prepare(player);
  seen.Attach(player);
  ASSERT_TRUE(player.Open(File("/long.mkv"))) << player.LastErrMsg();
  const char* options[] = {"-noautorotate -convert_colorspace -sws_flags bilinear",
                           "-sws_flags neighbor -ss 0.1", ""};
  const int rounds = Rounds(10);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(PumpUntil([&] { return player.Opened() && seen.Positions > 0; }));
    seen.Clear();
    player.FilterGeneration++;
    std::this_thread::sleep_for(std::chrono::microseconds((i * 1300) % 20000));
    FWatchdog.Bounded("Open on a playing player", CBound, [&] {
      ASSERT_TRUE(player.Open(File("/long.mkv"), nullptr, options[i % 3])) << player.LastErrMsg();
    });
    EXPECT_EQ(player.autorotate, i % 3 == 0 ? 0 : 1) << "the new options hold";
    EXPECT_EQ(player.convert_colorspace, i % 3 == 0 ? 1 : 0);
  }
  FWatchdog.Bounded("Stop(true)", CBound, [&] { player.Stop(true); });
}

// The range-end action runs when the read thread meets the end of the file. It must not
// wait for the stream lock there: a closer that holds the lock joins the read thread.
TEST_F(PlayerRaceTest, ARangeEndActionMeetsAClosingStream) {
  const struct {
    int Action;
    bool HoldWhileStopping;  // Stop(true) while the host still holds the stream lock
  } rows[] = {
      {rePause, true}, {rePause, false}, {rePauseSeekBack, true}, {rePauseSeekBack, false},
      {reStop, true},  {reSeekBack, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Action);
    SCOPED_TRACE(r.HoldWhileStopping);
    TSeen seen;  // outlives the player, whose last events reach it
    THeadlessPlayer player;
    Prepare(player);
    seen.Attach(player);
    player.RangeEndAction = r.Action;
    ASSERT_TRUE(player.Open(File("/audio.wav"), nullptr, "-nodisp")) << player.LastErrMsg();
    // The host holds the stream lock when the read thread reaches the end.
    ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
    const bool ended = PumpUntil([&] { return seen.Saw(psEnd); });
    if (!r.HoldWhileStopping) player.UnlockStream();
    FWatchdog.Bounded("Stop(true) at the end of the file", CBound, [&] { player.Stop(true); });
    if (r.HoldWhileStopping) player.UnlockStream();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(player.Opened());
    ASSERT_TRUE(PumpUntil([&] { return seen.Saw(psStop); }));
  }
  // And a host that stops right when it hears of the end.
  const int rounds = Rounds(10);
  TSeen seen;  // outlives the player, whose last events reach it
  THeadlessPlayer player;
  Prepare(player);
  seen.Attach(player);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    seen.Clear();
    player.RangeEndAction = i % 2 ? rePauseSeekBack : rePause;
    ASSERT_TRUE(player.Open(File("/audio.wav"), nullptr, "-nodisp")) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return seen.Saw(psEnd); }));
    FWatchdog.Bounded("Stop(true) on psEnd", CBound, [&] { player.Stop(true); });
    ASSERT_TRUE(PumpUntil([&] { return seen.Saw(psStop); }));
  }
}

// Stop(False) right while an asynchronous open hands its stream over: either the open
// stream gets the quit, or the opening one is cancelled and goes away; no stream is ever
// left open without a read thread.
TEST_F(PlayerRaceTest, StopRacingAnAsynchronousOpenLeavesNoDeadStream) {
  TSeen seen;  // outlives the player, whose last events reach it
  THeadlessPlayer player;
  Prepare(player);
  seen.Attach(player);
  const int rounds = Rounds(100);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(i % 3 ? player.TryOpen(File("/audio.wav"), nullptr, "-nodisp")
                      : player.TryOpen(File("/av.mkv")))
        << player.LastErrMsg();
    // Around the moment the read thread completes the open.
    std::this_thread::sleep_for(std::chrono::microseconds((i * 211) % 4000));
    player.Stop(false);
    FWatchdog.Bounded("Seek with wait after Stop(false)", CBound,
                      [&] { player.Seek({}, true, 100000); });
    ASSERT_TRUE(PumpUntil([&] { return !player.Opened() && !player.Opening(); }))
        << "the stream closed or its open was cancelled";
  }
}

// A Stop cancels an open in progress, whatever it is doing: still reading the input, or
// handed over by the read thread with its completion waiting for the main thread. The
// open never plays and ends as a failed one; after Stop(True) nothing of it reaches the
// host, after Stop(False) it ends by itself.
TEST_F(PlayerRaceTest, AStopCancelsAnOpenInProgress) {
  enum class TStage { AtOnce, HandedOver, Stalled };
  const struct {
    const char* Name;
    TStage Stage;
    const char* File;
    bool Wait;
  } rows[] = {
      {"Stop(False) at once, audio", TStage::AtOnce, "/audio.wav", false},
      {"Stop(True) at once, audio", TStage::AtOnce, "/audio.wav", true},
      {"Stop(False) at once, video", TStage::AtOnce, "/av.mkv", false},
      {"Stop(True) at once, video", TStage::AtOnce, "/av.mkv", true},
      {"Stop(False) once handed over, audio", TStage::HandedOver, "/audio.wav", false},
      {"Stop(True) once handed over, audio", TStage::HandedOver, "/audio.wav", true},
      {"Stop(False) once handed over, video", TStage::HandedOver, "/av.mkv", false},
      {"Stop(True) once handed over, video", TStage::HandedOver, "/av.mkv", true},
      {"Stop(False) while the input stalls", TStage::Stalled, nullptr, false},
      {"Stop(True) while the input stalls", TStage::Stalled, nullptr, true},
  };
  const int rounds = Rounds(3);
  for (const auto& r : rows) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(testing::Message() << r.Name << ", round " << round);
      TSeen seen;  // outlives the player, whose last events reach it
      THeadlessPlayer player;
      Prepare(player);
      seen.Attach(player);
      player.ReadTimeout = 0;
      std::unique_ptr<TStallingServer> server;
      if (r.Stage == TStage::Stalled) {
        server = std::make_unique<TStallingServer>("", CBound);
        ASSERT_GT(server->Port(), 0);
        ASSERT_TRUE(player.TryOpen("tcp://127.0.0.1:" + std::to_string(server->Port()), nullptr, "-f wav"));
        ASSERT_TRUE(PumpUntil([&] { return server->Accepted(); }));
      } else {
        ASSERT_TRUE(player.TryOpen(File(r.File))) << player.LastErrMsg();
      }
      if (r.Stage == TStage::HandedOver) {
        // The completion waits in the main thread's queue, which is not served here.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!player.Opened() && player.Opening() && std::chrono::steady_clock::now() < deadline)
          std::this_thread::yield();
        ASSERT_TRUE(player.Opened());
      }
      ASSERT_TRUE(player.Opening());
      FWatchdog.Bounded(r.Name, CBound, [&] { player.Stop(r.Wait); });
      if (r.Wait) {
        EXPECT_FALSE(player.Opening()) << "the open was still in progress";
        EXPECT_EQ(seen.OpenFailed, 1) << "the open failed before Stop returned";
      }
      const int returned = seen.Events;
      ASSERT_TRUE(PumpUntil([&] { return !player.Opening() && !player.Opened(); }));
      if (r.Wait) {
        // Whatever was still on its way to the host.
        while (Platform::ProcessMainThreadQueue()) {
        }
        EXPECT_EQ(seen.Events, returned) << "an event of the cancelled open after Stop(True)";
      }
      EXPECT_EQ(seen.FileOpens, 0);
      EXPECT_TRUE(seen.States.empty()) << "the cancelled open played";
      EXPECT_EQ(seen.OpenFailed, 1);
      EXPECT_EQ(player.State(), psStop);
      EXPECT_FALSE(player.LastErrMsg().empty());
      // The player opens again as usual.
      ASSERT_TRUE(player.Open(File("/audio.wav"), nullptr, "-nodisp")) << player.LastErrMsg();
      ASSERT_TRUE(PumpUntil([&] { return seen.Saw(psPlay); }));
      FWatchdog.Bounded("Stop(True) after a new open", CBound, [&] { player.Stop(true); });
    }
  }
}

// An asynchronous open is completed on the main thread (from its queue) or, with
// TriggerEventInMainThread off, by the read thread itself, which raises OnFileOpen there.
// A host that holds the stream lock and stops right after the read thread handed the
// stream over (its main thread not yet back in its queue) must not join that read thread
// while it completes the open. A completion still waiting in the main thread's queue is
// cancelled by the stop (the open fails); one under way on the read thread is completed
// first, and the stream then stops.
TEST_F(PlayerRaceTest, StopHoldingTheStreamLockWhileTheReadThreadCompletesAnOpen) {
  for (const bool in_main_thread : {true, false}) {
    for (const char* file : {"/audio.wav", "/av.mkv"}) {
      SCOPED_TRACE(testing::Message() << file << (in_main_thread ? ", completed on the main thread"
                                                                 : ", completed on the read thread"));
      TSeen seen;  // outlives the player, whose last events reach it
      THeadlessPlayer player;
      Prepare(player);
      seen.Attach(player);
      player.TriggerEventInMainThread = in_main_thread;
      std::atomic<int> file_opens{0};
      player.OnFileOpen = FFBaseComponent::TFileOpenEvent::FromFunction(
          [](void* AData, Platform::TObject*, const std::int64_t&, int, int, int&, int&) {
            ++*static_cast<std::atomic<int>*>(AData);
          },
          &file_opens);
      ASSERT_TRUE(player.TryOpen(File(file))) << player.LastErrMsg();
      // The stream is handed over; the main thread's queue is not served meanwhile.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!player.Opened() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_TRUE(player.Opened());
      ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
      FWatchdog.Bounded("Stop(true) holding the stream lock", CBound, [&] { player.Stop(true); });
      player.UnlockStream();
      EXPECT_FALSE(player.Opened());
      EXPECT_FALSE(player.Opening());
      if (in_main_thread) {
        EXPECT_EQ(file_opens, 0) << "the open was cancelled";
        EXPECT_EQ(seen.OpenFailed, 1);
        EXPECT_TRUE(seen.States.empty());
      } else {
        EXPECT_EQ(file_opens, 1) << "the open was completed before the stream closed";
        ASSERT_TRUE(PumpUntil([&] { return seen.Saw(psStop); }));
      }
    }
  }
}

// Stop interrupts a read that stalls: an input whose reads honour the interrupt callback
// (here TCP from a server that stops sending) must not hold Stop until the peer gives up.
// The read time-out is off, so only the stop can end the read.
TEST_F(PlayerRaceTest, StopInterruptsAStalledRead) {
  const std::string wav = ReadFile(File("/long.wav"));
  ASSERT_GT(wav.size(), 100000u);
  // The header and well over a second of samples (the demuxer reads 64 KiB of them at
  // open; the stream information is not searched, which would read on to the stall).
  const std::string head = wav.substr(0, wav.size() * 3 / 4);
  const double patience = 30.0;
  {
    SCOPED_TRACE("open stream, read stalled");
    TStallingServer server(head, patience);
    ASSERT_GT(server.Port(), 0);
    THeadlessPlayer player;
    Prepare(player);
    player.ReadTimeout = 0;
    ASSERT_TRUE(player.Open("tcp://127.0.0.1:" + std::to_string(server.Port()), nullptr,
                            "-nodisp -f wav -nofind_stream_info"))
        << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return ReadThreadInRead(player); }));
    player.Stop(true);
    EXPECT_FALSE(server.GaveUp()) << "Stop returned only when the peer closed the connection";
    EXPECT_FALSE(player.Opened());
  }
  {
    SCOPED_TRACE("opening stream, nothing received");
    TStallingServer server("", patience);
    ASSERT_GT(server.Port(), 0);
    TSeen seen;  // outlives the player, whose last events reach it
    THeadlessPlayer player;
    Prepare(player);
    seen.Attach(player);
    player.ReadTimeout = 0;
    ASSERT_TRUE(player.TryOpen("tcp://127.0.0.1:" + std::to_string(server.Port()), nullptr, "-f wav"));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepted(); }));
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return !player.Opening() || server.GaveUp(); }, patience + 10));
    EXPECT_FALSE(server.GaveUp()) << "the open ended only when the peer closed the connection";
    EXPECT_EQ(seen.OpenFailed, 1);
  }
}

// The host changes the display (show mode, screen handle) while streams open, play and
// close on their own; the audio callback and the decoder threads meanwhile read the
// stream pointers that opening and closing write.
TEST_F(PlayerRaceTest, DisplayChangesMeetOpeningAndClosingStreams) {
  TSeen seen;  // outlives the player, whose last events reach it
  FFPlay::TZAVereve player;
  Prepare(player);
  seen.Attach(player);
  player.RangeEndAction = reStop;
  const int rounds = Rounds(4);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    const char* file = i % 3 == 0 ? "/audio.wav" : i % 3 == 1 ? "/av.mkv" : "/video.mkv";
    FWatchdog.Bounded("Open", CBound, [&] {
      ASSERT_TRUE(i % 2 ? player.Open(File(file)) : player.TryOpen(File(file))) << player.LastErrMsg();
    });
    int n = 0;
    // Until the stream has closed by itself at its end, and a few times after.
    while (n < 60 && (player.Opened() || player.Opening() || n < 5)) {
      player.SetShowMode((i + n) % 4);
      if (n == 3) {
        player.ReleaseHostWindow();
        FWatchdog.Bounded("SetScreenHandle", CBound, [&] { player.SetScreenHandle(nullptr); });
      }
      Platform::ProcessMainThreadQueue();
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + (n * 3) % 7));
      ++n;
    }
    FWatchdog.Bounded("Stop(true)", CBound, [&] { player.Stop(true); });
  }
}

// Everything a host may do, in random order and at random moments, on short clips; the
// player is destroyed and made anew every tenth round. The seed is printed first (and
// named by every failure): PLAYER_STRESS_SEED replays a run, PLAYER_STRESS_ROUNDS makes
// it longer.
TEST_F(PlayerRaceTest, RandomHostOperations) {
  const unsigned seed = std::getenv("PLAYER_STRESS_SEED")
                            ? static_cast<unsigned>(std::strtoul(std::getenv("PLAYER_STRESS_SEED"), nullptr, 10))
                            : std::random_device{}();
  std::printf("PLAYER_STRESS_SEED=%u\n", seed);
  std::fflush(stdout);
  const std::string replay = " (PLAYER_STRESS_SEED=" + std::to_string(seed) + ")";
  SCOPED_TRACE(replay);
  std::mt19937 rng(seed);
  auto pick = [&](int ACount) { return static_cast<int>(rng() % static_cast<unsigned>(ACount)); };
  // A moment of random length (0 to 2 ms) in which the player's threads go on and the
  // main thread's queue is served: the next operation meets them at another point.
  auto jitter = [&] {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(pick(2000));
    do {
      Platform::ProcessMainThreadQueue();
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
  };
  const char* files[] = {"/audio.wav", "/av.mkv", "/video.mkv", "/missing.wav"};
  const char* options[] = {"", "-nodisp", "-ss 0.1", "-t 0.15", "-ss 0.05 -t 0.1", "-pause",
                           "-an", "-vn", "-sws_flags bilinear -noautorotate"};
  const char* vfilters[] = {"", "hflip", "scale=32:24", "no_such_filter"};
  const char* afilters[] = {"", "volume=0.5", "atempo=1.0"};
  const int rounds = Rounds(200);
  // The engine without drawing: rendering under the sanitizers would leave few rounds.
  std::unique_ptr<TSeen> seen;
  std::unique_ptr<THeadlessPlayer> player;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string of_round = " in round " + std::to_string(round) + replay;
    if (round % 10 == 0) {
      FWatchdog.Bounded("destroying the player" + of_round, CBound, [&] { player.reset(); });
      seen = std::make_unique<TSeen>();
      player = std::make_unique<THeadlessPlayer>();
      Prepare(*player);
      seen->Attach(*player);
    }
    const int ops = 2 + pick(5);
    for (int k = 0; k < ops; ++k) {
      const int op = pick(12);
      FWatchdog.Arm("operation " + std::to_string(op) + of_round, CBound);
      switch (op) {
        case 0:
        case 1: {
          player->RangeEndAction = pick(6);
          // Now and then a file that is not there.
          const std::string file = File(files[pick(16) == 0 ? 3 : pick(3)]);
          // One decoding thread: the races sought are the host's with the player's own
          // threads, and a frame-threaded decoder's threads would only slow every open.
          const std::string opt =
              std::string(options[pick(static_cast<int>(std::size(options)))]) + " -threads 1";
          // An open may fail (nothing left to play, an open still in progress): that is
          // reported, never hangs.
          if (op == 0)
            (void)player->Open(file, nullptr, opt);
          else
            (void)player->TryOpen(file, nullptr, opt);
          break;
        }
        case 2: player->Seek({}, pick(2) == 0, pick(300) * 1000); break;
        case 3: player->Seek(FFBaseComponent::TSeekFlags{FFBaseComponent::sfBackward}, false, 0); break;
        case 4: player->Pause(); break;
        case 5: player->Resume(); break;
        case 6: player->Stop(true); break;
        case 7: player->Stop(false); break;
        case 8: player->SetVideoFilters(vfilters[pick(static_cast<int>(std::size(vfilters)))]); break;
        case 9:
          player->SetAudioFilters(afilters[pick(static_cast<int>(std::size(afilters)))]);
          player->FilterGeneration++;
          break;
        case 10: player->SetShowMode(pick(4)); break;
        case 11: player->RangeEndAction = pick(6); break;
        default: break;
      }
      FWatchdog.Disarm();
      if (pick(3) != 0) jitter();
    }
    // Whatever happened, the player can be stopped and ends up closed.
    FWatchdog.Bounded("Stop(true) at the end" + of_round, CBound, [&] { player->Stop(true); });
    ASSERT_TRUE(PumpUntil([&] { return !player->Opening(); })) << "an open in progress ends";
    FWatchdog.Bounded("Stop(true) after the open ended" + of_round, CBound, [&] { player->Stop(true); });
    ASSERT_TRUE(PumpUntil([&] { return !player->Opened(); })) << "the stream closed";
  }
  FWatchdog.Bounded("destroying the player" + replay, CBound, [&] { player.reset(); });
}

}  // namespace
