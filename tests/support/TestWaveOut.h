// A wave-out backend for tests: a device that takes bytes only as far as the test
// grants them, and records what it took.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveOut.h"

namespace TestWaveOut {

class TTestWaveOutBackend : public Platform::TWaveOutBackend {
 public:
  static constexpr std::int64_t CUnlimited = -1;
  static constexpr Platform::MMRESULT CTestError = -1000;

  // Settings, to be changed before a device is opened.
  Platform::Cardinal Devices = 1;
  Platform::MMRESULT OpenError = Platform::MMSYSERR_NOERROR;  // negative: Open fails

  // Lets the device take ABytes more (CUnlimited: everything from now on).
  void Grant(std::int64_t ABytes) {
    std::lock_guard<std::mutex> g(FLock);
    if (ABytes == CUnlimited || FCredit == CUnlimited)
      FCredit = CUnlimited;
    else
      FCredit += ABytes;
    FCond.notify_all();
  }

  std::int64_t BytesTaken() {
    std::lock_guard<std::mutex> g(FLock);
    return static_cast<std::int64_t>(FTaken.size());
  }
  std::vector<std::uint8_t> Taken() {
    std::lock_guard<std::mutex> g(FLock);
    return FTaken;
  }
  int Opens() {
    std::lock_guard<std::mutex> g(FLock);
    return FOpens;
  }
  Platform::WAVEFORMATEX LastFormat() {
    std::lock_guard<std::mutex> g(FLock);
    return FLastFormat;
  }

  // True once APredicate holds (checked whenever the device takes bytes, and at least
  // every 10 ms), false after ATimeoutMs.
  bool WaitUntil(const std::function<bool()>& APredicate, int ATimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (!APredicate()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::unique_lock<std::mutex> g(FLock);
      FCond.wait_for(g, std::chrono::milliseconds(10));
    }
    return true;
  }

  // ---- TWaveOutBackend

  Platform::Cardinal DeviceCount() override { return Devices; }

  Platform::MMRESULT Open(const Platform::WAVEFORMATEX& AFormat, bool AQueryOnly,
                          std::unique_ptr<Platform::TWaveOutStream>& AStream) override {
    if (OpenError != Platform::MMSYSERR_NOERROR) return OpenError;
    if (AQueryOnly) return Platform::MMSYSERR_NOERROR;
    std::lock_guard<std::mutex> g(FLock);
    FLastFormat = AFormat;
    FOpens++;
    AStream = std::make_unique<TStream>(this);
    return Platform::MMSYSERR_NOERROR;
  }

  std::string ErrorText(Platform::MMRESULT ACode) override {
    return ACode == CTestError ? "test device failure" : "unknown test device error";
  }

 private:
  class TStream : public Platform::TWaveOutStream {
   public:
    explicit TStream(TTestWaveOutBackend* AOwner) : FOwner(AOwner) {}
    int Write(const void* AData, Platform::Cardinal ASize,
              const std::atomic<bool>& AStop) override {
      const std::uint8_t* data = static_cast<const std::uint8_t*>(AData);
      std::unique_lock<std::mutex> g(FOwner->FLock);
      Platform::Cardinal taken = 0;
      while (taken < ASize) {
        if (AStop.load()) break;
        if (FOwner->FCredit == 0) {
          // AStop is not tied to the condition variable: look again now and then
          FOwner->FCond.wait_for(g, std::chrono::milliseconds(5));
          continue;
        }
        std::int64_t n = ASize - taken;
        if (FOwner->FCredit != CUnlimited) {
          n = std::min<std::int64_t>(n, FOwner->FCredit);
          FOwner->FCredit -= n;
        }
        FOwner->FTaken.insert(FOwner->FTaken.end(), data + taken, data + taken + n);
        taken += static_cast<Platform::Cardinal>(n);
        FOwner->FCond.notify_all();
      }
      return static_cast<int>(taken);
    }
    void SetPaused(bool) override {}
    void Drop() override {}

   private:
    TTestWaveOutBackend* FOwner;
  };

  std::mutex FLock;
  std::condition_variable FCond;
  std::int64_t FCredit = 0;
  std::vector<std::uint8_t> FTaken;
  int FOpens = 0;
  Platform::WAVEFORMATEX FLastFormat{};
};

// Installs a backend for the lifetime of the object.
class TBackendScope {
 public:
  explicit TBackendScope(Platform::TWaveOutBackend* ABackend)
      : FPrevious(Platform::SetWaveOutBackend(ABackend)) {}
  ~TBackendScope() { Platform::SetWaveOutBackend(FPrevious); }
  TBackendScope(const TBackendScope&) = delete;
  TBackendScope& operator=(const TBackendScope&) = delete;

 private:
  Platform::TWaveOutBackend* FPrevious;
};

}  // namespace TestWaveOut
