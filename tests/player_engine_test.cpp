// The player component end to end, headless: SDL's dummy audio driver and offscreen
// video, media made from lavfi sources at test time, the host's events delivered on the
// main thread (this thread, which pumps the dispatcher's queue while it waits).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "PlayerFixture.h"
#include "PlayerTestSupport.h"
#include "components/FFBasePlay.h"
#include "platform/Dispatcher.h"
#include "platform/Streams.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/OptCommon.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFBasePlay;
using FFBaseComponent::psEnd;
using FFBaseComponent::psPause;
using FFBaseComponent::psPlay;
using FFBaseComponent::psResume;
using FFBaseComponent::psStop;
using FFBaseComponent::TPlayState;
using PlayerTestSupport::PumpUntil;
using PlayerTestSupport::THeadlessPlayer;

// What a host sees of one player: its events, the thread they came on.
struct TRecorder {
  std::vector<TPlayState> States;
  std::vector<std::int64_t> Positions;
  std::vector<std::size_t> PositionsAtState;  // how many positions came before each state
  int OpenFailed = 0;
  int FileOpened = 0;
  std::int64_t Duration = 0;  // as the file-open event gave it
  bool OffMainThread = false;

  void Attach(TFFBasePlayer& APlayer) {
    APlayer.OnState = FFBaseComponent::TPlayStateEvent::Bind<&TRecorder::OnState>(this);
    APlayer.OnPosition = FFBaseComponent::TPositionEvent::Bind<&TRecorder::OnPosition>(this);
    APlayer.OnOpenFailed = TNotifyEvent::Bind<&TRecorder::OnOpenFailedEvent>(this);
    APlayer.OnFileOpen = FFBaseComponent::TFileOpenEvent::Bind<&TRecorder::OnFileOpen>(this);
  }
  void OnState(Platform::TObject*, TPlayState AState) {
    Note();
    States.push_back(AState);
    PositionsAtState.push_back(Positions.size());
  }
  void OnPosition(Platform::TObject*, const std::int64_t& APts) {
    Note();
    Positions.push_back(APts);
  }
  void OnOpenFailedEvent(Platform::TObject*) {
    Note();
    ++OpenFailed;
  }
  void OnFileOpen(Platform::TObject*, const std::int64_t& ADuration, int, int, int&, int&) {
    Note();
    ++FileOpened;
    Duration = ADuration;
  }
  void Note() {
    if (!Platform::IsMainThread()) OffMainThread = true;
  }
  bool Stopped() const { return !States.empty() && States.back() == psStop; }
};

class PlayerEngineTest : public PlayerTestSupport::TPlayerFixture {
 protected:
  static void SetUpTestSuite() {
    MakeClips("player_engine");
    ASSERT_EQ(FClips->Write("audio.wav", "a", 1.0), 0);
    ASSERT_EQ(FClips->Write("av.mkv", "va", 1.0), 0);
    ASSERT_EQ(FClips->Write("video.mkv", "v", 1.0), 0);
    ASSERT_EQ(FClips->Write("long.wav", "a", 3.0), 0);
    // The audio ends halfway through the input.
    ASSERT_EQ(FClips->Write("short_audio.mkv", "va", 2.0, 1.0), 0);
  }
};

TEST_F(PlayerEngineTest, OptionStringFillsTheTargetsOrLeavesItsError) {
  THeadlessPlayer player;
  int rows = 0;
  for (CmdUtils::POptionDef o = player.OptionDef(); o->name; ++o) ++rows;
  EXPECT_EQ(rows, OptCommon::CCommonOptionCount + 33);

  const struct {
    const char* Options;
    bool Ok;
    const char* Message;  // the start of LastErrMsg on failure
  } rows_[] = {
      {"-x 640 -y 480", true, nullptr},
      {"-x 0", false, ""},
      {"-codec:v h264", true, nullptr},
      {"-codec h264", false, "No media specifier was specified in 'h264' in option 'codec'\r\n"},
      {"-c:x h264", false, "Invalid media specifier 'x' in option 'c:x'\r\n"},
      {"-f no_such_format", false, "Unknown input format: no_such_format\r\n"},
      {"-ss 1.5 -t 2 -an -rdftspeed 40 -bytes 1", true, nullptr},
      {"-no_such_option", false, ""},
      {"", true, nullptr},
  };
  for (const auto& r : rows_) {
    SCOPED_TRACE(r.Options);
    EXPECT_EQ(player.ParseOptions(r.Options), r.Ok);
    if (!r.Ok) {
      EXPECT_FALSE(player.LastErrMsg().empty());
      EXPECT_EQ(player.LastErrMsg().rfind(r.Message, 0), 0u) << player.LastErrMsg();
    }
  }
  EXPECT_EQ(player.ScreenWidth.load(), 640);
  EXPECT_EQ(player.ScreenHeight.load(), 480);
  EXPECT_STREQ(player.video_codec_name, "h264");
  EXPECT_EQ(player.start_time, 1500000);
  EXPECT_EQ(player.duration, 2000000);
  EXPECT_EQ(player.audio_disable, 1);
  EXPECT_EQ(player.seek_by_bytes, 1);
  EXPECT_DOUBLE_EQ(player.rdftspeed, 0.04) << "milliseconds become seconds";
}

TEST_F(PlayerEngineTest, AudioAndVideoDisabledTogetherFailOnTheCallingThread) {
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  EXPECT_FALSE(player.Open(FDir + "/av.mkv", nullptr, "-an -vn"));
  EXPECT_EQ(player.LastErrMsg(), "Cannot disable audio and video/display at the same time.");
  EXPECT_EQ(rec.OpenFailed, 1) << "raised before Open returned";
  EXPECT_FALSE(rec.OffMainThread);
  EXPECT_FALSE(player.Opened());
  EXPECT_FALSE(player.Opening());
}

TEST_F(PlayerEngineTest, NothingToPlayNamesWhatWasDisabled) {
  const struct {
    const char* File;
    const char* Options;
    const char* Message;
  } rows[] = {
      {"/audio.wav", "-an", "There is no video stream to play while audio disabled."},
      {"/video.mkv", "-nodisp", "There is no audio stream to play while display disabled."},
      {"/video.mkv", "-vn", "There is no audio stream to play while video disabled."},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Options);
    THeadlessPlayer player;
    Prepare(player);
    TRecorder rec;
    rec.Attach(player);
    EXPECT_FALSE(player.Open(FDir + r.File, nullptr, r.Options));
    EXPECT_EQ(player.LastErrMsg(), r.Message);
    EXPECT_TRUE(PumpUntil([&] { return rec.OpenFailed == 1; })) << "raised by the fail thread";
    EXPECT_FALSE(player.Opened());
  }
}

TEST_F(PlayerEngineTest, StopWithNothingOpenDoesNothing) {
  THeadlessPlayer player;
  TRecorder rec;
  rec.Attach(player);
  player.Stop(false);
  player.Stop(true);
  player.Pause();
  player.Resume();
  player.Seek({}, true, 0);
  player.Seek({}, true, AV_NOPTS_VALUE);
  Platform::ProcessMainThreadQueue();
  EXPECT_TRUE(rec.States.empty());
  EXPECT_EQ(rec.OpenFailed, 0);
}

// Plays AFile to its end with the range-end action "stop" and returns what the host saw.
TRecorder PlayToTheEnd(const std::string& AFile, const std::string& AOptions) {
  THeadlessPlayer player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("offscreen");
  TRecorder rec;
  rec.Attach(player);
  player.RangeEndAction = reStop;
  EXPECT_TRUE(player.Open(AFile, nullptr, AOptions)) << player.LastErrMsg();
  EXPECT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  EXPECT_FALSE(player.Opened());
  return rec;
}

TEST_F(PlayerEngineTest, PlaysToTheEndReportingStatesAndPositionsInOrder) {
  const struct {
    const char* File;
    const char* Options;
  } rows[] = {{"/audio.wav", "-nodisp"}, {"/av.mkv", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.File);
    const TRecorder rec = PlayToTheEnd(FDir + r.File, r.Options);
    EXPECT_EQ(rec.FileOpened, 1);
    ASSERT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
    ASSERT_GE(rec.Positions.size(), 3u);
    // Positions move forward, never back: not when a late audio callback (a slow
    // machine, a sanitizer run) lets the clock lag, nor when the video clock takes over
    // from the audio clock after the first pictures.
    for (std::size_t i = 1; i < rec.Positions.size(); ++i)
      EXPECT_GE(rec.Positions[i], rec.Positions[i - 1]) << "position " << i;
    EXPECT_GT(rec.Positions.back(), rec.Positions.front());
    // The end is reported once the decoders have drained and the device has played the
    // last samples: the last position lies near the clip's end, never past it.
    EXPECT_GT(rec.Positions.back(), 800000);
    EXPECT_LE(rec.Positions.back(), 1000000);
    EXPECT_FALSE(rec.OffMainThread);
  }
}

// A headless player whose video thread holds its first picture until the test lets it
// go: the audio plays on meanwhile, as it does when the video decoder is slow to start.
// The tests free their players of their own classes with delete, so that the threads
// end before any destructor runs.
class TLateVideoPlayer : public THeadlessPlayer {
 public:
  int queue_picture(TVideoState* is, AVFrame* src_frame, double pts, double duration, std::int64_t pos,
                    int serial) override {
    std::unique_lock<std::mutex> l(FLock);
    while (!FReleased && !is->videoq.abort_request) FReleasedChanged.wait_for(l, std::chrono::milliseconds(10));
    l.unlock();
    return THeadlessPlayer::queue_picture(is, src_frame, pts, duration, pos, serial);
  }
  void Release() {
    std::lock_guard<std::mutex> g(FLock);
    FReleased = true;
    FReleasedChanged.notify_all();
  }

 private:
  std::mutex FLock;
  std::condition_variable FReleasedChanged;
  bool FReleased = false;
};

TEST_F(PlayerEngineTest, LatePicturesDoNotTakeThePositionBack) {
  const auto owned = std::make_unique<TLateVideoPlayer>();
  TLateVideoPlayer& player = *owned;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  player.RangeEndAction = reStop;
  ASSERT_TRUE(player.Open(FDir + "/av.mkv", nullptr, "")) << player.LastErrMsg();
  // The audio clock alone gives the position while no picture is up.
  const bool played = PumpUntil([&] { return !rec.Positions.empty() && rec.Positions.back() >= 300000; });
  EXPECT_EQ(player.Shown, 0);
  player.Release();
  ASSERT_TRUE(played);
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  EXPECT_GT(player.Shown, 0);
  ASSERT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
  // The first pictures are behind the audio: the position holds until the video
  // clock has caught up with it.
  for (std::size_t i = 1; i < rec.Positions.size(); ++i)
    EXPECT_GE(rec.Positions[i], rec.Positions[i - 1]) << "position " << i;
  EXPECT_GT(rec.Positions.back(), 800000);
}

// A headless player that counts its display steps (each one reports the position).
class TSteppingPlayer : public THeadlessPlayer {
 public:
  std::atomic<int> Steps{0};
  void video_refresh(TVideoState* is, double& remaining_time) override {
    THeadlessPlayer::video_refresh(is, remaining_time);
    ++Steps;
  }
};

TEST_F(PlayerEngineTest, AfterTheAudioEndsThePositionRunsToTheInputsEndAndStays) {
  const struct {
    const char* File;
    const char* Options;
    std::int64_t MinEnd;  // the input's duration is at least this
  } rows[] = {
      {"/audio.wav", "-nodisp", 1000000},
      // Audio of 1 s in an input of about 2 s: played without its video, the input's end
      // follows once the audio has played out.
      {"/short_audio.mkv", "-vn", 1900000},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.File);
    const auto owned = std::make_unique<TSteppingPlayer>();
    TSteppingPlayer& player = *owned;
    Prepare(player);
    TRecorder rec;
    rec.Attach(player);
    player.RangeEndAction = reNothing;  // the stream stays open after its end
    ASSERT_TRUE(player.Open(FDir + r.File, nullptr, r.Options)) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return rec.States.size() >= 2; }));
    ASSERT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd}));
    const std::int64_t end = rec.Duration;
    ASSERT_GE(end, r.MinEnd);
    EXPECT_TRUE(PumpUntil([&] { return !rec.Positions.empty() && rec.Positions.back() == end; }, 10))
        << "last position " << (rec.Positions.empty() ? -1 : rec.Positions.back());
    const std::size_t reached = rec.Positions.size();
    // Many more display steps report nothing new: the position stays at the end.
    // Pausing then is a handshake: every report made before it has been delivered once
    // the pause has.
    const int steps = player.Steps;
    EXPECT_TRUE(PumpUntil([&] { return player.Steps >= steps + 30; }));
    player.Pause();
    ASSERT_TRUE(PumpUntil([&] { return rec.States.back() == psPause; }));
    EXPECT_EQ(rec.Positions.size(), reached) << "positions after the end was reached";
    // After the end of the decoding only the device's last buffers still play: a few
    // positions up to the audio's end, then the input's end; none in between.
    const std::size_t at_end = rec.PositionsAtState[1];
    EXPECT_LE(rec.Positions.size() - at_end, 10u);
    for (std::size_t i = at_end; i < rec.Positions.size(); ++i)
      EXPECT_TRUE(rec.Positions[i] <= 1000000 || rec.Positions[i] == end)
          << "position " << i << ": " << rec.Positions[i];
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  }
}

TEST_F(PlayerEngineTest, RangeOfSsAndTEndsPlayback) {
  const TRecorder rec = PlayToTheEnd(FDir + "/audio.wav", "-nodisp -ss 0.2 -t 0.3");
  ASSERT_FALSE(rec.Positions.empty());
  EXPECT_GE(rec.Positions.front(), 150000);
  EXPECT_LT(rec.Positions.back(), 800000) << "stopped at the range's end, before the file's";
  EXPECT_EQ(rec.States.back(), psStop);
}

TEST_F(PlayerEngineTest, TheRangeEndIsReportedOncePerReachedEnd) {
  const auto owned = std::make_unique<TSteppingPlayer>();
  TSteppingPlayer& player = *owned;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  player.RangeEndAction = reReportEnd;
  // A range of 0.2 s in a file of 3 s: the file's own end stays far away.
  ASSERT_TRUE(player.Open(FDir + "/long.wav", nullptr, "-nodisp -t 0.2")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return rec.States.size() >= 2; }));
  // Many display steps past the range's end report nothing more. The seek back is the
  // handshake: its state comes after every state reported before it.
  int steps = player.Steps;
  EXPECT_TRUE(PumpUntil([&] { return player.Steps >= steps + 30; }));
  player.Seek({}, true, 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.States.size() >= 3; }));
  EXPECT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd, psPlay}));
  // The seek makes the end reachable again: once more, and once only.
  ASSERT_TRUE(PumpUntil([&] { return rec.States.size() >= 4; }));
  steps = player.Steps;
  EXPECT_TRUE(PumpUntil([&] { return player.Steps >= steps + 30; }));
  player.Pause();
  ASSERT_TRUE(PumpUntil([&] { return rec.States.back() == psPause; }));
  EXPECT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd, psPlay, psEnd, psPause}));
  player.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
}

TEST_F(PlayerEngineTest, TheEndOfTheFileRunsTheRangeEndAction) {
  const struct {
    int Action;
    std::vector<TPlayState> Seen;  // waited for, then the player is stopped
  } rows[] = {
      {reNothing, {psPlay, psEnd}},
      {reStop, {psPlay, psEnd, psStop}},
      {reSeekBack, {psPlay, psEnd, psPlay, psEnd}},  // plays again from the start
      {rePause, {psPlay, psEnd, psPause}},
      {reReportEnd, {psPlay, psEnd}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Action);
    THeadlessPlayer player;
    Prepare(player);
    TRecorder rec;
    rec.Attach(player);
    player.RangeEndAction = r.Action;
    ASSERT_TRUE(player.Open(FDir + "/audio.wav", nullptr, "-nodisp")) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return rec.States.size() >= r.Seen.size(); }));
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
    // What came first, then (after Stop) the end; seeking back may have begun another
    // round meanwhile.
    ASSERT_GE(rec.States.size(), r.Seen.size());
    EXPECT_TRUE(std::equal(r.Seen.begin(), r.Seen.end(), rec.States.begin()));
    EXPECT_EQ(rec.States.back(), psStop);
    if (r.Action != reSeekBack) {
      EXPECT_EQ(rec.States.size(), r.Seen.size() + (r.Seen.back() == psStop ? 0 : 1));
    }
  }
}

TEST_F(PlayerEngineTest, FilterTextsShapeThePlaybackOrReportTheirFailure) {
  const struct {
    const char* Video;
    const char* Audio;
    bool VideoFails;
  } rows[] = {
      {"hflip,scale=32:24", "volume=0.5,atempo=1.0", false},
      {"no_such_filter", "", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Video);
    THeadlessPlayer player;
    Prepare(player);
    TRecorder rec;
    rec.Attach(player);
    struct TErrors {
      std::atomic<int> Count{0};
      std::mutex Lock;
      std::string Text;
      void OnError(Platform::TObject*, FFBaseComponent::TErrorType AError, const std::string& AMessage) {
        if (AError != FFBaseComponent::errVideoFilters) return;
        std::lock_guard<std::mutex> g(Lock);
        Text = AMessage;
        ++Count;
      }
    } errors;
    player.OnError = FFBaseComponent::TErrorNotifyEvent::Bind<&TErrors::OnError>(&errors);
    player.SetVideoFilters(r.Video);
    player.SetAudioFilters(r.Audio);
    player.RangeEndAction = reStop;
    // Every filtered picture is shown, late or not: on a busy machine the pictures fall
    // behind the sound, and dropping them would leave too few to count.
    player.framedrop = 0;
    ASSERT_TRUE(player.Open(FDir + "/av.mkv")) << player.LastErrMsg();
    if (r.VideoFails) {
      // The video thread gives up on its first picture; the audio plays on.
      ASSERT_TRUE(PumpUntil([&] { return errors.Count == 1; }));
      std::lock_guard<std::mutex> g(errors.Lock);
      EXPECT_EQ(errors.Text.rfind("configure_video_filters() failed", 0), 0u) << errors.Text;
      player.Stop(true);
    }
    ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
    if (!r.VideoFails) {
      EXPECT_EQ(errors.Count, 0);
      EXPECT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
      EXPECT_GT(player.Shown, 10) << "pictures came through the filters";
    }
  }
}

TEST_F(PlayerEngineTest, PauseResumeAndASeekThatWaits) {
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  ASSERT_TRUE(player.Open(FDir + "/av.mkv")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return !rec.Positions.empty(); }));
  player.Pause();
  EXPECT_TRUE(player.Paused());
  player.Seek({}, true, 800000);
  player.Resume();
  ASSERT_TRUE(PumpUntil([&] { return !rec.Positions.empty() && rec.Positions.back() >= 800000; }));
  player.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  EXPECT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psPause, psResume, psStop}));
}

// A host stream over a file in memory that cannot seek.
class TForwardStream : public Platform::TMemoryStream {
 public:
  std::int64_t Seek(std::int64_t AOffset, Platform::TSeekOrigin AOrigin) override {
    if (AOrigin == Platform::TSeekOrigin::soCurrent && AOffset == 0)
      return TMemoryStream::Seek(AOffset, AOrigin);
    return -1;
  }
};

TEST_F(PlayerEngineTest, AFailingSeekWithWaitReturns) {
  TForwardStream stream;
  {
    FILE* f = std::fopen((FDir + "/audio.wav").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) stream.Write(buf, static_cast<std::int64_t>(n));
    std::fclose(f);
    stream.TMemoryStream::Seek(0, Platform::TSeekOrigin::soBeginning);
  }
  MemoryProtocol::RegisterStream(&stream);
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  const std::string options =
      "-nodisp -memory " + std::to_string(reinterpret_cast<std::intptr_t>(&stream));
  ASSERT_TRUE(player.Open("memory.wav", nullptr, options)) << player.LastErrMsg();
  player.Seek({}, true, 500000);  // the stream cannot seek: returns all the same
  player.Seek({}, true, 100000);  // and the next seek is taken
  player.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  MemoryProtocol::UnregisterStream(&stream);
}

// A host stream whose reads block until released, then report the end.
class TBlockingStream : public Platform::TMemoryStream {
 public:
  std::int64_t Read(void*, std::int64_t) override {
    std::unique_lock<std::mutex> g(FLock);
    ++FReaders;
    FCond.notify_all();
    FCond.wait(g, [&] { return FReleased; });
    return 0;
  }
  void WaitForReader() {
    std::unique_lock<std::mutex> g(FLock);
    FCond.wait(g, [&] { return FReaders > 0; });
  }
  void Release() {
    std::lock_guard<std::mutex> g(FLock);
    FReleased = true;
    FCond.notify_all();
  }

 private:
  std::mutex FLock;
  std::condition_variable FCond;
  int FReaders = 0;
  bool FReleased = false;
};

TEST_F(PlayerEngineTest, TryOpenOnABlockingStreamThenOpen) {
  TBlockingStream stream;
  MemoryProtocol::RegisterStream(&stream);
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  ASSERT_TRUE(player.TryOpen("blocking", nullptr,
                             "-memory " + std::to_string(reinterpret_cast<std::intptr_t>(&stream))));
  EXPECT_TRUE(player.Opening());
  stream.WaitForReader();
  // The read thread is inside the host stream: a second open gives up after a second.
  EXPECT_FALSE(player.Open(FDir + "/audio.wav", nullptr, "-nodisp"));
  EXPECT_EQ(player.LastErrMsg(), "Current trying open is not completed.");
  EXPECT_EQ(rec.OpenFailed, 0) << "that failure raises no event";

  stream.Release();
  ASSERT_TRUE(PumpUntil([&] { return rec.OpenFailed == 1 && !player.Opening(); }));
  EXPECT_FALSE(player.Opened());
  MemoryProtocol::UnregisterStream(&stream);

  player.RangeEndAction = reStop;
  ASSERT_TRUE(player.Open(FDir + "/audio.wav", nullptr, "-nodisp")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  EXPECT_EQ(rec.States.front(), psPlay);
  EXPECT_FALSE(rec.OffMainThread);
}

TEST_F(PlayerEngineTest, OpenOnAnOpenPlayerStopsTheFirstAndKeepsTheNewRange) {
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  ASSERT_TRUE(player.Open(FDir + "/av.mkv")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return !rec.Positions.empty(); }));
  ASSERT_TRUE(player.Open(FDir + "/audio.wav", nullptr, "-nodisp -ss 0.5 -codec:a pcm_s16le"))
      << player.LastErrMsg();
  EXPECT_EQ(player.start_time, 500000) << "the range survives the close of the first stream";
  EXPECT_STREQ(player.audio_codec_name, "pcm_s16le");
  ASSERT_TRUE(PumpUntil([&] {
    return rec.States.size() >= 3 && !rec.Positions.empty() && rec.Positions.back() >= 500000;
  }));
  player.Stop(true);
  ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  EXPECT_EQ(rec.States, (std::vector<TPlayState>{psPlay, psStop, psPlay, psStop}));
}

TEST_F(PlayerEngineTest, TwoPlayersPlayAtOnce) {
  THeadlessPlayer first, second;
  Prepare(first);
  Prepare(second);
  TRecorder a, b;
  a.Attach(first);
  b.Attach(second);
  first.RangeEndAction = reStop;
  second.RangeEndAction = reStop;
  ASSERT_TRUE(first.Open(FDir + "/audio.wav", nullptr, "-nodisp")) << first.LastErrMsg();
  ASSERT_TRUE(second.Open(FDir + "/av.mkv")) << second.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return a.Stopped() && b.Stopped(); }));
  EXPECT_EQ(a.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
  EXPECT_EQ(b.States, (std::vector<TPlayState>{psPlay, psEnd, psStop}));
}

TEST_F(PlayerEngineTest, OpenPlayStopManyTimes) {
  const int rounds = std::getenv("PLAYER_STRESS_ROUNDS") ? std::atoi(std::getenv("PLAYER_STRESS_ROUNDS")) : 20;
  THeadlessPlayer player;
  Prepare(player);
  TRecorder rec;
  rec.Attach(player);
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE(i);
    rec.States.clear();
    rec.Positions.clear();
    ASSERT_TRUE(player.Open(FDir + (i % 2 ? "/av.mkv" : "/audio.wav"))) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return rec.Positions.size() >= 2; }));
    player.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return rec.Stopped(); }));
  }
}

}  // namespace
