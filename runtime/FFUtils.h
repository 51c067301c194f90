// Small routines around the FFmpeg records: indexed access to C arrays, error codes and
// texts, captions of media and picture types, codec names, duration texts, picture
// buffer shims, a registry of host-supplied input and output formats with a class that
// exposes their options, and the mixing of audio samples with a volume.
#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"

namespace FFUtils {

// ---- Index routines -------------------------------------------------------------------

// The address of element AIndex of the C array AArray (no bounds check).
template <class T>
inline T* PtrIdx(T* AArray, int AIndex) {
  return AArray + AIndex;
}
// Element AIndex of the C array AArray itself (a copy for records).
template <class T>
inline std::remove_cv_t<T> PPtrIdx(T* AArray, int AIndex) {
  return AArray[AIndex];
}

// ---- Integers and error codes ---------------------------------------------------------

// The little-endian value at ABytes (any alignment).
inline std::uint32_t AV_RL32(const void* ABytes) {
  const auto* b = static_cast<const std::uint8_t*>(ABytes);
  return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
         std::uint32_t(b[3]) << 24;
}
inline std::uint64_t AV_RL64(const void* ABytes) {
  const auto* b = static_cast<const std::uint8_t*>(ABytes);
  return std::uint64_t(AV_RL32(b)) | std::uint64_t(AV_RL32(b + 4)) << 32;
}

// The error code of AErr: AErr itself when it is 0 or negative, else its negative.
// The FFmpeg headers define a macro of the same name (which always negates), so this
// one is reached in parentheses: (FFUtils::AVERROR)(e).
// AA + AB clamped to the Int64 range: timestamps that come from input files may lie
// anywhere in it, and a wrapped sum turns "the end" into "the start".
inline std::int64_t SatAdd64(std::int64_t AA, std::int64_t AB) {
  std::int64_t r;
  if (__builtin_add_overflow(AA, AB, &r))
    return AB > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  return r;
}

inline int(AVERROR)(int AErr) { return AErr <= 0 ? AErr : -AErr; }

// ---- Texts ------------------------------------------------------------------------------

// The decimal text of AValue and the result of Platform::Format, as C strings for the
// argument lists of log calls. Each text stays valid until the same thread has made
// seven more calls of these two routines.
const char* Int64ToStr(std::int64_t AValue);
const char* FormatStr(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));

// The value of AKey in ADict; ADefault when it is absent. With AUtf8 the value is decoded
// as UTF-8 (invalid bytes become U+FFFD), otherwise its bytes are taken as they are.
std::string GetMetaValue(const AVDictionary* ADict, const std::string& AKey, bool AUtf8,
                         const std::string& ADefault);

// "none" for codec id 0; the descriptor's name, with ALong "name(long name)". Without
// a descriptor (warning "Codec 0x%x is not in the full list.\n") the names of the
// encoder (AEncoder) or decoder for the id; "unknown_codec" when there is none.
std::string GetCodecName(const AVCodecParameters* APar, bool AEncoder, bool ALong);

// "Video", "Audio", "Data", "Subtitle", "Attachment", else "Unknown".
std::string AVMediaTypeCaption(AVMediaType AType);
// "Intra", "Predicted", "Bi-dir predicted", "S(GMC)-VOP MPEG4", "Switching Intra",
// "Switching Predicted", "BI type", else "Unknown".
std::string AVPictureTypeCaption(AVPictureType AType);

// The duration of one frame at AFrameRate in AV_TIME_BASE units; 40000 (25 frames per
// second) when numerator or denominator is 0.
std::int64_t GetFrameInterval(AVRational AFrameRate);

// "hh:mm:ss.zzz" of a duration in AV_TIME_BASE units, rounded to the millisecond;
// "N/A" for AV_NOPTS_VALUE. The second form takes the duration in ATimeBase units.
std::string DurationToStr(std::int64_t ADuration);
std::string DurationToStr(std::int64_t ADuration, AVRational ATimeBase);

// The library's texts of a timestamp for log lines (those of av_ts2str and
// av_ts2timestr): the count, or the time in seconds in ATimeBase; "NOPTS" for
// AV_NOPTS_VALUE.
std::string TsStr(std::int64_t ATs);
std::string TsTimeStr(std::int64_t ATs, AVRational ATimeBase);

// ---- Picture buffers --------------------------------------------------------------------

struct TAVPicture {
  std::uint8_t* data[AV_NUM_DATA_POINTERS];
  int linesize[AV_NUM_DATA_POINTERS];
};
using PAVPicture = TAVPicture*;

void av_picture_copy(TAVPicture* ADst, const TAVPicture* ASrc, AVPixelFormat APixFmt,
                     int AWidth, int AHeight);
// Points APicture into ABuffer for the format and size (alignment 1); the result of
// av_image_fill_arrays.
int avpicture_fill(TAVPicture* APicture, const std::uint8_t* ABuffer, AVPixelFormat APixFmt,
                   int AWidth, int AHeight);
// The buffer size of a picture of that format and size (alignment 1).
int avpicture_get_size(AVPixelFormat APixFmt, int AWidth, int AHeight);

// ---- Custom formats ---------------------------------------------------------------------

// Registers a host-supplied format record (not copied; it must outlive its use) and
// returns its index; a record whose name pointer is registered already keeps its index.
int RegisterInputFormat(const AVInputFormat* AFormat);
int RegisterOutputFormat(const AVOutputFormat* AFormat);
// The first registered format named exactly AName; nullptr for none or a nullptr name.
const AVInputFormat* FindInputFormat(const char* AName);
const AVOutputFormat* FindOutputFormat(const char* AName);
// The class "CustomFormatContext" for format contexts of custom formats: its option
// "use_wallclock_as_timestamps" and, as children, the private classes of the
// registered formats.
const AVClass* GetCustomFormatContextClass();

// ---- Audio mixing -----------------------------------------------------------------------

// 0 adds nothing, 128 adds the source unchanged; values outside 0..128 are limited to it.
using TAudioVolume = int;

// Adds ALength bytes of source samples into the destination samples at AVolume,
// limiting each sum to the sample range.
void MixAudioU8(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                TAudioVolume AVolume);
void MixAudioS16(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                 TAudioVolume AVolume);
void MixAudioS32(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                 TAudioVolume AVolume);

}  // namespace FFUtils
