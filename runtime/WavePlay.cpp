#include "runtime/WavePlay.h"

#include <cstdlib>
#include <cstring>

#include "platform/Format.h"
#include "platform/Unicode.h"

namespace WavePlay {

using namespace Platform;

namespace {

// The smallest power of two not below n.
int PowerOfTwoAtLeast(int n) {
  int p = 1;
  while (p < n) p <<= 1;
  return p;
}

}  // namespace

// ---- TQueueThread --------------------------------------------------------------------

TQueueThread::TQueueThread(TWavePlayer* AOwner) : TThread(false), FOwner(AOwner) { Start(); }

TQueueThread::~TQueueThread() {
  Terminate();
  WaitFor();
}

void TQueueThread::Queue() { FQueueSignal.SetEvent(); }

void TQueueThread::TerminatedSet() { FQueueSignal.SetEvent(); }

void TQueueThread::Execute() {
  while (!Terminated()) {
    if (FQueueSignal.WaitFor(100) != TWaitResult::wrSignaled) continue;
    // every block finished meanwhile, not just one: completions are counted
    while (!Terminated() && FOwner->TakeCompletion()) FOwner->RefillBlock(FScratch);
  }
}

// ---- TWavePlayer ---------------------------------------------------------------------

// The queue thread starts with the first Open: every conversion task owns a player, and
// most never preview their sound.
TWavePlayer::TWavePlayer() = default;

TWavePlayer::~TWavePlayer() {
  // The thread first: it may be filling a block. Then the device, whose completions
  // signal the thread object, and the blocks last.
  if (FQueueThread) {
    FQueueThread->Terminate();
    FQueueThread->WaitFor();
  }
  Close();
  FreeBlocks();
  delete FQueueThread;
}

std::string TWavePlayer::LastErrMsg() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FLastErrMsg;
}

void TWavePlayer::SetWaveError(MMRESULT AError) {
  char16_t text[MAXERRORLENGTH + 1] = {};
  waveOutGetErrorTextW(AError, text, MAXERRORLENGTH);
  FLastErrMsg = Utf16ToUtf8Lenient(text);
}

void TWavePlayer::FreeBlocks() {
  for (int i = 0; i < CBlockCount; i++) {
    std::free(FWaveBuf[i]);
    FWaveBuf[i] = nullptr;
    FWaveHdr[i] = WAVEHDR{};
  }
}

void TWavePlayer::WaveOutProc(HWAVEOUT AWaveOut, Cardinal AMsg, std::uintptr_t AInstance,
                              std::uintptr_t /*AParam1*/, std::uintptr_t /*AParam2*/) {
  TWavePlayer* self = reinterpret_cast<TWavePlayer*>(AInstance);
  if (AMsg == WOM_CLOSE) {
    std::lock_guard<std::mutex> guard(self->FSignalLock);
    HWAVEOUT expected = AWaveOut;
    self->FWaveHandle.compare_exchange_strong(expected, nullptr);
  } else if (AMsg == WOM_DONE) {
    // blocks returned while closing find the handle cleared and are not refilled
    std::lock_guard<std::mutex> guard(self->FSignalLock);
    if (self->FWaveHandle.load(std::memory_order_relaxed) == AWaveOut) {
      self->FCompletions++;
      self->FQueueThread->Queue();
    }
  }
}

bool TWavePlayer::TakeCompletion() {
  std::lock_guard<std::mutex> guard(FSignalLock);
  if (FCompletions == 0) return false;
  FCompletions--;
  return true;
}

void TWavePlayer::RefillBlock(std::vector<std::uint8_t>& AScratch) {
  TFF_AudioSpecCallback callback;
  void* userdata;
  std::uint64_t session;
  {
    std::lock_guard<TCriticalSection> guard(FLock);
    if (!GetOpened()) return;
    callback = FReadBuffer;
    userdata = FUserData;
    session = FSession;
    AScratch.assign(static_cast<std::size_t>(FWaveBufSize), 0);
  }
  // Outside the lock: the callback may wait for its data, and Close must not wait for it.
  if (callback) callback(userdata, AScratch.data(), static_cast<int>(AScratch.size()));

  std::lock_guard<TCriticalSection> guard(FLock);
  if (!GetOpened() || session != FSession) return;  // closed (or reopened) meanwhile
  std::memcpy(FWaveBuf[FWaveBufIdx], AScratch.data(), AScratch.size());
  QueueBuffer();
}

bool TWavePlayer::QueueBuffer() {
  const HWAVEOUT handle = FWaveHandle.load(std::memory_order_acquire);
  if (!handle) return false;
  WAVEHDR& hdr = FWaveHdr[FWaveBufIdx];
  hdr.dwFlags = WHDR_PREPARED;
  const MMRESULT err = waveOutWrite(handle, &hdr, sizeof(WAVEHDR));
  if (err != MMSYSERR_NOERROR) {
    SetWaveError(err);
    Close();
    return false;
  }
  FWaveBufIdx = (FWaveBufIdx + 1) % CBlockCount;
  return true;
}

bool TWavePlayer::Open(PFF_AudioSpec desired, PFF_AudioSpec obtained) {
  std::lock_guard<TCriticalSection> guard(FLock);
  Close();
  // Before the device exists: its completions signal the thread. The handle's store
  // under FSignalLock below publishes the pointer to the device's callback.
  if (!FQueueThread) FQueueThread = new TQueueThread(this);

  if (waveOutGetNumDevs() == 0) {
    FLastErrMsg = "No wave audio playing devices found.";
    return false;
  }

  if (desired->freq == 0) desired->freq = 22050;
  if (desired->format == 0) desired->format = 0x8010;
  if (desired->channels == 0) desired->channels = 2;

  switch (desired->channels) {
    case 1: case 2: case 4: case 6: break;
    default:
      FLastErrMsg = Format("%d channels not support.", desired->channels);
      return false;
  }

  if (desired->samples == 0)
    desired->samples = static_cast<std::uint16_t>(PowerOfTwoAtLeast(desired->freq / 1000 * 46));
  desired->silence = 0;
  const int bits = desired->format & 0xFF;
  desired->size = static_cast<Cardinal>(((desired->format >> 3) & 31) * desired->channels *
                                        desired->samples);
  if (obtained) *obtained = *desired;
  FReadBuffer = desired->callback;
  FUserData = desired->userdata;

  FWaveFormat = WAVEFORMATEX{};
  FWaveFormat.wFormatTag = WAVE_FORMAT_PCM;
  FWaveFormat.nChannels = desired->channels;
  FWaveFormat.nSamplesPerSec = static_cast<Cardinal>(desired->freq);
  FWaveFormat.wBitsPerSample = static_cast<Word>(bits);
  FWaveFormat.nBlockAlign =
      static_cast<Word>(bits * desired->channels < 8 ? 1 : bits * desired->channels / 8);
  FWaveFormat.nAvgBytesPerSec = FWaveFormat.nSamplesPerSec * FWaveFormat.nBlockAlign;
  FWaveFormat.cbSize = 0;

  MMRESULT err = waveOutOpen(nullptr, WAVE_MAPPER, &FWaveFormat, nullptr, 0, WAVE_FORMAT_QUERY);
  if (err != MMSYSERR_NOERROR) {
    SetWaveError(err);
    return false;
  }

  FWaveBufSize = static_cast<int>(desired->size - desired->size % FWaveFormat.nBlockAlign);
  FreeBlocks();
  for (int i = 0; i < CBlockCount; i++) {
    FWaveBuf[i] = static_cast<char*>(std::calloc(FWaveBufSize > 0 ? FWaveBufSize : 1, 1));
    if (!FWaveBuf[i]) {
      FLastErrMsg = "Error allocating wave buffer memory.";
      return false;
    }
    FWaveHdr[i].lpData = FWaveBuf[i];
    FWaveHdr[i].dwBufferLength = static_cast<Cardinal>(FWaveBufSize);
    FWaveHdr[i].dwUser = static_cast<std::uintptr_t>(i);
  }
  FWaveBufIdx = 0;

  HWAVEOUT handle = nullptr;
  err = waveOutOpen(&handle, WAVE_MAPPER, &FWaveFormat, WaveOutProc,
                    reinterpret_cast<std::uintptr_t>(this), CALLBACK_FUNCTION);
  if (err != MMSYSERR_NOERROR) {
    SetWaveError(err);
    return false;
  }
  {
    std::lock_guard<std::mutex> signal(FSignalLock);
    FWaveHandle.store(handle, std::memory_order_release);
    FCompletions = 0;
  }
  FSession++;

  for (int i = 0; i < CBlockCount; i++) {
    err = waveOutPrepareHeader(handle, &FWaveHdr[i], sizeof(WAVEHDR));
    if (err != MMSYSERR_NOERROR) {
      SetWaveError(err);
      Close();
      return false;
    }
  }

  FPaused.store(true, std::memory_order_release);
  err = waveOutPause(handle);
  if (err != MMSYSERR_NOERROR) {
    SetWaveError(err);
    Close();  // not left open behind a failed Open
    return false;
  }

  for (int i = 0; i < CBlockCount; i++)
    if (!QueueBuffer()) return false;
  return true;
}

void TWavePlayer::Close() {
  std::lock_guard<TCriticalSection> guard(FLock);
  HWAVEOUT handle;
  {
    // cleared first: the blocks the reset returns are not refilled
    std::lock_guard<std::mutex> signal(FSignalLock);
    handle = FWaveHandle.exchange(nullptr, std::memory_order_acq_rel);
    FCompletions = 0;
  }
  if (!handle) return;
  FSession++;
  for (int i = 0; i < CBlockCount; i++) waveOutUnprepareHeader(handle, &FWaveHdr[i], sizeof(WAVEHDR));
  waveOutReset(handle);
  waveOutClose(handle);
}

void TWavePlayer::Pause() {
  std::lock_guard<TCriticalSection> guard(FLock);
  const HWAVEOUT handle = FWaveHandle.load(std::memory_order_acquire);
  if (handle && !Paused() && waveOutPause(handle) == MMSYSERR_NOERROR)
    FPaused.store(true, std::memory_order_release);
}

void TWavePlayer::Resume() {
  std::lock_guard<TCriticalSection> guard(FLock);
  const HWAVEOUT handle = FWaveHandle.load(std::memory_order_acquire);
  if (handle && Paused() && waveOutRestart(handle) == MMSYSERR_NOERROR)
    FPaused.store(false, std::memory_order_release);
}

}  // namespace WavePlay
