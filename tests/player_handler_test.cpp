// What a host does from the player's handlers, and while the player goes away: every
// call returns (a call that cannot be served from inside a handler fails at once with
// LastErrMsg), the player may be freed from any of its events, no event reaches the host
// once destruction has begun, and the handlers run on the main thread. A call that never
// returns ends the test through a watchdog with a generous bound. Meant to run under
// ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

// Far beyond anything a busy machine needs for the calls it bounds; above PumpUntil's own
// bound, so that a wait that never ends is reported by PumpUntil and a call that never
// returns by the watchdog.
constexpr double CBound = 90.0;

class PlayerHandlerTest : public PlayerTestSupport::TPlayerFixture {
 protected:
  static void SetUpTestSuite() {
    MakeClips("player_handler");
    ASSERT_EQ(FClips->Write("audio.wav", "a", 0.3), 0);
    ASSERT_EQ(FClips->Write("av.mkv", "va", 0.3), 0);
    ASSERT_EQ(FClips->Write("video.mkv", "v", 0.5), 0);
    ASSERT_EQ(FClips->Write("long.mkv", "va", 1.0), 0);
    // Long enough that the read thread, with nobody taking its video packets, fills its
    // queue and waits instead of reaching the end.
    ASSERT_EQ(FClips->Write("video10.mkv", "v", 10.0), 0);
  }
  static std::string File(const char* AName) { return FDir + AName; }

  TWatchdog FWatchdog;
};

// The event whose handler makes the call.
enum class TWhen {
  Play,          // OnState psPlay
  End,           // OnState psEnd (the stream stays open)
  StoppedItself, // OnState psStop of a stream that stopped by itself at its end
  HostStop,      // OnState psStop while the host waits in Stop(True)
  FileOpen,      // OnFileOpen
  OpenFailed,    // OnOpenFailed (no such file)
  Position,      // OnPosition (OnPosition2 is assigned too)
};

// The call the handler makes.
enum class TCall { Open, TryOpen, Free, StopWait, SeekWait, LockAndStop };

struct TRow {
  const char* Name;
  TWhen When;
  bool Async;  // the first open is a TryOpen
  TCall Call;
  bool Serves;  // the call is served (an open succeeds); else it fails at once
};

// The host of one row: the player, and what its handlers saw (main thread).
struct THost {
  const TRow* Row = nullptr;
  THeadlessPlayer* Player = nullptr;
  std::vector<TPlayState> States;
  int FileOpens = 0;
  int OpenFailures = 0;
  bool Acted = false;
  bool Returned = false;
  bool Result = false;
  std::string Error;
  bool OffMainThread = false;

  void Attach() {
    Player->OnState = FFBaseComponent::TPlayStateEvent::Bind<&THost::OnState>(this);
    Player->OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&THost::OnFileOpen>(this);
    Player->OnOpenFailed = TNotifyEvent::Bind<&THost::OnOpenFailed>(this);
    Player->OnPosition = FFBaseComponent::TPositionEvent::Bind<&THost::OnPosition>(this);
    Player->OnPosition2 = FFBaseComponent::TPosition2Event::Bind<&THost::OnPosition2>(this);
  }
  int Count(TPlayState AState) const {
    return static_cast<int>(std::count(States.begin(), States.end(), AState));
  }

  void OnState(Platform::TObject*, TPlayState AState) {
    OffMainThread |= !Platform::IsMainThread();
    States.push_back(AState);
    const TWhen w = Row->When;
    if ((w == TWhen::Play && AState == psPlay) || (w == TWhen::End && AState == psEnd) ||
        ((w == TWhen::StoppedItself || w == TWhen::HostStop) && AState == psStop))
      Act();
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) {
    OffMainThread |= !Platform::IsMainThread();
    ++FileOpens;
    if (Row->When == TWhen::FileOpen) Act();
  }
  void OnOpenFailed(Platform::TObject*) {
    OffMainThread |= !Platform::IsMainThread();
    ++OpenFailures;
    if (Row->When == TWhen::OpenFailed) Act();
  }
  void OnPosition(Platform::TObject*, const std::int64_t&) {
    OffMainThread |= !Platform::IsMainThread();
    if (Row->When == TWhen::Position) Act();
  }
  void OnPosition2(Platform::TObject*, const std::int64_t&, const std::int64_t&) {
    OffMainThread |= !Platform::IsMainThread();
  }

  void Act() {
    if (Acted) return;
    Acted = true;
    switch (Row->Call) {
      case TCall::Open: Result = Player->Open(FDir + "/audio.wav", nullptr, "-nodisp"); break;
      case TCall::TryOpen: Result = Player->TryOpen(FDir + "/audio.wav", nullptr, "-nodisp"); break;
      case TCall::Free: {
        THeadlessPlayer* p = Player;
        Player = nullptr;
        delete p;
        break;
      }
      case TCall::StopWait: Player->Stop(true); break;
      case TCall::SeekWait: Player->Seek({}, true, 100000); break;
      case TCall::LockAndStop:
        Result = Player->LockStream(Platform::INFINITE) == Platform::TWaitResult::wrSignaled;
        Player->Stop(true);
        if (Result) Player->UnlockStream();
        break;
    }
    if (Player) Error = Player->LastErrMsg();
    Returned = true;
  }
  static std::string FDir;
};
std::string THost::FDir;

// The everyday playlist patterns ("open the next file on psEnd", "free on psStop") and
// every call that waits, from each handler: the call returns, and what it can serve it
// serves.
TEST_F(PlayerHandlerTest, EveryCallFromAHandlerReturns) {
  const TRow rows[] = {
      {"Open on psPlay", TWhen::Play, false, TCall::Open, true},
      {"TryOpen on psPlay", TWhen::Play, true, TCall::TryOpen, true},
      {"free on psPlay", TWhen::Play, false, TCall::Free, true},
      {"Open on psEnd", TWhen::End, true, TCall::Open, true},
      {"TryOpen on psEnd", TWhen::End, false, TCall::TryOpen, true},
      {"free on psEnd", TWhen::End, false, TCall::Free, true},
      {"Open on psStop of a stream that stopped itself", TWhen::StoppedItself, false, TCall::Open, true},
      {"TryOpen on psStop of a stream that stopped itself", TWhen::StoppedItself, true, TCall::TryOpen, true},
      {"free on psStop of a stream that stopped itself", TWhen::StoppedItself, false, TCall::Free, true},
      {"free on psStop of a stream that stopped itself (TryOpen)", TWhen::StoppedItself, true, TCall::Free, true},
      {"free on psStop while the host waits in Stop(True)", TWhen::HostStop, false, TCall::Free, true},
      {"Stop(True) in OnFileOpen of Open", TWhen::FileOpen, false, TCall::StopWait, true},
      {"Stop(True) in OnFileOpen of TryOpen", TWhen::FileOpen, true, TCall::StopWait, true},
      {"LockStream and Stop(True) in OnFileOpen of Open", TWhen::FileOpen, false, TCall::LockAndStop, true},
      {"LockStream and Stop(True) in OnFileOpen of TryOpen", TWhen::FileOpen, true, TCall::LockAndStop, true},
      {"waited Seek in OnFileOpen of Open", TWhen::FileOpen, false, TCall::SeekWait, false},
      {"waited Seek in OnFileOpen of TryOpen", TWhen::FileOpen, true, TCall::SeekWait, false},
      {"Open in OnFileOpen of TryOpen", TWhen::FileOpen, true, TCall::Open, false},
      {"free in OnFileOpen of Open", TWhen::FileOpen, false, TCall::Free, true},
      {"free in OnFileOpen of TryOpen", TWhen::FileOpen, true, TCall::Free, true},
      {"free in OnOpenFailed of Open", TWhen::OpenFailed, false, TCall::Free, true},
      {"free in OnOpenFailed of TryOpen", TWhen::OpenFailed, true, TCall::Free, true},
      {"Open in OnOpenFailed of TryOpen", TWhen::OpenFailed, true, TCall::Open, true},
      {"TryOpen in OnOpenFailed of Open", TWhen::OpenFailed, false, TCall::TryOpen, true},
      {"free on a position report", TWhen::Position, false, TCall::Free, true},
      {"Open on a position report", TWhen::Position, true, TCall::Open, true},
  };
  THost::FDir = FDir;
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    THost host;
    host.Row = &r;
    host.Player = new THeadlessPlayer;
    Prepare(*host.Player);
    host.Attach();
    if (r.When == TWhen::StoppedItself) host.Player->RangeEndAction = reStop;
    const std::string file = r.When == TWhen::OpenFailed ? File("/missing.wav")
                             : r.When == TWhen::FileOpen ? File("/av.mkv")
                                                         : File("/audio.wav");
    const std::string options = r.When == TWhen::FileOpen ? "" : "-nodisp";
    FWatchdog.Bounded(std::string(r.Name), CBound, [&] {
      // The handler may run inside the call (and free the player there).
      if (r.Async)
        (void)host.Player->TryOpen(file, nullptr, options);
      else
        (void)host.Player->Open(file, nullptr, options);
      if (r.When == TWhen::HostStop) {
        ASSERT_TRUE(PumpUntil([&] { return host.Count(psPlay) > 0; }));
        host.Player->Stop(true);
      }
      ASSERT_TRUE(PumpUntil([&] { return host.Returned; })) << "the handler made its call";
    });
    ASSERT_TRUE(host.Returned);
    EXPECT_FALSE(host.OffMainThread);
    if (r.Call == TCall::Free) {
      EXPECT_EQ(host.Player, nullptr);
      // What was left running of the player ends without it.
      Platform::ProcessMainThreadQueue();
      continue;
    }
    ASSERT_NE(host.Player, nullptr);
    switch (r.Call) {
      case TCall::Open:
      case TCall::TryOpen:
        EXPECT_EQ(host.Result, r.Serves) << host.Error;
        if (r.Serves) {
          EXPECT_TRUE(PumpUntil([&] { return host.FileOpens > (r.When == TWhen::OpenFailed ? 0 : 1); }))
              << "the new file opens";
        } else {
          EXPECT_EQ(host.Error, "Cannot open from OnFileOpen: the current open completes after it.");
        }
        break;
      case TCall::StopWait:
      case TCall::LockAndStop:
        EXPECT_FALSE(host.Player->Opened()) << "closed before the handler returned";
        EXPECT_TRUE(PumpUntil([&] { return host.Count(psStop) > 0; }));
        break;
      case TCall::SeekWait:
        EXPECT_EQ(host.Error, "Cannot wait for the seek in OnFileOpen: playback starts after it.");
        EXPECT_TRUE(PumpUntil([&] { return host.Count(psPlay) > 0; })) << "playback starts";
        break;
      default: break;
    }
    FWatchdog.Bounded(std::string("closing after ") + r.Name, CBound, [&] {
      host.Player->Stop(true);
      ASSERT_TRUE(PumpUntil([&] { return !host.Player->Opening(); }));
      delete host.Player;
    });
  }
}

// The host's handlers call into the output side (virtual operations) on every event. Once
// the player is being destroyed none of them may run: the parts they call are going.
struct TLateHost {
  FFPlay::TZAVereve* Player = nullptr;
  bool Destroying = false;
  int Events = 0;
  int LateEvents = 0;
  int Positions = 0;
  bool Playing = false;

  void Attach() {
    Player->OnState = FFBaseComponent::TPlayStateEvent::Bind<&TLateHost::OnState>(this);
    Player->OnPosition = FFBaseComponent::TPositionEvent::Bind<&TLateHost::OnPosition>(this);
    Player->OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TLateHost::OnFileOpen>(this);
  }
  void Touch() {
    ++Events;
    if (Destroying) ++LateEvents;
    Platform::TBitmap* bmp = nullptr;
    std::int64_t pts = 0;
    (void)Player->GetCurrentBitmap(bmp, pts);
    Player->SetShowMode(0);
  }
  void OnState(Platform::TObject*, TPlayState AState) {
    if (AState == psPlay) Playing = true;
    Touch();
  }
  void OnPosition(Platform::TObject*, const std::int64_t&) {
    ++Positions;
    Touch();
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) { Touch(); }
};

TEST_F(PlayerHandlerTest, NoEventReachesTheHostOnceDestructionHasBegun) {
  const struct {
    const char* Name;
    bool StopFirst;  // Stop(False) right before the player is freed
    bool Async;      // freed while a TryOpen is being completed
  } rows[] = {
      {"freed while playing", false, false},
      {"Stop(False), then freed", true, false},
      {"freed while a TryOpen is being completed", false, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      TLateHost host;
      host.Player = new FFPlay::TZAVereve;
      Prepare(*host.Player);
      host.Attach();
      if (r.Async) {
        ASSERT_TRUE(host.Player->TryOpen(File("/long.mkv"))) << host.Player->LastErrMsg();
        // The read thread hands the stream over; its completion waits for the main thread,
        // which is not served meanwhile.
        for (int i = 0; i < 60000 && !host.Player->Opened() && host.Player->Opening(); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(host.Player->Opened());
      } else {
        ASSERT_TRUE(host.Player->Open(File("/long.mkv"))) << host.Player->LastErrMsg();
        ASSERT_TRUE(PumpUntil([&] { return host.Playing && host.Positions > 0; }));
        if (r.StopFirst) host.Player->Stop(false);
      }
      FWatchdog.Bounded(std::string("freeing: ") + r.Name, CBound, [&] {
        host.Destroying = true;
        delete host.Player;
      });
      Platform::ProcessMainThreadQueue();
      EXPECT_EQ(host.LateEvents, 0) << "of " << host.Events << " events";
    }
  }
}

// A waited Seek after the video thread gave up (its filters cannot be built): no picture
// will come, and the call returns once the seek was served.
TEST_F(PlayerHandlerTest, AWaitedSeekReturnsAfterTheVideoFiltersFailed) {
  for (const char* file : {"/video10.mkv", "/video.mkv", "/long.mkv"}) {
    SCOPED_TRACE(file);
    THeadlessPlayer player;
    Prepare(player);
    std::atomic<int> errors{0};
    player.OnError = FFBaseComponent::TErrorNotifyEvent::FromFunction(
        [](void* AData, Platform::TObject*, FFBaseComponent::TErrorType, const std::string&) {
          ++*static_cast<std::atomic<int>*>(AData);
        },
        &errors);
    player.SetVideoFilters("no_such_filter");
    ASSERT_TRUE(player.Open(File(file))) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return errors > 0; })) << "the video filters fail";
    FWatchdog.Bounded("the first waited Seek", CBound, [&] { player.Seek({}, true, 100000); });
    FWatchdog.Bounded("the second waited Seek", CBound, [&] { player.Seek({}, true, 0); });
    EXPECT_TRUE(player.Opened());
    FWatchdog.Bounded("Stop(True)", CBound, [&] { player.Stop(true); });
  }
}

// An Open right after a TryOpen waits for that open to complete: its OnFileOpen (and every
// other handler) still runs on the main thread, where the host's widgets live.
TEST_F(PlayerHandlerTest, HandlersOfAnOpenCompletedDuringTheNextOpenRunOnTheMainThread) {
  THost::FDir = FDir;
  const TRow none{"none", TWhen::Play, false, TCall::Open, true};
  THost host;
  host.Row = &none;
  host.Acted = true;  // records only
  THeadlessPlayer player;
  Prepare(player);
  host.Player = &player;
  host.Attach();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const int before = host.FileOpens;
    ASSERT_TRUE(player.TryOpen(File("/av.mkv"))) << player.LastErrMsg();
    // (A slow machine may give up waiting for the first open: "Current trying open is not
    // completed." That open still completes.)
    FWatchdog.Bounded("Open after TryOpen", CBound,
                      [&] { (void)player.Open(File("/audio.wav"), nullptr, "-nodisp"); });
    ASSERT_TRUE(PumpUntil([&] { return !player.Opening(); }));
    EXPECT_GT(host.FileOpens, before);
    EXPECT_FALSE(host.OffMainThread);
  }
  FWatchdog.Bounded("Stop(True)", CBound, [&] { player.Stop(true); });
  Platform::ProcessMainThreadQueue();
  EXPECT_FALSE(host.OffMainThread);
}

// A host that calls back from every handler at random: opens, stops, seeks, pauses and
// frees the player from whichever event comes. The seed is printed first (and named by
// every failure): PLAYER_STRESS_SEED replays a run, PLAYER_STRESS_ROUNDS makes it longer.
struct TRandomHost {
  THeadlessPlayer* Player = nullptr;
  std::mt19937* Rng = nullptr;
  std::string Dir;
  int Budget = 0;  // calls left in this round
  bool Freed = false;
  bool OffMainThread = false;

  void Attach() {
    Player->OnState = FFBaseComponent::TPlayStateEvent::Bind<&TRandomHost::OnState>(this);
    Player->OnPosition = FFBaseComponent::TPositionEvent::Bind<&TRandomHost::OnPosition>(this);
    Player->OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TRandomHost::OnFileOpen>(this);
    Player->OnOpenFailed = TNotifyEvent::Bind<&TRandomHost::OnOpenFailed>(this);
  }
  int Pick(int ACount) { return static_cast<int>((*Rng)() % static_cast<unsigned>(ACount)); }
  void OnState(Platform::TObject*, TPlayState) { Maybe(2); }
  void OnPosition(Platform::TObject*, const std::int64_t&) { Maybe(6); }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) { Maybe(2); }
  void OnOpenFailed(Platform::TObject*) { Maybe(2); }
  // One call in AOneIn events, while the round's budget lasts.
  void Maybe(int AOneIn) {
    OffMainThread |= !Platform::IsMainThread();
    if (Freed || Budget <= 0 || Pick(AOneIn) != 0) return;
    --Budget;
    static const char* files[] = {"/audio.wav", "/av.mkv", "/missing.wav"};
    const std::string file = Dir + files[Pick(8) == 0 ? 2 : Pick(2)];
    switch (Pick(11)) {
      case 0: (void)Player->Open(file, nullptr, Pick(2) ? "-nodisp" : ""); break;
      case 1: (void)Player->TryOpen(file, nullptr, Pick(2) ? "-nodisp" : ""); break;
      case 2: Player->Stop(true); break;
      case 3: Player->Stop(false); break;
      case 4: Player->Seek({}, true, Pick(300) * 1000); break;
      case 5: Player->Seek({}, false, Pick(300) * 1000); break;
      case 6: Player->Pause(); break;
      case 7: Player->Resume(); break;
      case 8:
        if (Player->LockStream(Platform::INFINITE) == Platform::TWaitResult::wrSignaled) {
          Player->Stop(true);
          Player->UnlockStream();
        }
        break;
      default: {
        THeadlessPlayer* p = Player;
        Player = nullptr;
        Freed = true;
        delete p;
        break;
      }
    }
  }
};

TEST_F(PlayerHandlerTest, RandomCallsFromHandlers) {
  const unsigned seed = std::getenv("PLAYER_STRESS_SEED")
                            ? static_cast<unsigned>(std::strtoul(std::getenv("PLAYER_STRESS_SEED"), nullptr, 10))
                            : std::random_device{}();
  std::printf("PLAYER_STRESS_SEED=%u\n", seed);
  std::fflush(stdout);
  const std::string replay = " (PLAYER_STRESS_SEED=" + std::to_string(seed) + ")";
  SCOPED_TRACE(replay);
  std::mt19937 rng(seed);
  const char* v = std::getenv("PLAYER_STRESS_ROUNDS");
  const int rounds = v ? std::max(1, std::atoi(v)) : 30;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string of_round = " in round " + std::to_string(round) + replay;
    TRandomHost host;
    host.Rng = &rng;
    host.Dir = FDir;
    host.Budget = 1 + static_cast<int>(rng() % 4);
    host.Player = new THeadlessPlayer;
    Prepare(*host.Player);
    // Streams end by themselves.
    host.Player->RangeEndAction = reStop;
    host.Attach();
    FWatchdog.Bounded("the round" + of_round, CBound, [&] {
      if (rng() % 2)
        (void)host.Player->Open(File(rng() % 2 ? "/audio.wav" : "/av.mkv"), nullptr, "-nodisp");
      else
        (void)host.Player->TryOpen(File(rng() % 2 ? "/audio.wav" : "/av.mkv"));
      // Until the player is gone, the calls are spent, or nothing more would come (the
      // stream closed, or it stays paused).
      ASSERT_TRUE(PumpUntil([&] {
        return host.Freed || (!host.Player->Opening() && (host.Budget == 0 || !host.Player->Opened() ||
                                                          host.Player->Paused()));
      }));
    });
    EXPECT_FALSE(host.OffMainThread);
    if (host.Freed) continue;
    FWatchdog.Bounded("closing" + of_round, CBound, [&] {
      host.Budget = 0;
      host.Player->Stop(true);
      ASSERT_TRUE(PumpUntil([&] { return !host.Player->Opening(); }));
      delete host.Player;
    });
  }
}

}  // namespace
