#include "platform/WaveOut.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Unicode.h"

namespace Platform {

// An open device: the queue of written blocks and the thread that plays them.
struct TWaveOutDevice {
  std::unique_ptr<TWaveOutStream> Stream;
  TWaveOutProc Proc = nullptr;
  std::uintptr_t Instance = 0;

  std::mutex Lock;
  std::condition_variable Cond;
  std::deque<WAVEHDR*> Queue;   // written blocks in order; the front one is playing
  Cardinal FrontOffset = 0;     // bytes of the front block already played
  std::uint64_t Generation = 0; // counts resets: a block in play was returned meanwhile
  bool Paused = false;          // requested by the owner
  bool StreamPaused = false;    // applied to the stream
  bool DropPending = false;
  bool Closing = false;
  MMRESULT StreamError = MMSYSERR_NOERROR;  // a failed stream: every later write fails
  std::atomic<bool> Stop{false};            // interrupts a write in progress
  std::thread Thread;
};

namespace {

// ---- ALSA ------------------------------------------------------------------------------

class TAlsaWaveOutStream : public TWaveOutStream {
 public:
  TAlsaWaveOutStream(snd_pcm_t* APcm, Cardinal AFrameBytes, bool ACanPause)
      : FPcm(APcm), FFrameBytes(AFrameBytes), FCanPause(ACanPause) {}
  ~TAlsaWaveOutStream() override { snd_pcm_close(FPcm); }

  int Write(const void* AData, Cardinal ASize, const std::atomic<bool>& AStop) override {
    const snd_pcm_uframes_t frames = ASize / FFrameBytes;
    const char* data = static_cast<const char*>(AData);
    snd_pcm_uframes_t done = 0;
    while (done < frames && !AStop.load(std::memory_order_acquire)) {
      snd_pcm_sframes_t n = snd_pcm_writei(FPcm, data + done * FFrameBytes, frames - done);
      if (n == -EAGAIN) {
        // no room: wait a little for the device, then look at AStop again
        snd_pcm_wait(FPcm, 50);
        continue;
      }
      if (n < 0) {
        // an underrun (the owner paused a device that cannot pause, or was late) or a
        // suspend: recover and go on
        const int err = snd_pcm_recover(FPcm, static_cast<int>(n), 1);
        if (err < 0) return err;
        continue;
      }
      done += static_cast<snd_pcm_uframes_t>(n);
    }
    // a trailing partial frame cannot be played: it counts as taken
    return done == frames ? static_cast<int>(ASize) : static_cast<int>(done * FFrameBytes);
  }

  void SetPaused(bool APaused) override {
    if (!FCanPause) return;  // it runs dry instead, and recovers on the next write
    const snd_pcm_state_t state = snd_pcm_state(FPcm);
    if (APaused && state == SND_PCM_STATE_RUNNING)
      snd_pcm_pause(FPcm, 1);
    else if (!APaused && state == SND_PCM_STATE_PAUSED)
      snd_pcm_pause(FPcm, 0);
  }

  void Drop() override {
    snd_pcm_drop(FPcm);
    snd_pcm_prepare(FPcm);
  }

 private:
  snd_pcm_t* FPcm;
  Cardinal FFrameBytes;
  bool FCanPause;
};

class TAlsaWaveOutBackend : public TWaveOutBackend {
 public:
  explicit TAlsaWaveOutBackend(const std::string& ADevice) : FDevice(ADevice) {}

  Cardinal DeviceCount() override {
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, FDevice.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err == 0) {
      snd_pcm_close(pcm);
      return 1;
    }
    return err == -EBUSY ? 1 : 0;  // there, but in use
  }

  MMRESULT Open(const WAVEFORMATEX& AFormat, bool AQueryOnly,
                std::unique_ptr<TWaveOutStream>& AStream) override {
    snd_pcm_format_t format;
    switch (AFormat.wBitsPerSample) {
      case 8: format = SND_PCM_FORMAT_U8; break;
      case 16: format = SND_PCM_FORMAT_S16_LE; break;
      case 24: format = SND_PCM_FORMAT_S24_3LE; break;
      case 32: format = SND_PCM_FORMAT_S32_LE; break;
      default: return WAVERR_BADFORMAT;
    }
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, FDevice.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) return err;
    err = snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, AFormat.nChannels,
                             AFormat.nSamplesPerSec, 1, CLatencyUs);
    if (err < 0 || AQueryOnly) {
      snd_pcm_close(pcm);
      return err < 0 ? err : MMSYSERR_NOERROR;
    }
    bool can_pause = false;
    snd_pcm_hw_params_t* params = nullptr;
    if (snd_pcm_hw_params_malloc(&params) == 0) {
      if (snd_pcm_hw_params_current(pcm, params) == 0)
        can_pause = snd_pcm_hw_params_can_pause(params) != 0;
      snd_pcm_hw_params_free(params);
    }
    const Cardinal frame_bytes = static_cast<Cardinal>(AFormat.wBitsPerSample / 8) * AFormat.nChannels;
    AStream = std::make_unique<TAlsaWaveOutStream>(pcm, frame_bytes, can_pause);
    return MMSYSERR_NOERROR;
  }

  std::string ErrorText(MMRESULT ACode) override { return snd_strerror(ACode); }

 private:
  static constexpr unsigned CLatencyUs = 100000;
  std::string FDevice;
};

// ---- Backend selection -----------------------------------------------------------------

std::atomic<TWaveOutBackend*> gBackend{nullptr};

TWaveOutBackend* CurrentBackend() {
  if (TWaveOutBackend* backend = gBackend.load(std::memory_order_acquire)) return backend;
  static const std::unique_ptr<TWaveOutBackend> alsa = CreateAlsaWaveOutBackend("default");
  return alsa.get();
}

// ---- The device thread -----------------------------------------------------------------

void Notify(TWaveOutDevice* ADevice, Cardinal AMsg, WAVEHDR* AHeader) {
  if (ADevice->Proc)
    ADevice->Proc(ADevice, AMsg, ADevice->Instance, reinterpret_cast<std::uintptr_t>(AHeader), 0);
}

void MarkDone(WAVEHDR* AHeader) {
  AHeader->dwFlags = (AHeader->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

void PlayLoop(TWaveOutDevice* d) {
  std::vector<char> chunk;
  std::unique_lock<std::mutex> lock(d->Lock);
  for (;;) {
    if (d->Closing) break;
    if (d->DropPending) {
      d->DropPending = false;
      lock.unlock();
      d->Stream->Drop();
      lock.lock();
      continue;
    }
    if (d->Paused != d->StreamPaused) {
      const bool paused = d->Paused;
      d->StreamPaused = paused;
      lock.unlock();
      d->Stream->SetPaused(paused);
      lock.lock();
      continue;
    }
    if (d->Paused || d->Queue.empty()) {
      d->Cond.wait(lock);
      continue;
    }

    WAVEHDR* hdr = d->Queue.front();
    if (d->StreamError == MMSYSERR_NOERROR) {
      // Play from a copy: once a reset returned the block to its owner, the owner may
      // reuse or free it while the stream still works on the bytes.
      const Cardinal size = hdr->dwBufferLength - d->FrontOffset;
      chunk.assign(hdr->lpData + d->FrontOffset, hdr->lpData + hdr->dwBufferLength);
      const std::uint64_t generation = d->Generation;
      d->Stop.store(false, std::memory_order_release);
      lock.unlock();
      const int written = size ? d->Stream->Write(chunk.data(), size, d->Stop) : 0;
      lock.lock();
      if (generation != d->Generation) continue;  // returned by a reset meanwhile
      if (written < 0) {
        d->StreamError = written;  // the block is given back unplayed
      } else {
        d->FrontOffset += static_cast<Cardinal>(std::min<Cardinal>(written, size));
        if (d->FrontOffset < hdr->dwBufferLength) continue;  // interrupted
      }
    }

    d->Queue.pop_front();
    d->FrontOffset = 0;
    MarkDone(hdr);
    lock.unlock();
    Notify(d, WOM_DONE, hdr);
    lock.lock();
  }
}

bool ValidFormat(const WAVEFORMATEX* AFormat) {
  if (AFormat->wFormatTag != WAVE_FORMAT_PCM || AFormat->nChannels == 0 ||
      AFormat->nSamplesPerSec == 0)
    return false;
  switch (AFormat->wBitsPerSample) {
    case 8: case 16: case 24: case 32: return true;
    default: return false;
  }
}

const char* LayerErrorText(MMRESULT AError) {
  switch (AError) {
    case MMSYSERR_NOERROR: return "The command was carried out.";
    case MMSYSERR_ERROR: return "An unknown error occurred in the audio output.";
    case MMSYSERR_BADDEVICEID: return "The audio output device identifier is out of range.";
    case MMSYSERR_INVALHANDLE: return "The audio output handle is not valid.";
    case MMSYSERR_NODRIVER: return "There is no audio output device.";
    case MMSYSERR_NOMEM: return "Not enough memory for the audio output.";
    case MMSYSERR_BADERRNUM: return "The audio output error number is not known.";
    case MMSYSERR_INVALFLAG: return "An audio output flag is not valid.";
    case MMSYSERR_INVALPARAM: return "An audio output parameter is not valid.";
    case WAVERR_BADFORMAT: return "The audio output device does not support this wave format.";
    case WAVERR_STILLPLAYING: return "The audio output device is still playing.";
    case WAVERR_UNPREPARED: return "The wave header is not prepared.";
    default: return nullptr;
  }
}

}  // namespace

std::unique_ptr<TWaveOutBackend> CreateAlsaWaveOutBackend(const std::string& ADevice) {
  return std::make_unique<TAlsaWaveOutBackend>(ADevice);
}

TWaveOutBackend* SetWaveOutBackend(TWaveOutBackend* ABackend) {
  return gBackend.exchange(ABackend, std::memory_order_acq_rel);
}

Cardinal waveOutGetNumDevs() { return CurrentBackend()->DeviceCount(); }

MMRESULT waveOutOpen(HWAVEOUT* AWaveOut, Cardinal ADeviceID, const WAVEFORMATEX* AFormat,
                     TWaveOutProc AProc, std::uintptr_t AInstance, Cardinal AFlags) {
  if (!AFormat) return MMSYSERR_INVALPARAM;
  TWaveOutBackend* backend = CurrentBackend();
  if (ADeviceID != WAVE_MAPPER && ADeviceID >= backend->DeviceCount()) return MMSYSERR_BADDEVICEID;
  if (!ValidFormat(AFormat)) return WAVERR_BADFORMAT;

  std::unique_ptr<TWaveOutStream> stream;
  if (AFlags & WAVE_FORMAT_QUERY) return backend->Open(*AFormat, true, stream);

  const Cardinal callback = AFlags & 0x00070000;
  if (callback != CALLBACK_NULL && callback != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  if (!AWaveOut) return MMSYSERR_INVALPARAM;

  const MMRESULT err = backend->Open(*AFormat, false, stream);
  if (err != MMSYSERR_NOERROR) return err;

  TWaveOutDevice* device = new TWaveOutDevice;
  device->Stream = std::move(stream);
  if (callback == CALLBACK_FUNCTION) {
    device->Proc = AProc;
    device->Instance = AInstance;
  }
  device->Thread = std::thread(PlayLoop, device);
  *AWaveOut = device;
  Notify(device, WOM_OPEN, nullptr);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  if (!AHeader || ASize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> guard(AWaveOut->Lock);
  AHeader->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  if (!AHeader || ASize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> guard(AWaveOut->Lock);
  if (AHeader->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  AHeader->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  if (!AHeader || ASize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  std::lock_guard<std::mutex> guard(AWaveOut->Lock);
  if (AWaveOut->StreamError != MMSYSERR_NOERROR) return AWaveOut->StreamError;
  if (!(AHeader->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (AHeader->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  AHeader->dwFlags = (AHeader->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  AWaveOut->Queue.push_back(AHeader);
  AWaveOut->Cond.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT AWaveOut) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> guard(AWaveOut->Lock);
  AWaveOut->Paused = true;
  AWaveOut->Stop.store(true, std::memory_order_release);
  AWaveOut->Cond.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT AWaveOut) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  std::lock_guard<std::mutex> guard(AWaveOut->Lock);
  AWaveOut->Paused = false;
  AWaveOut->Cond.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT AWaveOut) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  std::deque<WAVEHDR*> returned;
  {
    std::lock_guard<std::mutex> guard(AWaveOut->Lock);
    returned.swap(AWaveOut->Queue);
    for (WAVEHDR* hdr : returned) MarkDone(hdr);
    AWaveOut->FrontOffset = 0;
    AWaveOut->Generation++;
    AWaveOut->DropPending = true;
    AWaveOut->Stop.store(true, std::memory_order_release);
    AWaveOut->Cond.notify_all();
  }
  for (WAVEHDR* hdr : returned) Notify(AWaveOut, WOM_DONE, hdr);
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT AWaveOut) {
  if (!AWaveOut) return MMSYSERR_INVALHANDLE;
  {
    std::lock_guard<std::mutex> guard(AWaveOut->Lock);
    if (!AWaveOut->Queue.empty()) return WAVERR_STILLPLAYING;
    AWaveOut->Closing = true;
    AWaveOut->Stop.store(true, std::memory_order_release);
    AWaveOut->Cond.notify_all();
  }
  AWaveOut->Thread.join();
  AWaveOut->Stream.reset();
  Notify(AWaveOut, WOM_CLOSE, nullptr);
  delete AWaveOut;
  return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorTextW(MMRESULT AError, char16_t* AText, Cardinal ASize) {
  if (!AText || ASize == 0) return MMSYSERR_INVALPARAM;
  std::string text;
  MMRESULT result = MMSYSERR_NOERROR;
  if (AError < 0) {
    text = CurrentBackend()->ErrorText(AError);
  } else if (const char* own = LayerErrorText(AError)) {
    text = own;
  } else {
    result = MMSYSERR_BADERRNUM;
  }
  const std::u16string wide = Utf8ToUtf16Lenient(text);
  const std::size_t n = std::min<std::size_t>(wide.size(), ASize - 1);
  std::memcpy(AText, wide.data(), n * sizeof(char16_t));
  AText[n] = 0;
  return result;
}

}  // namespace Platform
