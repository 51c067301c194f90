// What the log worker delivers to its OnLog handler, recorded for tests. One recorder
// lives for the whole process: the log thread may still be leaving a handler call when
// a test ends.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Dispatcher.h"
#include "platform/Threads.h"
#include "runtime/FFLoad.h"

namespace LogRecorder {

struct TRecord {
  Platform::TObject* Sender;
  int ThreadID;  // the producing thread, as the worker reports it
  FFLoad::TLogLevel Level;
  std::string Msg;
  bool OnMainThread;                  // the handler ran on the main thread
  Platform::TThreadID DeliveredOn;    // the thread the handler ran on
  bool SynchronousAtDelivery;         // the worker's Synchronous setting at that moment
};

class TLogRecorder {
 public:
  static TLogRecorder& Get() {
    static TLogRecorder* recorder = new TLogRecorder;
    return *recorder;
  }
  FFLoad::TLogEvent Event() { return FFLoad::TLogEvent::FromFunction(&Handler, this); }

  void Clear() {
    std::lock_guard<std::mutex> g(FLock);
    FRecords.clear();
  }
  std::vector<TRecord> Records() {
    std::lock_guard<std::mutex> g(FLock);
    return FRecords;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(FLock);
    return FRecords.size();
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const TRecord& r : Records()) lines.push_back(r.Msg);
    return lines;
  }
  // The messages with the worker's CR LF line ends turned back into LF.
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (std::string line : Lines()) {
      std::erase(line, '\r');
      texts.push_back(std::move(line));
    }
    return texts;
  }
  // True when some message contains AText.
  bool Contains(const std::string& AText) {
    for (const std::string& t : Texts())
      if (t.find(AText) != std::string::npos) return true;
    return false;
  }
  // Every message, each followed by "|" (for failure output).
  std::string Joined() {
    std::string s;
    for (const std::string& t : Texts()) s += t + "|";
    return s;
  }
  // The records of ASender.
  std::vector<TRecord> Of(const Platform::TObject* ASender) {
    std::vector<TRecord> result;
    for (const TRecord& r : Records())
      if (r.Sender == ASender) result.push_back(r);
    return result;
  }
  // True when some line ends with AText; the first such record goes to ARecord.
  bool FindEnding(const std::string& AText, TRecord* ARecord = nullptr) {
    for (const TRecord& r : Records())
      if (r.Msg.size() >= AText.size() &&
          r.Msg.compare(r.Msg.size() - AText.size(), AText.size(), AText) == 0) {
        if (ARecord) *ARecord = r;
        return true;
      }
    return false;
  }
  // Waits until some line equals ALine (60 s at most: a bound for a hung run), serving
  // the main thread's queue when called on the main thread.
  bool WaitForLine(const std::string& ALine) {
    return WaitUntil([&] {
      for (const std::string& l : Lines())
        if (l == ALine) return true;
      return false;
    });
  }
  // Waits until some line ends with AText, as WaitForLine.
  bool WaitForEnding(const std::string& AText) {
    return WaitUntil([&] { return FindEnding(AText); });
  }
  // Waits until some message contains AText, as WaitForLine.
  bool WaitForText(const std::string& AText) {
    return WaitUntil([&] { return Contains(AText); });
  }

  // The next handler call blocks until Release; WaitUntilBlocked returns once it does.
  void BlockNextCall() {
    std::lock_guard<std::mutex> g(FLock);
    FBlock = true;
    FBlocked = false;
  }
  bool WaitUntilBlocked() {
    std::unique_lock<std::mutex> g(FLock);
    return FCond.wait_for(g, std::chrono::seconds(60), [this] { return FBlocked; });
  }
  void Release() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FBlock = false;
    }
    FCond.notify_all();
  }

 private:
  template <class F>
  static bool WaitUntil(F APredicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (APredicate()) return true;
      if (Platform::IsMainThread()) {
        Platform::ProcessMainThreadQueue();
        Platform::WaitForMainThreadWork(5);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return false;
  }

  static void Handler(void* AData, Platform::TObject* Sender, int AThreadID,
                      FFLoad::TLogLevel ALogLevel, const std::string& ALogMsg) {
    auto* self = static_cast<TLogRecorder*>(AData);
    const bool sync = FFLoad::VEDovedo->GetSynchronous();
    std::unique_lock<std::mutex> g(self->FLock);
    self->FRecords.push_back({Sender, AThreadID, ALogLevel, ALogMsg, Platform::IsMainThread(),
                              Platform::GetCurrentThreadId(), sync});
    if (self->FBlock && !self->FBlocked) {
      self->FBlocked = true;
      self->FCond.notify_all();
      self->FCond.wait(g, [self] { return !self->FBlock; });
    }
  }

  std::mutex FLock;
  std::condition_variable FCond;
  std::vector<TRecord> FRecords;
  bool FBlock = false;
  bool FBlocked = false;
};

}  // namespace LogRecorder
