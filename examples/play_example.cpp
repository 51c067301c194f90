// play_example: plays a media file inside a Qt widget; the window closes when the file
// has played to its end, or when the user closes it.
//
//   play_example FILE
//
// The player draws into the widget's own X11 window (Qt on xcb, also under XWayland);
// elsewhere it plays in a window of its own.
#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>

#include <cstdio>
#include <memory>

#include "components/FFPlay.h"
#include "components/gui/PlayerWindowBinding.h"
#include "platform/Application.h"
#include "platform/Dispatcher.h"
#include "runtime/MyUtils.h"

namespace {

// README: state
// The player's state reports, on the main thread: the end of the file closes the window.
void OnState(void* AWindow, Platform::TObject*, FFBaseComponent::TPlayState AState) {
  if (AState == FFBaseComponent::psEnd) static_cast<QWidget*>(AWindow)->close();
}
// README end

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 1;
  }
  // README: main-thread
  // The calls the components' threads hand to the main thread run from Qt's event loop.
  Platform::SetMainThreadToCurrent();
  Platform::SetMainThreadWaker([] {
    QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection);
  });
  // README end

  int result = 1;
  {
    // README: player
    QWidget window;
    window.resize(640, 360);
    FFPlay::TZAVereve player;
    player.OnState = FFBaseComponent::TPlayStateEvent::FromFunction(&OnState, &window);
    // The widget's X11 window becomes the player's screen; the binding forwards its
    // resizes and exposes and lets the player go of it before it is destroyed.
    std::unique_ptr<PlayerGui::TPlayerWindowBinding> binding;
    if (QGuiApplication::platformName() == "xcb") {
      player.SetVideoDriver("x11");
      binding = std::make_unique<PlayerGui::TPlayerWindowBinding>(&player, &window);
    }
    window.show();
    if (!player.LoadLibraries(MyUtils::ExePath() + "LibAV") ||
        !player.Open(argv[1], binding ? binding->Handle() : nullptr))
      std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    else
      result = app.exec();

    // The program ends (the components' waits end); before the widget goes, the player
    // stops and lets go of its window, then the binding goes, then the player.
    Platform::CallTerminateProcs();
    player.Stop(true);
    player.ReleaseHostWindow();
    binding.reset();
    // README end
  }
  Platform::SetMainThreadWaker({});
  return result;
}
