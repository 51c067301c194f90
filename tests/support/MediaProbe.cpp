#include "MediaProbe.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFPtr.h"

namespace MediaProbe {
namespace {

using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::av_packet_unref;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_find_decoder;
using AVCodecStubs::avcodec_get_name;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_to_context;
using AVCodecStubs::avcodec_receive_frame;
using AVCodecStubs::avcodec_send_packet;
using AVFormatStubs::av_read_frame;
using AVFormatStubs::avformat_find_stream_info;
using AVFormatStubs::avformat_open_input;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_dict_get;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_image_copy_to_buffer;
using AVUtilStubs::av_image_get_buffer_size;

std::map<std::string, std::string> Tags(const AVDictionary* ADict) {
  std::map<std::string, std::string> tags;
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(ADict, "", e, AV_DICT_IGNORE_SUFFIX))) tags[e->key] = e->value;
  return tags;
}

// FNV-1a over the picture packed without padding.
std::uint32_t PictureSum(const AVFrame* AFrame) {
  const AVPixelFormat fmt = AVPixelFormat(AFrame->format);
  const int size = av_image_get_buffer_size(fmt, AFrame->width, AFrame->height, 1);
  if (size <= 0) return 0;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(size));
  if (av_image_copy_to_buffer(buf.data(), size, AFrame->data, AFrame->linesize, fmt,
                              AFrame->width, AFrame->height, 1) < 0)
    return 0;
  std::uint32_t h = 2166136261u;
  for (const std::uint8_t b : buf) h = (h ^ b) * 16777619u;
  return h;
}

void Drain(AVCodecContext* ACodec, AVFrame* AFrame, TProbedStream& AStream) {
  while (avcodec_receive_frame(ACodec, AFrame) >= 0) {
    if (AStream.Type == AVMEDIA_TYPE_VIDEO) AStream.FrameSums.push_back(PictureSum(AFrame));
    else AStream.Samples += AFrame->nb_samples;
    av_frame_unref(AFrame);
  }
}

}  // namespace

double TProbedStream::Start() const {
  if (Pts.empty()) return 0;
  return double(*std::min_element(Pts.begin(), Pts.end())) * TimeBase.num / TimeBase.den;
}

double TProbedStream::Duration() const {
  if (Pts.empty()) return 0;
  std::int64_t first = Pts[0], last_end = Pts[0];
  for (std::size_t i = 0; i < Pts.size(); i++) {
    first = std::min(first, Pts[i]);
    last_end = std::max(last_end, Pts[i] + Durations[i]);
  }
  return double(last_end - first) * TimeBase.num / TimeBase.den;
}

const TProbedStream* TProbe::Find(AVMediaType AType, int AIndex) const {
  for (const TProbedStream& s : Streams)
    if (s.Type == AType && AIndex-- == 0) return &s;
  return nullptr;
}

int TProbe::Count(AVMediaType AType) const {
  return int(std::count_if(Streams.begin(), Streams.end(),
                           [&](const TProbedStream& s) { return s.Type == AType; }));
}

TProbe ProbeFile(const std::string& AFile, bool ADecode) {
  TProbe probe;
  AVFormatContext* ic = nullptr;
  probe.Result = avformat_open_input(&ic, AFile.c_str(), nullptr, nullptr);
  if (probe.Result < 0) return probe;
  FFPtr::TInputFormatPtr input(ic);
  probe.Result = avformat_find_stream_info(ic, nullptr);
  if (probe.Result < 0) return probe;
  probe.Format = ic->iformat->name;
  probe.HasDuration = ic->duration != AV_NOPTS_VALUE;
  if (probe.HasDuration) probe.Duration = double(ic->duration) / AV_TIME_BASE;
  probe.Tags = Tags(ic->metadata);
  std::vector<FFPtr::TCodecContextPtr> decoders(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    TProbedStream s;
    s.Type = par->codec_type;
    s.Codec = avcodec_get_name(par->codec_id);
    s.Width = par->width;
    s.Height = par->height;
    if (s.Type == AVMEDIA_TYPE_VIDEO && par->format >= 0) {
      const char* name = av_get_pix_fmt_name(AVPixelFormat(par->format));
      s.PixelFormat = name ? name : "";
    }
    if (s.Type == AVMEDIA_TYPE_AUDIO && par->format >= 0) {
      const char* name = av_get_sample_fmt_name(AVSampleFormat(par->format));
      s.SampleFormat = name ? name : "";
    }
    s.SampleRate = par->sample_rate;
    s.Channels = par->ch_layout.nb_channels;
    char layout[128] = "";
    if (s.Channels > 0) av_channel_layout_describe(&par->ch_layout, layout, sizeof layout);
    s.ChannelLayout = layout;
    s.Disposition = st->disposition;
    s.Tags = Tags(st->metadata);
    s.TimeBase = st->time_base;
    probe.Streams.push_back(s);
    if (!ADecode || (s.Type != AVMEDIA_TYPE_VIDEO && s.Type != AVMEDIA_TYPE_AUDIO)) continue;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) continue;
    decoders[i].reset(avcodec_alloc_context3(codec));
    if (avcodec_parameters_to_context(decoders[i].get(), par) < 0 ||
        avcodec_open2(decoders[i].get(), codec, nullptr) < 0)
      decoders[i].reset();
  }
  FFPtr::TPacketPtr pkt(av_packet_alloc());
  FFPtr::TFramePtr frame(av_frame_alloc());
  while (av_read_frame(ic, pkt.get()) >= 0) {
    TProbedStream& s = probe.Streams[pkt->stream_index];
    s.Pts.push_back(pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts);
    s.Durations.push_back(pkt->duration);
    if (AVCodecContext* dec = decoders[pkt->stream_index].get()) {
      if (avcodec_send_packet(dec, pkt.get()) >= 0) Drain(dec, frame.get(), s);
    }
    av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    if (AVCodecContext* dec = decoders[i].get()) {
      avcodec_send_packet(dec, nullptr);
      Drain(dec, frame.get(), probe.Streams[i]);
    }
  }
  return probe;
}

}  // namespace MediaProbe
