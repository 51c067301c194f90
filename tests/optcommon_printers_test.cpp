// The information printers against the real libraries: exact headers and legends, item
// lines in the printers' formats, and results that match what the libraries count.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "LoaderTestSupport.h"
#include "platform/Format.h"
#include "runtime/FFLoad.h"
#include "runtime/OptCommon.h"

namespace {

using Platform::TStringList;
using AVCodecStubs::av_bsf_iterate;
using AVCodecStubs::av_codec_is_decoder;
using AVCodecStubs::av_codec_is_encoder;
using AVCodecStubs::av_codec_iterate;
using AVCodecStubs::avcodec_descriptor_get;
using AVCodecStubs::avcodec_descriptor_next;
using AVFilterStubs::av_filter_iterate;
using AVFormatStubs::av_demuxer_iterate;
using AVFormatStubs::av_disposition_to_string;
using AVFormatStubs::av_muxer_iterate;
using AVFormatStubs::avio_enum_protocols;
using AVUtilStubs::av_channel_layout_standard;
using AVUtilStubs::av_get_known_color_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_log_get_level;
using AVUtilStubs::av_log_set_level;
using AVUtilStubs::av_pix_fmt_desc_next;

class Printers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CDecoderLibraries))
        << FFLoad::FFLoader->GetLastErrMsg();
  }
};

std::vector<std::string> Head(const TStringList& AList, int ACount) {
  std::vector<std::string> head;
  for (int i = 0; i < ACount && i < AList.Count(); i++) head.push_back(AList[i]);
  return head;
}

// What the libraries themselves count.
int CountDescriptors() {
  int n = 0;
  for (const AVCodecDescriptor* d = avcodec_descriptor_next(nullptr); d; d = avcodec_descriptor_next(d)) n++;
  return n;
}
int CountCodecs(bool AEncoders) {
  int n = 0;
  void* it = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it)) n += AEncoders ? av_codec_is_encoder(c) : av_codec_is_decoder(c);
  return n;
}
int CountBsfs() {
  int n = 0;
  void* it = nullptr;
  while (av_bsf_iterate(&it)) n++;
  return n;
}
int CountFilters() {
  int n = 0;
  void* it = nullptr;
  while (av_filter_iterate(&it)) n++;
  return n;
}
bool IsDevice(const AVClass* c) {
  return c && c->category >= AV_CLASS_CATEGORY_DEVICE_VIDEO_OUTPUT && c->category <= AV_CLASS_CATEGORY_DEVICE_INPUT;
}
// Distinct format names of the kinds asked for.
std::set<std::string> FormatNames(bool AMuxers, bool ADemuxers, bool ADevicesOnly) {
  std::set<std::string> names;
  void* it = nullptr;
  if (AMuxers)
    while (const AVOutputFormat* f = av_muxer_iterate(&it))
      if (!ADevicesOnly || IsDevice(f->priv_class)) names.insert(f->name);
  it = nullptr;
  if (ADemuxers)
    while (const AVInputFormat* f = av_demuxer_iterate(&it))
      if (!ADevicesOnly || IsDevice(f->priv_class)) names.insert(f->name);
  return names;
}
int CountProtocols() {
  int n = 0;
  for (int output = 0; output <= 1; output++) {
    void* it = nullptr;
    while (avio_enum_protocols(&it, output)) n++;
  }
  return n;
}
int CountColors() {
  int n = 0;
  while (av_get_known_color_name(n, nullptr)) n++;
  return n;
}
int CountPixFmts() {
  int n = 0;
  for (const AVPixFmtDescriptor* d = av_pix_fmt_desc_next(nullptr); d; d = av_pix_fmt_desc_next(d)) n++;
  return n;
}
int CountLayouts() {
  int n = 0;
  void* it = nullptr;
  while (av_channel_layout_standard(&it)) n++;
  return n;
}
int CountSampleFmts() {
  int n = 0;
  while (av_get_sample_fmt_name(static_cast<AVSampleFormat>(n))) n++;
  return n;
}
int CountDispositions() {
  int n = 0;
  for (int i = 0; i < 32; i++) n += av_disposition_to_string(static_cast<int>(1u << i)) != nullptr;
  return n;
}

// Each list method of the loader: its exact header, the result the libraries give, the
// number of item lines, and lines that must be there.
TEST_F(Printers, ListsOfTheLoader) {
  FFLoad::TFFLoader& loader = *FFLoad::FFLoader;
  using TMethod = int (FFLoad::TFFLoader::*)(TStringList&);
  const std::vector<std::string> formats_head = {"Formats:", " D.. = Demuxing supported",
                                                 " .E. = Muxing supported", " ..d = Is a device", " ---"};
  const struct {
    const char* Name;
    TMethod Method;
    std::vector<std::string> Header;
    int Result;
    int Items;  // item lines after the header
    std::vector<std::string> Lines;
  } cases[] = {
      {"codecs", &FFLoad::TFFLoader::GetCodecs,
       {"Codecs:", " D..... = Decoding supported", " .E.... = Encoding supported", " ..V... = Video codec",
        " ..A... = Audio codec", " ..S... = Subtitle codec", " ..D... = Data codec",
        " ..T... = Attachment codec", " ...I.. = Intra frame-only codec", " ....L. = Lossy compression",
        " .....S = Lossless compression", " -------"},
       CountDescriptors(), CountDescriptors(),
       // one decoder and one encoder, both named as the descriptor: no name lists
       {" DEAI.S pcm_s16le            PCM signed 16-bit little-endian"}},
      {"decoders", &FFLoad::TFFLoader::GetDecoders,
       {"Decoders:", " V..... = Video", " A..... = Audio", " S..... = Subtitle",
        " .F.... = Frame-level multithreading", " ..S... = Slice-level multithreading",
        " ...X.. = Codec is experimental", " ....B. = Supports draw_horiz_band",
        " .....D = Supports direct rendering method 1", " ------"},
       CountDescriptors(), CountCodecs(false),
       {" A....D pcm_s16le            PCM signed 16-bit little-endian"}},
      {"encoders", &FFLoad::TFFLoader::GetEncoders,
       {"Encoders:", " V..... = Video", " A..... = Audio", " S..... = Subtitle",
        " .F.... = Frame-level multithreading", " ..S... = Slice-level multithreading",
        " ...X.. = Codec is experimental", " ....B. = Supports draw_horiz_band",
        " .....D = Supports direct rendering method 1", " ------"},
       CountDescriptors(), CountCodecs(true),
       {" A....D pcm_s16le            PCM signed 16-bit little-endian"}},
      {"bsfs", &FFLoad::TFFLoader::GetBSFs, {"Bitstream filters:"}, CountBsfs(), CountBsfs(), {"null"}},
      {"filters", &FFLoad::TFFLoader::GetFilters,
       {"Filters:", "  T.. = Timeline support", "  .S. = Slice threading", "  A = Audio input/output",
        "  V = Video input/output", "  N = Dynamic number and/or type of input/output",
        "  | = Source or sink filter"},
       CountFilters(), CountFilters(),
       {" .. amix              N->A       Audio mixing.",
        " .. split             V->N       Pass on the input to N video outputs.",
        " .. nullsink          V->|       Do absolutely nothing with the input video.",
        " .. buffer            |->V       Buffer video frames, and make them accessible to the filterchain."}},
      {"formats", &FFLoad::TFFLoader::GetFormats, formats_head,
       static_cast<int>(FormatNames(true, true, false).size()),
       static_cast<int>(FormatNames(true, true, false).size()),
       {" DE  avi             AVI (Audio Video Interleaved)", "  E  matroska        Matroska",
        " D   matroska,webm   Matroska / WebM", " D d lavfi           Libavfilter virtual input device"}},
      {"muxers", &FFLoad::TFFLoader::GetMuxers, formats_head,
       static_cast<int>(FormatNames(true, false, false).size()),
       static_cast<int>(FormatNames(true, false, false).size()),
       {"  E  avi             AVI (Audio Video Interleaved)"}},
      {"demuxers", &FFLoad::TFFLoader::GetDemuxers, formats_head,
       static_cast<int>(FormatNames(false, true, false).size()),
       static_cast<int>(FormatNames(false, true, false).size()),
       {" D   avi             AVI (Audio Video Interleaved)"}},
      {"devices", &FFLoad::TFFLoader::GetDevices,
       {"Devices:", " D. = Demuxing supported", " .E = Muxing supported", " ---"},
       static_cast<int>(FormatNames(true, true, true).size()),
       static_cast<int>(FormatNames(true, true, true).size()),
       {" D  lavfi           Libavfilter virtual input device"}},
      {"protocols", &FFLoad::TFFLoader::GetProtocols, {"Supported file protocols:", "Input:"},
       CountProtocols(), CountProtocols() + 1 /* "Output:" */, {"  file", "Output:"}},
      {"colors", &FFLoad::TFFLoader::GetColors, {"name                             #RRGGBB"}, CountColors(),
       CountColors(), {"AliceBlue                        #f0f8ff", "YellowGreen                      #9acd32"}},
      {"pix_fmts", &FFLoad::TFFLoader::GetPixFmts,
       {"Pixel formats:", "I.... = Supported Input  format for conversion",
        ".O... = Supported Output format for conversion", "..H.. = Hardware accelerated format",
        "...P. = Paletted format", "....B = Bitstream format",
        "FLAGS NAME            NB_COMPONENTS BITS_PER_PIXEL BIT_DEPTHS", "-----"},
       CountPixFmts(), CountPixFmts(),
       {"IO... yuv420p                3             12      8-8-8",
        "IO... gray                   1              8      8",
        "IO... yuv420p10le            3             15      10-10-10"}},
      {"layouts", &FFLoad::TFFLoader::GetLayouts, {"Individual channels:", "NAME           DESCRIPTION"},
       CountLayouts(), -1,
       {"FL             front left", "LFE            low frequency", "", "Standard channel layouts:",
        "NAME           DECOMPOSITION", "stereo         FL+FR", "5.1            FL+FR+FC+LFE+BL+BR"}},
      {"sample_fmts", &FFLoad::TFFLoader::GetSampleFmts, {"name   depth"}, CountSampleFmts(),
       CountSampleFmts(), {"u8        8 ", "s16      16 ", "dblp     64 "}},
      {"dispositions", &FFLoad::TFFLoader::GetDispositions, {"default", "dub"}, CountDispositions(),
       CountDispositions() - 2, {"attached_pic", "hearing_impaired"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TStringList list;
    list.Add("kept");  // the printers append
    const int result = (loader.*c.Method)(list);
    ASSERT_GT(list.Count(), 1);
    EXPECT_EQ(list[0], "kept");
    list.Delete(0);
    EXPECT_EQ(result, c.Result);
    EXPECT_EQ(Head(list, static_cast<int>(c.Header.size())), c.Header);
    if (c.Items >= 0) {
      EXPECT_EQ(list.Count() - static_cast<int>(c.Header.size()), c.Items);
    }
    for (const std::string& line : c.Lines) {
      EXPECT_GE(list.IndexOf(line), 0) << "missing: \"" << line << "\"";
    }
  }
}

// Codec lines by media type, then by name; the names of codecs that differ from the
// descriptor's name are listed with it.
TEST_F(Printers, CodecsAreSortedAndNameTheirOtherCodecs) {
  TStringList list;
  OptCommon::show_codecs(list);
  const std::string order = "VADST";
  std::string last_type, last_name;
  for (int i = 12; i < list.Count(); i++) {
    const std::string& line = list[i];
    ASSERT_GE(line.size(), 29u) << line;
    const std::string type(1, line[3]);
    const std::string name = line.substr(8, line.find(' ', 8) - 8);
    if (type == last_type) {
      EXPECT_LT(last_name, name) << line;
    } else if (!last_type.empty()) {
      EXPECT_LT(order.find(last_type), order.find(type)) << line;
    }
    last_type = type;
    last_name = name;
  }
  // a decoder named differently from its descriptor
  void* it = nullptr;
  const AVCodec* other = nullptr;
  while (const AVCodec* c = av_codec_iterate(&it))
    if (av_codec_is_decoder(c) && std::strcmp(c->name, avcodec_descriptor_get(c->id)->name) != 0) {
      other = c;
      break;
    }
  ASSERT_NE(other, nullptr);
  const std::string descriptor = avcodec_descriptor_get(other->id)->name;
  bool found = false;
  for (const std::string& line : list.Items())
    if (line.size() > 28 && line.compare(8, descriptor.size() + 1, descriptor + " ") == 0) {
      found = true;
      EXPECT_NE(line.find(" (decoders: "), std::string::npos) << line;
      EXPECT_NE(line.find(std::string(" ") + other->name), std::string::npos) << line;
    }
  EXPECT_TRUE(found) << descriptor;

  TStringList decoders;
  OptCommon::show_decoders(decoders);
  bool marked = false;
  for (const std::string& line : decoders.Items())
    if (line.size() > 8 && line.compare(8, std::strlen(other->name) + 1, std::string(other->name) + " ") == 0)
      marked = line.ends_with(" (codec " + descriptor + ")");
  EXPECT_TRUE(marked) << other->name;
}

TEST_F(Printers, Version) {
  TStringList list;
  EXPECT_EQ(OptCommon::show_version(list), 0);
  ASSERT_GE(list.Count(), 10);
  EXPECT_EQ(list[0], std::string(FFLoad::CBannerTitle) + " " + FFLoad::CBannerNotice);
  EXPECT_EQ(list[1].rfind("  built with ", 0), 0u) << list[1];
  EXPECT_EQ(list[2].rfind("FFmpeg library version 8.0 ", 0), 0u) << list[2];
  const unsigned v = AVUtilStubs::avutil_version();
  const std::string avutil = Platform::Format("  libavutil      %2u.%3u.%3u / %2u.%3u.%3u", v >> 16, (v >> 8) & 0xFF,
                                              v & 0xFF, v >> 16, (v >> 8) & 0xFF, v & 0xFF);
  const int first = list.IndexOf(avutil);
  ASSERT_GE(first, 0) << list.Text();
  const char* order[] = {"avutil", "avcodec", "avformat", "avdevice", "avfilter", "swscale", "swresample"};
  ASSERT_EQ(list.Count(), first + 7);
  for (int i = 0; i < 7; i++) EXPECT_EQ(list[first + i].rfind(std::string("  lib") + order[i], 0), 0u);
}

// Sources and sinks: the hint without a device name, the filter by name, the options'
// parse error, and the log level that listing sinks borrows.
TEST_F(Printers, SourcesAndSinks) {
  const std::vector<std::string> hint = {"Device name is not provided.",
                                         "You can pass devicename[,opt1=val1[,opt2=val2...]] as an argument.", ""};
  for (bool sinks : {false, true}) {
    SCOPED_TRACE(sinks ? "sinks" : "sources");
    const auto show = sinks ? OptCommon::show_sinks : OptCommon::show_sources;
    const std::string title = sinks ? "Auto-detected sinks for " : "Auto-detected sources for ";
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_DEBUG);

    TStringList all;
    const int n = show(all, "");
    EXPECT_EQ(n, all.Count());
    EXPECT_EQ(Head(all, 3), hint);
    int titles = 0;
    for (const std::string& line : all.Items()) titles += line.rfind(title, 0) == 0;
    EXPECT_GT(titles, 0);
    EXPECT_GE(all.IndexOf(title + "alsa:"), 0);

    TStringList one;
    const int m = show(one, "alsa,opt=1");
    EXPECT_EQ(m, one.Count());
    ASSERT_GE(one.Count(), 1);
    EXPECT_EQ(one[0], title + "alsa:");
    for (const std::string& line : one.Items()) {
      if (line.rfind("Auto-detected", 0) == 0) {
        EXPECT_EQ(line, title + "alsa:");
      }
    }

    TStringList bad;
    EXPECT_EQ(show(bad, "alsa,novalue"), AVERROR(EINVAL));
    EXPECT_EQ(bad.Count(), 0);

    EXPECT_EQ(av_log_get_level(), AV_LOG_DEBUG);  // given back after the sinks
    av_log_set_level(level);
  }
}

}  // namespace
