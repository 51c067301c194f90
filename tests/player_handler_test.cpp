// What a host does from the player's handlers, and while the player goes away: every
// call returns (a call that cannot be served from inside a handler fails at once with
// LastErrMsg), the player may be freed from its main-thread events (a free from a handler
// on one of its own threads is refused with the one text), no event reaches the host once
// destruction has begun, and each handler runs on the thread its event names. A call that
// never returns ends the test through a watchdog with a generous bound. Meant to run under
// ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
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

struct TRow;

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
  void RunRow(const TRow& ARow);

  TWatchdog FWatchdog;
};

// The event whose handler makes the call.
enum class TWhen {
  Play,           // OnState psPlay
  End,            // OnState psEnd (the stream stays open)
  StoppedItself,  // OnState psStop of a stream that stopped by itself at its end
  HostStop,       // OnState psStop while the host waits in Stop(True)
  FileOpen,       // OnFileOpen
  OpenFailed,     // OnOpenFailed (no such file)
  Position,       // OnPosition (OnPosition2 is assigned too)
  BeforeFindStreamInfo,  // OnBeforeFindStreamInfo
  Error,          // OnError: the video filters cannot be built (the video thread)
  FrameHook,      // OnFrameHook (the video thread)
  AudioHook,      // OnAudioHook (SDL's audio thread)
};

const char* HandlerName(TWhen AWhen) {
  switch (AWhen) {
    case TWhen::FileOpen: return "OnFileOpen";
    case TWhen::OpenFailed: return "OnOpenFailed";
    case TWhen::BeforeFindStreamInfo: return "OnBeforeFindStreamInfo";
    case TWhen::Error: return "OnError";
    case TWhen::FrameHook: return "OnFrameHook";
    case TWhen::AudioHook: return "OnAudioHook";
    case TWhen::Position: return "OnPosition";
    default: return "OnState";
  }
}

// The call the handler makes. FreeMeanwhile: a handler on a thread of the player has
// the main thread free the player (a call it queues) while the host waits in a call, and
// goes on once the free has begun.
enum class TCall { Open, TryOpen, Free, StopWait, SeekWait, LockAndStop, FreeMeanwhile };

struct TRow {
  const char* Name;
  TWhen When;
  bool Async;  // the first open is a TryOpen
  TCall Call;
  bool Serves;  // the call is served (an open succeeds); else it fails at once
  // TriggerEventInMainThread off: OnFileOpen, OnBeforeFindStreamInfo and OnOpenFailed are
  // raised on the player's threads (the read thread, the fail thread).
  bool Worker = false;
  // The free is refused: the process ends with the one text, naming this handler.
  bool Refused = false;
};

// Whether the row's handler runs on a thread of the player rather than the main thread.
bool OnPlayerThread(const TRow& ARow) {
  switch (ARow.When) {
    case TWhen::Error:
    case TWhen::FrameHook:
    case TWhen::AudioHook: return true;
    case TWhen::BeforeFindStreamInfo: return ARow.Worker;
    case TWhen::FileOpen:
    case TWhen::OpenFailed: return ARow.Worker && ARow.Async;
    default: return false;
  }
}

// Every stream reported playing is reported stopped before the next one plays. With
// ASeeks, psPlay right after psEnd may be the same stream again (a seek after its end).
bool EveryPlayEnds(const std::vector<TPlayState>& AStates, bool ASeeks = false) {
  bool playing = false;
  TPlayState last = psStop;
  for (TPlayState s : AStates) {
    if (s == psPlay && playing && !(ASeeks && last == psEnd)) return false;
    if (s == psPlay) playing = true;
    if (s == psStop) playing = false;
    last = s;
  }
  return !playing;
}

std::string StatesText(const std::vector<TPlayState>& AStates) {
  static const char* names[] = {"play", "pause", "resume", "step", "stop", "end"};
  std::string text;
  for (TPlayState s : AStates) text += std::string(text.empty() ? "" : " ") + names[s];
  return text;
}

// A host's own player class: it overrides an operation that the play loop calls, and its
// destructor, the first of the hierarchy to run, looks whether the play loop still calls
// it (a play loop that runs calls it again within a refresh period).
class TRowPlayer : public THeadlessPlayer {
 public:
  explicit TRowPlayer(std::atomic<int>* ALateCalls) : FLateCalls(ALateCalls) {}
  ~TRowPlayer() override {
    FGone = true;
    while (Opened() && *FLateCalls == 0) std::this_thread::yield();
  }
  void video_refresh(TVideoState* is, double& remaining_time) override {
    if (FGone) ++*FLateCalls;
    THeadlessPlayer::video_refresh(is, remaining_time);
  }

 private:
  std::atomic<int>* const FLateCalls;
  std::atomic<bool> FGone{false};
};

// The host of one row: the player, and what its handlers saw. The acting handler may run
// on a thread of the player; the others on the main thread.
struct THost {
  const TRow* Row = nullptr;
  TRowPlayer* Player = nullptr;
  std::vector<TPlayState> States;  // main thread
  std::atomic<int> FileOpens{0};
  std::atomic<int> OpenFailures{0};
  std::atomic<bool> Acted{false};
  // Written by the acting handler before Returned.
  bool ActedOnPlayerThread = false;
  bool Result = false;
  std::string Error;
  std::atomic<bool> Returned{false};
  std::atomic<bool> FreeBegun{false};
  std::atomic<bool> OffMainThread{false};  // a main-thread event ran elsewhere
  std::atomic<int> LateCalls{0};

  void Attach() {
    Player->OnState = FFBaseComponent::TPlayStateEvent::Bind<&THost::OnState>(this);
    Player->OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&THost::OnFileOpen>(this);
    Player->OnOpenFailed = TNotifyEvent::Bind<&THost::OnOpenFailed>(this);
    Player->OnPosition = FFBaseComponent::TPositionEvent::Bind<&THost::OnPosition>(this);
    Player->OnPosition2 = FFBaseComponent::TPosition2Event::Bind<&THost::OnPosition2>(this);
    Player->OnBeforeFindStreamInfo =
        FFBaseComponent::TBeforeFindStreamInfoEvent::Bind<&THost::OnBeforeFindStreamInfo>(this);
    Player->OnError = FFBaseComponent::TErrorNotifyEvent::Bind<&THost::OnError>(this);
    Player->OnFrameHook = FFBaseComponent::TFrameHookEvent::Bind<&THost::OnFrameHook>(this);
    Player->OnAudioHook = FFBaseComponent::TAudioHookEvent::Bind<&THost::OnAudioHook>(this);
  }
  int Count(TPlayState AState) const {
    return static_cast<int>(std::count(States.begin(), States.end(), AState));
  }
  void OnMainThread() {
    if (!Platform::IsMainThread()) OffMainThread = true;
  }

  void OnState(Platform::TObject*, TPlayState AState) {
    OnMainThread();
    States.push_back(AState);
    const TWhen w = Row->When;
    // The video filters fail once the stream is open (the video thread rebuilds them).
    if (w == TWhen::Error && AState == psPlay) Player->SetVideoFilters("no_such_filter");
    if ((w == TWhen::Play && AState == psPlay) || (w == TWhen::End && AState == psEnd) ||
        ((w == TWhen::StoppedItself || w == TWhen::HostStop) && AState == psStop))
      Act();
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) {
    if (!Row->Worker) OnMainThread();
    ++FileOpens;
    if (Row->When == TWhen::FileOpen) Act();
  }
  void OnOpenFailed(Platform::TObject*) {
    if (!Row->Worker) OnMainThread();
    ++OpenFailures;
    if (Row->When == TWhen::OpenFailed) Act();
  }
  void OnPosition(Platform::TObject*, const std::int64_t&) {
    OnMainThread();
    if (Row->When == TWhen::Position) Act();
  }
  void OnPosition2(Platform::TObject*, const std::int64_t&, const std::int64_t&) { OnMainThread(); }
  void OnBeforeFindStreamInfo(Platform::TObject*, AVFormatContext*) {
    if (!Row->Worker) OnMainThread();
    if (Row->When == TWhen::BeforeFindStreamInfo) Act();
  }
  void OnError(Platform::TObject*, FFBaseComponent::TErrorType, const std::string&) {
    if (Row->When == TWhen::Error) Act();
  }
  // The hooks run from the open on: the call is made once the stream is open.
  void OnFrameHook(Platform::TObject*, FFUtils::PAVPicture, AVPixelFormat, int, int,
                   const std::int64_t&) {
    if (Row->When == TWhen::FrameHook && !Acted && Player->Opened()) Act();
  }
  void OnAudioHook(Platform::TObject*, const std::int64_t&, std::uint8_t*, int, int, int) {
    if (Row->When == TWhen::AudioHook && !Acted && Player->Opened()) Act();
  }

  void Act() {
    if (Acted.exchange(true)) return;
    ActedOnPlayerThread = !Platform::IsMainThread();
    switch (Row->Call) {
      case TCall::Open: Result = Player->Open(FDir + "/audio.wav", nullptr, "-nodisp"); break;
      case TCall::TryOpen: Result = Player->TryOpen(FDir + "/audio.wav", nullptr, "-nodisp"); break;
      case TCall::Free: {
        TRowPlayer* p = Player;
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
      case TCall::FreeMeanwhile:
        Platform::PostToMainThread([this] {
          FreeBegun = true;
          TRowPlayer* p = Player;
          Player = nullptr;
          delete p;
        });
        while (!FreeBegun) std::this_thread::yield();
        Returned = true;
        return;
    }
    if (Player) Error = Player->LastErrMsg();
    Returned = true;
  }
  static std::string FDir;
};
std::string THost::FDir;

// One row: the player opens the row's file; the handler makes its call, which returns;
// what it can serve it serves, and what it cannot it refuses at once with LastErrMsg.
void PlayerHandlerTest::RunRow(const TRow& r) {
  THost host;
  host.Row = &r;
  host.Player = new TRowPlayer(&host.LateCalls);
  Prepare(*host.Player);
  host.Attach();
  host.Player->TriggerEventInMainThread = !r.Worker;
  if (r.When == TWhen::StoppedItself) host.Player->RangeEndAction = reStop;
  host.Player->FrameHook = r.When == TWhen::FrameHook;
  host.Player->AudioHook = r.When == TWhen::AudioHook;
  const bool video = r.When == TWhen::FileOpen || r.When == TWhen::Error || r.When == TWhen::FrameHook;
  const std::string file = r.When == TWhen::OpenFailed ? File("/missing.wav")
                           : r.When == TWhen::Error    ? File("/long.mkv")
                           : video                     ? File("/av.mkv")
                                                       : File("/audio.wav");
  const std::string options = video ? "" : "-nodisp";
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
    ASSERT_TRUE(PumpUntil([&] { return host.Returned.load(); })) << "the handler made its call";
  });
  ASSERT_TRUE(host.Returned);
  EXPECT_FALSE(host.OffMainThread);
  EXPECT_EQ(host.ActedOnPlayerThread, OnPlayerThread(r)) << "the thread of " << HandlerName(r.When);
  if (r.Call == TCall::Free || r.Call == TCall::FreeMeanwhile) {
    EXPECT_EQ(host.Player, nullptr);
    EXPECT_EQ(host.LateCalls, 0) << "the play loop called the host's class once its destructor ran";
    // What was left running of the player ends without it.
    Platform::ProcessMainThreadQueue();
    return;
  }
  ASSERT_NE(host.Player, nullptr);
  const std::string in_handler = std::string(HandlerName(r.When)) +
                                 (r.When == TWhen::FileOpen ? "" : " handler");
  switch (r.Call) {
    case TCall::Open:
    case TCall::TryOpen:
      EXPECT_EQ(host.Result, r.Serves) << host.Error;
      if (r.Serves) {
        EXPECT_TRUE(PumpUntil([&] { return host.FileOpens > (r.When == TWhen::OpenFailed ? 0 : 1); }))
            << "the new file opens";
      } else if (r.When == TWhen::FileOpen) {
        EXPECT_EQ(host.Error, "Cannot open from OnFileOpen: the current open completes after it.");
      } else {
        EXPECT_EQ(host.Error, "Cannot open from the " + in_handler +
                                  ": the current stream goes on only once it has returned.");
      }
      break;
    case TCall::StopWait:
    case TCall::LockAndStop:
      if (OnPlayerThread(r) || r.When == TWhen::BeforeFindStreamInfo) {
        // Asked for: the stream (or the open) ends once the handler has returned.
        EXPECT_TRUE(PumpUntil([&] { return !host.Player->Opened() && !host.Player->Opening(); }));
      } else {
        EXPECT_FALSE(host.Player->Opened()) << "closed before the handler returned";
        EXPECT_TRUE(PumpUntil([&] { return host.Count(psStop) > 0; }));
      }
      break;
    case TCall::SeekWait:
      if (r.When == TWhen::FileOpen)
        EXPECT_EQ(host.Error, "Cannot wait for the seek in OnFileOpen: playback starts after it.");
      else
        EXPECT_EQ(host.Error, "Cannot wait for the seek in the " + in_handler +
                                  ": the stream goes on only once it has returned.");
      EXPECT_TRUE(PumpUntil([&] { return host.Count(psPlay) > 0; })) << "playback starts";
      break;
    default: break;
  }
  FWatchdog.Bounded(std::string("closing after ") + r.Name, CBound, [&] {
    host.Player->Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return !host.Player->Opening(); }));
    // The last stream's end reaches the host.
    ASSERT_TRUE(PumpUntil([&] { return host.Count(psPlay) == 0 || host.States.back() == psStop; }));
    EXPECT_TRUE(EveryPlayEnds(host.States)) << StatesText(host.States);
    delete host.Player;
  });
  EXPECT_EQ(host.LateCalls, 0) << "the play loop called the host's class once its destructor ran";
}

// The everyday playlist patterns ("open the next file on psEnd", "free on psStop"), every
// call that waits, from each handler and on each thread that raises it: the call returns,
// and what it can serve it serves. A free from a handler that a thread of the player runs
// or waits for, which goes on using the player, is refused at once with the one text.
TEST_F(PlayerHandlerTest, EveryCallFromAHandlerReturns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The refused frees come first: each runs the test again up to its row in a process of
  // its own.
  const TRow rows[] = {
      {"free in OnError (video thread)", TWhen::Error, false, TCall::Free, false, false, true},
      {"free in OnFrameHook (video thread)", TWhen::FrameHook, false, TCall::Free, false, false, true},
      {"free in OnAudioHook (audio thread)", TWhen::AudioHook, false, TCall::Free, false, false, true},
      {"free in OnBeforeFindStreamInfo", TWhen::BeforeFindStreamInfo, false, TCall::Free, false, false, true},
      {"free in OnBeforeFindStreamInfo on the read thread", TWhen::BeforeFindStreamInfo, true, TCall::Free, false, true, true},
      {"free in OnFileOpen on the read thread", TWhen::FileOpen, true, TCall::Free, false, true, true},
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
      {"TryOpen on a position report", TWhen::Position, false, TCall::TryOpen, true},
      // The open completed on the read thread, its failure raised on the fail thread.
      {"free in OnFileOpen of Open (caller's thread)", TWhen::FileOpen, false, TCall::Free, true, true},
      {"Stop(True) in OnFileOpen on the read thread", TWhen::FileOpen, true, TCall::StopWait, true, true},
      {"waited Seek in OnFileOpen on the read thread", TWhen::FileOpen, true, TCall::SeekWait, false, true},
      {"Open in OnFileOpen on the read thread", TWhen::FileOpen, true, TCall::Open, false, true},
      {"free in OnOpenFailed on the fail thread", TWhen::OpenFailed, true, TCall::Free, true, true},
      {"Open in OnOpenFailed on the fail thread", TWhen::OpenFailed, true, TCall::Open, true, true},
      // The read thread waits for OnBeforeFindStreamInfo, or runs it.
      {"Open in OnBeforeFindStreamInfo", TWhen::BeforeFindStreamInfo, false, TCall::Open, false},
      {"Open in OnBeforeFindStreamInfo on the read thread", TWhen::BeforeFindStreamInfo, true, TCall::Open, false, true},
      {"Stop(True) in OnBeforeFindStreamInfo", TWhen::BeforeFindStreamInfo, false, TCall::StopWait, true},
      {"Stop(True) in OnBeforeFindStreamInfo on the read thread", TWhen::BeforeFindStreamInfo, true, TCall::StopWait, true, true},
      {"freed meanwhile while Open waits for the read thread", TWhen::BeforeFindStreamInfo, false, TCall::FreeMeanwhile, true, true},
      {"freed meanwhile while TryOpen's read thread opens", TWhen::BeforeFindStreamInfo, true, TCall::FreeMeanwhile, true, true},
      // The stream's own threads: closing the stream waits for them.
      {"Open in OnError", TWhen::Error, false, TCall::Open, false},
      {"Stop(True) in OnError", TWhen::Error, false, TCall::StopWait, true},
      {"waited Seek in OnError", TWhen::Error, false, TCall::SeekWait, false},
      {"LockStream and Stop(True) in OnError", TWhen::Error, false, TCall::LockAndStop, true},
      {"Open in OnFrameHook", TWhen::FrameHook, false, TCall::Open, false},
      {"TryOpen in OnFrameHook", TWhen::FrameHook, true, TCall::TryOpen, false},
      {"Stop(True) in OnFrameHook", TWhen::FrameHook, false, TCall::StopWait, true},
      {"waited Seek in OnFrameHook", TWhen::FrameHook, false, TCall::SeekWait, false},
      {"LockStream and Stop(True) in OnFrameHook", TWhen::FrameHook, false, TCall::LockAndStop, true},
      {"Open in OnAudioHook", TWhen::AudioHook, false, TCall::Open, false},
      {"Stop(True) in OnAudioHook", TWhen::AudioHook, false, TCall::StopWait, true},
      {"waited Seek in OnAudioHook", TWhen::AudioHook, true, TCall::SeekWait, false},
      {"LockStream and Stop(True) in OnAudioHook", TWhen::AudioHook, false, TCall::LockAndStop, true},
  };
  THost::FDir = FDir;
  for (const TRow& r : rows) {
    SCOPED_TRACE(r.Name);
    if (r.Refused)
      EXPECT_DEATH(RunRow(r), std::string("an object cannot be freed from its own ") +
                                  HandlerName(r.When) + " handler");
    else
      RunRow(r);
    if (HasFatalFailure()) return;
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
  TRowPlayer player(&host.LateCalls);
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
// frees the player from whichever event comes on the main thread, and calls it from the
// frame hook on the video thread. The seed is printed first (and named by
// every failure): PLAYER_STRESS_SEED replays a run, PLAYER_STRESS_ROUNDS makes it longer.
struct TRandomHost {
  THeadlessPlayer* Player = nullptr;
  std::mt19937* Rng = nullptr;
  std::string Dir;
  int Budget = 0;  // calls left in this round
  bool Freed = false;
  bool OffMainThread = false;
  std::vector<TPlayState> States;
  // The frame hook's own draws and calls (the video thread).
  std::mutex HookLock;
  std::mt19937 HookRng;  // Guarded by HookLock.
  int HookBudget = 0;    // Guarded by HookLock.

  void Attach() {
    Player->OnFrameHook = FFBaseComponent::TFrameHookEvent::Bind<&TRandomHost::OnFrameHook>(this);
    Player->OnState = FFBaseComponent::TPlayStateEvent::Bind<&TRandomHost::OnState>(this);
    Player->OnPosition = FFBaseComponent::TPositionEvent::Bind<&TRandomHost::OnPosition>(this);
    Player->OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TRandomHost::OnFileOpen>(this);
    Player->OnOpenFailed = TNotifyEvent::Bind<&TRandomHost::OnOpenFailed>(this);
  }
  int Pick(int ACount) { return static_cast<int>((*Rng)() % static_cast<unsigned>(ACount)); }
  void OnState(Platform::TObject*, TPlayState AState) {
    States.push_back(AState);
    Maybe(2);
  }
  void OnPosition(Platform::TObject*, const std::int64_t&) { Maybe(6); }
  // A call on the video thread now and then; the player (the sender) cannot go before the
  // hook returns, and is not freed from here (that is refused).
  void OnFrameHook(Platform::TObject* Sender, FFUtils::PAVPicture, AVPixelFormat, int, int,
                   const std::int64_t&) {
    int op;
    {
      std::lock_guard<std::mutex> g(HookLock);
      if (HookBudget <= 0 || HookRng() % 8 != 0) return;
      --HookBudget;
      op = static_cast<int>(HookRng() % 8);
    }
    auto* p = dynamic_cast<TFFBasePlayer*>(Sender);
    switch (op) {
      case 0: (void)p->Open(Dir + "/audio.wav", nullptr, "-nodisp"); break;
      case 1: p->Stop(true); break;
      case 2: p->Stop(false); break;
      case 3: p->Seek({}, true, 0); break;
      case 4: p->Seek({}, false, 100000); break;
      case 5: p->Pause(); break;
      case 6: p->Resume(); break;
      default:
        if (p->LockStream(Platform::INFINITE) == Platform::TWaitResult::wrSignaled) {
          p->Stop(true);
          p->UnlockStream();
        }
        break;
    }
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) {
    // Every stream ends by itself (a close resets the range-end action).
    Player->RangeEndAction = reStop;
    Maybe(2);
  }
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
    host.HookRng.seed(rng());
    host.HookBudget = static_cast<int>(rng() % 3);
    host.Player = new THeadlessPlayer;
    Prepare(*host.Player);
    host.Player->FrameHook = host.HookBudget > 0;
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
      // Whichever handler replaced a stream, each one played ends with psStop.
      ASSERT_TRUE(PumpUntil([&] { return host.States.empty() || host.States.back() == psStop; }));
      EXPECT_TRUE(EveryPlayEnds(host.States, true)) << StatesText(host.States);
      delete host.Player;
    });
  }
}

}  // namespace
