// The common ancestor of the components (decoder, encoder, player, logger) and the
// value and event types that the components and their hosts share.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

#include "platform/Bitmap.h"
#include "platform/Method.h"
#include "platform/Object.h"
#include "runtime/FFUtils.h"

namespace FFBaseComponent {

using FFUtils::PAVPicture;
using Platform::TObject;

// ---- Shared value types ----------------------------------------------------------------

enum TPlayState : std::uint8_t { psPlay, psPause, psResume, psStep, psStop, psEnd };

enum TErrorType : std::uint8_t { errUnknow, errVideoFilters };

// An audio volume from 0 (silent) to 128 (full volume).
using TAudioVolume = std::uint8_t;

enum TSeekFlag : std::uint8_t { sfBackward, sfByte, sfAny, sfFrame };

// A set of seek flags (one bit per TSeekFlag).
class TSeekFlags {
 public:
  constexpr TSeekFlags() = default;
  constexpr TSeekFlags(std::initializer_list<TSeekFlag> AFlags) {
    for (TSeekFlag f : AFlags) FBits |= Bit(f);
  }
  constexpr bool Contains(TSeekFlag AFlag) const { return (FBits & Bit(AFlag)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr void Include(TSeekFlag AFlag) { FBits |= Bit(AFlag); }
  constexpr void Exclude(TSeekFlag AFlag) { FBits &= static_cast<std::uint8_t>(~Bit(AFlag)); }
  constexpr bool operator==(const TSeekFlags&) const = default;

 private:
  static constexpr std::uint8_t Bit(TSeekFlag AFlag) {
    return static_cast<std::uint8_t>(1u << AFlag);
  }
  std::uint8_t FBits = 0;
};

// FFmpeg's seek flag bits of AFlags: AVSEEK_FLAG_BACKWARD 1, AVSEEK_FLAG_BYTE 2,
// AVSEEK_FLAG_ANY 4, AVSEEK_FLAG_FRAME 8, or-ed together.
int SeekFlagsToInt(TSeekFlags AFlags);

// ---- Shared event types ----------------------------------------------------------------
// Times (APTS, ADuration) are microseconds.

using TBeforeFindStreamInfoEvent =
    Platform::TMethod<void(TObject* Sender, AVFormatContext* AFormatContext)>;
using TFileOpenEvent =
    Platform::TMethod<void(TObject* Sender, const std::int64_t& ADuration, int AFrameWidth,
                           int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
using TAudioHookEvent =
    Platform::TMethod<void(TObject* Sender, const std::int64_t& APTS, std::uint8_t* ASample,
                           int ASize, int ASampleRate, int AChannels)>;
using TVideoHookEvent = Platform::TMethod<void(TObject* Sender, Platform::TBitmap* ABitmap,
                                               const std::int64_t& APTS, bool& AUpdate)>;
using TFrameHookEvent =
    Platform::TMethod<void(TObject* Sender, PAVPicture APicture, AVPixelFormat APixFmt,
                           int AWidth, int AHeight, const std::int64_t& APTS)>;
using TPositionEvent = Platform::TMethod<void(TObject* Sender, const std::int64_t& APTS)>;
using TPosition2Event = Platform::TMethod<void(TObject* Sender, const std::int64_t& APTS,
                                               const std::int64_t& ABytes)>;
using TPlayStateEvent = Platform::TMethod<void(TObject* Sender, TPlayState APlayState)>;
using TErrorNotifyEvent =
    Platform::TMethod<void(TObject* Sender, TErrorType AError, const std::string& AMessage)>;

// ---- The component base ----------------------------------------------------------------

// The product's title with its version, and its notice line.
const std::string& ProductTitle();
const std::string& ProductNotice();

// The floating-point control state of the process at start-up: the x87 control word and
// the SSE control and status register (MXCSR).
struct TFPUControlWord {
  std::uint16_t X87;
  std::uint32_t MXCSR;
};
TFPUControlWord SavedFPUControlWord();

class TFFBaseComponent : public Platform::TComponent {
 public:
  explicit TFFBaseComponent(Platform::TComponent* AOwner = nullptr);
  ~TFFBaseComponent() override;

  // Published.
  const std::string& GetAbout() const { return FAbout; }
  void SetAbout(const std::string& AValue) { FAbout = AValue; }
  const std::string& GetVersion() const { return FVersion; }

  const std::string& GetProductTitle() const { return FProductTitle; }

  // Read (and connect) and write time-outs of network I/O, in milliseconds. The base
  // only stores them; descendants pass them on.
  int ReadTimeout = 30000;
  int WriteTimeout = 30000;
  virtual void SetReadTimeout(int AValue);
  virtual void SetWriteTimeout(int AValue);

  // Masks the floating-point exceptions of the calling thread, on the first call of the
  // process only; later calls just count. Loads the x87 control word 0x133F (invalid
  // operation, denormal operand, division by zero, overflow, underflow and precision
  // masked; 64-bit precision; rounding to nearest) and, as x86-64 code computes with SSE,
  // sets the same six masks in MXCSR with rounding to nearest (flush-to-zero and
  // denormals-are-zero stay as they are).
  static void MaskFPUExceptions();

 private:
  std::string FAbout;
  std::string FVersion;
  std::string FProductTitle;
};

// Module initialization and finalization of the unit (counted: every source that includes
// this header holds one instance, so the unit is initialized before the first of them).
struct TUnitInit {
  TUnitInit();
  ~TUnitInit();
};
static TUnitInit GFFBaseComponentInit;

}  // namespace FFBaseComponent
