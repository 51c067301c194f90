// Threads as objects with an Execute method.
//
// A TThread runs Execute on a thread of its own once started. Terminate only asks:
// Execute polls Terminated(). WaitFor joins and returns ReturnValue; called on the main
// thread it keeps running the main thread's queued calls (see Dispatcher.h) meanwhile,
// so a thread that synchronises with the main thread cannot deadlock a waiting main
// thread. With FreeOnTerminate set the object deletes itself after Execute (and after
// OnTerminate); nobody may WaitFor or delete it then.
#pragma once
#include <atomic>
#include <exception>
#include <string>

#include "platform/Method.h"
#include "platform/Types.h"

namespace Platform {

using TNotifyEvent = TMethod<void(void* Sender)>;

class TThread {
 public:
  // C++ has no hook after the most-derived constructor, so the thread never starts on
  // its own: whatever ACreateSuspended says, Start begins it (a derived constructor
  // created "not suspended" calls Start as its last statement).
  explicit TThread(bool ACreateSuspended = true);
  // A thread still running is terminated and waited for.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Execute on a new thread; ThreadID is valid when it returns. Raises
  // Exception when called a second time.
  void Start();
  void Terminate();
  // Joins the thread; returns ReturnValue. Must not be called on a self-freeing thread
  // nor from the thread itself.
  int WaitFor();

  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  bool Started() const { return FStarted.load(std::memory_order_acquire); }
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  TThreadID ThreadID() const { return FThreadID.load(std::memory_order_acquire); }

  bool FreeOnTerminate = false;
  // Raised on the main thread (through the dispatcher) after Execute returned.
  TNotifyEvent OnTerminate;
  // The exception that escaped Execute, if any (the thread ends normally after it).
  std::exception_ptr FatalException() const { return FFatalException; }
  int ReturnValue() const { return FReturnValue.load(); }

  // Runs AMethod on the main thread and returns when it ran (directly on the main thread).
  static void Synchronize(const TThreadMethod& AMethod);
  // Queues AMethod for the main thread and returns at once.
  static void Queue(const TThreadMethod& AMethod);

 protected:
  virtual void Execute() = 0;
  // Called by Terminate on the terminating thread, after Terminated became true.
  virtual void TerminatedSet() {}
  void SetReturnValue(int AValue) { FReturnValue.store(AValue); }

 private:
  struct TImpl;
  static void Run(TThread* AThread);

  TImpl* FImpl;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FStarted{false};
  std::atomic<bool> FFinished{false};
  std::atomic<TThreadID> FThreadID{0};
  std::atomic<int> FReturnValue{0};
  std::exception_ptr FFatalException;
};

// Sleeps the calling thread for AMilliseconds.
void Sleep(Cardinal AMilliseconds);

}  // namespace Platform
