// The player's output side: the pixel-format map, the refresh timing, and whole files
// played into a window of the player's own under SDL's offscreen video driver and dummy
// audio, with media made at test time. What the window shows is read back from the
// renderer as each frame is presented.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include "LoaderTestSupport.h"
#include "LogRecorder.h"
#include "MediaBuilder.h"
#include "PlayerTestSupport.h"
#include "StubGate.h"
#include "TempFolder.h"
#include "components/FFBasePlayQueues.h"
#include "components/FFPlay.h"
#include "engine/FFmpeg.h"
#include "platform/Bitmap.h"
#include "platform/Dispatcher.h"
#include "platform/Format.h"
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

// A player whose texture upload a test may call while it holds the play loop. Freed with
// delete, so that its threads end before any destructor runs.
class TTestPlayer : public TZAVereve {
 public:
  using TCustomPlayer::upload_texture;
};

class FFPlayWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PlayerTestSupport::RequirePlayerLibraries();
    FDir = TempFolder::MakeDir("ffplay_test");
    ASSERT_FALSE(FDir.empty());
    MediaBuilder::TMediaSpec spec;
    spec.Duration = 1.0;
    spec.Streams = "v";
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/video.mkv", "matroska", spec), 0);
    spec.Streams = "va";
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/av.mkv", "matroska", spec), 0);
    spec.Streams = "a";
    spec.Channels = 2;
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/audio.wav", "wav", spec), 0);
    // Long enough to be playing still when a test looks at the window, however busy
    // the machine (the tests stop it).
    spec.Channels = 1;
    spec.Duration = 60.0;
    ASSERT_EQ(MediaBuilder::WriteMedia(FDir + "/long.wav", "wav", spec), 0);
  }
  static void TearDownTestSuite() {
    // SDL keeps its windows' and renderers' bookkeeping until it shuts down.
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    // The folder with whatever a test left in it, also after a failed test.
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
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
    if (shown >= 0) {
      EXPECT_EQ(shown, r.Shown);
    }
    ASSERT_TRUE(PumpUntil([&] { return !player.Opened(); }, 30.0));
    player.Stop(true);
    EXPECT_FALSE(LogRecorder::TLogRecorder::Get().FindEnding("switching to waves display"));
  }
}

TEST_F(FFPlayWindowTest, MixedSignLineSizesAreRefused) {
  const auto owned = std::make_unique<TTestPlayer>();
  TTestPlayer& player = *owned;
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

// ---- Pictures as shown, the window on close, the visualisation ----------------------------

// An SDL entry point the player does not bind, from the SDL library the loader bound.
template <typename F>
F SDLEntry(const char* AName) {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(SDL2Stubs::SDL_GetRendererInfo), &info) || !info.dli_fname) return nullptr;
  void* lib = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (!lib) return nullptr;
  F f = reinterpret_cast<F>(dlsym(lib, AName));
  dlclose(lib);
  return f;
}
using TGetRenderer = SDL_Renderer* (*)(SDL_Window*);
using TGetOutputSize = int (*)(SDL_Renderer*, int*, int*);
using TReadPixels = int (*)(SDL_Renderer*, const SDL_Rect*, Uint32, void*, int);

// What the renderer shows (ARGB8888, row after row); empty when it cannot be read.
std::vector<Uint32> ReadRenderer(SDL_Renderer* ARenderer) {
  static const auto size = SDLEntry<TGetOutputSize>("SDL_GetRendererOutputSize");
  static const auto read = SDLEntry<TReadPixels>("SDL_RenderReadPixels");
  int w = 0, h = 0;
  if (!ARenderer || !size || !read || size(ARenderer, &w, &h) != 0 || w <= 0 || h <= 0) return {};
  std::vector<Uint32> pixels(static_cast<size_t>(w) * h);
  if (read(ARenderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels.data(), w * 4) != 0) return {};
  return pixels;
}

size_t CountNotBlack(const std::vector<Uint32>& APixels) {
  return static_cast<size_t>(
      std::count_if(APixels.begin(), APixels.end(), [](Uint32 p) { return (p & 0xFFFFFF) != 0; }));
}

// Keeps what the player's renderer presents: each frame is read back right before it is
// presented, on the presenting thread (a GL renderer's pixels can only be read there).
// Made before the player it watches and freed after it.
class TPresentCapture {
 public:
  TPresentCapture() {
    std::lock_guard<std::mutex> g(FLock);
    FOriginal = SDL2Stubs::SDL_RenderPresent;
    SDL2Stubs::SDL_RenderPresent = &Present;
    FLast.clear();
    FMostDrawn = 0;
  }
  // AOnFrame sees every frame presented (on the presenting thread).
  explicit TPresentCapture(std::function<void(const std::vector<Uint32>&)> AOnFrame) : TPresentCapture() {
    std::lock_guard<std::mutex> g(FLock);
    FOnFrame = std::move(AOnFrame);
  }
  ~TPresentCapture() {
    SDL2Stubs::SDL_RenderPresent = FOriginal;
    std::lock_guard<std::mutex> g(FLock);
    FOnFrame = {};
  }
  // The frame presented last; empty before the first.
  std::vector<Uint32> Last() {
    std::lock_guard<std::mutex> g(FLock);
    return FLast;
  }
  // The most pixels other than black in any frame presented.
  size_t MostDrawn() {
    std::lock_guard<std::mutex> g(FLock);
    return FMostDrawn;
  }

 private:
  static void Present(SDL_Renderer* ARenderer) {
    std::vector<Uint32> pixels = ReadRenderer(ARenderer);
    {
      std::lock_guard<std::mutex> g(FLock);
      FMostDrawn = std::max(FMostDrawn, CountNotBlack(pixels));
      if (FOnFrame) FOnFrame(pixels);
      FLast = std::move(pixels);
    }
    FOriginal(ARenderer);
  }
  static inline decltype(SDL2Stubs::SDL_RenderPresent) FOriginal = nullptr;
  static inline std::mutex FLock;
  static inline std::vector<Uint32> FLast;
  static inline size_t FMostDrawn = 0;
  static inline std::function<void(const std::vector<Uint32>&)> FOnFrame;
};

// A 64 x 48 picture of four coloured quadrants (top left, top right, bottom left,
// bottom right), given in YUV; the RGB it shows as is BT.601 limited range.
struct TYUV {
  int Y, U, V;
};
constexpr TYUV CQuadrants[4] = {{120, 100, 160}, {90, 170, 110}, {160, 120, 90}, {60, 140, 140}};
constexpr int CClipWidth = 64, CClipHeight = 48;

int QuadrantOf(int X, int Y, int W, int H) { return (Y >= H / 2 ? 2 : 0) + (X >= W / 2 ? 1 : 0); }

void QuadrantRGB(int AQuadrant, int ARGB[3]) {
  const TYUV& c = CQuadrants[AQuadrant];
  const double y = 1.164 * (c.Y - 16), u = c.U - 128.0, v = c.V - 128.0;
  ARGB[0] = static_cast<int>(std::lround(y + 1.596 * v));
  ARGB[1] = static_cast<int>(std::lround(y - 0.392 * u - 0.813 * v));
  ARGB[2] = static_cast<int>(std::lround(y + 2.017 * u));
}

// Five pictures as a YUV4MPEG2 clip; AChroma "444" (yuv444p) or "420jpeg" (yuv420p).
bool WriteQuadrantY4M(const std::string& AFile, const std::string& AChroma) {
  const bool half = AChroma != "444";
  const int cw = half ? CClipWidth / 2 : CClipWidth, ch = half ? CClipHeight / 2 : CClipHeight;
  std::string picture;
  for (int y = 0; y < CClipHeight; ++y)
    for (int x = 0; x < CClipWidth; ++x)
      picture += static_cast<char>(CQuadrants[QuadrantOf(x, y, CClipWidth, CClipHeight)].Y);
  for (int plane = 1; plane < 3; ++plane)
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        const TYUV& c = CQuadrants[QuadrantOf(x, y, cw, ch)];
        picture += static_cast<char>(plane == 1 ? c.U : c.V);
      }
  std::ofstream f(AFile, std::ios::binary | std::ios::trunc);
  f << "YUV4MPEG2 W" << CClipWidth << " H" << CClipHeight << " F25:1 Ip A1:1 C" << AChroma << "\n";
  for (int n = 0; n < 5; ++n) f << "FRAME\n" << picture;
  return static_cast<bool>(f);
}

// The same picture as an opaque RGBA image (PAM), holding the RGB values above.
bool WriteQuadrantPAM(const std::string& AFile) {
  std::ofstream f(AFile, std::ios::binary | std::ios::trunc);
  f << "P7\nWIDTH " << CClipWidth << "\nHEIGHT " << CClipHeight
    << "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  for (int y = 0; y < CClipHeight; ++y)
    for (int x = 0; x < CClipWidth; ++x) {
      int rgb[3];
      QuadrantRGB(QuadrantOf(x, y, CClipWidth, CClipHeight), rgb);
      for (int c : rgb) f.put(static_cast<char>(c));
      f.put(static_cast<char>(255));
    }
  return static_cast<bool>(f);
}

// The largest difference of a 64 x 48 picture from the quadrants' RGB, leaving out a band
// of two pixels either side of the borders (where subsampled chroma is interpolated).
// APixel gives the R, G and B of a pixel.
template <typename F>
int MaxQuadrantError(F APixel) {
  int worst = 0;
  for (int y = 0; y < CClipHeight; ++y) {
    if (std::abs(y - CClipHeight / 2) <= 2) continue;
    for (int x = 0; x < CClipWidth; ++x) {
      if (std::abs(x - CClipWidth / 2) <= 2) continue;
      int want[3], got[3];
      QuadrantRGB(QuadrantOf(x, y, CClipWidth, CClipHeight), want);
      APixel(x, y, got);
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(got[c] - want[c]));
    }
  }
  return worst;
}

// A 32-bit BGRA bitmap.
int MaxQuadrantError(Platform::TBitmap& ABitmap) {
  return MaxQuadrantError([&](int x, int y, int* rgb) {
    const std::uint8_t* px = ABitmap.ScanLine(y) + 4 * x;
    rgb[0] = px[2];
    rgb[1] = px[1];
    rgb[2] = px[0];
  });
}

// ARGB8888 pixels, row after row.
int MaxQuadrantError(const std::vector<Uint32>& APixels) {
  return MaxQuadrantError([&](int x, int y, int* rgb) {
    const Uint32 p = APixels[static_cast<size_t>(y) * CClipWidth + x];
    rgb[0] = (p >> 16) & 0xFF;
    rgb[1] = (p >> 8) & 0xFF;
    rgb[2] = p & 0xFF;
  });
}

// The picture on the screen: its pixel format and colour space (-1 when none is up).
struct TShownPicture {
  int Format = -1;
  int ColorSpace = -1;
};
TShownPicture ShownPicture(TCustomPlayer& APlayer) {
  TShownPicture shown;
  if (APlayer.LockStream(Platform::INFINITE) != Platform::TWaitResult::wrSignaled) return shown;
  TVideoState* is = APlayer.Stream();
  if (is && is->pictq.rindex_shown) {
    FFBasePlay::TFrame* vp = FFBasePlay::frame_queue_peek_last(&is->pictq);
    std::lock_guard<std::mutex> g(vp->lock);
    shown.Format = vp->format;
    shown.ColorSpace = vp->frame ? vp->frame->colorspace : -1;
  }
  APlayer.UnlockStream();
  return shown;
}

// The FFmpeg formats of the player's renderer's texture formats that the map knows, in
// the renderer's order.
std::vector<int> RendererFormats(TCustomPlayer& APlayer) {
  static const auto get = SDLEntry<TGetRenderer>("SDL_GetRenderer");
  std::vector<int> formats;
  if (!get || APlayer.LockStream(Platform::INFINITE) != Platform::TWaitResult::wrSignaled) return formats;
  SDL_RendererInfo info{};
  if (SDL_Renderer* r = APlayer.Window() ? get(APlayer.Window()) : nullptr;
      r && SDL2Stubs::SDL_GetRendererInfo(r, &info) == 0)
    for (Uint32 i = 0; i < info.num_texture_formats; ++i)
      if (const int f = AVFormatOf(info.texture_formats[i]); f >= 0) formats.push_back(f);
  APlayer.UnlockStream();
  return formats;
}

TEST_F(FFPlayWindowTest, PicturesReachTheRendererInItsFormatsAndShowAsTheyAre) {
  const struct {
    const char* Name;
    const char* File;
    const char* Chroma;  // of a YUV4MPEG2 clip; nullptr: an RGBA image
    AVPixelFormat Format;
    const char* Options;
    // Largest colour differences allowed: YUV to RGB rounds, RGBA is exact.
    int WindowTolerance;
    int BitmapTolerance;  // -1: not compared
  } rows[] = {
      {"yuv420p", "/quadrants.y4m", "420jpeg", AV_PIX_FMT_YUV420P, "-pause", 4, 4},
      {"yuv444p: not a texture format, converted", "/quadrants.y4m", "444", AV_PIX_FMT_YUV444P, "-pause",
       4, 4},
      // The bitmap reads the picture in its own colour space, as the window shows it.
      {"yuv444p into the colour spaces the display knows", "/quadrants.y4m", "444", AV_PIX_FMT_YUV444P,
       "-pause -convert_colorspace", 4, 4},
      {"rgba: a texture format, taken as it is", "/quadrants.pam", nullptr, AV_PIX_FMT_RGBA, "-pause", 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    LogRecorder::TLogRecorder::Get().Clear();
    const std::string file = FDir + r.File;
    ASSERT_TRUE(r.Chroma ? WriteQuadrantY4M(file, r.Chroma) : WriteQuadrantPAM(file));
    TPresentCapture window;
    TZAVereve player;
    Prepare(player);
    ASSERT_TRUE(player.Open(file, nullptr, r.Options)) << player.LastErrMsg();
    Platform::TBitmap* bmp = nullptr;
    std::int64_t pts = -1;
    ASSERT_TRUE(WaitForBitmap(player, bmp, pts));

    // The filters may deliver any format the renderer offers that the map knows.
    const std::vector<int> offered = RendererFormats(player);
    const std::vector<int> accepted(player.PixelFormats, player.PixelFormats + player.PixelFormatCount());
    EXPECT_EQ(accepted, offered);
    EXPECT_GT(accepted.size(), 1u);
    const TShownPicture shown = ShownPicture(player);
    const bool takes_source = std::find(accepted.begin(), accepted.end(), r.Format) != accepted.end();
    EXPECT_NE(std::find(accepted.begin(), accepted.end(), shown.Format), accepted.end())
        << AVUtilStubs::av_get_pix_fmt_name(static_cast<AVPixelFormat>(shown.Format));
    if (takes_source) {
      EXPECT_EQ(shown.Format, r.Format) << "a format the renderer takes is not converted";
    }
    // The picture's texture was made in its own format, and the log says so.
    EXPECT_TRUE(LogRecorder::TLogRecorder::Get().FindEnding(
        Platform::Format("Created %dx%d texture with %s.", CClipWidth, CClipHeight,
                         SDL2Stubs::SDL_GetPixelFormatName(SDLFormatOf(shown.Format)))));
    if (r.Format == AV_PIX_FMT_RGBA) {
      EXPECT_TRUE(takes_source);
    }
    if (r.Format == AV_PIX_FMT_YUV444P) {
      EXPECT_FALSE(takes_source);
    }
    if (std::string(r.Options).find("convert_colorspace") != std::string::npos) {
      EXPECT_TRUE(shown.ColorSpace == AVCOL_SPC_BT709 || shown.ColorSpace == AVCOL_SPC_BT470BG ||
                  shown.ColorSpace == AVCOL_SPC_SMPTE170M)
          << shown.ColorSpace;
    }

    ASSERT_NE(bmp, nullptr);
    ASSERT_EQ(bmp->Width(), CClipWidth);
    ASSERT_EQ(bmp->Height(), CClipHeight);
    ASSERT_EQ(bmp->BitsPerPixel(), 32);
    // The window shows the picture at its own size.
    ASSERT_TRUE(PumpUntil([&] { return CountNotBlack(window.Last()) > 0; }));
    const std::vector<Uint32> shown_pixels = window.Last();
    ASSERT_EQ(shown_pixels.size(), static_cast<size_t>(CClipWidth * CClipHeight));
    EXPECT_LE(MaxQuadrantError(shown_pixels), r.WindowTolerance);
    if (r.BitmapTolerance >= 0) {
      EXPECT_LE(MaxQuadrantError(*bmp), r.BitmapTolerance);
    }
    player.Stop(true);
    EXPECT_FALSE(LogRecorder::TLogRecorder::Get().FindEnding("configure_video_filters() failed"));
    std::remove(file.c_str());
  }
}

// Four flat quadrants of strong colours, given in YUV, written as a two-picture
// YUV4MPEG2 clip of any size (4:2:0; the format carries no colour matrix).
constexpr TYUV CStrongQuadrants[4] = {{100, 90, 200}, {150, 60, 90}, {80, 190, 110}, {130, 170, 60}};

bool WriteStrongY4M(const std::string& AFile, int AWidth, int AHeight) {
  std::string picture;
  for (int y = 0; y < AHeight; ++y)
    for (int x = 0; x < AWidth; ++x) picture += static_cast<char>(CStrongQuadrants[QuadrantOf(x, y, AWidth, AHeight)].Y);
  for (int plane = 1; plane < 3; ++plane)
    for (int y = 0; y < AHeight / 2; ++y)
      for (int x = 0; x < AWidth / 2; ++x) {
        const TYUV& c = CStrongQuadrants[QuadrantOf(x, y, AWidth / 2, AHeight / 2)];
        picture += static_cast<char>(plane == 1 ? c.U : c.V);
      }
  std::ofstream f(AFile, std::ios::binary | std::ios::trunc);
  f << "YUV4MPEG2 W" << AWidth << " H" << AHeight << " F25:1 Ip A1:1 C420jpeg\n";
  for (int n = 0; n < 2; ++n) f << "FRAME\n" << picture;
  return static_cast<bool>(f);
}

// The RGB of a YUV colour by the matrix of luma weights AKr, AKb, in limited or full range.
void YUVToRGB(const TYUV& AColour, double AKr, double AKb, bool AFull, int ARGB[3]) {
  const double y = AFull ? AColour.Y / 255.0 : (AColour.Y - 16) / 219.0;
  const double pb = (AColour.U - 128) / (AFull ? 255.0 : 224.0);
  const double pr = (AColour.V - 128) / (AFull ? 255.0 : 224.0);
  const double kg = 1 - AKr - AKb;
  const double rgb[3] = {y + 2 * (1 - AKr) * pr, y - 2 * AKb * (1 - AKb) / kg * pb - 2 * AKr * (1 - AKr) / kg * pr,
                         y + 2 * (1 - AKb) * pb};
  for (int c = 0; c < 3; ++c) ARGB[c] = std::clamp(static_cast<int>(std::lround(rgb[c] * 255)), 0, 255);
}

TEST_F(FFPlayWindowTest, TheCurrentBitmapHasThePicturesOwnColours) {
  constexpr double C601[2] = {0.299, 0.114}, C709[2] = {0.2126, 0.0722};
  const struct {
    const char* Name;
    int Width, Height;
    const char* Filters;
    const double* Matrix;
    bool Full;
    bool AsShown;  // the window shows the same colours (SDL converts full range as BT.601)
  } rows[] = {
      {"BT.709, limited range", 64, 48, "setparams=colorspace=bt709:range=tv", C709, false, true},
      {"BT.601, limited range", 64, 48, "setparams=colorspace=smpte170m:range=tv", C601, false, true},
      {"BT.470BG, limited range", 64, 48, "setparams=colorspace=bt470bg:range=tv", C601, false, true},
      {"BT.709, full range", 64, 48, "setparams=colorspace=bt709:range=pc", C709, true, false},
      {"BT.601, full range", 64, 48, "setparams=colorspace=smpte170m:range=pc", C601, true, true},
      {"no matrix named, standard definition", 64, 48, "", C601, false, true},
      {"no matrix named, high definition", 1280, 720, "", C709, false, true},
  };
  // The two matrices give clearly different colours for these quadrants.
  int apart = 0;
  for (const TYUV& c : CStrongQuadrants) {
    int a[3], b[3];
    YUVToRGB(c, C601[0], C601[1], false, a);
    YUVToRGB(c, C709[0], C709[1], false, b);
    for (int i = 0; i < 3; ++i) apart = std::max(apart, std::abs(a[i] - b[i]));
  }
  ASSERT_GE(apart, 20);

  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    const std::string file = FDir + "/strong.y4m";
    ASSERT_TRUE(WriteStrongY4M(file, r.Width, r.Height));
    TPresentCapture window;
    TZAVereve player;
    Prepare(player);
    player.SetVideoFilters(r.Filters);  // tags the pictures, converts nothing
    ASSERT_TRUE(player.Open(file, nullptr, "-pause")) << player.LastErrMsg();
    Platform::TBitmap* bmp = nullptr;
    std::int64_t pts = -1;
    ASSERT_TRUE(WaitForBitmap(player, bmp, pts));
    ASSERT_NE(bmp, nullptr);
    ASSERT_EQ(bmp->Width(), r.Width);
    ASSERT_EQ(bmp->Height(), r.Height);
    if (r.AsShown) {
      ASSERT_TRUE(PumpUntil([&] { return window.Last().size() == static_cast<size_t>(r.Width * r.Height); }));
    }
    const std::vector<Uint32> shown = window.Last();
    // The centre of each quadrant.
    for (int q = 0; q < 4; ++q) {
      SCOPED_TRACE(q);
      const int x = r.Width / 4 + (q & 1) * r.Width / 2, y = r.Height / 4 + (q >> 1) * r.Height / 2;
      int want[3];
      YUVToRGB(CStrongQuadrants[q], r.Matrix[0], r.Matrix[1], r.Full, want);
      const std::uint8_t* px = bmp->ScanLine(y) + 4 * x;
      const int got[3] = {px[2], px[1], px[0]};
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 3) << "bitmap, component " << c;
      if (r.AsShown) {
        const Uint32 p = shown[static_cast<size_t>(y) * r.Width + x];
        const int on_screen[3] = {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                                  static_cast<int>(p & 0xFF)};
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(on_screen[c], want[c], 4) << "window, component " << c;
      }
    }
    player.Stop(true);
    std::remove(file.c_str());
  }
}

TEST_F(FFPlayWindowTest, SubtitlesShowOverThePictureAndLeaveNoTrace) {
  // A black picture; a box on the left, later one on the right. Both go through the same
  // subtitle texture, so the first box must be wiped from it when it ends.
  const std::string file = FDir + "/subtitled.mkv";
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "vs";
  spec.VideoSource = "color";
  spec.Duration = 1.6;
  spec.Subtitles = {{0.2, 0.6, 4, 16, 16, 16}, {0.9, 1.4, 44, 16, 16, 16}};
  ASSERT_EQ(MediaBuilder::WriteMedia(file, "matroska", spec), 0);
  // White pixels of each box's area in one frame.
  const auto white = [](const std::vector<Uint32>& APixels, int AX) {
    int n = 0;
    if (APixels.size() != 64u * 48u) return n;
    for (int y = 16; y < 32; ++y)
      for (int x = AX; x < AX + 16; ++x) {
        const Uint32 p = APixels[static_cast<size_t>(y) * 64 + x];
        if ((p >> 16 & 0xFF) > 0xC0 && (p >> 8 & 0xFF) > 0xC0 && (p & 0xFF) > 0xC0) ++n;
      }
    return n;
  };
  std::mutex lock;
  int left_alone = 0, right_shown = 0, right_with_left = 0;
  TPresentCapture window([&](const std::vector<Uint32>& APixels) {
    const int l = white(APixels, 4), r = white(APixels, 44);
    std::lock_guard<std::mutex> g(lock);
    if (l == 256 && r == 0) ++left_alone;
    if (r == 256) ++right_shown;
    if (r > 0 && l > 0) ++right_with_left;
  });
  TZAVereve player;
  Prepare(player);
  player.RangeEndAction = FFBasePlay::reStop;
  ASSERT_TRUE(player.Open(file, nullptr, "")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return !player.Opened(); }, 30.0));
  player.Stop(true);
  std::lock_guard<std::mutex> g(lock);
  EXPECT_GT(left_alone, 0) << "the first subtitle was shown";
  EXPECT_GT(right_shown, 0) << "the second subtitle was shown";
  EXPECT_EQ(right_with_left, 0) << "the first subtitle stayed in the texture";
  std::remove(file.c_str());
}

TEST_F(FFPlayWindowTest, ClosingClearsTheWindowUnlessTold) {
  const std::string file = FDir + "/close.y4m";
  ASSERT_TRUE(WriteQuadrantY4M(file, "444"));
  const struct {
    int ClearOnClose;
    bool Cleared;
  } rows[] = {{-1, true}, {1, true}, {0, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.ClearOnClose);
    TPresentCapture window;
    TZAVereve player;
    Prepare(player);
    player.ClearOnClose = r.ClearOnClose;
    ASSERT_TRUE(player.Open(file, nullptr, "-pause")) << player.LastErrMsg();
    ASSERT_TRUE(PumpUntil([&] { return CountNotBlack(window.Last()) > 0; })) << "the picture is up";
    player.Stop(true);
    EXPECT_EQ(player.Window(), nullptr);
    // The last thing the window showed before it went.
    const std::vector<Uint32> last = window.Last();
    ASSERT_EQ(last.size(), static_cast<size_t>(CClipWidth * CClipHeight));
    if (r.Cleared) {
      EXPECT_EQ(CountNotBlack(last), 0u);
    } else {
      EXPECT_LE(MaxQuadrantError(last), 4) << "the picture stays";
    }
  }
  std::remove(file.c_str());
}

// Positions are only reported to a handler.
struct TPositionSink {
  void OnPosition(Platform::TObject*, const std::int64_t&) {}
  void Attach(TCustomPlayer& APlayer) {
    APlayer.OnPosition = FFBaseComponent::TPositionEvent::Bind<&TPositionSink::OnPosition>(this);
  }
};

TEST_F(FFPlayWindowTest, AFourPixelHighAreaShowsNoVisualisation) {
  const struct {
    int Mode;
    int Height;
    bool Drawn;
  } rows[] = {
      {FFBasePlay::SHOW_MODE_WAVES, 4, false},
      {FFBasePlay::SHOW_MODE_RDFT, 4, false},
      {FFBasePlay::SHOW_MODE_WAVES, 5, true},
      {FFBasePlay::SHOW_MODE_RDFT, 5, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << r.Mode << ", height " << r.Height);
    TPresentCapture window;
    TZAVereve player;
    Prepare(player);
    player.ScreenWidth = 64;
    player.ScreenHeight = r.Height;
    player.SetShowMode(r.Mode);
    TPositionSink positions;
    positions.Attach(player);
    ASSERT_TRUE(player.Open(FDir + "/long.wav", nullptr, "")) << player.LastErrMsg();
    // Positions are reported after each display step.
    ASSERT_TRUE(PumpUntil([&] { return player.DeliveredPosition() > 500000; }));
    EXPECT_EQ(window.Last().size(), static_cast<size_t>(64 * r.Height));
    if (r.Drawn) {
      EXPECT_GT(window.MostDrawn(), 0u);
    } else {
      EXPECT_EQ(window.MostDrawn(), 0u) << "every frame shown was background";
    }
    player.Stop(true);
  }
}

int ShowModeOf(TCustomPlayer& APlayer) {
  int mode = -1;
  if (APlayer.LockStream(Platform::INFINITE) == Platform::TWaitResult::wrSignaled) {
    if (TVideoState* is = APlayer.Stream()) mode = is->show_mode;
    APlayer.UnlockStream();
  }
  return mode;
}

TEST_F(FFPlayWindowTest, AFailingSpectrumSetUpSwitchesToWavesOnce) {
  const std::string text = "Failed to initialize RDFT, switching to waves display";
  auto failures = [&] {
    size_t n = 0;
    for (const std::string& l : LogRecorder::TLogRecorder::Get().Lines())
      if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0) ++n;
    return n;
  };
  TZAVereve player;
  Prepare(player);
  // 2048 pixels high: the spectrum's buffers take 32 KiB each.
  player.ScreenWidth = 16;
  player.ScreenHeight = 2048;
  TPositionSink positions;
  positions.Attach(player);
  ASSERT_TRUE(player.Open(FDir + "/long.wav", nullptr, "")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return player.DeliveredPosition() > 100000; }));
  ASSERT_EQ(ShowModeOf(player), FFBasePlay::SHOW_MODE_WAVES);

  AVUtilStubs::av_max_alloc(20000);
  player.SetShowMode(FFBasePlay::SHOW_MODE_RDFT);
  const bool failed = PumpUntil([&] { return failures() > 0; });
  AVUtilStubs::av_max_alloc(INT_MAX);
  ASSERT_TRUE(failed);
  EXPECT_EQ(ShowModeOf(player), FFBasePlay::SHOW_MODE_WAVES);
  std::int64_t from = player.DeliveredPosition();
  ASSERT_TRUE(PumpUntil([&] { return player.DeliveredPosition() > from + 200000; }));
  EXPECT_EQ(failures(), 1u) << "the waves go on without further attempts";
  EXPECT_EQ(ShowModeOf(player), FFBasePlay::SHOW_MODE_WAVES);

  // Asked again with memory to spare, the spectrum sets itself up.
  player.SetShowMode(FFBasePlay::SHOW_MODE_RDFT);
  from = player.DeliveredPosition();
  ASSERT_TRUE(PumpUntil([&] { return player.DeliveredPosition() > from + 200000; }));
  EXPECT_EQ(failures(), 1u);
  EXPECT_EQ(ShowModeOf(player), FFBasePlay::SHOW_MODE_RDFT);
  player.Stop(true);
}

// The hooks of each picture, in the order they run.
struct THookRecorder {
  std::mutex Lock;
  std::string Order;
  int NotWhite = 0;  // frame hook pictures that do not show the video hook's white
  void OnVideo(Platform::TObject*, Platform::TBitmap* ABitmap, const std::int64_t&, bool& AUpdate) {
    for (int y = 0; y < ABitmap->Height(); ++y) std::fill_n(ABitmap->ScanLine(y), ABitmap->RowBytes(), 0xFF);
    AUpdate = true;
    std::lock_guard<std::mutex> g(Lock);
    Order += 'V';
  }
  void OnFrame(Platform::TObject*, FFUtils::PAVPicture APicture, AVPixelFormat AFormat, int, int,
               const std::int64_t&) {
    // The first pixel: luma of a YUV picture near its white (235), every colour of an
    // RGB one at 255 (8-bit components; packed or planar).
    const AVPixFmtDescriptor* d = AVUtilStubs::av_pix_fmt_desc_get(AFormat);
    bool white = d != nullptr;
    if (d && (d->flags & AV_PIX_FMT_FLAG_RGB)) {
      for (int c = 0; c < 3; ++c)
        white = white && APicture->data[d->comp[c].plane][d->comp[c].offset] >= 250;
    } else if (d) {
      white = APicture->data[d->comp[0].plane][d->comp[0].offset] >= 230;
    }
    std::lock_guard<std::mutex> g(Lock);
    Order += 'F';
    if (!white) ++NotWhite;
  }
};

TEST_F(FFPlayWindowTest, TheFrameHookSeesWhatTheVideoHookDrew) {
  TZAVereve player;
  Prepare(player);
  THookRecorder hooks;
  player.VideoHook = true;
  player.FrameHook = true;
  player.OnVideoHook = FFBaseComponent::TVideoHookEvent::Bind<&THookRecorder::OnVideo>(&hooks);
  player.OnFrameHook = FFBaseComponent::TFrameHookEvent::Bind<&THookRecorder::OnFrame>(&hooks);
  ASSERT_TRUE(player.Open(FDir + "/video.mkv", nullptr, "-pause")) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> g(hooks.Lock);
    return hooks.Order.size() >= 4;
  }));
  player.Stop(true);
  std::lock_guard<std::mutex> g(hooks.Lock);
  for (size_t i = 0; i < hooks.Order.size(); ++i) EXPECT_EQ(hooks.Order[i], i % 2 ? 'F' : 'V') << i;
  EXPECT_EQ(hooks.NotWhite, 0);
}

// Runs ACommandLine as one task of the engine on this thread: empty, or the error text.
std::string RunTask(const std::string& ACommandLine) {
  FFmpeg::TCustomFFmpeg task;
  if (task.ParseOptions(ACommandLine) < 0) return "parse failed: " + task.LastErrMsg();
  task.Start(false);
  return task.HasError() ? task.ErrorText() : "";
}

// Counts the positions (main thread).
struct TPositionCounter {
  int Positions = 0;
  void OnPosition(Platform::TObject*, const std::int64_t&) { ++Positions; }
};

// Every playable file reports its positions while it plays: also an MPEG-TS stream copied
// from Matroska, whose first video timestamps repeat, and one encoded straight to TS.
TEST_F(FFPlayWindowTest, PositionsAreReportedForEveryPlayableFile) {
  const std::string mkv = FDir + "/remux_source.mkv";
  ASSERT_EQ(RunTask("-f lavfi -i testsrc2=size=64x48:rate=25:duration=3 -f lavfi -i "
                    "sine=frequency=440:sample_rate=44100:duration=3 -c:v mpeg4 -g 5 -c:a aac -y \"" +
                    mkv + "\""),
            "");
  const struct {
    const char* Name;
    std::string Command;
  } rows[] = {
      {"remuxed.ts", "-i \"" + mkv + "\" -c copy -y \"" + FDir + "/remuxed.ts\""},
      {"encoded.ts", "-i \"" + mkv + "\" -c:v mpeg4 -c:a aac -y \"" + FDir + "/encoded.ts\""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    ASSERT_EQ(RunTask(r.Command), "");
    for (const bool wait : {true, false}) {
      SCOPED_TRACE(wait ? "Open" : "TryOpen");
      TZAVereve player;
      Prepare(player);
      TPositionCounter counter;
      player.OnPosition = FFBaseComponent::TPositionEvent::Bind<&TPositionCounter::OnPosition>(&counter);
      // The file plays over and over until the positions have come: on a busy machine
      // the making of the display alone may take the few seconds of one play.
      player.RangeEndAction = FFBasePlay::reSeekBack;
      const std::string file = FDir + "/" + r.Name;
      ASSERT_TRUE(wait ? player.Open(file) : player.TryOpen(file)) << player.LastErrMsg();
      EXPECT_TRUE(PumpUntil([&] { return counter.Positions >= 10; }, 110.0))
          << "positions while the file played: " << counter.Positions;
      player.Stop(true);
    }
  }
}

// Holds every making of a renderer (on the play thread, inside the display's creation).
using TRendererGate = StubGate::TStubGate<SDL2Stubs::SDL_CreateRenderer>;

// The host's calls that take the stream lock do not wait while the play thread makes its
// display (a window and a renderer take a tenth of a second and more, and far longer on a
// busy machine): each returns while the making of the renderer is held.
TEST_F(FFPlayWindowTest, TheHostIsNotHeldWhileTheDisplayIsMade) {
  const struct {
    const char* Name;
    std::function<void(TZAVereve&)> Call;
  } rows[] = {
      {"Stop(False)", [](TZAVereve& P) { P.Stop(false); }},
      {"Pause", [](TZAVereve& P) { P.Pause(); }},
      {"Resume", [](TZAVereve& P) { P.Resume(); }},
      {"Seek without wait", [](TZAVereve& P) { P.Seek({}, false, 500000); }},
      {"Paused", [](TZAVereve& P) { (void)P.Paused(); }},
      {"GetCurrentBitmap",
       [](TZAVereve& P) {
         Platform::TBitmap* bmp = nullptr;
         std::int64_t pts = 0;
         EXPECT_FALSE(P.GetCurrentBitmap(bmp, pts)) << "no picture has been shown";
       }},
      {"SetShowMode", [](TZAVereve& P) { P.SetShowMode(FFBasePlay::SHOW_MODE_WAVES); }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    TRendererGate gate;
    TZAVereve player;
    const TRendererGate::TReleaser let_go{gate};
    Prepare(player);
    ASSERT_TRUE(player.Open(FDir + "/av.mkv", nullptr, "")) << player.LastErrMsg();
    ASSERT_TRUE(gate.WaitHeld());
    // The stream lock is free while the display is being made ...
    ASSERT_EQ(player.LockStream(0), Platform::TWaitResult::wrSignaled) << "the display is made under the stream lock";
    player.UnlockStream();
    // ... so the call returns (else it would wait here for the gate).
    r.Call(player);
    gate.Release();
    player.Stop(true);
  }
}

}  // namespace
