// Holds the calls of one bound entry point (a stub pointer of the run-time binding, such
// as SDL2Stubs::SDL_CreateRenderer) until released: a test stops a thread of the code
// under test at a known point inside it, and looks at what other threads can do
// meanwhile. Made before the objects whose threads it holds and freed after them (it
// puts the entry point back).
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

namespace StubGate {

template <auto& AStub, class F = std::remove_reference_t<decltype(AStub)>>
class TStubGate;

template <auto& AStub, class R, class... A>
class TStubGate<AStub, R (*)(A...)> {
 public:
  TStubGate() {
    std::lock_guard<std::mutex> g(FLock);
    FOriginal = AStub;
    AStub = &Call;
    FHolding = true;
    FHeld = false;
  }
  ~TStubGate() {
    Release();
    AStub = FOriginal;
  }
  TStubGate(const TStubGate&) = delete;
  TStubGate& operator=(const TStubGate&) = delete;
  // Declared after the objects whose threads the gate holds: whatever fails, the held
  // calls go on before those objects go.
  struct TReleaser {
    TStubGate& Gate;
    ~TReleaser() { Gate.Release(); }
  };

  // A call waits in the gate (60 s at most: a bound for a hung run).
  bool WaitHeld() {
    std::unique_lock<std::mutex> g(FLock);
    return FCond.wait_for(g, std::chrono::seconds(60), [] { return FHeld; });
  }
  // Lets the held call, and every later one, through.
  void Release() {
    {
      std::lock_guard<std::mutex> g(FLock);
      FHolding = false;
    }
    FCond.notify_all();
  }

 private:
  static R Call(A... AArgs) {
    {
      std::unique_lock<std::mutex> g(FLock);
      FHeld = true;
      FCond.notify_all();
      FCond.wait(g, [] { return !FHolding; });
    }
    return FOriginal(AArgs...);
  }
  static inline R (*FOriginal)(A...) = nullptr;
  static inline std::mutex FLock;
  static inline std::condition_variable FCond;
  static inline bool FHolding = false;
  static inline bool FHeld = false;
};

}  // namespace StubGate
