// Miravel: the demo program. One window that converts a chosen media file to a small
// MPEG-4 file and shows the progress and the libraries' log.
#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include "demo/ConverterPlayerFrm.h"
#include "platform/Application.h"
#include "platform/Dispatcher.h"

namespace {

// Ctrl+C in the terminal (SIGINT) and a plain kill (SIGTERM) reach the event loop
// through this pipe.
int gStopPipe[2] = {-1, -1};

void StopSignalled(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!::write(gStopPipe[1], &byte, 1);
  errno = saved;
}

// Installed before anything starts SDL, which then leaves both signals to us rather
// than turning them into a quit request of the player alone.
bool CatchStopSignals() {
  if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = StopSignalled;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool catching = CatchStopSignals();
  QApplication app(argc, argv);
  // Calls that other threads hand to the main thread are run from Qt's event loop.
  Platform::SetMainThreadToCurrent();
  Platform::SetMainThreadWaker(
      [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });

  int result;
  {
    TfrmConverterPlayer form;
    // A stop signal closes the window as the user would: the conversion and the player
    // stop while the display is still there, and the program ends normally.
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (catching) {
      stopNotifier = std::make_unique<QSocketNotifier>(gStopPipe[0], QSocketNotifier::Read);
      QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &form, [&form] {
        char bytes[16];
        while (::read(gStopPipe[0], bytes, sizeof bytes) > 0) {
        }
        form.close();
        QApplication::quit();
      });
    }
    form.show();
    result = app.exec();
    // The application quits: waits of the components end before the form goes.
    Platform::CallTerminateProcs();
  }
  Platform::SetMainThreadWaker({});
  return result;
}
