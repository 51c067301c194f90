#include "MainThreadPump.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Dispatcher.h"

namespace MainThreadPump {

bool PumpUntil(const std::function<bool()>& APredicate, double ASeconds) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(ASeconds));
  while (!APredicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return APredicate();
    Platform::ProcessMainThreadQueue();
    Platform::WaitForMainThreadWork(5);
  }
  return true;
}

void RunPumping(const std::function<void()>& AWork, const std::function<void()>& AEachRound) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    AWork();
    done.store(true);
    Platform::NotifyMainThread();
  });
  while (!done.load()) {
    Platform::ProcessMainThreadQueue();
    if (AEachRound) AEachRound();
    Platform::WaitForMainThreadWork(10);
  }
  worker.join();
  Platform::ProcessMainThreadQueue();
}

bool KeepsHolding(const std::function<bool()>& APredicate, int AMilliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
  while (std::chrono::steady_clock::now() < until) {
    if (!APredicate()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return APredicate();
}

}  // namespace MainThreadPump
