// Binds a player to a native Qt widget (xcb): the widget's X11 window is the screen
// handle the player renders into. SDL sees no events of a window it did not create, so
// this binding, an event filter on the widget and its native window, stands in for them:
// - a resize reaches the player once the size has settled (100 ms without a further
//   resize), as a resize window event; the play loop then sizes the display;
// - an expose or show asks the player to redraw;
// - the host's own paint is swallowed while a renderer draws into the window;
// - before the native window is destroyed (the widget closes or goes away) the player
//   drops its SDL window and renderer: a request to a destroyed X window would end the
//   process. The stream plays on without a display. A new parent keeps the X window,
//   and the binding with it.
// All of it runs on the main thread.
#pragma once
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "platform/Types.h"

namespace FFPlay {
class TCustomPlayer;
}

namespace PlayerGui {

class TPlayerWindowBinding : public QObject {
 public:
  // AWidget becomes a native widget. Neither is owned; the binding must go before the
  // player does.
  TPlayerWindowBinding(FFPlay::TCustomPlayer* APlayer, QWidget* AWidget);
  ~TPlayerWindowBinding() override;
  TPlayerWindowBinding(const TPlayerWindowBinding&) = delete;
  TPlayerWindowBinding& operator=(const TPlayerWindowBinding&) = delete;

  // The widget's X11 window as a screen handle for Open; nullptr once the widget is gone.
  Platform::HWND Handle() const;

 protected:
  bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

 private:
  void Release();

  FFPlay::TCustomPlayer* FPlayer;
  QPointer<QWidget> FWidget;
  QPointer<QObject> FWindow;  // the widget's native window (a QWindow)
  QTimer FResizeTimer;
  WId FBoundId = 0;  // the widget's X window the player was given
  bool FReleased = false;
};

}  // namespace PlayerGui
