#include "platform/Sync.h"

#include <chrono>

namespace Platform {

TEvent::TEvent(bool AManualReset, bool AInitialState)
    : FManualReset(AManualReset), FSignaled(AInitialState) {}

void TEvent::SetEvent() {
  // Notified under the lock: a released waiter may destroy the event as soon as it
  // returns, so nothing here may touch the event after the lock is released.
  std::lock_guard<std::mutex> g(FLock);
  FSignaled = true;
  // A manual-reset event releases every waiter; an auto-reset one only the waiter
  // that consumes the signal (the others find it reset and wait on).
  if (FManualReset)
    FCond.notify_all();
  else
    FCond.notify_one();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> g(FLock);
  FSignaled = false;
}

TWaitResult TEvent::WaitFor(Cardinal ATimeout) {
  std::unique_lock<std::mutex> g(FLock);
  auto signaled = [this] { return FSignaled; };
  if (ATimeout == INFINITE) {
    FCond.wait(g, signaled);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
    if (!FCond.wait_until(g, deadline, signaled)) return TWaitResult::wrTimeout;
  }
  if (!FManualReset) FSignaled = false;
  return TWaitResult::wrSignaled;
}

bool TEvent::IsSignaled() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSignaled;
}

}  // namespace Platform
