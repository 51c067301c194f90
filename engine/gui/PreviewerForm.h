// The Qt window of the conversion preview (see engine/Previewer.h) for GUI hosts: a
// small tool window that stays on top, is dragged by its client area and is captioned
// with the time of the frame it shows. The window's class is in PreviewerFormInternal.h.
#pragma once
#include "engine/Previewer.h"

namespace Previewer {

// Makes the Qt window the window of every later preview (main thread, after the
// QApplication exists).
void InstallPreviewWindows();

}  // namespace Previewer
