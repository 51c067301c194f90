#include "platform/Dispatcher.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace Platform {

struct TMsgWindow {
  std::uint64_t Serial;
  std::string ClassName;
  TWndMethod Proc;
};

namespace {

struct TDispatcher {
  std::mutex Lock;
  std::condition_variable Wake;
  std::deque<std::function<void()>> Queue;
  std::uint64_t Epoch = 0;  // bumped by every post and notify
  std::function<void()> Waker;
  std::thread::id MainThread = std::this_thread::get_id();

  // The live windows, by serial (messages in flight name their window by serial, so a
  // window made later at a freed address never gets them) and by handle (a handle is
  // checked here before anything reads through it: a destroyed one may be passed in).
  std::mutex WindowLock;
  std::map<std::uint64_t, TMsgWindow*> Windows;
  std::unordered_map<const TMsgWindow*, std::uint64_t> Handles;
  std::uint64_t NextSerial = 1;
};

TDispatcher& D() {
  static TDispatcher* d = new TDispatcher;  // lives until the process ends
  return *d;
}

// Constructed during static initialization, i.e. on the thread that loaded us.
const bool gMainThreadRecorded = (D(), true);

void WakeUp(std::function<void()> ACall) {
  TDispatcher& d = D();
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> g(d.Lock);
    if (ACall) d.Queue.push_back(std::move(ACall));
    ++d.Epoch;
    waker = d.Waker;
  }
  d.Wake.notify_all();
  if (waker) waker();
}

// Delivers AMessage to the window with ASerial if it still exists. Main thread only.
LRESULT Deliver(std::uint64_t ASerial, Cardinal AMsg, WPARAM AWParam, LPARAM ALParam) {
  TWndMethod proc;
  {
    TDispatcher& d = D();
    std::lock_guard<std::mutex> g(d.WindowLock);
    auto it = d.Windows.find(ASerial);
    if (it == d.Windows.end()) return 0;
    proc = it->second->Proc;
  }
  TMessage msg{AMsg, AWParam, ALParam, 0};
  if (proc.Assigned()) proc(msg);
  return msg.Result;
}

}  // namespace

bool IsMainThread() { return std::this_thread::get_id() == D().MainThread; }

void SetMainThreadToCurrent() {
  std::lock_guard<std::mutex> g(D().Lock);
  D().MainThread = std::this_thread::get_id();
}

void PostToMainThread(std::function<void()> ACall) { WakeUp(std::move(ACall)); }

void SendToMainThread(const std::function<void()>& ACall) {
  if (IsMainThread()) {
    ACall();
    return;
  }
  std::promise<void> done;
  std::future<void> result = done.get_future();
  WakeUp([&ACall, &done] {
    try {
      ACall();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  result.get();
}

bool ProcessMainThreadQueue() {
  TDispatcher& d = D();
  bool ran = false;
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard<std::mutex> g(d.Lock);
      if (d.Queue.empty()) break;
      call = std::move(d.Queue.front());
      d.Queue.pop_front();
    }
    call();
    ran = true;
  }
  return ran;
}

bool WaitForMainThreadWork(int AMilliseconds) {
  TDispatcher& d = D();
  std::unique_lock<std::mutex> g(d.Lock);
  const std::uint64_t epoch = d.Epoch;
  auto ready = [&] { return !d.Queue.empty() || d.Epoch != epoch; };
  if (AMilliseconds < 0) {
    d.Wake.wait(g, ready);
    return true;
  }
  return d.Wake.wait_for(g, std::chrono::milliseconds(AMilliseconds), ready);
}

void NotifyMainThread() { WakeUp(nullptr); }

void SetMainThreadWaker(std::function<void()> AWaker) {
  std::lock_guard<std::mutex> g(D().Lock);
  D().Waker = std::move(AWaker);
}

HWND CreateMsgWindow(const std::string& AClassName, TWndMethod AProc) {
  TDispatcher& d = D();
  std::lock_guard<std::mutex> g(d.WindowLock);
  auto* w = new TMsgWindow{d.NextSerial++, AClassName, AProc};
  d.Windows.emplace(w->Serial, w);
  d.Handles.emplace(w, w->Serial);
  return w;
}


namespace {
// The live window of handle AWnd, nullptr when it is none. Window lock held.
TMsgWindow* LiveWindow(TDispatcher& d, HWND AWnd) {
  if (!AWnd) return nullptr;
  const auto it = d.Handles.find(AWnd);
  return it == d.Handles.end() ? nullptr : d.Windows.at(it->second);
}

// The serial of a live window, 0 when AWnd is not one.
std::uint64_t SerialOf(HWND AWnd) {
  TDispatcher& d = D();
  std::lock_guard<std::mutex> g(d.WindowLock);
  const TMsgWindow* w = LiveWindow(d, AWnd);
  return w ? w->Serial : 0;
}
}  // namespace

bool IsWindow(HWND AWnd) { return SerialOf(AWnd) != 0; }

void SetWindowProc(HWND AWnd, TWndMethod AProc) {
  TDispatcher& d = D();
  std::lock_guard<std::mutex> g(d.WindowLock);
  if (TMsgWindow* w = LiveWindow(d, AWnd)) w->Proc = AProc;
}

std::string GetWindowClassName(HWND AWnd) {
  TDispatcher& d = D();
  std::lock_guard<std::mutex> g(d.WindowLock);
  const TMsgWindow* w = LiveWindow(d, AWnd);
  return w ? w->ClassName : std::string();
}

void DestroyWindow(HWND AWnd) {
  TDispatcher& d = D();
  std::lock_guard<std::mutex> g(d.WindowLock);
  TMsgWindow* w = LiveWindow(d, AWnd);
  if (!w) return;
  d.Windows.erase(w->Serial);
  d.Handles.erase(w);
  delete w;
}

bool PostMessage(HWND AWnd, Cardinal AMsg, WPARAM AWParam, LPARAM ALParam) {
  const std::uint64_t serial = SerialOf(AWnd);
  if (!serial) return false;
  PostToMainThread([=] { Deliver(serial, AMsg, AWParam, ALParam); });
  return true;
}

LRESULT SendMessage(HWND AWnd, Cardinal AMsg, WPARAM AWParam, LPARAM ALParam) {
  const std::uint64_t serial = SerialOf(AWnd);
  if (!serial) return 0;
  LRESULT result = 0;
  SendToMainThread([&] { result = Deliver(serial, AMsg, AWParam, ALParam); });
  return result;
}

}  // namespace Platform
