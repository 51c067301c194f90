// A bound on calls that must return: a test that would otherwise hang in a deadlock ends
// with a message naming what did not return, instead of waiting for ctest's time-out.
// The bound is generous (the machine is busy, sanitizers are slow): it catches calls that
// never return, it does not time them. Where gdb is installed, the stacks of every thread
// are printed before the process ends, to show where the call hangs.
#pragma once
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace TestWatchdog {

// One watching thread; Arm before a call, Disarm after it (or use Bounded).
class TWatchdog {
 public:
  TWatchdog() {
    FThread = std::thread([this] {
      std::unique_lock<std::mutex> g(FLock);
      while (!FQuit) {
        if (!FArmed) {
          FCond.wait(g);
          continue;
        }
        if (FCond.wait_until(g, FDeadline) == std::cv_status::timeout && FArmed &&
            std::chrono::steady_clock::now() >= FDeadline) {
          std::fprintf(stderr, "WATCHDOG: %s did not return within %.0f s\n", FWhat.c_str(), FSeconds);
          std::fflush(stderr);
          PrintStacks();
          std::abort();
        }
      }
    });
  }
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FQuit = true;
    }
    FCond.notify_all();
    FThread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

  // Ends the process unless Disarm comes within ASeconds.
  void Arm(const std::string& AWhat, double ASeconds) {
    {
      std::lock_guard<std::mutex> g(FLock);
      FWhat = AWhat;
      FSeconds = ASeconds;
      FDeadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(ASeconds * 1000));
      FArmed = true;
    }
    FCond.notify_all();
  }
  void Disarm() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FArmed = false;
    }
    FCond.notify_all();
  }

  // Runs AWork, which must return within ASeconds.
  template <class F>
  void Bounded(const std::string& AWhat, double ASeconds, F&& AWork) {
    Arm(AWhat, ASeconds);
    AWork();
    Disarm();
  }

 private:
  // Every thread's stack, through gdb (when there is one) attached to this process.
  static void PrintStacks() {
    if (std::system("command -v gdb >/dev/null 2>&1") != 0) return;
    (void)::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const std::string cmd = "gdb -batch -nx -p " + std::to_string(::getpid()) +
                            " -ex 'thread apply all bt 40' 1>&2 2>/dev/null";
    (void)std::system(cmd.c_str());
    std::fflush(stderr);
  }

  std::mutex FLock;
  std::condition_variable FCond;
  // Guarded by FLock.
  bool FQuit = false;
  bool FArmed = false;
  std::string FWhat;
  double FSeconds = 0;
  std::chrono::steady_clock::time_point FDeadline;
  std::thread FThread;
};

}  // namespace TestWatchdog
