#include "platform/Threads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"

namespace Platform {

struct TThread::TImpl {
  std::mutex Lock;
  std::condition_variable Cond;
  std::thread Thread;
  bool Done = false;  // Execute and OnTerminate are over; the thread is about to end
  // Start is done with the object: only then may Execute run, since a self-freeing
  // thread that ends at once would otherwise free the lock Start still waits on.
  bool StartDone = false;
};

TThread::TThread(bool ACreateSuspended) : FImpl(new TImpl) {
  // C++ cannot run code after the most-derived constructor from here, so a thread
  // never starts before Start (see Threads.h).
  (void)ACreateSuspended;
}

TThread::~TThread() {
  bool running;
  {
    std::lock_guard<std::mutex> g(FImpl->Lock);
    // not joinable: never started, already joined, or detached by a self-freeing
    // thread that is deleting itself right now
    running = FImpl->Thread.joinable() && FImpl->Thread.get_id() != std::this_thread::get_id();
  }
  if (running) {
    Terminate();
    WaitFor();
  }
  delete FImpl;
}

void TThread::Start() {
  std::unique_lock<std::mutex> g(FImpl->Lock);
  if (FStarted.load(std::memory_order_acquire))
    throw Exception("Cannot call Start on a running or terminated thread");
  FStarted.store(true, std::memory_order_release);
  FImpl->Thread = std::thread(&TThread::Run, this);
  // The thread records its id under the lock, so ThreadID is valid once Start returns
  // and the std::thread above is assigned before the thread can touch it.
  FImpl->Cond.wait(g, [this] { return FThreadID.load(std::memory_order_acquire) != 0; });
  FImpl->StartDone = true;
  FImpl->Cond.notify_all();
}

void TThread::Terminate() {
  FTerminated.store(true, std::memory_order_release);
  TerminatedSet();
}

int TThread::WaitFor() {
  std::unique_lock<std::mutex> g(FImpl->Lock);
  if (!FImpl->Thread.joinable()) return ReturnValue();  // never started, or joined
  if (FImpl->Thread.get_id() == std::this_thread::get_id())
    throw Exception("A thread cannot wait for itself");
  if (IsMainThread()) {
    // Keep serving the main thread's queue: the thread may Synchronize, and its
    // OnTerminate runs here. The thread notifies the main thread when it is done;
    // the bounded wait only covers a notification between the check and the wait.
    while (!FImpl->Done) {
      g.unlock();
      ProcessMainThreadQueue();
      g.lock();
      if (FImpl->Done) break;
      g.unlock();
      WaitForMainThreadWork(10);
      g.lock();
    }
  } else {
    FImpl->Cond.wait(g, [this] { return FImpl->Done; });
  }
  // Another waiter may have joined meanwhile.
  if (FImpl->Thread.joinable()) FImpl->Thread.join();
  return ReturnValue();
}

void TThread::Run(TThread* AThread) {
  {
    std::unique_lock<std::mutex> g(AThread->FImpl->Lock);
    AThread->FThreadID.store(GetCurrentThreadId(), std::memory_order_release);
    AThread->FImpl->Cond.notify_all();
    AThread->FImpl->Cond.wait(g, [AThread] { return AThread->FImpl->StartDone; });
  }

  try {
    AThread->Execute();
  } catch (...) {
    AThread->FFatalException = std::current_exception();
  }
  const bool freeThread = AThread->FreeOnTerminate;
  AThread->FFinished.store(true, std::memory_order_release);

  if (AThread->OnTerminate.Assigned()) {
    try {
      const TNotifyEvent handler = AThread->OnTerminate;
      SendToMainThread([handler, AThread] { handler(AThread); });
    } catch (...) {
      if (!AThread->FFatalException) AThread->FFatalException = std::current_exception();
    }
  }

  if (freeThread) {
    {
      std::lock_guard<std::mutex> g(AThread->FImpl->Lock);
      AThread->FImpl->Thread.detach();
      AThread->FImpl->Done = true;
    }
    delete AThread;
    return;
  }
  {
    std::lock_guard<std::mutex> g(AThread->FImpl->Lock);
    AThread->FImpl->Done = true;
  }
  AThread->FImpl->Cond.notify_all();
  NotifyMainThread();
}

void TThread::Synchronize(const TThreadMethod& AMethod) {
  SendToMainThread([&AMethod] { AMethod(); });
}

void TThread::Queue(const TThreadMethod& AMethod) {
  PostToMainThread([AMethod] { AMethod(); });
}

void Sleep(Cardinal AMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

}  // namespace Platform
