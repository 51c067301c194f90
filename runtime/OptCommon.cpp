#include "runtime/OptCommon.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"
#include "runtime/SwScaleStubs.h"

namespace OptCommon {

namespace {

using FFLoad::FFLoader;
using FFLoad::TLibrary;

constexpr int CIndent = 1;         // indent the lines by two blanks
constexpr int CVersion = 2;        // library lines: the versions
constexpr int CConfiguration = 4;  // library lines: the configurations
constexpr int CNotice = 8;         // program lines: the notices

struct TLibraryLine {
  TLibrary Lib;
  const char* Name;
};
const TLibraryLine CLibraryLines[] = {
    {FFLoad::avUtil, "avutil"},     {FFLoad::avCodec, "avcodec"},   {FFLoad::avFormat, "avformat"},
    {FFLoad::avDevice, "avdevice"}, {FFLoad::avFilter, "avfilter"}, {FFLoad::swScale, "swscale"},
    {FFLoad::swResample, "swresample"}};

const char* IndentOf(int AFlags) { return (AFlags & CIndent) ? "  " : ""; }

void AddProgramLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  std::string title = FFLoad::CBannerTitle;
  if (AFlags & CNotice) title += std::string(" ") + FFLoad::CBannerNotice;
  AList.Add(title);
  AList.Add(Platform::Format("%sbuilt with %s", indent, MyUtils::GetCompiler().c_str()));
  std::string ffmpeg = "FFmpeg library version 8.0";
  if (AFlags & CNotice) ffmpeg += " Copyright (c) 2000-2025 the FFmpeg developers";
  AList.Add(ffmpeg);
  if (FFLoader->CheckLibConfigurations())
    AList.Add(Platform::Format("%sconfiguration: %s", indent,
                               FFLoader->GetLibConfiguration(FFLoad::avUtil).c_str()));
}

void AddLibraryLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  for (const TLibraryLine& line : CLibraryLines) {
    if (AFlags & CVersion) {
      const Platform::Cardinal built = FFLoader->GetLibBuildVer(line.Lib);
      const Platform::Cardinal file = FFLoader->GetLibFileVer(line.Lib);
      AList.Add(Platform::Format("%slib%-11s %2d.%3d.%3d / %2d.%3d.%3d", indent, line.Name,
                                 (FFLoad::AV_VERSION_MAJOR)(built), (FFLoad::AV_VERSION_MINOR)(built),
                                 (FFLoad::AV_VERSION_MICRO)(built), (FFLoad::AV_VERSION_MAJOR)(file),
                                 (FFLoad::AV_VERSION_MINOR)(file), (FFLoad::AV_VERSION_MICRO)(file)));
    }
    if (AFlags & CConfiguration)
      AList.Add(Platform::Format("%s%-11s configuration: %s", indent, line.Name,
                                 FFLoader->GetLibConfiguration(line.Lib).c_str()));
  }
}

}  // namespace

// ---- Information printers ------------------------------------------------------------

using AVCodecStubs::av_bsf_iterate;
using AVCodecStubs::av_codec_is_decoder;
using AVCodecStubs::av_codec_is_encoder;
using AVCodecStubs::av_codec_iterate;
using AVCodecStubs::avcodec_descriptor_next;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_find_encoder;
using AVDeviceStubs::av_input_audio_device_next;
using AVDeviceStubs::av_input_video_device_next;
using AVDeviceStubs::av_output_audio_device_next;
using AVDeviceStubs::av_output_video_device_next;
using AVDeviceStubs::avdevice_free_list_devices;
using AVDeviceStubs::avdevice_list_input_sources;
using AVDeviceStubs::avdevice_list_output_sinks;
using AVFilterStubs::av_filter_iterate;
using AVFilterStubs::avfilter_filter_pad_count;
using AVFilterStubs::avfilter_pad_get_name;
using AVFilterStubs::avfilter_pad_get_type;
using AVFormatStubs::av_demuxer_iterate;
using AVFormatStubs::av_disposition_to_string;
using AVFormatStubs::av_muxer_iterate;
using AVFormatStubs::avio_enum_protocols;
using AVUtilStubs::av_channel_description;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_channel_layout_index_from_channel;
using AVUtilStubs::av_channel_layout_standard;
using AVUtilStubs::av_channel_name;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_parse_string;
using AVUtilStubs::av_get_bits_per_pixel;
using AVUtilStubs::av_get_known_color_name;
using AVUtilStubs::av_get_media_type_string;
using AVUtilStubs::av_get_sample_fmt_string;
using AVUtilStubs::av_log_get_level;
using AVUtilStubs::av_log_set_level;
using AVUtilStubs::av_match_name;
using AVUtilStubs::av_pix_fmt_desc_get_id;
using AVUtilStubs::av_pix_fmt_desc_next;
using SwScaleStubs::sws_isSupportedInput;
using SwScaleStubs::sws_isSupportedOutput;

namespace {

// FFmpeg's texts are UTF-8, as host strings are; nullptr is an empty text.
std::string HostText(const char* AText) { return AText ? AText : ""; }

// AText followed by blanks up to AWidth characters; a longer text stays whole.
std::string PadRight(const std::string& AText, std::size_t AWidth) {
  return AText.size() >= AWidth ? AText : AText + std::string(AWidth - AText.size(), ' ');
}
std::string PadRight(const char* AText, std::size_t AWidth) { return PadRight(HostText(AText), AWidth); }

char MediaTypeChar(AVMediaType AType) {
  switch (AType) {
    case AVMEDIA_TYPE_VIDEO: return 'V';
    case AVMEDIA_TYPE_AUDIO: return 'A';
    case AVMEDIA_TYPE_DATA: return 'D';
    case AVMEDIA_TYPE_SUBTITLE: return 'S';
    case AVMEDIA_TYPE_ATTACHMENT: return 'T';
    default: return '?';
  }
}

// The codec descriptors by media type, then by name.
std::vector<const AVCodecDescriptor*> SortedCodecDescriptors() {
  std::vector<const AVCodecDescriptor*> result;
  for (const AVCodecDescriptor* d = avcodec_descriptor_next(nullptr); d; d = avcodec_descriptor_next(d))
    result.push_back(d);
  std::stable_sort(result.begin(), result.end(),
                   [](const AVCodecDescriptor* a, const AVCodecDescriptor* b) {
                     if (a->type != b->type) return a->type < b->type;
                     return std::strcmp(a->name, b->name) < 0;
                   });
  return result;
}

// The next encoder (or decoder) of AId after the one AIter stands on, or nullptr.
const AVCodec* NextCodecForId(void** AIter, AVCodecID AId, bool AEncoder) {
  while (const AVCodec* c = av_codec_iterate(AIter))
    if (c->id == AId && (AEncoder ? av_codec_is_encoder(c) : av_codec_is_decoder(c))) return c;
  return nullptr;
}

// " (decoders: a b)" when some decoder of the descriptor's ID has another name than the
// descriptor, likewise for encoders; else nothing.
std::string CodecNames(const AVCodecDescriptor* ADesc, bool AEncoder) {
  bool other = false;
  std::string names;
  void* iter = nullptr;
  while (const AVCodec* c = NextCodecForId(&iter, ADesc->id, AEncoder)) {
    if (std::strcmp(c->name, ADesc->name) != 0) other = true;
    names += " " + HostText(c->name);
  }
  if (!other) return "";
  return std::string(AEncoder ? " (encoders:" : " (decoders:") + names + ")";
}

int ShowCodecList(Platform::TStringList& AList, bool AEncoder) {
  AList.Add(AEncoder ? "Encoders:" : "Decoders:");
  for (const char* legend : {" V..... = Video", " A..... = Audio", " S..... = Subtitle",
                             " .F.... = Frame-level multithreading",
                             " ..S... = Slice-level multithreading",
                             " ...X.. = Codec is experimental", " ....B. = Supports draw_horiz_band",
                             " .....D = Supports direct rendering method 1", " ------"})
    AList.Add(legend);
  const auto descriptors = SortedCodecDescriptors();
  for (const AVCodecDescriptor* d : descriptors) {
    void* iter = nullptr;
    while (const AVCodec* c = NextCodecForId(&iter, d->id, AEncoder)) {
      std::string line = " ";
      line += MediaTypeChar(c->type);
      line += (c->capabilities & AV_CODEC_CAP_FRAME_THREADS) ? 'F' : '.';
      line += (c->capabilities & AV_CODEC_CAP_SLICE_THREADS) ? 'S' : '.';
      line += (c->capabilities & AV_CODEC_CAP_EXPERIMENTAL) ? 'X' : '.';
      line += (c->capabilities & AV_CODEC_CAP_DRAW_HORIZ_BAND) ? 'B' : '.';
      line += (c->capabilities & AV_CODEC_CAP_DR1) ? 'D' : '.';
      line += " " + PadRight(c->name, 20);
      if (c->long_name) line += " " + HostText(c->long_name);
      if (std::strcmp(c->name, d->name) != 0) line += " (codec " + HostText(d->name) + ")";
      AList.Add(line);
    }
  }
  return static_cast<int>(descriptors.size());
}

bool IsDeviceClass(const AVClass* AClass) {
  if (!AClass) return false;
  return AClass->category >= AV_CLASS_CATEGORY_DEVICE_VIDEO_OUTPUT &&
         AClass->category <= AV_CLASS_CATEGORY_DEVICE_INPUT;
}

enum TFormatKinds { fkBoth, fkMuxers, fkDemuxers };

// Every format name once, in byte order: a name that a demuxer and a muxer share is one
// line with both marks.
int ShowFormatList(Platform::TStringList& AList, bool ADevicesOnly, TFormatKinds AKinds) {
  const char* column = ADevicesOnly ? "" : ".";
  AList.Add(ADevicesOnly ? "Devices:" : "Formats:");
  AList.Add(Platform::Format(" D.%s = Demuxing supported", column));
  AList.Add(Platform::Format(" .E%s = Muxing supported", column));
  if (!ADevicesOnly) AList.Add(" ..d = Is a device");
  AList.Add(" ---");

  int lines = 0;
  std::string last_name = "000";
  for (;;) {
    const char* name = nullptr;
    const char* long_name = nullptr;
    bool decode = false, encode = false, device = false;
    if (AKinds != fkDemuxers) {
      void* iter = nullptr;
      while (const AVOutputFormat* f = av_muxer_iterate(&iter)) {
        const bool is_device = IsDeviceClass(f->priv_class);
        if (ADevicesOnly && !is_device) continue;
        if ((!name || std::strcmp(f->name, name) < 0) && std::strcmp(f->name, last_name.c_str()) > 0) {
          name = f->name;
          long_name = f->long_name;
          encode = true;
          device = is_device;
        }
      }
    }
    if (AKinds != fkMuxers) {
      void* iter = nullptr;
      while (const AVInputFormat* f = av_demuxer_iterate(&iter)) {
        const bool is_device = IsDeviceClass(f->priv_class);
        if (ADevicesOnly && !is_device) continue;
        if ((!name || std::strcmp(f->name, name) < 0) && std::strcmp(f->name, last_name.c_str()) > 0) {
          name = f->name;
          long_name = f->long_name;
          encode = false;
          device = is_device;
        }
        if (name && std::strcmp(f->name, name) == 0) {
          decode = true;
          device = device || is_device;
        }
      }
    }
    if (!name) break;
    last_name = name;
    std::string line = " ";
    line += decode ? 'D' : ' ';
    line += encode ? 'E' : ' ';
    if (!ADevicesOnly) line += device ? 'd' : ' ';
    line += " " + PadRight(name, 15);
    if (long_name) line += " " + HostText(long_name);
    AList.Add(line);
    lines++;
  }
  return lines;
}

// Restores the FFmpeg log level at the end of a scope.
class TLogLevelRestore {
 public:
  TLogLevelRestore() : FLevel(av_log_get_level()) {}
  ~TLogLevelRestore() { av_log_set_level(FLevel); }
  TLogLevelRestore(const TLogLevelRestore&) = delete;
  TLogLevelRestore& operator=(const TLogLevelRestore&) = delete;

 private:
  int FLevel;
};

template <class TFormat>
int ListDevice(Platform::TStringList& AList, const TFormat* ADevice, AVDictionary* AOptions,
               bool ASinks) {
  int lines = 0;
  AList.Add(Platform::Format(ASinks ? "Auto-detected sinks for %s:" : "Auto-detected sources for %s:",
                             ADevice->name));
  lines++;
  AVDeviceInfoList* devices = nullptr;
  int ret;
  if constexpr (std::is_same_v<TFormat, AVOutputFormat>)
    ret = avdevice_list_output_sinks(ADevice, nullptr, AOptions, &devices);
  else
    ret = avdevice_list_input_sources(ADevice, nullptr, AOptions, &devices);
  if (ret < 0) {
    AList.Add(Platform::Format(ASinks ? "Cannot list sinks: %s" : "Cannot list sources: %s",
                               CmdUtils::print_error(ret).c_str()));
    lines++;
  } else if (devices) {
    for (int i = 0; i < devices->nb_devices; i++) {
      const AVDeviceInfo* info = devices->devices[i];
      std::string line = Platform::Format("%s %s [%s] (", devices->default_device == i ? "*" : " ",
                                          HostText(info->device_name).c_str(),
                                          HostText(info->device_description).c_str());
      if (info->nb_media_types > 0 && info->media_types) {
        for (int j = 0; j < info->nb_media_types; j++) {
          if (j > 0) line += ", ";
          const char* type = av_get_media_type_string(info->media_types[j]);
          line += type ? type : "unknown";
        }
      } else {
        line += "none";
      }
      AList.Add(line + ")");
      lines++;
    }
  }
  avdevice_free_list_devices(&devices);
  return lines;
}

int ShowDeviceList(Platform::TStringList& AList, const std::string& ADevice, bool ASinks) {
  int lines = 0;
  std::string name;
  AVDictionary* options = nullptr;
  if (ADevice.empty()) {
    AList.Add("Device name is not provided.");
    AList.Add("You can pass devicename[,opt1=val1[,opt2=val2...]] as an argument.");
    AList.Add("");
    lines += 3;
  } else {
    const std::size_t comma = ADevice.find(',');
    name = ADevice.substr(0, comma);
    if (comma != std::string::npos && comma + 1 < ADevice.size()) {
      const int ret = av_dict_parse_string(&options, ADevice.c_str() + comma + 1, "=", ":", 0);
      if (ret < 0) {
        av_dict_free(&options);
        return ret;
      }
    }
  }
  std::optional<TLogLevelRestore> level;
  if (ASinks) {
    level.emplace();
    av_log_set_level(AV_LOG_WARNING);
  }
  const auto wanted = [&](const char* ADeviceName) {
    return name.empty() || av_match_name(name.c_str(), ADeviceName);
  };
  try {
    if (ASinks) {
      const auto sink = [](const AVClass* c) {
        return c && (c->category == AV_CLASS_CATEGORY_DEVICE_VIDEO_OUTPUT ||
                     c->category == AV_CLASS_CATEGORY_DEVICE_AUDIO_OUTPUT ||
                     c->category == AV_CLASS_CATEGORY_DEVICE_OUTPUT);
      };
      for (const AVOutputFormat* f = av_output_audio_device_next(nullptr); f; f = av_output_audio_device_next(f))
        if (wanted(f->name) && sink(f->priv_class)) lines += ListDevice(AList, f, options, true);
      for (const AVOutputFormat* f = av_output_video_device_next(nullptr); f; f = av_output_video_device_next(f))
        if (wanted(f->name) && sink(f->priv_class)) lines += ListDevice(AList, f, options, true);
    } else {
      const auto source = [](const AVClass* c) {
        return c && (c->category == AV_CLASS_CATEGORY_DEVICE_VIDEO_INPUT ||
                     c->category == AV_CLASS_CATEGORY_DEVICE_AUDIO_INPUT ||
                     c->category == AV_CLASS_CATEGORY_DEVICE_INPUT);
      };
      for (const AVInputFormat* f = av_input_audio_device_next(nullptr); f; f = av_input_audio_device_next(f))
        if (std::strcmp(f->name, "lavfi") != 0 && wanted(f->name) && source(f->priv_class))
          lines += ListDevice(AList, f, options, false);
      for (const AVInputFormat* f = av_input_video_device_next(nullptr); f; f = av_input_video_device_next(f))
        if (wanted(f->name) && source(f->priv_class)) lines += ListDevice(AList, f, options, false);
    }
  } catch (...) {
    av_dict_free(&options);
    throw;
  }
  av_dict_free(&options);
  return lines;
}

}  // namespace

int show_codecs(Platform::TStringList& AList) {
  AList.Add("Codecs:");
  for (const char* legend :
       {" D..... = Decoding supported", " .E.... = Encoding supported", " ..V... = Video codec",
        " ..A... = Audio codec", " ..S... = Subtitle codec", " ..D... = Data codec",
        " ..T... = Attachment codec", " ...I.. = Intra frame-only codec",
        " ....L. = Lossy compression", " .....S = Lossless compression", " -------"})
    AList.Add(legend);
  const auto descriptors = SortedCodecDescriptors();
  for (const AVCodecDescriptor* d : descriptors) {
    std::string line = " ";
    line += avcodec_find_decoder(d->id) ? 'D' : '.';
    line += avcodec_find_encoder(d->id) ? 'E' : '.';
    line += MediaTypeChar(d->type);
    line += (d->props & AV_CODEC_PROP_INTRA_ONLY) ? 'I' : '.';
    line += (d->props & AV_CODEC_PROP_LOSSY) ? 'L' : '.';
    line += (d->props & AV_CODEC_PROP_LOSSLESS) ? 'S' : '.';
    line += " " + PadRight(d->name, 20);
    if (d->long_name) line += " " + HostText(d->long_name);
    line += CodecNames(d, false);
    line += CodecNames(d, true);
    AList.Add(line);
  }
  return static_cast<int>(descriptors.size());
}

int show_decoders(Platform::TStringList& AList) { return ShowCodecList(AList, false); }
int show_encoders(Platform::TStringList& AList) { return ShowCodecList(AList, true); }

int show_bsfs(Platform::TStringList& AList) {
  AList.Add("Bitstream filters:");
  int count = 0;
  void* iter = nullptr;
  while (const AVBitStreamFilter* bsf = av_bsf_iterate(&iter)) {
    AList.Add(HostText(bsf->name));
    count++;
  }
  return count;
}

int show_filters(Platform::TStringList& AList) {
  for (const char* legend : {"Filters:", "  T.. = Timeline support", "  .S. = Slice threading",
                             "  A = Audio input/output", "  V = Video input/output",
                             "  N = Dynamic number and/or type of input/output",
                             "  | = Source or sink filter"})
    AList.Add(legend);
  int count = 0;
  void* iter = nullptr;
  while (const AVFilter* f = av_filter_iterate(&iter)) {
    std::string pads;
    for (int output = 0; output <= 1; output++) {
      if (output) pads += "->";
      const AVFilterPad* list = output ? f->outputs : f->inputs;
      const unsigned n = avfilter_filter_pad_count(f, output);
      for (unsigned i = 0; i < n; i++)
        pads += MediaTypeChar(avfilter_pad_get_type(list, static_cast<int>(i)));
      if (!n)
        pads += (f->flags & (output ? AVFILTER_FLAG_DYNAMIC_OUTPUTS : AVFILTER_FLAG_DYNAMIC_INPUTS))
                    ? 'N'
                    : '|';
    }
    std::string line = " ";
    line += (f->flags & AVFILTER_FLAG_SUPPORT_TIMELINE) ? 'T' : '.';
    line += (f->flags & AVFILTER_FLAG_SLICE_THREADS) ? 'S' : '.';
    line += " " + PadRight(f->name, 18) + PadRight(pads, 10) + " " + HostText(f->description);
    AList.Add(line);
    count++;
  }
  return count;
}

int show_formats(Platform::TStringList& AList) { return ShowFormatList(AList, false, fkBoth); }
int show_muxers(Platform::TStringList& AList) { return ShowFormatList(AList, false, fkMuxers); }
int show_demuxers(Platform::TStringList& AList) { return ShowFormatList(AList, false, fkDemuxers); }
int show_devices(Platform::TStringList& AList) { return ShowFormatList(AList, true, fkBoth); }

int show_protocols(Platform::TStringList& AList) {
  AList.Add("Supported file protocols:");
  int count = 0;
  for (int output = 0; output <= 1; output++) {
    AList.Add(output ? "Output:" : "Input:");
    void* opaque = nullptr;
    while (const char* name = avio_enum_protocols(&opaque, output)) {
      AList.Add("  " + HostText(name));
      count++;
    }
  }
  return count;
}

int show_colors(Platform::TStringList& AList) {
  AList.Add(PadRight("name", 32) + " #RRGGBB");
  int count = 0;
  const std::uint8_t* rgb = nullptr;
  while (const char* name = av_get_known_color_name(count, &rgb)) {
    AList.Add(PadRight(name, 32) + Platform::Format(" #%.2x%.2x%.2x", rgb[0], rgb[1], rgb[2]));
    count++;
  }
  return count;
}

int show_pix_fmts(Platform::TStringList& AList) {
  for (const char* legend :
       {"Pixel formats:", "I.... = Supported Input  format for conversion",
        ".O... = Supported Output format for conversion", "..H.. = Hardware accelerated format",
        "...P. = Paletted format", "....B = Bitstream format",
        "FLAGS NAME            NB_COMPONENTS BITS_PER_PIXEL BIT_DEPTHS", "-----"})
    AList.Add(legend);
  int count = 0;
  for (const AVPixFmtDescriptor* d = av_pix_fmt_desc_next(nullptr); d; d = av_pix_fmt_desc_next(d)) {
    const AVPixelFormat id = av_pix_fmt_desc_get_id(d);
    std::string line;
    line += sws_isSupportedInput(id) ? 'I' : '.';
    line += sws_isSupportedOutput(id) ? 'O' : '.';
    line += (d->flags & AV_PIX_FMT_FLAG_HWACCEL) ? 'H' : '.';
    line += (d->flags & AV_PIX_FMT_FLAG_PAL) ? 'P' : '.';
    line += (d->flags & AV_PIX_FMT_FLAG_BITSTREAM) ? 'B' : '.';
    line += " " + PadRight(d->name, 16) +
            Platform::Format("       %d            %3d      %d", d->nb_components,
                             av_get_bits_per_pixel(d), d->comp[0].depth);
    for (int i = 1; i < d->nb_components; i++) line += Platform::Format("-%d", d->comp[i].depth);
    AList.Add(line);
    count++;
  }
  return count;
}

int show_layouts(Platform::TStringList& AList) {
  AList.Add("Individual channels:");
  AList.Add("NAME           DESCRIPTION");
  char name[128];
  char description[128];
  for (int i = 0; i < 63; i++) {
    const AVChannel channel = static_cast<AVChannel>(i);
    if (av_channel_name(name, sizeof name, channel) < 0) continue;
    if (std::strstr(name, "USR")) continue;
    if (av_channel_description(description, sizeof description, channel) < 0) description[0] = 0;
    AList.Add(PadRight(name, 14) + " " + HostText(description));
  }
  AList.Add("");
  AList.Add("Standard channel layouts:");
  AList.Add("NAME           DECOMPOSITION");
  int count = 0;
  void* opaque = nullptr;
  while (const AVChannelLayout* layout = av_channel_layout_standard(&opaque)) {
    if (av_channel_layout_describe(layout, description, sizeof description) < 0) description[0] = 0;
    std::string line = PadRight(description, 15);
    for (int i = 0; i < 63; i++) {
      const AVChannel channel = static_cast<AVChannel>(i);
      const int index = av_channel_layout_index_from_channel(layout, channel);
      if (index < 0) continue;
      if (av_channel_name(name, sizeof name, channel) < 0) name[0] = 0;
      if (index != 0) line += "+";
      line += name;
    }
    AList.Add(line);
    count++;
  }
  return count;
}

int show_sample_fmts(Platform::TStringList& AList) {
  char buf[128];
  for (int i = -1; i < 12; i++) {
    buf[0] = 0;
    av_get_sample_fmt_string(buf, sizeof buf, static_cast<AVSampleFormat>(i));
    AList.Add(HostText(buf));
  }
  return 12;
}

int show_dispositions(Platform::TStringList& AList) {
  int count = 0;
  for (int i = 0; i < 32; i++) {
    if (const char* name = av_disposition_to_string(static_cast<int>(1u << i))) {
      AList.Add(HostText(name));
      count++;
    }
  }
  return count;
}

int show_sources(Platform::TStringList& AList, const std::string& ADevice) {
  return ShowDeviceList(AList, ADevice, false);
}

int show_sinks(Platform::TStringList& AList, const std::string& ADevice) {
  return ShowDeviceList(AList, ADevice, true);
}

int show_version(Platform::TStringList& AList) {
  AddProgramLines(AList, CIndent | CNotice);
  AddLibraryLines(AList, CIndent | CVersion);
  return 0;
}

void show_banner() {
  FFLoad::TFFLogWorker* worker = FFLoad::VEDovedo;
  if (!worker || !FFLoader) return;
  Platform::TStringList list;
  AddProgramLines(list, CIndent | CNotice);
  if (!FFLoader->CheckLibConfigurations()) AddLibraryLines(list, CIndent | CConfiguration);
  AddLibraryLines(list, CIndent | CVersion);
  // On the main thread the banner is delivered before Load returns (for this thread
  // only: the process-wide switch stays as the host set it).
  FFLoad::TThreadLogDelivery delivery(Platform::IsMainThread() ? FFLoad::ldSynchronous
                                                               : FFLoad::ldDefault);
  worker->Log(list.Text());
}

// ---- Log level and report -----------------------------------------------------------

namespace {

constexpr int CLineNoLogLevel = 225;

// The report file and how its lines are formatted; the av_log callback reads them on
// any thread. The state itself is never destroyed (a callback may still run while the
// process ends); the file is closed at the unit's finalization.
struct TReport {
  std::mutex Lock;
  std::FILE* File = nullptr;
  int Level = AV_LOG_DEBUG;
  int PrintPrefix = 1;
};

TReport& Report() {
  static TReport* report = new TReport;
  return *report;
}

struct TReportFinalization {
  ~TReportFinalization() {
    TReport& r = Report();
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) std::fclose(r.File);
    r.File = nullptr;
  }
} GReportFinalization;

void ReportCallback(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
  using AVUtilStubs::av_log_format_line2;
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) {
      char line[1024];
      va_list copy;
      va_copy(copy, AArgs);
      av_log_format_line2(AContext, ALevel, AFormat, copy, line, sizeof line, &r.PrintPrefix);
      va_end(copy);
      if (ALevel <= r.Level) {
        std::fputs(line, r.File);
        std::fflush(r.File);
      }
    }
  }
  // The log worker keeps receiving every line.
  FFLoad::AVLogCallback(AContext, ALevel, AFormat, AArgs);
}

}  // namespace

int opt_loglevel(void* ctx, const char* opt, const char* arg) {
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_log_get_flags;
  using AVUtilStubs::av_log_get_level;
  (void)opt;
  static const struct {
    const char* Name;
    int Level;
  } CLevels[] = {
      {"quiet", AV_LOG_QUIET},     {"panic", AV_LOG_PANIC}, {"fatal", AV_LOG_FATAL},
      {"error", AV_LOG_ERROR},     {"warning", AV_LOG_WARNING}, {"info", AV_LOG_INFO},
      {"verbose", AV_LOG_VERBOSE}, {"debug", AV_LOG_DEBUG}, {"trace", AV_LOG_TRACE},
  };
  static const struct {
    const char* Name;
    int Flag;
  } CFlags[] = {
      {"repeat", AV_LOG_SKIP_REPEATED},
      {"level", AV_LOG_PRINT_LEVEL},
      {"time", AV_LOG_PRINT_TIME},
      {"datetime", AV_LOG_PRINT_DATETIME},
  };
  Platform::Check(arg != nullptr, "OptCommon", CLineNoLogLevel);
  int flags = av_log_get_flags();
  int level = av_log_get_level();
  int words = 0;

  while (*arg) {
    const char* token = arg;
    char sign = 0;
    if (*token == '+' || *token == '-') sign = *token++;
    if (!words && !sign) flags = 0;  // an absolute list of flags
    bool matched = false;
    for (const auto& f : CFlags) {
      const std::size_t n = std::strlen(f.Name);
      if (std::strncmp(token, f.Name, n) != 0) continue;
      arg = token + n;
      // "-repeat" means: do not repeat identical lines
      const bool set = f.Flag == AV_LOG_SKIP_REPEATED ? sign == '-' : sign != '-';
      flags = set ? (flags | f.Flag) : (flags & ~f.Flag);
      matched = true;
      break;
    }
    if (!matched) break;
    words++;
  }

  if (*arg) {
    if (*arg == '+')
      arg++;
    else if (!words)
      flags = av_log_get_flags();  // a level alone leaves the flags as they are
    bool named = false;
    for (const auto& l : CLevels)
      if (std::strcmp(l.Name, arg) == 0) {
        level = l.Level;
        named = true;
        break;
      }
    if (!named) {
      char* tail = nullptr;
      level = static_cast<int>(std::strtol(arg, &tail, 10));
      if (*tail) {
        std::string msg = Platform::Format(
            "Invalid loglevel \"%s\". Possible levels are numbers or:\n", arg);
        for (const auto& l : CLevels) msg += Platform::Format("\"%s\"\n", l.Name);
        msg += "Possible flags are:\n";
        for (const auto& f : CFlags) msg += Platform::Format("\\\"%s\\\"\n", f.Name);
        av_log(ctx, AV_LOG_FATAL, "%s", msg.c_str());
        return AVERROR(EINVAL);
      }
    }
  }

  FFLoad::VEDovedo->SetLogFlags(flags);
  FFLoad::VEDovedo->SetLogLevel(FFLoad::IntToLogLevel(level));
  return 0;
}

namespace {

// The report file name from its template.
std::string ExpandReportName(const char* ATemplate, const std::tm& ATime) {
  const std::string program = MyUtils::ExeFile();
  std::string name;
  for (const char* p = ATemplate; *p; p++) {
    if (*p != '%') {
      name += *p;
      continue;
    }
    p++;
    if (!*p) break;  // a "%" at the very end ends the name
    switch (*p) {
      case 'p': name += program; break;
      case 't':
        name += Platform::Format("%04d%02d%02d-%02d%02d%02d", ATime.tm_year + 1900,
                                 ATime.tm_mon + 1, ATime.tm_mday, ATime.tm_hour,
                                 ATime.tm_min, ATime.tm_sec);
        break;
      case '%': name += '%'; break;
      default: break;  // any other pair is dropped
    }
  }
  return name;
}

}  // namespace

int init_report(void* ctx, const char* AEnv, FILE** AFile) {
  using AVUtilStubs::av_free;
  using AVUtilStubs::av_log;
  using AVUtilStubs::av_log_get_level;
  using AVUtilStubs::av_log_set_callback;
  using AVUtilStubs::av_opt_get_key_value;
  (void)ctx;
  // One start at a time; the first one wins.
  static std::mutex start_lock;
  std::lock_guard<std::mutex> start(start_lock);
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) {
      if (AFile) *AFile = r.File;
      return 0;
    }
  }

  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);

  std::string file_template = "%p-%t.log";
  bool level_given = false;
  int report_level;
  {
    std::lock_guard<std::mutex> g(r.Lock);
    report_level = r.Level;
  }
  const char* env = AEnv;
  int count = 0;
  while (env && *env) {
    char* key = nullptr;
    char* val = nullptr;
    const int ret = av_opt_get_key_value(&env, "=", ":", 0, &key, &val);
    if (ret < 0) {
      if (count)
        av_log(nullptr, AV_LOG_ERROR, "Failed to parse FFREPORT environment variable: %s\n",
               CmdUtils::print_error(ret).c_str());
      break;
    }
    if (*env) env++;
    count++;
    if (std::strcmp(key, "file") == 0) {
      file_template = val;
    } else if (std::strcmp(key, "level") == 0) {
      char* tail = nullptr;
      report_level = static_cast<int>(std::strtol(val, &tail, 10));
      if (*tail) {
        av_log(nullptr, AV_LOG_FATAL, "Invalid report file level\n");
        av_free(key);
        av_free(val);
        return AVERROR(EINVAL);
      }
      level_given = true;
    } else {
      av_log(nullptr, AV_LOG_ERROR, "Unknown key '%s' in FFREPORT\n", key);
    }
    av_free(key);
    av_free(val);
  }

  std::string filename;
  try {
    filename = ExpandReportName(file_template.c_str(), tm);
  } catch (const std::bad_alloc&) {
    av_log(nullptr, AV_LOG_ERROR, "Out of memory building report file name\n");
    return AVERROR(ENOMEM);
  }
  if (!level_given) report_level = std::max(report_level, av_log_get_level());

  std::FILE* f = std::fopen(filename.c_str(), "w");
  if (!f) {
    av_log(nullptr, AV_LOG_ERROR, "Failed to open report \"%s\"\n", filename.c_str());
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(r.Lock);
    r.File = f;
    r.Level = report_level;
  }
  av_log_set_callback(ReportCallback);
  av_log(nullptr, AV_LOG_INFO,
         "%s started on %04d-%02d-%02d at %02d:%02d:%02d\nReport written to \"%s\"\nLog level: %d\n",
         MyUtils::ExeFile().c_str(), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
         tm.tm_min, tm.tm_sec, filename.c_str(), report_level);
  if (AFile) *AFile = f;
  return 0;
}

void reset_report() {
  TReport& r = Report();
  {
    std::lock_guard<std::mutex> g(r.Lock);
    if (r.File) std::fclose(r.File);
    r.File = nullptr;
    r.Level = AV_LOG_DEBUG;
    r.PrintPrefix = 1;
  }
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->InstallAVLogCallback();
}

// ---- Help --------------------------------------------------------------------------------

namespace {

using AVCodecStubs::av_bsf_get_by_name;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_descriptor_get_by_name;
using AVCodecStubs::avcodec_find_decoder_by_name;
using AVCodecStubs::avcodec_find_encoder_by_name;
using AVCodecStubs::avcodec_get_hw_config;
using AVCodecStubs::avcodec_get_supported_config;
using AVFilterStubs::avfilter_get_by_name;
using AVFormatStubs::av_find_input_format;
using AVFormatStubs::av_guess_format;
using AVFormatStubs::avio_protocol_get_class;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_cpu_force_count;
using AVUtilStubs::av_force_cpu_flags;
using AVUtilStubs::av_get_cpu_flags;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_log;
using AVUtilStubs::av_log_format_line2;
using AVUtilStubs::av_log_set_callback;
using AVUtilStubs::av_max_alloc;
using AVUtilStubs::av_opt_child_class_iterate;
using AVUtilStubs::av_opt_eval_int;
using AVUtilStubs::av_opt_show2;
using AVUtilStubs::av_parse_cpu_caps;

// The catcher of the help text: log_callback_help appends to it on any thread.
std::mutex& CatchLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// One help at a time: the catcher and the FFmpeg log callback are process-wide.
std::mutex& HelpLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Hands a whole text to the log worker as one message.
void LogMessage(const std::string& AText) {
  if (FFLoad::VEDovedo) FFLoad::VEDovedo->Log(AText);
}

void LogInfo(const std::string& AText) { CmdUtils::ff_log(nullptr, AV_LOG_INFO, AText); }

// Gives the FFmpeg log back to the log worker at the end of a scope.
class TLogCallbackRestore {
 public:
  TLogCallbackRestore() = default;
  ~TLogCallbackRestore() {
    if (FFLoad::VEDovedo)
      FFLoad::VEDovedo->InstallAVLogCallback();
    else
      av_log_set_callback(AVUtilStubs::av_log_default_callback);
  }
  TLogCallbackRestore(const TLogCallbackRestore&) = delete;
  TLogCallbackRestore& operator=(const TLogCallbackRestore&) = delete;
};

// The configurations of one kind that the codec supports (nullptr and 0 when it accepts any).
template <class T>
int SupportedConfigs(const AVCodec* ACodec, AVCodecConfig AConfig, const T*& AList) {
  const void* configs = nullptr;
  int count = 0;
  if (avcodec_get_supported_config(nullptr, ACodec, AConfig, 0, &configs, &count) < 0 || !configs)
    count = 0;
  AList = static_cast<const T*>(configs);
  return count;
}

void PrintCodec(const AVCodec* c) {
  const bool encoder = av_codec_is_encoder(c);
  std::string text = std::string(encoder ? "Encoder " : "Decoder ") + c->name + " [" +
                     HostText(c->long_name) + "]:\n";

  text += "    General capabilities:";
  static const struct {
    int Bits;
    const char* Word;
  } CCapabilities[] = {
      {AV_CODEC_CAP_DRAW_HORIZ_BAND, " horizband"},
      {AV_CODEC_CAP_DR1, " dr1"},
      {AV_CODEC_CAP_DELAY, " delay"},
      {AV_CODEC_CAP_SMALL_LAST_FRAME, " small"},
      {AV_CODEC_CAP_EXPERIMENTAL, " exp"},
      {AV_CODEC_CAP_CHANNEL_CONF, " chconf"},
      {AV_CODEC_CAP_PARAM_CHANGE, " paramchange"},
      {AV_CODEC_CAP_VARIABLE_FRAME_SIZE, " variable"},
      {AV_CODEC_CAP_FRAME_THREADS | AV_CODEC_CAP_SLICE_THREADS | AV_CODEC_CAP_OTHER_THREADS, " threads"},
      {AV_CODEC_CAP_AVOID_PROBING, " avoidprobe"},
      {AV_CODEC_CAP_HARDWARE, " hardware"},
      {AV_CODEC_CAP_HYBRID, " hybrid"},
  };
  for (const auto& cap : CCapabilities)
    if (c->capabilities & cap.Bits) text += cap.Word;
  if (!c->capabilities) text += " none";
  text += "\n";

  if (c->type == AVMEDIA_TYPE_VIDEO || c->type == AVMEDIA_TYPE_AUDIO) {
    text += "    Threading capabilities: ";
    switch (c->capabilities &
            (AV_CODEC_CAP_FRAME_THREADS | AV_CODEC_CAP_SLICE_THREADS | AV_CODEC_CAP_OTHER_THREADS)) {
      case AV_CODEC_CAP_FRAME_THREADS | AV_CODEC_CAP_SLICE_THREADS: text += "frame and slice"; break;
      case AV_CODEC_CAP_FRAME_THREADS: text += "frame"; break;
      case AV_CODEC_CAP_SLICE_THREADS: text += "slice"; break;
      case AV_CODEC_CAP_OTHER_THREADS: text += "other"; break;
      default: text += "none"; break;
    }
    text += "\n";
  }

  if (avcodec_get_hw_config(c, 0)) {
    text += "    Supported hardware devices:";
    for (int i = 0; const AVCodecHWConfig* config = avcodec_get_hw_config(c, i); i++)
      text += " " + HostText(av_hwdevice_get_type_name(config->device_type));
    text += "\n";
  }

  const AVRational* rates = nullptr;
  if (const int n = SupportedConfigs(c, AV_CODEC_CONFIG_FRAME_RATE, rates)) {
    text += "    Supported framerates:";
    for (int i = 0; i < n; i++) text += Platform::Format(" %d/%d", rates[i].num, rates[i].den);
    text += "\n";
  }
  const AVPixelFormat* pix_fmts = nullptr;
  if (const int n = SupportedConfigs(c, AV_CODEC_CONFIG_PIX_FORMAT, pix_fmts)) {
    text += "    Supported pixel formats:";
    for (int i = 0; i < n; i++) text += " " + HostText(av_get_pix_fmt_name(pix_fmts[i]));
    text += "\n";
  }
  const int* sample_rates = nullptr;
  if (const int n = SupportedConfigs(c, AV_CODEC_CONFIG_SAMPLE_RATE, sample_rates)) {
    text += "    Supported sample rates:";
    for (int i = 0; i < n; i++) text += Platform::Format(" %d", sample_rates[i]);
    text += "\n";
  }
  const AVSampleFormat* sample_fmts = nullptr;
  if (const int n = SupportedConfigs(c, AV_CODEC_CONFIG_SAMPLE_FORMAT, sample_fmts)) {
    text += "    Supported sample formats:";
    for (int i = 0; i < n; i++) text += " " + HostText(av_get_sample_fmt_name(sample_fmts[i]));
    text += "\n";
  }
  const AVChannelLayout* layouts = nullptr;
  if (const int n = SupportedConfigs(c, AV_CODEC_CONFIG_CHANNEL_LAYOUT, layouts)) {
    text += "    Supported channel layouts:";
    char name[128];
    for (int i = 0; i < n; i++) {
      if (av_channel_layout_describe(&layouts[i], name, sizeof name) < 0) name[0] = 0;
      text += " " + HostText(name);
    }
    text += "\n";
  }
  LogInfo(text);
  if (c->priv_class) show_help_children(c->priv_class, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_DECODING_PARAM);
}

void ShowHelpCodec(const char* AName, bool AEncoder) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No codec name specified.\n");
    return;
  }
  const AVCodec* codec =
      AEncoder ? avcodec_find_encoder_by_name(AName) : avcodec_find_decoder_by_name(AName);
  if (codec) {
    PrintCodec(codec);
    return;
  }
  const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(AName);
  if (!desc) {
    av_log(nullptr, AV_LOG_ERROR, "Codec '%s' is not recognized by FFmpeg.\n", AName);
    return;
  }
  bool printed = false;
  void* iter = nullptr;
  while (const AVCodec* c = NextCodecForId(&iter, desc->id, AEncoder)) {
    printed = true;
    PrintCodec(c);
  }
  if (!printed)
    av_log(nullptr, AV_LOG_ERROR,
           "Codec '%s' is known to FFmpeg, but no %s for it are available. FFmpeg might need to be "
           "recompiled with additional external libraries.\n",
           AName, AEncoder ? "encoders" : "decoders");
}

void ShowHelpDemuxer(const char* AName) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No demuxer name specified.\n");
    return;
  }
  const AVInputFormat* fmt = av_find_input_format(AName);
  if (!fmt) {
    av_log(nullptr, AV_LOG_ERROR, "Unknown format '%s'.\n", AName);
    return;
  }
  std::string text = Platform::Format("Demuxer %s [%s]:\n", fmt->name, HostText(fmt->long_name).c_str());
  if (fmt->extensions) text += Platform::Format("    Common extensions: %s.\n", fmt->extensions);
  LogInfo(text);
  if (fmt->priv_class) show_help_children(fmt->priv_class, AV_OPT_FLAG_DECODING_PARAM);
}

void ShowHelpMuxer(const char* AName) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No muxer name specified.\n");
    return;
  }
  const AVOutputFormat* fmt = av_guess_format(AName, nullptr, nullptr);
  if (!fmt) {
    av_log(nullptr, AV_LOG_ERROR, "Unknown format '%s'.\n", AName);
    return;
  }
  std::string text = Platform::Format("Muxer %s [%s]:\n", fmt->name, HostText(fmt->long_name).c_str());
  if (fmt->extensions) text += Platform::Format("    Common extensions: %s.\n", fmt->extensions);
  if (fmt->mime_type) text += Platform::Format("    Mime type: %s.\n", fmt->mime_type);
  static const struct {
    AVCodecID AVOutputFormat::*Codec;
    const char* Kind;
  } CDefaults[] = {{&AVOutputFormat::video_codec, "video"},
                   {&AVOutputFormat::audio_codec, "audio"},
                   {&AVOutputFormat::subtitle_codec, "subtitle"}};
  for (const auto& d : CDefaults) {
    const AVCodecID id = fmt->*d.Codec;
    if (id == AV_CODEC_ID_NONE) continue;
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get(id))
      text += Platform::Format("    Default %s codec: %s.\n", d.Kind, desc->name);
  }
  LogInfo(text);
  if (fmt->priv_class) show_help_children(fmt->priv_class, AV_OPT_FLAG_ENCODING_PARAM);
}

void ShowHelpProtocol(const char* AName) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No protocol name specified.\n");
    return;
  }
  const AVClass* cls = avio_protocol_get_class(AName);
  if (!cls) {
    av_log(nullptr, AV_LOG_ERROR, "Unknown protocol '%s'.\n", AName);
    return;
  }
  show_help_children(cls, AV_OPT_FLAG_ENCODING_PARAM | AV_OPT_FLAG_DECODING_PARAM);
}

void ShowHelpFilter(const char* AName) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No filter name specified.\n");
    return;
  }
  const AVFilter* f = avfilter_get_by_name(AName);
  if (!f) {
    av_log(nullptr, AV_LOG_ERROR, "Unknown filter '%s'.\n", AName);
    return;
  }
  std::string text = Platform::Format("Filter %s\n", f->name);
  if (f->description) text += Platform::Format("  %s\n", f->description);
  if (f->flags & AVFILTER_FLAG_SLICE_THREADS) text += "    slice threading supported\n";
  for (int output = 0; output <= 1; output++) {
    text += output ? "    Outputs:\n" : "    Inputs:\n";
    const AVFilterPad* pads = output ? f->outputs : f->inputs;
    const unsigned n = avfilter_filter_pad_count(f, output);
    for (unsigned i = 0; i < n; i++) {
      const int index = static_cast<int>(i);
      const char* type = av_get_media_type_string(avfilter_pad_get_type(pads, index));
      text += Platform::Format("       #%d: %s (%s)\n", index,
                               HostText(avfilter_pad_get_name(pads, index)).c_str(),
                               HostText(type).c_str());
    }
    if (f->flags & (output ? AVFILTER_FLAG_DYNAMIC_OUTPUTS : AVFILTER_FLAG_DYNAMIC_INPUTS))
      text += "        dynamic (depending on the options)\n";
    else if (!n)
      text += output ? "        none (sink filter)\n" : "        none (source filter)\n";
  }
  LogInfo(text);
  if (f->priv_class)
    show_help_children(f->priv_class, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_FILTERING_PARAM |
                                          AV_OPT_FLAG_AUDIO_PARAM);
  if (f->flags & AVFILTER_FLAG_SUPPORT_TIMELINE)
    av_log(nullptr, AV_LOG_INFO, "This filter has support for timeline through the 'enable' option.\n");
}

void ShowHelpBsf(const char* AName) {
  if (!AName) {
    av_log(nullptr, AV_LOG_ERROR, "No bitstream filter name specified.\n");
    return;
  }
  const AVBitStreamFilter* bsf = av_bsf_get_by_name(AName);
  if (!bsf) {
    av_log(nullptr, AV_LOG_ERROR, "Unknown bit stream filter '%s'.\n", AName);
    return;
  }
  std::string text = Platform::Format("Bit stream filter %s\n", bsf->name);
  if (bsf->codec_ids) {
    text += "    Supported codecs:";
    for (const AVCodecID* id = bsf->codec_ids; *id != AV_CODEC_ID_NONE; id++) {
      const AVCodecDescriptor* desc = avcodec_descriptor_get(*id);
      text += " " + HostText(desc ? desc->name : "unknown");
    }
    text += "\n";
  }
  LogInfo(text);
  if (bsf->priv_class) show_help_children(bsf->priv_class, AV_OPT_FLAG_BSF_PARAM);
}

}  // namespace

void log_callback_help(void* AContext, int ALevel, const char* AFormat, va_list AArgs) {
  char line[1024];
  int print_prefix = 0;
  va_list args;
  va_copy(args, AArgs);
  const int length = av_log_format_line2(AContext, ALevel, AFormat, args, line, sizeof line, &print_prefix);
  va_end(args);
  if (length < 0) return;
  std::string text;
  if (length < static_cast<int>(sizeof line)) {
    text = line;
  } else {
    // A long help text (a codec with many formats) is kept whole.
    text.assign(static_cast<std::size_t>(length) + 1, '\0');
    print_prefix = 0;
    va_copy(args, AArgs);
    av_log_format_line2(AContext, ALevel, AFormat, args, text.data(), length + 1, &print_prefix);
    va_end(args);
    text.resize(std::strlen(text.c_str()));
  }
  std::lock_guard<std::mutex> g(CatchLock());
  CmdUtils::Gcatch_log_callback_help += text;
}

void show_help_children(const AVClass* AClass, int AFlags) {
  if (!AClass) return;
  if (AClass->option) {
    const AVClass* object = AClass;  // av_opt_show2 reads the class through an object
    av_opt_show2(&object, nullptr, AFlags, 0);
    av_log(nullptr, AV_LOG_INFO, "\n");
  }
  void* iter = nullptr;
  while (const AVClass* child = av_opt_child_class_iterate(AClass, &iter))
    show_help_children(child, AFlags);
}

void show_help_options(CmdUtils::POptionDef ATable, const char* AHeading, int ARequired, int ARejected) {
  bool first = true;
  for (CmdUtils::POptionDef po = ATable; po->name; po++) {
    if ((po->flags & ARequired) != ARequired || (po->flags & ARejected)) continue;
    if (first) {
      av_log(nullptr, AV_LOG_INFO, "%s\n", AHeading ? AHeading : "");
      first = false;
    }
    std::string field = po->name;
    if (po->flags & CmdUtils::OPT_FLAG_PERSTREAM)
      field += "[:<stream_spec>]";
    else if (po->flags & CmdUtils::OPT_FLAG_SPEC)
      field += "[:<spec>]";
    if (po->argname) field += Platform::Format(" <%s>", po->argname);
    if (field.size() > 127) field.resize(127);
    av_log(nullptr, AV_LOG_INFO, "-%-17s  %s\n", field.c_str(), po->help ? po->help : "");
  }
  av_log(nullptr, AV_LOG_INFO, "\n");
}

int show_help(void* ctx, const char* opt, const char* arg) {
  (void)opt;
  std::lock_guard<std::mutex> help(HelpLock());
  std::string topic, param;
  try {
    topic = arg ? arg : "";
    const std::size_t eq = topic.find('=');
    if (eq != std::string::npos) {
      param = topic.substr(eq + 1);
      topic.resize(eq);
    }
  } catch (const std::bad_alloc&) {
    return AVERROR(ENOMEM);
  }
  const char* name = param.empty() ? nullptr : param.c_str();
  {
    std::lock_guard<std::mutex> g(CatchLock());
    CmdUtils::Gcatch_log_callback_help.clear();
  }
  av_log_set_callback(log_callback_help);
  {
    TLogCallbackRestore restore;
    if (topic == "decoder" || topic == "encoder") {
      ShowHelpCodec(name, topic == "encoder");
    } else if (topic == "demuxer") {
      ShowHelpDemuxer(name);
    } else if (topic == "muxer") {
      ShowHelpMuxer(name);
    } else if (topic == "protocol") {
      ShowHelpProtocol(name);
    } else if (topic == "filter") {
      ShowHelpFilter(name);
    } else if (topic == "bsf") {
      ShowHelpBsf(name);
    } else {
      auto* options = static_cast<CmdUtils::TDefaultOptions*>(ctx);
      if (options && options->show_help_default)
        options->show_help_default(ctx, topic.empty() ? nullptr : topic.c_str(), name);
    }
  }
  std::string text;
  {
    std::lock_guard<std::mutex> g(CatchLock());
    text.swap(CmdUtils::Gcatch_log_callback_help);
  }
  LogMessage(text);
  return 0;
}

int set_cpu_flags(const std::string& AText) {
  unsigned flags = static_cast<unsigned>(av_get_cpu_flags());
  const int ret = av_parse_cpu_caps(&flags, AText.c_str());
  if (ret >= 0) av_force_cpu_flags(static_cast<int>(flags));
  return ret;
}

// ---- Common options ---------------------------------------------------------------------

namespace {

template <int (*APrinter)(Platform::TStringList&)>
int ListOption(void*, const char*, const char*) {
  Platform::TStringList list;
  APrinter(list);
  LogMessage(list.Text());
  return 0;
}

template <int (*APrinter)(Platform::TStringList&, const std::string&)>
int DeviceListOption(void*, const char*, const char* arg) {
  Platform::TStringList list;
  APrinter(list, arg ? arg : "");
  LogMessage(list.Text());
  return 0;
}

int OptReport(void* ctx, const char*, const char*) { return init_report(ctx, nullptr, nullptr); }

int OptMaxAlloc(void* ctx, const char*, const char* arg) {
  if (!arg) arg = "";
  char* tail = nullptr;
  const long max = std::strtol(arg, &tail, 10);
  // Without any digit the limit would become 0 and every allocation would fail.
  if (*tail || tail == arg) {
    av_log(ctx, AV_LOG_FATAL, "Invalid max_alloc \"%s\".\n", arg);
    return AVERROR(EINVAL);
  }
  av_max_alloc(static_cast<std::size_t>(max));
  return 0;
}

int OptCpuFlags(void* ctx, const char*, const char* arg) {
  if (!arg) arg = "";
  unsigned flags = static_cast<unsigned>(av_get_cpu_flags());
  const int ret = av_parse_cpu_caps(&flags, arg);
  if (ret < 0) {
    av_log(ctx, AV_LOG_ERROR, "Failed to parse cpu caps with argument %s.\n", arg);
    return ret;
  }
  av_force_cpu_flags(static_cast<int>(flags));
  return 0;
}

int OptCpuCount(void*, const char*, const char* arg) {
  static const AVOption COptions[] = {
      {"count", nullptr, 0, AV_OPT_TYPE_INT, {.i64 = -1}, -1, INT_MAX, 0, nullptr},
      {},
  };
  AVClass cls{};
  cls.class_name = "cpucount";
  cls.item_name = AVUtilStubs::av_default_item_name;
  cls.option = COptions;
  cls.version = AV_VERSION_INT(60, 8, 100);
  struct {
    const AVClass* Class;
  } object = {&cls};
  int count = 0;
  const int ret = av_opt_eval_int(&object, COptions, arg ? arg : "", &count);
  if (ret) return ret;
  av_cpu_force_count(count);
  return 0;
}

using CmdUtils::OPT_EXIT;
using CmdUtils::OPT_EXPERT;
using CmdUtils::OPT_FUNC_ARG;

struct TCommonRow {
  const char* Name;
  std::int32_t Flags;
  CmdUtils::_Topt_func Handler;
  const char* Help;
  const char* ArgName;
};

const TCommonRow CCommonRows[CCommonOptionCount] = {
    {"h", OPT_EXIT, show_help, "show help", "topic"},
    {"?", OPT_EXIT | OPT_EXPERT, show_help, "show help", "topic"},
    {"help", OPT_EXIT | OPT_EXPERT, show_help, "show help", "topic"},
    {"-help", OPT_EXIT | OPT_EXPERT, show_help, "show help", "topic"},
    {"version", OPT_EXIT, ListOption<show_version>, "show version", nullptr},
    {"formats", OPT_EXIT | OPT_EXPERT, ListOption<show_formats>, "show available formats", nullptr},
    {"muxers", OPT_EXIT, ListOption<show_muxers>, "show available muxers", nullptr},
    {"demuxers", OPT_EXIT, ListOption<show_demuxers>, "show available demuxers", nullptr},
    {"devices", OPT_EXIT, ListOption<show_devices>, "show available devices", nullptr},
    {"codecs", OPT_EXIT | OPT_EXPERT, ListOption<show_codecs>, "show available codecs", nullptr},
    {"decoders", OPT_EXIT, ListOption<show_decoders>, "show available decoders", nullptr},
    {"encoders", OPT_EXIT, ListOption<show_encoders>, "show available encoders", nullptr},
    {"bsfs", OPT_EXIT | OPT_EXPERT, ListOption<show_bsfs>, "show available bit stream filters", nullptr},
    {"protocols", OPT_EXIT | OPT_EXPERT, ListOption<show_protocols>, "show available protocols", nullptr},
    {"filters", OPT_EXIT, ListOption<show_filters>, "show available filters", nullptr},
    {"pix_fmts", OPT_EXIT, ListOption<show_pix_fmts>, "show available pixel formats", nullptr},
    {"layouts", OPT_EXIT, ListOption<show_layouts>, "show standard channel layouts", nullptr},
    {"sample_fmts", OPT_EXIT, ListOption<show_sample_fmts>, "show available audio sample formats", nullptr},
    {"dispositions", OPT_EXIT | OPT_EXPERT, ListOption<show_dispositions>, "show available stream dispositions", nullptr},
    {"colors", OPT_EXIT | OPT_EXPERT, ListOption<show_colors>, "show available color names", nullptr},
    {"loglevel", OPT_FUNC_ARG | OPT_EXPERT, opt_loglevel, "set logging level", "loglevel"},
    {"v", OPT_FUNC_ARG, opt_loglevel, "set logging level", "loglevel"},
    {"report", OPT_EXPERT, OptReport, "generate a report", nullptr},
    {"max_alloc", OPT_FUNC_ARG | OPT_EXPERT, OptMaxAlloc, "set maximum size of a single allocated block", "bytes"},
    {"cpuflags", OPT_FUNC_ARG | OPT_EXPERT, OptCpuFlags, "force specific cpu flags", "flags"},
    {"cpucount", OPT_FUNC_ARG | OPT_EXPERT, OptCpuCount, "force specific cpu count", "count"},
    {"sources", OPT_FUNC_ARG | OPT_EXIT | OPT_EXPERT, DeviceListOption<show_sources>, "list sources of the input device", "device"},
    {"sinks", OPT_FUNC_ARG | OPT_EXIT | OPT_EXPERT, DeviceListOption<show_sinks>, "list sinks of the output device", "device"},
};

}  // namespace

CmdUtils::TOptionDef* InitCommonOptions(CmdUtils::TOptionDef* ATable) {
  for (const TCommonRow& row : CCommonRows) {
    ATable->name = row.Name;
    ATable->type_ = CmdUtils::OPT_TYPE_FUNC;
    ATable->flags = row.Flags;
    ATable->u = CmdUtils::OptFunc(row.Handler);
    ATable->help = row.Help;
    ATable->argname = row.ArgName;
    ATable++;  // u1 stays as it is
  }
  return ATable;
}

}  // namespace OptCommon
