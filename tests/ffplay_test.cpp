// The player's output side: the pixel-format map, the refresh timing, and whole files
// played into a window of the player's own under SDL's offscreen video driver and dummy
// audio, with media made at test time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "MediaBuilder.h"
#include "PlayerTestSupport.h"
#include "components/FFPlay.h"
#include "platform/Bitmap.h"
#include "platform/Dispatcher.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/SDL2Stubs.h"

namespace {

using namespace FFPlay;
using FFBaseComponent::psPause;
using FFBaseComponent::psStop;
using FFBaseComponent::TPlayState;
using PlayerTestSupport::PumpUntil;

TEST(FFPlayMapTest, PixelFormatsMapToSDLFormats) {
  const struct {
    int AV;
    Uint32 SDL;
  } rows[] = {
      {AV_PIX_FMT_YUV420P, 0x56555949}, {AV_PIX_FMT_RGB8, 0x14110801},
      {AV_PIX_FMT_RGB444LE, 0x15120C02}, {AV_PIX_FMT_RGB555LE, 0x15130F02},
      {AV_PIX_FMT_BGR555LE, 0x15530F02}, {AV_PIX_FMT_RGB565LE, 0x15151002},
      {AV_PIX_FMT_BGR565LE, 0x15551002}, {AV_PIX_FMT_RGB24, 0x17101803},
      {AV_PIX_FMT_BGR24, 0x17401803},    {121, 0x16161804},
      {119, 0x16561804},                 {120, 0x16261804},
      {118, 0x16661804},                 {AV_PIX_FMT_BGRA, 0x16362004},
      {AV_PIX_FMT_ABGR, 0x16462004},     {AV_PIX_FMT_RGBA, 0x16762004},
      {AV_PIX_FMT_ARGB, SDL_PIXELFORMAT_BGRA8888}, {AV_PIX_FMT_YUYV422, 0x32595559},
      {AV_PIX_FMT_UYVY422, 0x59565955},
  };
  ASSERT_EQ(std::size(rows), static_cast<size_t>(CPixelFormatMapSize));
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(CPixelFormatMap[i].AVFormat, rows[i].AV);
    EXPECT_EQ(CPixelFormatMap[i].SDLFormat, rows[i].SDL);
    EXPECT_EQ(SDLFormatOf(rows[i].AV), rows[i].SDL);
    EXPECT_EQ(AVFormatOf(rows[i].SDL), rows[i].AV);
  }
  EXPECT_EQ(SDLFormatOf(AV_PIX_FMT_YUV444P), 0u) << "absent: unknown";
  EXPECT_EQ(AVFormatOf(SDL_PIXELFORMAT_NV12), -1);
}

TEST(FFPlayMapTest, YUVConversionModeFollowsRangeAndColourSpace) {
  const struct {
    int Format;
    AVColorRange Range;
    AVColorSpace Space;
    int Mode;
  } rows[] = {
      {AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, 0},
      {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709, 2},
      {AV_PIX_FMT_YUYV422, AVCOL_RANGE_MPEG, AVCOL_SPC_BT470BG, 1},
      {AV_PIX_FMT_UYVY422, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_SMPTE170M, 1},
      {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_UNSPECIFIED, 3},
      {AV_PIX_FMT_YUV444P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, 3},
      {AV_PIX_FMT_BGRA, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, 3},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.Format << " " << r.Range << " " << r.Space);
    AVFrame f{};
    f.format = r.Format;
    f.color_range = r.Range;
    f.colorspace = r.Space;
    EXPECT_EQ(YUVConversionModeOf(&f), r.Mode);
  }
  EXPECT_EQ(YUVConversionModeOf(nullptr), 3);
}

TEST(FFPlayTimingTest, DuePicturesShowAndLateOnesDrop) {
  const double N = NAN;
  const struct {
    const char* Name;
    double Timer, Delay, Now, NextDuration;
    bool DropAllowed;
    bool Show, DropLate;
    double NewTimer, Wait;
  } rows[] = {
      {"not yet due: wait the rest", 10.0, 0.04, 10.01, 0.04, true, false, false, 10.0, 0.03},
      {"due on time", 10.0, 0.04, 10.05, 0.04, true, true, false, 10.04, 0},
      {"successor due too: late", 10.0, 0.04, 10.09, 0.04, true, true, true, 10.04, 0},
      {"late but dropping off (framedrop 0)", 10.0, 0.04, 10.09, 0.04, false, true, false, 10.04, 0},
      {"late without successor: shown", 10.0, 0.04, 10.09, N, true, true, false, 10.04, 0},
      {"far behind: timer restarts now, not dropped", 10.0, 0.04, 10.5, 0.04, true, true, false, 10.5, 0},
      {"zero delay (video master catching up) keeps the timer", 10.0, 0.0, 10.5, 0.04, true, true, true, 10.0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    const TRefreshTiming t = ComputeRefreshTiming(r.Timer, r.Delay, r.Now, r.NextDuration, r.DropAllowed);
    EXPECT_EQ(t.Show, r.Show);
    EXPECT_EQ(t.DropLate, r.DropLate);
    EXPECT_NEAR(t.FrameTimer, r.NewTimer, 1e-9);
    EXPECT_NEAR(t.Wait, r.Wait, 1e-9);
  }
}

// A player whose texture upload a test may call while it holds the play loop.
class TTestPlayer : public TZAVereve {
 public:
  using TCustomPlayer::upload_texture;
};

class FFPlayWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PlayerTestSupport::RequirePlayerLibraries();
    char dir[] = "/tmp/ffplay_test_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    FDir = dir;
    MediaBuilder::TMediaSpec spec;
    spec.Duration = 1.0;
    spec.Streams = "v";
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/video.mkv", "matroska", spec), 0);
    spec.Streams = "va";
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/av.mkv", "matroska", spec), 0);
    spec.Streams = "a";
    spec.Channels = 2;
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/audio.wav", "wav", spec), 0);
  }
  static void TearDownTestSuite() {
    for (const char* f : {"/video.mkv", "/av.mkv", "/audio.wav"}) std::remove((FDir + f).c_str());
    ::rmdir(FDir.c_str());
  }
  void SetUp() override {
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    FFLoad::TFFLogWorker* w = FFLoad::VEDovedo;
    FSynchronous = w->GetSynchronous();
    FInMainThread = w->GetTriggerEventInMainThread();
    w->SetActive(true);
    w->SetSynchronous(true);
    w->SetTriggerEventInMainThread(false);
    LogRecorder::TLogRecorder::Get().Clear();
    w->SetOnLog(LogRecorder::TLogRecorder::Get().Event());
  }
  void TearDown() override {
    FFLoad::TFFLogWorker* w = FFLoad::VEDovedo;
    w->SetOnLog({});
    w->SetSynchronous(FSynchronous);
    w->SetTriggerEventInMainThread(FInMainThread);
  }
  static void Prepare(TCustomPlayer& APlayer) {
    APlayer.SetAudioDriver("dummy");
    APlayer.SetVideoDriver("offscreen");
  }
  static bool WaitForBitmap(TCustomPlayer& APlayer, Platform::TBitmap*& ABitmap, std::int64_t& APts) {
    if (PumpUntil([&] { return APlayer.GetCurrentBitmap(ABitmap, APts); })) return true;
    for (const std::string& l : LogRecorder::TLogRecorder::Get().Lines()) std::fprintf(stderr, "log: %s", l.c_str());
    return false;
  }

  static std::string FDir;
  bool FSynchronous = false;
  bool FInMainThread = true;
};
std::string FFPlayWindowTest::FDir;

struct TRenderCounter {
  std::atomic<int> Count{0};
  void OnRender(Platform::TObject*) { ++Count; }
};

TEST_F(FFPlayWindowTest, FilePlaysToTheEndInAnOwnWindow) {
  TZAVereve player;
  Prepare(player);
  TRenderCounter renders;
  player.OnVideoRender = FFBasePlay::TNotifyEvent::Bind<&TRenderCounter::OnRender>(&renders);
  player.RangeEndAction = FFBasePlay::reStop;
  std::vector<TPlayState> states;
  ASSERT_TRUE(player.Open(FDir + "/av.mkv", nullptr, "")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return !player.Opened(); }, 30.0));
  player.Stop(true);
  EXPECT_GT(renders.Count.load(), 0);
  EXPECT_EQ(player.RendererName(), "") << "the display closed with the stream";
  EXPECT_EQ(player.Window(), nullptr);
  const SDL_Rect r = player.DisplayRect();
  EXPECT_EQ(r.w - r.x, 64) << "the own window takes the picture's size";
  EXPECT_EQ(r.h - r.y, 48);
}

TEST_F(FFPlayWindowTest, PausedOpenShowsTheFirstPictureAndASeekShowsTheSoughtOne) {
  TZAVereve player;
  Prepare(player);
  ASSERT_TRUE(player.Open(FDir + "/video.mkv", nullptr, "-pause")) << player.LastErrMsg();
  Platform::TBitmap* bmp = nullptr;
  std::int64_t pts = -1;
  ASSERT_TRUE(WaitForBitmap(player, bmp, pts));
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(bmp->Width(), 64);
  EXPECT_EQ(bmp->Height(), 48);
  EXPECT_EQ(pts, 0);
  EXPECT_TRUE(player.Paused());
  EXPECT_TRUE(player.OwnWindow());

  player.Seek({}, true, 600000);
  ASSERT_TRUE(PumpUntil([&] { return player.GetCurrentBitmap(bmp, pts) && pts > 0; }));
  // The seek lands on the key frame before the target (a key frame every 5 pictures).
  EXPECT_GE(pts, 400000);
  EXPECT_LE(pts, 600000);
  EXPECT_TRUE(player.Paused()) << "a seek while paused stays paused";
  player.Stop(true);
  EXPECT_FALSE(player.GetCurrentBitmap(bmp, pts)) << "no stream, no picture";
}

TEST_F(FFPlayWindowTest, AudioIsShownAsWavesOrSpectrumToTheEnd) {
  const struct {
    int Mode;  // before the open
    int Shown;
  } rows[] = {{0, FFBasePlay::SHOW_MODE_WAVES}, {FFBasePlay::SHOW_MODE_RDFT, FFBasePlay::SHOW_MODE_RDFT}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Mode);
    LogRecorder::TLogRecorder::Get().Clear();
    TZAVereve player;
    Prepare(player);
    player.RangeEndAction = FFBasePlay::reStop;
    ASSERT_TRUE(player.Open(FDir + "/audio.wav", nullptr, "")) << player.LastErrMsg();
    player.SetShowMode(r.Mode);
    // The stream may have ended already; the mode it shows in is what it kept.
    int shown = -1;
    if (player.LockStream(Platform::INFINITE) == Platform::TWaitResult::wrSignaled) {
      if (FFBasePlay::TVideoState* is = player.Stream()) shown = is->show_mode;
      player.UnlockStream();
    }
    if (shown >= 0) EXPECT_EQ(shown, r.Shown);
    ASSERT_TRUE(PumpUntil([&] { return !player.Opened(); }, 30.0));
    player.Stop(true);
    EXPECT_FALSE(LogRecorder::TLogRecorder::Get().FindEnding("switching to waves display"));
  }
}

TEST_F(FFPlayWindowTest, MixedSignLineSizesAreRefused) {
  TTestPlayer player;
  Prepare(player);
  ASSERT_TRUE(player.Open(FDir + "/video.mkv", nullptr, "-pause")) << player.LastErrMsg();
  Platform::TBitmap* bmp = nullptr;
  std::int64_t pts = 0;
  ASSERT_TRUE(WaitForBitmap(player, bmp, pts));  // the renderer exists

  AVFrame* f = AVUtilStubs::av_frame_alloc();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = 16;
  f->height = 16;
  ASSERT_EQ(AVUtilStubs::av_frame_get_buffer(f, 0), 0);
  // The chroma planes bottom-up, the luma plane top-down.
  for (int p = 1; p < 3; ++p) {
    f->data[p] += f->linesize[p] * 7;
    f->linesize[p] = -f->linesize[p];
  }
  ASSERT_EQ(player.LockStream(Platform::INFINITE), Platform::TWaitResult::wrSignaled);
  SDL_Texture* tex = nullptr;
  EXPECT_EQ(player.upload_texture(&tex, f), -1);
  if (tex) SDL2Stubs::SDL_DestroyTexture(tex);
  player.UnlockStream();
  for (int p = 1; p < 3; ++p) {
    f->linesize[p] = -f->linesize[p];
    f->data[p] -= f->linesize[p] * 7;
  }
  AVUtilStubs::av_frame_free(&f);
  EXPECT_TRUE(LogRecorder::TLogRecorder::Get().FindEnding(
      "Mixed negative and positive linesizes are not supported."));
  player.Stop(true);
}

}  // namespace
