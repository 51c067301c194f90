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

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "MediaBuilder.h"
#include "PlayerTestSupport.h"
#include "components/FFPlay.h"
#include "components/gui/PlayerWindowBinding.h"
#include "platform/Dispatcher.h"
#include "runtime/SDL2Stubs.h"

namespace {

QApplication* XcbApp() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
    return QGuiApplication::platformName() == "xcb" ? app : nullptr;
  if (!std::getenv("DISPLAY")) return nullptr;
  qputenv("QT_QPA_PLATFORM", "xcb");
  static int argc = 1;
  static char name[] = "ostrevan_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

bool Pump(const std::function<bool()>& APredicate) {
  return PlayerTestSupport::PumpUntil([&] {
    QApplication::processEvents();
    return APredicate();
  });
}

// A 2 s picture-only clip in a folder of its own; SDL starts afresh for the player.
void MakeClip(std::string& AFile) {
  char dir[] = "/tmp/ffplay_host_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  AFile = std::string(dir) + "/video.mkv";
  MediaBuilder::TMediaSpec spec;
  spec.Duration = 2.0;
  ASSERT_EQ(MediaBuilder::WriteMedia(AFile, "matroska", spec), 0);
  if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
}

TEST(FFPlayHostWindowTest, DrawsIntoANativeWidgetFollowsResizesAndSurvivesItsDestruction) {
  PlayerTestSupport::RequirePlayerLibraries();
  if (!XcbApp()) GTEST_SKIP() << "needs Qt on xcb with an X display";
  std::string file;
  ASSERT_NO_FATAL_FAILURE(MakeClip(file));

  FFPlay::TZAVereve player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("x11");
  auto* widget = new QWidget;
  widget->resize(160, 120);
  auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
  widget->show();
  ASSERT_TRUE(Pump([&] { return widget->isVisible(); }));

  ASSERT_TRUE(player.Open(file, binding->Handle(), "-pause")) << player.LastErrMsg();
  Platform::TBitmap* bmp = nullptr;
  std::int64_t pts = 0;
  ASSERT_TRUE(Pump([&] { return player.GetCurrentBitmap(bmp, pts); }));
  EXPECT_NE(player.Window(), nullptr);
  EXPECT_FALSE(player.OwnWindow());
  EXPECT_EQ(player.ScreenWidth.load(), 160) << "the host's client size";
  ASSERT_TRUE(Pump([&] {
    const SDL_Rect r = player.DisplayRect();
    return r.w - r.x == 160 && r.h - r.y == 120;
  }));
  // What the X server holds for the window shows the clip's colours, not one flat fill,
  // once the play thread has presented the picture.
  std::size_t colours = 0;
  EXPECT_TRUE(Pump([&] {
    const QImage shot = widget->screen()->grabWindow(widget->winId()).toImage();
    std::set<QRgb> seen;
    for (int y = 0; y < shot.height(); y += 8)
      for (int x = 0; x < shot.width(); x += 8) seen.insert(shot.pixel(x, y));
    colours = seen.size();
    return colours > 4;
  })) << colours << " colours";

  widget->resize(320, 240);
  EXPECT_TRUE(Pump([&] {
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
  std::filesystem::remove_all(std::filesystem::path(file).parent_path());
}

// Counts, on the play thread, the refresh steps after which an SDL OpenGL context is
// still current there.
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
  if (!XcbApp()) GTEST_SKIP() << "needs Qt on xcb with an X display";
  std::string file;
  ASSERT_NO_FATAL_FAILURE(MakeClip(file));

  TContextProbe player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("x11");
  player.OnVideoRender = FFBasePlay::TNotifyEvent::Bind<&TContextProbe::CountRender>(&player);
  auto* widget = new QWidget;
  widget->resize(160, 120);
  auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
  widget->show();
  ASSERT_TRUE(Pump([&] { return widget->isVisible(); }));
  ASSERT_TRUE(player.Open(file, binding->Handle())) << player.LastErrMsg();
  EXPECT_TRUE(Pump([&] { return player.Rendered >= 5 || !player.Opened(); }));
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
  std::filesystem::remove_all(std::filesystem::path(file).parent_path());
  if (!gl) GTEST_SKIP() << "renderer " << renderer << " draws without GL";
}

}  // namespace
