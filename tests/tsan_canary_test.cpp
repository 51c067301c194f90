// A race planted on purpose, for the ThreadSanitizer build to find: it shows that the
// suppressions (tests/tsan.supp) do not hide a race between a thread of ours and a
// handler that Qt's event loop runs (a timer's slot, as the host's handlers are run).
// Disabled in the suite; tests/CMakeLists.txt runs it in the ThreadSanitizer build and
// expects the report.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

TEST(TsanCanary, DISABLED_ARaceInAQtTimerSlotIsReported) {
  static int argc = 1;
  static char name[] = "ostrevan_tests";
  static char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  int shared = 0;  // unguarded on purpose
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      shared = shared + 1;
      std::this_thread::yield();
    }
  });
  QTimer timer;
  int ticks = 0;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    shared = shared + 1;
    if (++ticks == 50) QCoreApplication::quit();
  });
  timer.start(1);
  QCoreApplication::exec();
  stop = true;
  writer.join();
  SUCCEED() << shared;
}

}  // namespace
