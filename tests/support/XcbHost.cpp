#include "XcbHost.h"

#include <QApplication>
#include <QGuiApplication>
#include <cstdlib>

#include "MainThreadPump.h"

namespace XcbHost {

QApplication* App() {
  if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance()))
    return QGuiApplication::platformName() == "xcb" ? app : nullptr;
  if (!std::getenv("DISPLAY")) return nullptr;
  qputenv("QT_QPA_PLATFORM", "xcb");
  static int argc = 1;
  static char name[] = "ostrevan_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app;
}

bool PumpUntil(const std::function<bool()>& APredicate) {
  return MainThreadPump::PumpUntil([&] {
    QApplication::processEvents();
    return APredicate();
  });
}

}  // namespace XcbHost
