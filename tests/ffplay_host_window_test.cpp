// The player drawing into a native Qt widget (xcb, under Xvfb): the widget's X window is
// the screen handle. ctest runs it with Qt on xcb and SDL on x11; skipped without an X
// display or when the process's Qt application already runs on another platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "MediaBuilder.h"
#include "PlayerTestSupport.h"
#include "SavedEnvironment.h"
#include "XcbHost.h"
#include "components/FFPlay.h"
#include "components/gui/PlayerWindowBinding.h"
#include "platform/Dispatcher.h"
#include "platform/Format.h"
#include "runtime/SDL2Stubs.h"

namespace {

// A 2 s picture-only clip in a folder of its own; SDL starts afresh for the player.
void MakeClip(PlayerTestSupport::TClips& AClips, std::string& AFile) {
  ASSERT_FALSE(AClips.Dir().empty());
  ASSERT_EQ(AClips.Write("video.mkv", "v", 2.0), 0);
  AFile = AClips.Dir() + "/video.mkv";
  if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
}

TEST(FFPlayHostWindowTest, DrawsIntoANativeWidgetFollowsResizesAndSurvivesItsDestruction) {
  PlayerTestSupport::RequirePlayerLibraries();
  if (!XcbHost::App()) GTEST_SKIP() << "needs Qt on xcb with an X display";
  PlayerTestSupport::TClips clips("ffplay_host");
  std::string file;
  ASSERT_NO_FATAL_FAILURE(MakeClip(clips, file));

  FFPlay::TZAVereve player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("x11");
  auto* widget = new QWidget;
  widget->resize(160, 120);
  auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
  widget->show();
  ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));

  ASSERT_TRUE(player.Open(file, binding->Handle(), "-pause")) << player.LastErrMsg();
  Platform::TBitmap* bmp = nullptr;
  std::int64_t pts = 0;
  ASSERT_TRUE(XcbHost::PumpUntil([&] { return player.GetCurrentBitmap(bmp, pts); }));
  EXPECT_NE(player.Window(), nullptr);
  EXPECT_FALSE(player.OwnWindow());
  EXPECT_EQ(player.ScreenWidth.load(), 160) << "the host's client size";
  ASSERT_TRUE(XcbHost::PumpUntil([&] {
    const SDL_Rect r = player.DisplayRect();
    return r.w - r.x == 160 && r.h - r.y == 120;
  }));
  // What the X server holds for the window shows the clip's colours, not one flat fill,
  // once the play thread has presented the picture.
  std::size_t colours = 0;
  EXPECT_TRUE(XcbHost::PumpUntil([&] {
    const QImage shot = widget->screen()->grabWindow(widget->winId()).toImage();
    std::set<QRgb> seen;
    for (int y = 0; y < shot.height(); y += 8)
      for (int x = 0; x < shot.width(); x += 8) seen.insert(shot.pixel(x, y));
    colours = seen.size();
    return colours > 4;
  })) << colours << " colours";

  widget->resize(320, 240);
  EXPECT_TRUE(XcbHost::PumpUntil([&] {
    const SDL_Rect r = player.DisplayRect();
    return r.w - r.x == 320 && r.h - r.y == 240;
  })) << "the display follows the widget once the size settles";

  player.Resume();
  delete widget;  // while playing: the player lets go of the window first
  QApplication::processEvents();
  EXPECT_EQ(player.Window(), nullptr);
  EXPECT_TRUE(player.Opened()) << "the stream plays on without a display";
  player.Stop(true);
  binding.reset();
}

// A 64 x 48 picture of four flat quadrants, given in YUV (two pictures, YUV4MPEG2).
struct TQuadrant {
  int Y, U, V;
};
constexpr TQuadrant CQuadrants[4] = {{100, 90, 200}, {150, 60, 90}, {80, 190, 110}, {130, 170, 60}};

bool WriteQuadrants(const std::string& AFile) {
  constexpr int w = 64, h = 48;
  auto quadrant = [](int x, int y, int W, int H) { return (y >= H / 2 ? 2 : 0) + (x >= W / 2 ? 1 : 0); };
  std::string picture;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) picture += static_cast<char>(CQuadrants[quadrant(x, y, w, h)].Y);
  for (int plane = 1; plane < 3; ++plane)
    for (int y = 0; y < h / 2; ++y)
      for (int x = 0; x < w / 2; ++x) {
        const TQuadrant& c = CQuadrants[quadrant(x, y, w / 2, h / 2)];
        picture += static_cast<char>(plane == 1 ? c.U : c.V);
      }
  std::ofstream f(AFile, std::ios::binary | std::ios::trunc);
  f << "YUV4MPEG2 W" << w << " H" << h << " F25:1 Ip A1:1 C420jpeg\n";
  for (int n = 0; n < 2; ++n) f << "FRAME\n" << picture;
  return static_cast<bool>(f);
}

// The quadrant's colour as shown (BT.601, limited range).
QRgb QuadrantRGB(int AQuadrant) {
  const TQuadrant& c = CQuadrants[AQuadrant];
  const double y = 1.164 * (c.Y - 16), u = c.U - 128.0, v = c.V - 128.0;
  auto clip = [](double a) { return std::clamp(static_cast<int>(std::lround(a)), 0, 255); };
  return qRgb(clip(y + 1.596 * v), clip(y - 0.392 * u - 0.813 * v), clip(y + 2.017 * u));
}

// Points of the display rectangle (left, top, right, bottom), 8 pixels apart and away
// from the quadrants' borders, that do not show their quadrant's colour; what the X
// server holds for the window is read.
int WrongPoints(QWidget* AWidget, const SDL_Rect& ARect, std::string& AFirst) {
  const QImage shot = AWidget->screen()->grabWindow(AWidget->winId()).toImage();
  const int left = ARect.x, top = ARect.y, w = ARect.w - ARect.x, h = ARect.h - ARect.y;
  if (w <= 0 || h <= 0 || shot.width() < ARect.w || shot.height() < ARect.h) return -1;
  int wrong = 0;
  for (int y = 4; y < h - 4; y += 8)
    for (int x = 4; x < w - 4; x += 8) {
      if (std::abs(x - w / 2) < 12 || std::abs(y - h / 2) < 12) continue;
      const QRgb want = QuadrantRGB((y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0));
      const QRgb got = shot.pixel(left + x, top + y);
      if (std::abs(qRed(got) - qRed(want)) > 8 || std::abs(qGreen(got) - qGreen(want)) > 8 ||
          std::abs(qBlue(got) - qBlue(want)) > 8) {
        if (!wrong++)
          AFirst = Platform::Format("(%d, %d): %06X, not %06X", left + x, top + y, got & 0xFFFFFF,
                                    want & 0xFFFFFF);
      }
    }
  return wrong;
}

// SDL binds a host window at the size it has then and learns of no later change by
// itself: a grown window must show the picture over all of its new area, with either of
// the renderers a host window gets here.
TEST(FFPlayHostWindowTest, AGrownWindowShowsThePictureOverItsWholeArea) {
  PlayerTestSupport::RequirePlayerLibraries();
  if (!XcbHost::App()) GTEST_SKIP() << "needs Qt on xcb with an X display";
  TestEnvironment::TSavedVariables saved{"SDL_RENDER_DRIVER"};
  PlayerTestSupport::TClips clips("ffplay_host");
  ASSERT_FALSE(clips.Dir().empty());
  const std::string file = clips.Dir() + "/quadrants.y4m";
  ASSERT_TRUE(WriteQuadrants(file));
  std::vector<std::string> unavailable;
  for (const char* driver : {"software", "opengl"}) {
    SCOPED_TRACE(driver);
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    ::setenv("SDL_RENDER_DRIVER", driver, 1);
    FFPlay::TZAVereve player;
    player.SetAudioDriver("dummy");
    player.SetVideoDriver("x11");
    auto* widget = new QWidget;
    widget->resize(160, 120);
    auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
    widget->show();
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));
    ASSERT_TRUE(player.Open(file, binding->Handle(), "-pause")) << player.LastErrMsg();
    Platform::TBitmap* bmp = nullptr;
    std::int64_t pts = 0;
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return player.GetCurrentBitmap(bmp, pts); }));
    const std::string renderer = player.RendererName();
    if (renderer.compare(0, std::strlen(driver), driver) != 0) {
      unavailable.push_back(std::string(driver) + " (got " + renderer + ")");
    } else {
      // The picture fills the window's height (the software renderer's picture may be
      // cropped a little at the sides).
      auto filled = [&](int AHeight) {
        const SDL_Rect r = player.DisplayRect();
        return r.y == 0 && r.h == AHeight && r.w - r.x >= AHeight * 4 / 3 - 12;
      };
      ASSERT_TRUE(XcbHost::PumpUntil([&] { return filled(120); }));
      std::string first;
      int wrong = -1;
      EXPECT_TRUE(XcbHost::PumpUntil([&] { return (wrong = WrongPoints(widget, player.DisplayRect(), first)) == 0; }))
          << wrong << " points wrong at the first size, first " << first;

      widget->resize(320, 240);
      EXPECT_TRUE(XcbHost::PumpUntil([&] { return filled(240); }));
      // Beyond the old size too: the picture is drawn at the new size, not into a corner.
      EXPECT_TRUE(XcbHost::PumpUntil([&] { return (wrong = WrongPoints(widget, player.DisplayRect(), first)) == 0; }))
          << wrong << " points wrong after growing, first " << first;
    }
    player.Stop(true);
    delete widget;
    QApplication::processEvents();
    binding.reset();
  }
  if (!unavailable.empty()) std::fprintf(stderr, "renderers not available here: %s\n", unavailable.front().c_str());
  if (unavailable.size() == 2) GTEST_SKIP() << "no renderer of those asked for";
}

// Counts, on the play thread, the refresh steps after which an SDL OpenGL context is
// still current there. Freed with delete, so that its threads end before any destructor
// runs.
class TContextProbe : public FFPlay::TZAVereve {
 public:
  std::atomic<int> Steps{0};
  std::atomic<int> Held{0};
  std::atomic<int> Rendered{0};
  void CountRender(Platform::TObject*) { ++Rendered; }
  void video_refresh(FFPlay::TVideoState* is, double& remaining_time) override {
    TZAVereve::video_refresh(is, remaining_time);
    ++Steps;
    if (SDL2Stubs::SDL_GL_GetCurrentWindow()) ++Held;
  }
};

// A context left current on the play thread can be neither used nor deleted by the
// thread that closes the display (the host's, when its widget goes): the renderer leaks.
TEST(FFPlayHostWindowTest, ThePlayThreadLeavesNoGLContextCurrentBetweenSteps) {
  PlayerTestSupport::RequirePlayerLibraries();
  if (!XcbHost::App()) GTEST_SKIP() << "needs Qt on xcb with an X display";
  PlayerTestSupport::TClips clips("ffplay_host");
  std::string file;
  ASSERT_NO_FATAL_FAILURE(MakeClip(clips, file));

  const auto owned = std::make_unique<TContextProbe>();
  TContextProbe& player = *owned;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("x11");
  player.OnVideoRender = FFBasePlay::TNotifyEvent::Bind<&TContextProbe::CountRender>(&player);
  auto* widget = new QWidget;
  widget->resize(160, 120);
  auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
  widget->show();
  ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));
  ASSERT_TRUE(player.Open(file, binding->Handle())) << player.LastErrMsg();
  EXPECT_TRUE(XcbHost::PumpUntil([&] { return player.Rendered >= 5 || !player.Opened(); }));
  const std::string renderer = player.RendererName();
  const bool gl = renderer.compare(0, 6, "opengl") == 0;
  if (gl) {
    EXPECT_EQ(player.Held, 0) << "of " << player.Steps << " steps";
  }
  delete widget;  // the main thread destroys the renderer
  QApplication::processEvents();
  EXPECT_EQ(player.Window(), nullptr);
  player.Stop(true);
  binding.reset();
  if (!gl) GTEST_SKIP() << "renderer " << renderer << " draws without GL";
}

}  // namespace
