// The player's playing range and the states a host sees around it: a range that cannot
// be played is refused, the range's end is met with or without a display, the end of
// the file lets the last samples play, and a paused open is reported paused. Headless
// and on SDL's dummy audio and offscreen video drivers; media made at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PlayerFixture.h"
#include "PlayerTestSupport.h"
#include "StubGate.h"
#include "components/FFBasePlay.h"
#include "components/FFBasePlayClock.h"
#include "components/FFPlay.h"
#include "platform/Dispatcher.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFBasePlay;
using FFBaseComponent::psEnd;
using FFBaseComponent::psPause;
using FFBaseComponent::psPlay;
using FFBaseComponent::psStop;
using FFBaseComponent::TPlayState;
using PlayerTestSupport::PumpUntil;
using PlayerTestSupport::THeadlessPlayer;

// The states and open failures a host sees (main thread).
struct TStates {
  std::vector<TPlayState> States;
  int OpenFailed = 0;
  void Attach(TFFBasePlayer& APlayer) {
    APlayer.OnState = FFBaseComponent::TPlayStateEvent::Bind<&TStates::OnState>(this);
    APlayer.OnOpenFailed = TNotifyEvent::Bind<&TStates::OnOpenFailedEvent>(this);
  }
  void OnState(Platform::TObject*, TPlayState AState) { States.push_back(AState); }
  void OnOpenFailedEvent(Platform::TObject*) { ++OpenFailed; }
  bool Stopped() const { return !States.empty() && States.back() == psStop; }
};

class PlayerStatesTest : public PlayerTestSupport::TPlayerFixture {
 protected:
  static void SetUpTestSuite() {
    MakeClips("player_states");
    ASSERT_EQ(FClips->Write("audio.wav", "a", 1.0), 0);
    ASSERT_EQ(FClips->Write("av.mkv", "va", 1.0), 0);
    ASSERT_EQ(FClips->Write("video.mkv", "v", 1.0), 0);
  }
};

TEST_F(PlayerStatesTest, ARangeThatEndsWhereItStartsIsRefused) {
  const struct {
    const char* Options;
    int Action;
  } rows[] = {
      {"-nodisp -t 0", reSeekBack},
      {"-nodisp -t -1", reSeekBack},
      {"-nodisp -ss 0.2 -t -0.5", rePauseSeekBack},
      {"-nodisp -t 0", reNothing},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Options);
    THeadlessPlayer player;
    Prepare(player);
    TStates host;
    host.Attach(player);
    player.RangeEndAction = r.Action;
    const bool opened = player.Open(FDir + "/audio.wav", nullptr, r.Options);
    EXPECT_FALSE(opened);
    if (opened) {
      player.Stop(true);
      continue;
    }
    EXPECT_EQ(host.OpenFailed, 1);
    EXPECT_FALSE(player.Opened());
    EXPECT_NE(player.LastErrMsg().find("Invalid playing range"), std::string::npos) << player.LastErrMsg();
    // The refused range is not kept for the next open.
    EXPECT_EQ(player.duration, AV_NOPTS_VALUE);
    EXPECT_EQ(player.start_time, AV_NOPTS_VALUE);
  }
}

// A range that starts at or past the known end of the input, with a range-end action that
// seeks back to its start, would end and restart for ever: it is refused when the input
// is opened, whether the open is waited for or not. Other actions simply end it.
TEST_F(PlayerStatesTest, ARangeThatStartsPastTheEndIsRefusedWhenItWouldLoop) {
  const struct {
    const char* File;
    const char* Options;
    int Action;
    bool Wait;
    bool Refused;
  } rows[] = {
      {"/audio.wav", "-nodisp -ss 5", reSeekBack, true, true},
      {"/audio.wav", "-nodisp -ss 5", rePauseSeekBack, false, true},
      {"/audio.wav", "-nodisp -ss 2 -t 1", rePauseSeekBack, true, true},
      {"/av.mkv", "-ss 5", reSeekBack, false, true},
      {"/av.mkv", "-ss 5", rePauseSeekBack, true, true},
      {"/audio.wav", "-nodisp -ss 5", reStop, true, false},
      {"/av.mkv", "-ss 5", reStop, false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.File << " '" << r.Options << "' action " << r.Action
                                    << (r.Wait ? " Open" : " TryOpen"));
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    FFPlay::TZAVereve player;
    Prepare(player);
    TStates host;
    host.Attach(player);
    player.RangeEndAction = r.Action;
    const std::string file = FDir + r.File;
    const bool opened = r.Wait ? player.Open(file, nullptr, r.Options) : player.TryOpen(file, nullptr, r.Options);
    if (r.Refused) {
      EXPECT_EQ(opened, !r.Wait);
      ASSERT_TRUE(PumpUntil([&] { return host.OpenFailed > 0 || host.Stopped(); }));
      EXPECT_EQ(host.OpenFailed, 1);
      EXPECT_TRUE(host.States.empty()) << "the range was played";
      EXPECT_NE(player.LastErrMsg().find("Invalid playing range"), std::string::npos) << player.LastErrMsg();
    } else {
      // Played at once to its end, and stopped there.
      ASSERT_TRUE(opened) << player.LastErrMsg();
      ASSERT_TRUE(PumpUntil([&] { return host.Stopped(); }));
      EXPECT_EQ(host.OpenFailed, 0);
    }
    player.Stop(true);
    EXPECT_FALSE(player.Opened());
  }
}

// A range of 0.3 s in a clip of 1 s, stopped at its end: the file's end never comes, so
// no psEnd is seen, with a display or without one.
TEST_F(PlayerStatesTest, TheRangeEndStopsPlaybackWithOrWithoutADisplay) {
  const struct {
    const char* File;
    const char* Options;
  } rows[] = {
      {"/audio.wav", "-nodisp -t 0.3"},
      {"/av.mkv", "-nodisp -t 0.3"},
      {"/av.mkv", "-t 0.3"},
      {"/video.mkv", "-t 0.3"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.File << " " << r.Options);
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    FFPlay::TZAVereve player;
    Prepare(player);
    TStates host;
    host.Attach(player);
    player.RangeEndAction = reStop;
    ASSERT_TRUE(player.Open(FDir + r.File, nullptr, r.Options)) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return host.Stopped(); }));
    EXPECT_EQ(host.States, (std::vector<TPlayState>{psPlay, psStop}));
    EXPECT_FALSE(player.Opened());
  }
}

// A stream that stops itself at its end is seen closed (Opened() False) while its closing
// goes on: the range and range-end action that the host sets for the next open from then
// on hold for that open, however late it comes. The closing is held where it joins the
// stream's read thread while the host sets them.
TEST_F(PlayerStatesTest, ARangeSetOnceTheStreamIsSeenClosedHoldsForTheNextOpen) {
  for (const bool wait : {false, true}) {
    SCOPED_TRACE(wait ? "the first open waited for" : "the first open not waited for");
    TStates host;  // outlives the player, whose last events reach it
    // The first join of a thread of the engine is the first stream's closing.
    using TCloseGate = StubGate::TStubGate<SDL2Stubs::SDL_WaitThread>;
    TCloseGate gate;
    THeadlessPlayer player;
    const TCloseGate::TReleaser let_go{gate};
    Prepare(player);
    host.Attach(player);
    player.RangeEndAction = reStop;
    const std::string file = FDir + "/audio.wav";
    ASSERT_TRUE(wait ? player.Open(file, nullptr, "-nodisp") : player.TryOpen(file, nullptr, "-nodisp"))
        << player.LastErrMsg();
    // Its end, then its close (the main thread's queue is served meanwhile).
    ASSERT_TRUE(PumpUntil([&] { return !host.States.empty() && host.States.back() == psEnd && !player.Opened(); }));
    ASSERT_TRUE(gate.WaitHeld()) << "the stream did not stop itself";
    EXPECT_FALSE(player.Opened());
    player.RangeEndAction = reStop;
    gate.Release();
    ASSERT_TRUE(PumpUntil([&] { return host.Stopped(); }));
    EXPECT_EQ(player.RangeEndAction, reStop) << "the closing reset the next open's action";
    ASSERT_TRUE(wait ? player.TryOpen(file, nullptr, "-nodisp") : player.Open(file, nullptr, "-nodisp"))
        << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return std::count(host.States.begin(), host.States.end(), psStop) == 2; }))
        << "the second stream did not stop itself at its end";
    EXPECT_EQ(host.States, (std::vector<TPlayState>{psPlay, psEnd, psStop, psPlay, psEnd, psStop}));
    player.Stop(true);
  }
}

// A host that looks at the audio clock when it is told that playback has ended.
struct TEndProbe {
  TFFBasePlayer* Player = nullptr;
  std::vector<TPlayState> States;
  double ClockAtEnd = NAN;                    // seconds
  std::int64_t AudioEnd = AV_NOPTS_VALUE;     // microseconds
  void OnState(Platform::TObject*, TPlayState AState) {
    States.push_back(AState);
    if (AState != psEnd || Player->LockStream(Platform::INFINITE) != Platform::TWaitResult::wrSignaled)
      return;
    if (TVideoState* is = Player->Stream()) {
      ClockAtEnd = get_clock(&is->audclk);
      AudioEnd = is->audio_end_time;
    }
    Player->UnlockStream();
  }
};

// When the decoders have drained, the device's buffers still hold the last tenth of a
// second: the end of playback is reported (and a range-end action such as a stop runs)
// once the audio clock has passed the last sample, not while it is still to be heard.
TEST_F(PlayerStatesTest, TheEndComesOnceTheLastSamplesHavePlayed) {
  const struct {
    const char* File;
    const char* Options;
  } rows[] = {{"/audio.wav", "-nodisp"}, {"/av.mkv", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.File);
    THeadlessPlayer player;
    Prepare(player);
    TEndProbe probe;
    probe.Player = &player;
    player.OnState = FFBaseComponent::TPlayStateEvent::Bind<&TEndProbe::OnState>(&probe);
    player.RangeEndAction = reNothing;  // the stream stays open after its end
    ASSERT_TRUE(player.Open(FDir + r.File, nullptr, r.Options)) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return probe.States.size() >= 2; }));
    EXPECT_EQ(probe.States, (std::vector<TPlayState>{psPlay, psEnd}));
    ASSERT_NE(probe.AudioEnd, AV_NOPTS_VALUE) << "the audio had not run out yet";
    EXPECT_GE(probe.AudioEnd, 990000);
    ASSERT_FALSE(std::isnan(probe.ClockAtEnd));
    EXPECT_GE(std::llround(probe.ClockAtEnd * 1000000.0), probe.AudioEnd)
        << "the end came while the device still held samples";
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return !probe.States.empty() && probe.States.back() == psStop; }));
  }
  // The stop at the end of the file comes after the end, as the end itself does.
  THeadlessPlayer player;
  Prepare(player);
  TStates host;
  host.Attach(player);
  player.RangeEndAction = reStop;
  ASSERT_TRUE(player.Open(FDir + "/audio.wav", nullptr, "-nodisp")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return host.Stopped(); }));
  EXPECT_EQ(host.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
}

// What a host hears, in order: positions and states (main thread).
struct TTimeline {
  struct TEvent {
    bool IsState;
    TPlayState State;
    std::int64_t Position;
  };
  std::vector<TEvent> Events;
  void Attach(TFFBasePlayer& APlayer) {
    APlayer.OnState = FFBaseComponent::TPlayStateEvent::Bind<&TTimeline::OnState>(this);
    APlayer.OnPosition = FFBaseComponent::TPositionEvent::Bind<&TTimeline::OnPosition>(this);
  }
  void OnState(Platform::TObject*, TPlayState AState) { Events.push_back({true, AState, 0}); }
  void OnPosition(Platform::TObject*, const std::int64_t& APosition) {
    Events.push_back({false, psStop, APosition});
  }
  // The index of the first report of AState; -1 when none came.
  int IndexOf(TPlayState AState) const {
    for (size_t i = 0; i < Events.size(); ++i)
      if (Events[i].IsState && Events[i].State == AState) return static_cast<int>(i);
    return -1;
  }
  bool HasPosition() const {
    for (const TEvent& e : Events)
      if (!e.IsState) return true;
    return false;
  }
};

// The end of playback comes after the final position: a host that takes psEnd for "the
// bar is full" never sees the bar go back. Either the play loop is held (the host has the
// stream lock) while the audio plays out, so that its display step, the one that would
// report the final position, comes only after psEnd; or the making of its display is held
// until then (a busy machine), so that it has reported no position at all before.
TEST_F(PlayerStatesTest, TheFinalPositionComesBeforeTheEnd) {
  using TRendererGate = StubGate::TStubGate<SDL2Stubs::SDL_CreateRenderer>;
  const struct {
    const char* File;
    const char* Options;
    bool HoldDisplay;
  } rows[] = {{"/audio.wav", "", false}, {"/av.mkv", "-vn", false}, {"/audio.wav", "", true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.File) + (r.HoldDisplay ? ", display held" : ", play loop held"));
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    TRendererGate gate;
    FFPlay::TZAVereve player;
    const TRendererGate::TReleaser let_go{gate};
    if (!r.HoldDisplay) gate.Release();
    Prepare(player);
    TTimeline host;
    host.Attach(player);
    player.RangeEndAction = reNothing;  // the stream stays open after its end
    ASSERT_TRUE(player.Open(FDir + r.File, nullptr, r.Options)) << player.LastErrMsg();
    std::int64_t duration = 0;
    if (r.HoldDisplay) {
      ASSERT_TRUE(gate.WaitHeld());
      ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
      duration = player.Stream()->duration;
      player.UnlockStream();
      const bool ended = PumpUntil([&] { return host.IndexOf(psEnd) >= 0; });
      gate.Release();
      ASSERT_TRUE(ended);
    } else {
      ASSERT_TRUE(PumpUntil([&] { return host.HasPosition(); }));
      ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
      duration = player.Stream()->duration;
      const bool ended = PumpUntil([&] { return host.IndexOf(psEnd) >= 0; });
      player.UnlockStream();
      ASSERT_TRUE(ended);
    }
    // The play loop takes at least one display step before it takes the stop.
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return host.IndexOf(psStop) >= 0; }));
    const int end = host.IndexOf(psEnd);
    std::int64_t last = -1;
    for (int i = 0; i < end; ++i)
      if (!host.Events[i].IsState) last = host.Events[i].Position;
    EXPECT_EQ(last, duration) << "the final position before psEnd";
    for (size_t i = end; i < host.Events.size(); ++i)
      EXPECT_TRUE(host.Events[i].IsState) << "a position " << host.Events[i].Position << " after psEnd";
  }
}

// A host that pauses the stream from its file-open handler.
struct TPausingHost {
  TFFBasePlayer* Player = nullptr;
  void OnFileOpen(Platform::TObject*, const std::int64_t&, int, int, int&, int&) { Player->Pause(); }
};

// A stream opened to start paused, or paused from the file-open handler, is reported
// paused after it is reported playing: the host is left with the stream's own state.
TEST_F(PlayerStatesTest, APausedOpenIsReportedPausedAfterPlay) {
  const struct {
    const char* File;
    const char* Options;
    bool PauseOnFileOpen;
  } rows[] = {
      {"/audio.wav", "-nodisp -pause", false}, {"/av.mkv", "-pause", false},
      {"/video.mkv", "-pause", false},         {"/audio.wav", "-nodisp", true},
      {"/av.mkv", "", true},
  };
  for (const auto& r : rows) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(testing::Message() << r.File << " '" << r.Options << "' " << r.PauseOnFileOpen
                                      << " round " << round);
      THeadlessPlayer player;
      Prepare(player);
      TStates host;
      host.Attach(player);
      TPausingHost pausing{&player};
      if (r.PauseOnFileOpen)
        player.OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TPausingHost::OnFileOpen>(&pausing);
      ASSERT_TRUE(player.Open(FDir + r.File, nullptr, r.Options)) << player.LastErrMsg();
      ASSERT_TRUE(PumpUntil([&] { return host.States.size() >= 2; }));
      EXPECT_TRUE(player.Paused());
      player.Stop(true);
      ASSERT_TRUE(PumpUntil([&] { return host.Stopped(); }));
      EXPECT_EQ(host.States, (std::vector<TPlayState>{psPlay, psPause, psStop}));
    }
  }
}

}  // namespace
