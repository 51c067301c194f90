#include "engine/gui/PreviewerForm.h"
#include "engine/gui/PreviewerFormInternal.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "platform/gui/BitmapImage.h"

namespace Previewer {

TPreviewerForm::TPreviewerForm(TPreviewer* APreviewer)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowCloseButtonHint |
                           Qt::WindowTitleHint | Qt::CustomizeWindowHint),
      FPreviewer(APreviewer) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPreviewerForm::ShowFrame(Platform::TBitmap& ABitmap, const std::string& ACaption) {
  // The bitmap belongs to the converter, which overwrites it with the next frame: the
  // window keeps a copy to repaint from.
  FImage = Platform::BitmapAsImage(ABitmap).copy();
  if (!FShown) {
    // The window keeps the size of the first frame.
    setFixedSize(ABitmap.Width(), ABitmap.Height());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(ABitmap.Width() / 2, ABitmap.Height() / 2));
    }
    show();
    FShown = true;
  }
  setWindowTitle(QString::fromStdString(ACaption));
  repaint();
}

void TPreviewerForm::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!FImage.isNull()) painter.drawImage(0, 0, FImage);
}

void TPreviewerForm::mousePressEvent(QMouseEvent* AEvent) {
  // Dragged by its client area, as by its caption.
  if (AEvent->button() == Qt::LeftButton && windowHandle()) windowHandle()->startSystemMove();
  QWidget::mousePressEvent(AEvent);
}

void TPreviewerForm::closeEvent(QCloseEvent* AEvent) {
  // The task sees the preview closed at its next frame and frees the previewer (and
  // this window with it).
  FPreviewer->WindowClosed();
  AEvent->accept();
}

namespace {
TPreviewWindow* MakeForm(TPreviewer* APreviewer) { return new TPreviewerForm(APreviewer); }
}  // namespace

void InstallPreviewWindows() { SetPreviewWindowFactory(&MakeForm); }

}  // namespace Previewer
