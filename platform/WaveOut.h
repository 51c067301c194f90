// Wave-out audio: PCM blocks queued on an output device, one completion per block.
//
// The calls keep the shape the system was written against: a device is opened with a
// callback procedure, blocks (WAVEHDR) are prepared and written, the device plays them
// in order and reports each finished block with WOM_DONE; it can be paused, restarted
// and reset (every queued block is returned as done), and closed (WOM_CLOSE).
//
// Underneath is a TWaveOutBackend: ALSA by default (the "default" PCM), or whatever a
// host or a test installs with SetWaveOutBackend. Every call on a backend's stream is
// made on the device's own thread, which also delivers WOM_DONE of played blocks; a
// block counts as played once the whole of it was handed to the backend. WOM_OPEN and
// WOM_CLOSE, and the WOM_DONE of blocks returned by waveOutReset, come on the caller's
// thread. A callback procedure may only do small things (set an event, store a flag):
// it must not call back into this layer for the same device.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"

namespace Platform {

using Word = std::uint16_t;
using MMRESULT = int;

// 0 is success; positive codes are this layer's own; negative codes come from the
// backend (for ALSA the negative errno values of its calls) and the backend gives
// their text.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr Cardinal WAVE_MAPPER = 0xFFFFFFFF;
constexpr Cardinal WAVE_FORMAT_QUERY = 0x0001;
constexpr Cardinal CALLBACK_NULL = 0x00000000;
constexpr Cardinal CALLBACK_FUNCTION = 0x00030000;
constexpr Word WAVE_FORMAT_PCM = 1;

// Messages to the callback procedure; for WOM_DONE AParam1 is the WAVEHDR*.
constexpr Cardinal WOM_OPEN = 0x3BB;
constexpr Cardinal WOM_CLOSE = 0x3BC;
constexpr Cardinal WOM_DONE = 0x3BD;

// WAVEHDR.dwFlags
constexpr Cardinal WHDR_DONE = 0x01;
constexpr Cardinal WHDR_PREPARED = 0x02;
constexpr Cardinal WHDR_INQUEUE = 0x10;

constexpr Cardinal MAXERRORLENGTH = 256;

struct WAVEFORMATEX {
  Word wFormatTag;
  Word nChannels;
  Cardinal nSamplesPerSec;
  Cardinal nAvgBytesPerSec;
  Word nBlockAlign;
  Word wBitsPerSample;  // 8: unsigned samples; 16, 24, 32: signed little-endian
  Word cbSize;
};

// One block. Between waveOutWrite and its completion the device owns it: the caller
// may not change it then.
struct WAVEHDR {
  char* lpData;
  Cardinal dwBufferLength;
  Cardinal dwBytesRecorded;
  std::uintptr_t dwUser;
  Cardinal dwFlags;
  Cardinal dwLoops;
  WAVEHDR* lpNext;
  std::uintptr_t reserved;
};

using HWAVEOUT = struct TWaveOutDevice*;
using TWaveOutProc = void (*)(HWAVEOUT AWaveOut, Cardinal AMsg, std::uintptr_t AInstance,
                              std::uintptr_t AParam1, std::uintptr_t AParam2);

// ---- Backends --------------------------------------------------------------------------

// One open PCM output stream. All calls come from the device's thread.
class TWaveOutStream {
 public:
  virtual ~TWaveOutStream() = default;
  // Hands up to ASize bytes (whole sample frames) to the device, waiting while it has no
  // room. Returns the number of bytes taken (less when AStop became true meanwhile), or
  // a negative backend error.
  virtual int Write(const void* AData, Cardinal ASize, const std::atomic<bool>& AStop) = 0;
  // Holds or continues playing what the device already has.
  virtual void SetPaused(bool APaused) = 0;
  // Discards what the device holds and not yet played.
  virtual void Drop() = 0;
};

class TWaveOutBackend {
 public:
  virtual ~TWaveOutBackend() = default;
  // Number of output devices (0 or 1: the backend's one output).
  virtual Cardinal DeviceCount() = 0;
  // Opens a stream of AFormat; with AQueryOnly only checks that it would open.
  virtual MMRESULT Open(const WAVEFORMATEX& AFormat, bool AQueryOnly,
                        std::unique_ptr<TWaveOutStream>& AStream) = 0;
  // The text of one of the backend's (negative) error codes.
  virtual std::string ErrorText(MMRESULT ACode) = 0;
};

// An ALSA backend on the PCM device ADevice ("default", "null", "hw:0", ...).
std::unique_ptr<TWaveOutBackend> CreateAlsaWaveOutBackend(const std::string& ADevice = "default");

// Installs ABackend for the devices opened from now on (nullptr: ALSA "default") and
// returns the one it replaces. The caller keeps ABackend alive until every device opened
// on it is closed.
TWaveOutBackend* SetWaveOutBackend(TWaveOutBackend* ABackend);

// ---- Wave-out calls --------------------------------------------------------------------

Cardinal waveOutGetNumDevs();
// AFlags: WAVE_FORMAT_QUERY (only check the format; AWaveOut may be nullptr), or
// CALLBACK_NULL / CALLBACK_FUNCTION (AProc is called with AInstance).
MMRESULT waveOutOpen(HWAVEOUT* AWaveOut, Cardinal ADeviceID, const WAVEFORMATEX* AFormat,
                     TWaveOutProc AProc, std::uintptr_t AInstance, Cardinal AFlags);
MMRESULT waveOutPrepareHeader(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize);
MMRESULT waveOutUnprepareHeader(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize);
MMRESULT waveOutWrite(HWAVEOUT AWaveOut, WAVEHDR* AHeader, Cardinal ASize);
MMRESULT waveOutPause(HWAVEOUT AWaveOut);
MMRESULT waveOutRestart(HWAVEOUT AWaveOut);
// Stops playing and returns every queued block as done; the device stays paused when it
// was paused.
MMRESULT waveOutReset(HWAVEOUT AWaveOut);
// Fails with WAVERR_STILLPLAYING while blocks are queued.
MMRESULT waveOutClose(HWAVEOUT AWaveOut);
// The text of AError, at most ASize - 1 characters and a terminating 0.
MMRESULT waveOutGetErrorTextW(MMRESULT AError, char16_t* AText, Cardinal ASize);

}  // namespace Platform
