// PCM playback on the default wave-out device in pull mode: the owner supplies a
// callback, and a thread of the player asks it for the next block whenever the device
// has finished one, keeping four blocks in flight.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "platform/Sync.h"
#include "platform/Threads.h"
#include "platform/WaveOut.h"

namespace WavePlay {

using Platform::Cardinal;

// Fills len bytes at stream.
using TFF_AudioSpecCallback = void (*)(void* userdata, std::uint8_t* stream, int len);

struct TFF_AudioSpec {
  std::int32_t freq;        // samples per second
  std::uint16_t format;     // bits 0-7: bits per sample; bit 15: signed (0x8010: signed 16-bit)
  std::uint8_t channels;
  std::uint8_t silence;
  std::uint16_t samples;    // sample frames per block
  std::uint16_t padding;
  Cardinal size;            // bytes per block
  TFF_AudioSpecCallback callback;
  void* userdata;
};
using PFF_AudioSpec = TFF_AudioSpec*;

class TWavePlayer;

// Refills the player's blocks in the order the device finishes them.
class TQueueThread : public Platform::TThread {
 public:
  explicit TQueueThread(TWavePlayer* AOwner);
  ~TQueueThread() override;
  // A block has finished: wake the thread.
  void Queue();

 protected:
  void Execute() override;
  void TerminatedSet() override;

 private:
  TWavePlayer* FOwner;
  Platform::TEvent FQueueSignal{false, false};  // auto-reset
  std::vector<std::uint8_t> FScratch;           // what the owner's callback fills
};

class TWavePlayer : public Platform::TObject {
 public:
  static constexpr int CBlockCount = 4;

  TWavePlayer();
  ~TWavePlayer() override;
  TWavePlayer(const TWavePlayer&) = delete;
  TWavePlayer& operator=(const TWavePlayer&) = delete;

  // Opens the device paused with four silent blocks queued. Zero fields of desired take
  // defaults (22050 Hz, signed 16-bit, 2 channels, about 46 ms of samples); obtained
  // (when given) receives the format in use. False with LastErrMsg on failure.
  bool Open(PFF_AudioSpec desired, PFF_AudioSpec obtained);
  // Closes the device; no call of the callback begins afterwards. A call already under
  // way is not waited for: its block is dropped.
  void Close();
  void Pause();
  void Resume();

  bool GetOpened() const { return FWaveHandle.load(std::memory_order_acquire) != nullptr; }
  bool Opened() const { return GetOpened(); }
  bool Paused() const { return FPaused.load(std::memory_order_acquire); }
  std::string LastErrMsg() const;

 private:
  friend class TQueueThread;

  static void WaveOutProc(Platform::HWAVEOUT AWaveOut, Cardinal AMsg, std::uintptr_t AInstance,
                          std::uintptr_t AParam1, std::uintptr_t AParam2);
  void SetWaveError(Platform::MMRESULT AError);
  bool QueueBuffer();
  void FreeBlocks();
  // Queue thread: takes one counted completion.
  bool TakeCompletion();
  // Queue thread: asks the callback for the next block and submits it.
  void RefillBlock(std::vector<std::uint8_t>& AScratch);

  // Made by the first Open (under FLock) and kept until destruction.
  TQueueThread* FQueueThread = nullptr;
  std::atomic<bool> FPaused{false};
  TFF_AudioSpecCallback FReadBuffer = nullptr;
  void* FUserData = nullptr;
  std::string FLastErrMsg;
  std::atomic<Platform::HWAVEOUT> FWaveHandle{nullptr};
  Platform::WAVEFORMATEX FWaveFormat{};
  Platform::WAVEHDR FWaveHdr[CBlockCount]{};
  char* FWaveBuf[CBlockCount]{};
  int FWaveBufSize = 0;
  int FWaveBufIdx = 0;

  // Serialises Open, Close, Pause, Resume and the submitting of refilled blocks.
  mutable Platform::TCriticalSection FLock;
  // Guards the handle's clearing against the device's callback, and the count of
  // finished blocks not yet refilled (one per completion: none is lost when several
  // arrive while the owner's callback runs).
  std::mutex FSignalLock;
  int FCompletions = 0;
  std::uint64_t FSession = 0;  // counts openings: a refill of an earlier one is dropped
};

}  // namespace WavePlay
