#include "components/gui/PlayerWindowBinding.h"

#include <QEvent>
#include <QPlatformSurfaceEvent>
#include <QWindow>

#include <cstdint>

#include "components/FFPlay.h"

namespace PlayerGui {

TPlayerWindowBinding::TPlayerWindowBinding(FFPlay::TCustomPlayer* APlayer, QWidget* AWidget)
    : FPlayer(APlayer), FWidget(AWidget) {
  AWidget->setAttribute(Qt::WA_NativeWindow);
  FBoundId = AWidget->winId();  // makes the native window now
  AWidget->installEventFilter(this);
  if (QWindow* w = AWidget->windowHandle()) {
    FWindow = w;
    w->installEventFilter(this);
  }
  FResizeTimer.setSingleShot(true);
  FResizeTimer.setInterval(100);
  FResizeTimer.callOnTimeout([this] {
    if (FWidget && !FReleased) {
      const qreal dpr = FWidget->devicePixelRatioF();
      FPlayer->HostResized(static_cast<int>(FWidget->width() * dpr),
                           static_cast<int>(FWidget->height() * dpr));
    }
  });
  QPointer<QWidget> widget = FWidget;
  APlayer->HostClientSize = [widget](int& AWidth, int& AHeight) {
    // Called on the main thread (the open's file-open step).
    if (!widget) return false;
    const qreal dpr = widget->devicePixelRatioF();
    AWidth = static_cast<int>(widget->width() * dpr);
    AHeight = static_cast<int>(widget->height() * dpr);
    return AWidth > 0 && AHeight > 0;
  };
}

TPlayerWindowBinding::~TPlayerWindowBinding() {
  FResizeTimer.stop();
  if (FWidget) FWidget->removeEventFilter(this);
  if (FWindow) FWindow->removeEventFilter(this);
  FPlayer->HostClientSize = nullptr;
}

Platform::HWND TPlayerWindowBinding::Handle() const {
  if (!FWidget || FReleased) return nullptr;
  return reinterpret_cast<Platform::HWND>(static_cast<std::uintptr_t>(FWidget->winId()));
}

void TPlayerWindowBinding::Release() {
  if (FReleased) return;
  FReleased = true;
  FResizeTimer.stop();
  FPlayer->ReleaseHostWindow();
}

bool TPlayerWindowBinding::eventFilter(QObject* AWatched, QEvent* AEvent) {
  switch (AEvent->type()) {
    case QEvent::PlatformSurface:
      if (static_cast<QPlatformSurfaceEvent*>(AEvent)->surfaceEventType() ==
          QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed)
        Release();
      break;
    case QEvent::Destroy:
      if (AWatched == FWidget) Release();
      break;
    case QEvent::WinIdChange:
      // Qt tells of a new parent this way too (the id reads 0 for a moment, then the
      // same id again), while the X window stays: a native widget's window is
      // re-parented, not made anew, and its destruction is told by the surface event
      // above. Only another window ends the binding.
      if (AWatched == FWidget && FWidget->internalWinId() != 0 && FWidget->internalWinId() != FBoundId)
        Release();
      break;
    case QEvent::Resize:
      if (AWatched == FWidget && !FReleased) FResizeTimer.start();
      break;
    case QEvent::Expose:
    case QEvent::Show:
      if (!FReleased) FPlayer->HostExposed();
      break;
    case QEvent::Paint:
      if (AWatched == FWidget && !FReleased && FPlayer->HasRenderer()) return true;
      break;
    default:
      break;
  }
  return QObject::eventFilter(AWatched, AEvent);
}

}  // namespace PlayerGui
