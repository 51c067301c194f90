// Synchronisation objects: re-entrant critical sections and events with timed waits.
#pragma once
#include <condition_variable>
#include <mutex>

#include "platform/Types.h"

namespace Platform {

constexpr Cardinal INFINITE = 0xFFFFFFFF;

// A re-entrant lock (the owning thread may enter again). Also usable with
// std::lock_guard / std::unique_lock.
class TCriticalSection {
 public:
  void Enter() { FLock.lock(); }
  void Leave() { FLock.unlock(); }
  bool TryEnter() { return FLock.try_lock(); }
  void Acquire() { Enter(); }
  void Release() { Leave(); }
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex FLock;
};

enum class TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// A manual-reset event stays signalled until reset; an auto-reset event releases one
// waiter and resets itself.
class TEvent {
 public:
  explicit TEvent(bool AManualReset = true, bool AInitialState = false);
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Waits until signalled or ATimeout milliseconds passed (INFINITE: no limit).
  TWaitResult WaitFor(Cardinal ATimeout = INFINITE);
  bool IsSignaled() const;

 private:
  mutable std::mutex FLock;
  std::condition_variable FCond;
  const bool FManualReset;
  bool FSignaled;
};

}  // namespace Platform
