// The preview window of a running conversion: a conversion worker hands over the
// bitmap of a frame, and the window is created, captioned with the frame's time and
// painted on the main thread.
//
// The engine stays headless: the window itself comes from a GUI host, which installs a
// factory of preview windows (see engine/gui/PreviewerForm.h for the Qt one). Without a
// factory no window can be shown, and Show reports the preview as closed.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Bitmap.h"

namespace Previewer {

class TPreviewer;

// The window side of a previewer. Every call runs on the main thread.
class TPreviewWindow {
 public:
  virtual ~TPreviewWindow() = default;
  // Shows ABitmap at 0, 0 with ACaption. The first call creates the window: a tool
  // window that stays on top, centred on the screen, its client area of the bitmap's
  // size (kept for later frames), dragged by its client area.
  virtual void ShowFrame(Platform::TBitmap& ABitmap, const std::string& ACaption) = 0;
};

// Makes the window of APreviewer; the window calls APreviewer->WindowClosed() when the
// user closes it. Runs on the main thread.
using TPreviewWindowFactory = TPreviewWindow* (*)(TPreviewer* APreviewer);

// Installs (or with nullptr removes) the process's factory of preview windows.
void SetPreviewWindowFactory(TPreviewWindowFactory AFactory);

class TPreviewer {
 public:
  TPreviewer();
  // Frees the window on the main thread.
  ~TPreviewer();
  TPreviewer(const TPreviewer&) = delete;
  TPreviewer& operator=(const TPreviewer&) = delete;

  // Shows the frame on the main thread and returns when it is painted (directly on the
  // main thread). True while the window is open; False once the user has closed it (or
  // when no window can be made), without touching the window.
  bool Show(Platform::TBitmap* ABitmap, int AFrameNumber, std::int64_t APTS);

  // The window's close notification (main thread).
  void WindowClosed() { FClosed.store(true); }
  bool Closed() const { return FClosed.load(); }

 private:
  void DoShow();

  TPreviewWindow* FForm = nullptr;  // main thread only
  std::atomic<bool> FClosed{false};
  Platform::TBitmap* FBitmap = nullptr;  // the frame being shown; not owned
  int FFrameNumber = 0;
  std::int64_t FPTS = 0;
};

}  // namespace Previewer
