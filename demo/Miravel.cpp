// Miravel: the demo program. One window that converts a chosen media file to a small
// MPEG-4 file and shows the progress and the libraries' log.
#include <QApplication>
#include <QMetaObject>

#include "demo/ConverterPlayerFrm.h"
#include "platform/Application.h"
#include "platform/Dispatcher.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Calls that other threads hand to the main thread are run from Qt's event loop.
  Platform::SetMainThreadToCurrent();
  Platform::SetMainThreadWaker(
      [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });

  int result;
  {
    TfrmConverterPlayer form;
    form.show();
    result = app.exec();
    // The application quits: waits of the components end before the form goes.
    Platform::CallTerminateProcs();
  }
  Platform::SetMainThreadWaker({});
  return result;
}
