// The preview window's Qt class. Only its unit (PreviewerForm.cpp) and its tests include
// this header; a host goes through PreviewerForm.h.
#pragma once
#include <QImage>
#include <QWidget>

#include "engine/gui/PreviewerForm.h"

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

}  // namespace Previewer
