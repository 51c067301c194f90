#include "runtime/FFUtils.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/Format.h"
#include "runtime/FFUTF8.h"

namespace FFUtils {

namespace {

// A few texts per thread for log arguments (see Int64ToStr).
constexpr int CTextRing = 8;

std::string& NextRingText() {
  thread_local std::array<std::string, CTextRing> texts;
  thread_local int next = 0;
  std::string& s = texts[next];
  next = (next + 1) % CTextRing;
  return s;
}

std::string Trim(const std::string& AText) {
  std::size_t b = 0, e = AText.size();
  while (b < e && static_cast<unsigned char>(AText[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(AText[e - 1]) <= ' ') --e;
  return AText.substr(b, e - b);
}

std::string NameWithLong(const char* AName, const char* ALongName, bool ALong) {
  std::string name = AName ? AName : "";
  if (ALong && ALongName) {
    const std::string long_name = Trim(ALongName);
    if (!long_name.empty()) return Platform::Format("%s(%s)", name.c_str(), long_name.c_str());
  }
  return name;
}

}  // namespace

const char* Int64ToStr(std::int64_t AValue) {
  std::string& s = NextRingText();
  s = std::to_string(AValue);
  return s.c_str();
}

const char* FormatStr(const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  std::string& s = NextRingText();
  s = Platform::FormatV(AFormat, args);
  va_end(args);
  return s.c_str();
}

std::string GetMetaValue(const AVDictionary* ADict, const std::string& AKey, bool AUtf8,
                         const std::string& ADefault) {
  using AVUtilStubs::av_dict_get;
  const AVDictionaryEntry* t = av_dict_get(ADict, AKey.c_str(), nullptr, 0);
  if (!t || !t->value) return ADefault;
  // The system's 8-bit code page is UTF-8 too: without AUtf8 the bytes are taken as they are.
  return AUtf8 ? FFUTF8::my_utf8_decode(t->value) : std::string(t->value);
}

std::string GetCodecName(const AVCodecParameters* APar, bool AEncoder, bool ALong) {
  using AVCodecStubs::avcodec_descriptor_get;
  using AVCodecStubs::avcodec_find_decoder;
  using AVCodecStubs::avcodec_find_encoder;
  using AVUtilStubs::av_log;
  if (APar->codec_id == AV_CODEC_ID_NONE) return "none";
  if (const AVCodecDescriptor* desc = avcodec_descriptor_get(APar->codec_id))
    return NameWithLong(desc->name, desc->long_name, ALong);
  av_log(nullptr, AV_LOG_WARNING, "Codec 0x%x is not in the full list.\n",
         static_cast<unsigned>(APar->codec_id));
  const AVCodec* codec =
      AEncoder ? avcodec_find_encoder(APar->codec_id) : avcodec_find_decoder(APar->codec_id);
  if (!codec) return "unknown_codec";
  return NameWithLong(codec->name, codec->long_name, ALong);
}

std::string AVMediaTypeCaption(AVMediaType AType) {
  switch (AType) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
  }
}

std::string AVPictureTypeCaption(AVPictureType AType) {
  switch (AType) {
    case AV_PICTURE_TYPE_I: return "Intra";
    case AV_PICTURE_TYPE_P: return "Predicted";
    case AV_PICTURE_TYPE_B: return "Bi-dir predicted";
    case AV_PICTURE_TYPE_S: return "S(GMC)-VOP MPEG4";
    case AV_PICTURE_TYPE_SI: return "Switching Intra";
    case AV_PICTURE_TYPE_SP: return "Switching Predicted";
    case AV_PICTURE_TYPE_BI: return "BI type";
    default: return "Unknown";
  }
}

std::int64_t GetFrameInterval(AVRational AFrameRate) {
  if (AFrameRate.num != 0 && AFrameRate.den != 0)
    return std::int64_t(AV_TIME_BASE) * AFrameRate.den / AFrameRate.num;
  return AV_TIME_BASE / 25;
}

std::string DurationToStr(std::int64_t ADuration) {
  if (ADuration == AV_NOPTS_VALUE) return "N/A";
  // half a millisecond, so that the millisecond shown is the nearest one
  constexpr std::int64_t CHalfMs = AV_TIME_BASE / 2000;
  if (ADuration <= std::numeric_limits<std::int64_t>::max() - CHalfMs) ADuration += CHalfMs;
  const auto secs = static_cast<std::int32_t>(ADuration / AV_TIME_BASE);
  const std::int64_t rest = ADuration % AV_TIME_BASE;
  return Platform::Format("%.2d:%.2d:%.2d.%.3d", secs / 3600, (secs / 60) % 60, secs % 60,
                          static_cast<int>(rest * 1000 / AV_TIME_BASE));
}

std::string TsStr(std::int64_t ATs) {
  if (ATs == AV_NOPTS_VALUE) return "NOPTS";
  return std::to_string(ATs);
}

std::string TsTimeStr(std::int64_t ATs, AVRational ATimeBase) {
  char buf[AV_TS_MAX_STRING_SIZE] = {};
  return AVUtilStubs::av_ts_make_time_string2(buf, ATs, ATimeBase);
}

std::string DurationToStr(std::int64_t ADuration, AVRational ATimeBase) {
  using AVUtilStubs::av_rescale_q;
  if (ADuration != AV_NOPTS_VALUE && av_cmp_q(ATimeBase, AVRational{1, AV_TIME_BASE}) != 0)
    ADuration = av_rescale_q(ADuration, ATimeBase, AVRational{1, AV_TIME_BASE});
  return DurationToStr(ADuration);
}

// ---- Picture buffers ------------------------------------------------------------------

void av_picture_copy(TAVPicture* ADst, const TAVPicture* ASrc, AVPixelFormat APixFmt,
                     int AWidth, int AHeight) {
  using AVUtilStubs::av_image_copy;
  av_image_copy(ADst->data, ADst->linesize, ASrc->data, ASrc->linesize, APixFmt, AWidth,
                AHeight);
}

int avpicture_fill(TAVPicture* APicture, const std::uint8_t* ABuffer, AVPixelFormat APixFmt,
                   int AWidth, int AHeight) {
  using AVUtilStubs::av_image_fill_arrays;
  return av_image_fill_arrays(APicture->data, APicture->linesize, ABuffer, APixFmt, AWidth,
                              AHeight, 1);
}

int avpicture_get_size(AVPixelFormat APixFmt, int AWidth, int AHeight) {
  using AVUtilStubs::av_image_get_buffer_size;
  return av_image_get_buffer_size(APixFmt, AWidth, AHeight, 1);
}

// ---- Custom formats -------------------------------------------------------------------

namespace {

struct TFormatRegistry {
  std::mutex Lock;
  std::vector<const AVInputFormat*> Inputs;
  std::vector<const AVOutputFormat*> Outputs;
};

TFormatRegistry& Registry() {
  static TFormatRegistry registry;
  return registry;
}

template <class F>
int RegisterFormat(std::vector<const F*>& AList, const F* AFormat) {
  std::lock_guard<std::mutex> guard(Registry().Lock);
  for (std::size_t i = 0; i < AList.size(); ++i)
    if (AList[i]->name == AFormat->name) return static_cast<int>(i);
  AList.push_back(AFormat);
  return static_cast<int>(AList.size() - 1);
}

template <class F>
const F* FindFormat(const std::vector<const F*>& AList, const char* AName) {
  if (!AName) return nullptr;
  std::lock_guard<std::mutex> guard(Registry().Lock);
  for (const F* f : AList)
    if (f->name && std::strcmp(f->name, AName) == 0) return f;
  return nullptr;
}

const char* CustomItemName(void* ACtx) {
  const auto* s = static_cast<const AVFormatContext*>(ACtx);
  if (s->iformat) return s->iformat->name;
  if (s->oformat) return s->oformat->name;
  return "NULL";
}

AVClassCategory CustomCategory(void* ACtx) {
  const auto* s = static_cast<const AVFormatContext*>(ACtx);
  return s->iformat ? AV_CLASS_CATEGORY_DEMUXER : AV_CLASS_CATEGORY_MUXER;
}

void* CustomChildNext(void* AObj, void* APrev) {
  auto* s = static_cast<AVFormatContext*>(AObj);
  if (!APrev && s->priv_data &&
      ((s->iformat && s->iformat->priv_class) || (s->oformat && s->oformat->priv_class)))
    return s->priv_data;
  if (s->pb && s->pb->av_class && APrev != s->pb) return s->pb;
  return nullptr;
}

// The iterator counts the private classes handed out so far: output formats first.
const AVClass* CustomChildClassIterate(void** AIter) {
  std::lock_guard<std::mutex> guard(Registry().Lock);
  auto pos = reinterpret_cast<std::uintptr_t>(*AIter);
  std::uintptr_t n = 0;
  for (const AVOutputFormat* f : Registry().Outputs)
    if (f->priv_class && n++ == pos) {
      *AIter = reinterpret_cast<void*>(pos + 1);
      return f->priv_class;
    }
  for (const AVInputFormat* f : Registry().Inputs)
    if (f->priv_class && n++ == pos) {
      *AIter = reinterpret_cast<void*>(pos + 1);
      return f->priv_class;
    }
  return nullptr;
}

const AVOption CCustomOptions[] = {
    {"use_wallclock_as_timestamps", "use wallclock as timestamps",
     static_cast<int>(offsetof(AVFormatContext, use_wallclock_as_timestamps)),
     AV_OPT_TYPE_BOOL, {.i64 = 0}, 0, 1, AV_OPT_FLAG_DECODING_PARAM, nullptr},
    {},
};

const AVClass CCustomFormatContextClass = [] {
  AVClass c{};
  c.class_name = "CustomFormatContext";
  c.item_name = CustomItemName;
  c.option = CCustomOptions;
  c.version = LIBAVUTIL_VERSION_INT;
  c.category = AV_CLASS_CATEGORY_MUXER;
  c.get_category = CustomCategory;
  c.child_next = CustomChildNext;
  c.child_class_iterate = CustomChildClassIterate;
  return c;
}();

}  // namespace

int RegisterInputFormat(const AVInputFormat* AFormat) {
  return RegisterFormat(Registry().Inputs, AFormat);
}

int RegisterOutputFormat(const AVOutputFormat* AFormat) {
  return RegisterFormat(Registry().Outputs, AFormat);
}

const AVInputFormat* FindInputFormat(const char* AName) {
  return FindFormat(Registry().Inputs, AName);
}

const AVOutputFormat* FindOutputFormat(const char* AName) {
  return FindFormat(Registry().Outputs, AName);
}

const AVClass* GetCustomFormatContextClass() { return &CCustomFormatContextClass; }

// ---- Audio mixing -----------------------------------------------------------------------

namespace {

// Entry i is i - 128 limited to 0..254: the U8 sum of two samples around the middle 128.
const std::array<std::uint8_t, 512> CMixU8 = [] {
  std::array<std::uint8_t, 512> t{};
  for (int i = 0; i < 512; ++i) t[i] = static_cast<std::uint8_t>(std::clamp(i - 128, 0, 254));
  return t;
}();

int ClampVolume(TAudioVolume AVolume) { return std::clamp(AVolume, 0, 128); }

}  // namespace

void MixAudioU8(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                TAudioVolume AVolume) {
  const int volume = ClampVolume(AVolume);
  if (volume == 0) return;
  for (std::uint32_t i = 0; i < ALength; ++i) {
    if (volume == 128)
      ADst[i] = CMixU8[ADst[i] + ASrc[i]];
    else
      ADst[i] = CMixU8[ADst[i] + (int(ASrc[i]) - 128) * volume / 128 + 128];
  }
}

void MixAudioS16(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                 TAudioVolume AVolume) {
  const int volume = ClampVolume(AVolume);
  if (volume == 0) return;
  for (std::uint32_t i = 0; i < ALength / 2; ++i) {
    std::int16_t s, d;
    std::memcpy(&s, ASrc + 2 * i, 2);
    std::memcpy(&d, ADst + 2 * i, 2);
    const int add = volume == 128 ? s : s * volume / 128;
    const auto sum = static_cast<std::int16_t>(std::clamp(add + d, -32768, 32767));
    std::memcpy(ADst + 2 * i, &sum, 2);
  }
}

void MixAudioS32(const std::uint8_t* ASrc, std::uint8_t* ADst, std::uint32_t ALength,
                 TAudioVolume AVolume) {
  const int volume = ClampVolume(AVolume);
  if (volume == 0) return;
  for (std::uint32_t i = 0; i < ALength / 4; ++i) {
    std::int32_t s, d;
    std::memcpy(&s, ASrc + 4 * i, 4);
    std::memcpy(&d, ADst + 4 * i, 4);
    const std::int64_t add = volume == 128 ? s : std::int64_t(s) * volume / 128;
    const auto sum = static_cast<std::int32_t>(
        std::clamp<std::int64_t>(add + d, INT32_MIN, INT32_MAX));
    std::memcpy(ADst + 4 * i, &sum, 4);
  }
}

}  // namespace FFUtils
