// Host windows shared and moved: two players on one native widget, a widget given a new
// parent, a paused stream moved to another widget. Qt on xcb and SDL on x11 under Xvfb,
// as the other host-window tests; skipped without an X display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QWidget>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "LogRecorder.h"
#include "PlayerTestSupport.h"
#include "XcbHost.h"
#include "components/FFPlay.h"
#include "components/gui/PlayerWindowBinding.h"
#include "runtime/FFLoad.h"
#include "runtime/SDL2Stubs.h"

namespace {

// The colours the X server holds for AWidget's window (a sample every 8 pixels).
std::size_t Colours(QWidget* AWidget) {
  const QImage shot = AWidget->screen()->grabWindow(AWidget->winId()).toImage();
  std::set<QRgb> seen;
  for (int y = 0; y < shot.height(); y += 8)
    for (int x = 0; x < shot.width(); x += 8) seen.insert(shot.pixel(x, y));
  return seen.size();
}

// What the host-window tests share: a clip, the player's drivers, widgets, and the log.
struct THostSetUp {
  std::unique_ptr<PlayerTestSupport::TClips> Clips;
  std::string File;
  bool Ready = false;
  FFLoad::TFFLogWorker* Log = FFLoad::VEDovedo;
  bool Synchronous = false;
  bool InMainThread = true;

  THostSetUp() {
    PlayerTestSupport::RequirePlayerLibraries();
    if (!XcbHost::App()) return;
    Clips = std::make_unique<PlayerTestSupport::TClips>("ffplay_binding");
    if (Clips->Dir().empty() || Clips->Write("video.mkv", "v", 2.0) != 0) return;
    File = Clips->Dir() + "/video.mkv";
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    Synchronous = Log->GetSynchronous();
    InMainThread = Log->GetTriggerEventInMainThread();
    Log->SetActive(true);
    Log->SetSynchronous(true);
    Log->SetTriggerEventInMainThread(false);
    LogRecorder::TLogRecorder::Get().Clear();
    Log->SetOnLog(LogRecorder::TLogRecorder::Get().Event());
    Ready = true;
  }
  ~THostSetUp() {
    if (!Ready) return;
    Log->SetOnLog({});
    Log->SetSynchronous(Synchronous);
    Log->SetTriggerEventInMainThread(InMainThread);
  }
  static void Prepare(FFPlay::TCustomPlayer& APlayer) {
    APlayer.SetAudioDriver("dummy");
    APlayer.SetVideoDriver("x11");
  }
  static QWidget* NewWidget() {
    auto* w = new QWidget;
    w->resize(160, 120);
    return w;
  }
  // The picture of a paused open is up in AWidget's window.
  static bool Shows(QWidget* AWidget) {
    std::size_t colours = 0;
    const bool ok = XcbHost::PumpUntil([&] { return (colours = Colours(AWidget)) > 4; });
    if (!ok) std::fprintf(stderr, "%zu colours\n", colours);
    return ok;
  }
  static bool Bound(FFPlay::TCustomPlayer& APlayer) {
    Platform::TBitmap* bmp = nullptr;
    std::int64_t pts = 0;
    return XcbHost::PumpUntil([&] { return APlayer.GetCurrentBitmap(bmp, pts); });
  }
};

// Two players given one host window: one draws into it at a time. The second plays on
// without a display while the first holds the window, and takes it once it is free.
TEST(FFPlayHostWindowTest, TwoPlayersOnOneWindowTakeItInTurn) {
  THostSetUp setup;
  if (!setup.Ready) GTEST_SKIP() << "needs Qt on xcb with an X display";
  FFPlay::TZAVereve first, second;
  THostSetUp::Prepare(first);
  THostSetUp::Prepare(second);
  QWidget* widget = THostSetUp::NewWidget();
  auto first_binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&first, widget);
  auto second_binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&second, widget);
  widget->show();
  ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));

  ASSERT_TRUE(first.Open(setup.File, first_binding->Handle(), "-pause")) << first.LastErrMsg();
  ASSERT_TRUE(THostSetUp::Bound(first));
  ASSERT_TRUE(second.Open(setup.File, second_binding->Handle(), "-pause")) << second.LastErrMsg();
  // The second player's display step has met the window: taken, or refused.
  ASSERT_TRUE(XcbHost::PumpUntil([&] {
    return second.Window() != nullptr ||
           LogRecorder::TLogRecorder::Get().Contains("is shown by another player");
  }));
  EXPECT_EQ(second.Window(), nullptr) << "two players bound one window";
  EXPECT_NE(first.Window(), nullptr);
  EXPECT_TRUE(second.Opened()) << "the second plays on without a display";

  first.Stop(true);
  EXPECT_TRUE(XcbHost::PumpUntil([&] { return second.Window() != nullptr; })) << "the free window is taken";
  EXPECT_TRUE(THostSetUp::Bound(second));
  EXPECT_TRUE(THostSetUp::Shows(widget));
  second.Stop(true);
  first_binding.reset();
  second_binding.reset();
  delete widget;
  QApplication::processEvents();
}

// Given a new parent, a native widget keeps its X window (Qt still tells of a new window
// id): the player keeps drawing into it and follows its size.
TEST(FFPlayHostWindowTest, ANewParentKeepsTheWindowBinding) {
  THostSetUp setup;
  if (!setup.Ready) GTEST_SKIP() << "needs Qt on xcb with an X display";
  const struct {
    const char* Name;
    bool NativeParent;
  } rows[] = {{"into a top-level window", false}, {"into a native child", true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    FFPlay::TZAVereve player;
    THostSetUp::Prepare(player);
    QWidget* widget = THostSetUp::NewWidget();
    auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, widget);
    widget->show();
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));
    ASSERT_TRUE(player.Open(setup.File, binding->Handle(), "-pause")) << player.LastErrMsg();
    ASSERT_TRUE(THostSetUp::Bound(player));

    auto* container = new QWidget;
    container->resize(400, 300);
    container->show();
    QWidget* parent = container;
    if (r.NativeParent) {
      parent = new QWidget(container);
      parent->setAttribute(Qt::WA_NativeWindow);
      parent->resize(300, 200);
      parent->show();
    }
    const WId id = widget->winId();
    widget->setParent(parent);
    widget->show();
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return widget->isVisible(); }));
    ASSERT_EQ(widget->winId(), id) << "the X window is kept";
    EXPECT_EQ(binding->Handle(), reinterpret_cast<Platform::HWND>(static_cast<std::uintptr_t>(id)));
    EXPECT_NE(player.Window(), nullptr) << "the window binding was dropped";
    widget->resize(200, 150);
    EXPECT_TRUE(XcbHost::PumpUntil([&] {
      const SDL_Rect rect = player.DisplayRect();
      return rect.w - rect.x == 200 && rect.h - rect.y == 150;
    })) << "the display follows the widget's size";
    player.Stop(true);
    binding.reset();
    delete container;
    QApplication::processEvents();
  }
}

// A paused stream given another window is drawn there at once, without a refresh asked
// for: whether its display still held the first window, or that window had gone.
TEST(FFPlayHostWindowTest, APausedStreamGivenANewWindowIsDrawnThere) {
  THostSetUp setup;
  if (!setup.Ready) GTEST_SKIP() << "needs Qt on xcb with an X display";
  const struct {
    const char* Name;
    bool FirstGone;
  } rows[] = {{"from a bound window", false}, {"after the window went", true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    if (SDL2Stubs::SDL_Quit) SDL2Stubs::SDLLoader->QuitAll();
    FFPlay::TZAVereve player;
    THostSetUp::Prepare(player);
    QWidget* first = THostSetUp::NewWidget();
    auto binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, first);
    first->show();
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return first->isVisible(); }));
    ASSERT_TRUE(player.Open(setup.File, binding->Handle(), "-pause")) << player.LastErrMsg();
    ASSERT_TRUE(THostSetUp::Bound(player));
    ASSERT_TRUE(THostSetUp::Shows(first));
    if (r.FirstGone) {
      delete first;  // the binding lets go of it first
      first = nullptr;
      QApplication::processEvents();
      ASSERT_EQ(player.Window(), nullptr);
    }
    binding.reset();

    // No binding on the new window: nothing tells the player of its exposes, so only
    // the player's own refresh can draw it.
    QWidget* second = THostSetUp::NewWidget();
    second->setAttribute(Qt::WA_NativeWindow);
    second->show();
    ASSERT_TRUE(XcbHost::PumpUntil([&] { return second->isVisible(); }));
    player.SetScreenHandle(reinterpret_cast<Platform::HWND>(static_cast<std::uintptr_t>(second->winId())));
    EXPECT_TRUE(THostSetUp::Shows(second)) << "the picture was not drawn in the new window";
    EXPECT_TRUE(player.Paused());
    player.Stop(true);  // lets go of the window before it goes
    delete second;
    delete first;
    QApplication::processEvents();
  }
}

}  // namespace
