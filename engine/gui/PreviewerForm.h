// The Qt window of the conversion preview (see engine/Previewer.h): a small tool window
// that stays on top, is dragged by its client area and is captioned with the time of
// the frame it shows. GUI hosts only.
#pragma once
#include <QImage>
#include <QWidget>

#include "engine/Previewer.h"

namespace Previewer {

class TPreviewerForm : public QWidget, public TPreviewWindow {
 public:
  explicit TPreviewerForm(TPreviewer* APreviewer);

  void ShowFrame(Platform::TBitmap& ABitmap, const std::string& ACaption) override;
  // The picture last shown (a copy: the converter reuses its bitmap for later frames).
  const QImage& Image() const { return FImage; }

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
  void mousePressEvent(QMouseEvent* AEvent) override;
  void closeEvent(QCloseEvent* AEvent) override;

 private:
  TPreviewer* FPreviewer;
  QImage FImage;
  bool FShown = false;
};

// Makes TPreviewerForm the window of every later preview (main thread, after the
// QApplication exists).
void InstallPreviewWindows();

}  // namespace Previewer
