#include "MediaBuilder.h"

#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "TestLibraries.h"
#include "platform/Format.h"
#include "runtime/FFPtr.h"

namespace MediaBuilder {
namespace {

using AVCodecStubs::avcodec_send_frame;
using AVCodecStubs::avcodec_receive_packet;
using AVCodecStubs::av_packet_rescale_ts;
using AVCodecStubs::avcodec_get_supported_config;
using AVCodecStubs::avcodec_find_encoder_by_name;
using AVCodecStubs::avcodec_alloc_context3;
using AVCodecStubs::avcodec_open2;
using AVCodecStubs::avcodec_parameters_from_context;
using AVCodecStubs::av_packet_alloc;
using AVCodecStubs::avcodec_encode_subtitle;
using AVFormatStubs::av_interleaved_write_frame;
using AVFormatStubs::avformat_alloc_output_context2;
using AVFormatStubs::avformat_new_stream;
using AVFormatStubs::avio_open2;
using AVFormatStubs::avformat_write_header;
using AVFormatStubs::av_write_trailer;
using AVFilterStubs::avfilter_graph_alloc;
using AVFilterStubs::avfilter_graph_parse2;
using AVFilterStubs::avfilter_inout_free;
using AVFilterStubs::avfilter_graph_config;
using AVFilterStubs::avfilter_graph_get_filter;
using AVFilterStubs::av_buffersink_set_frame_size;
using AVFilterStubs::av_buffersink_get_frame;
using AVFilterStubs::av_buffersink_get_time_base;
using AVUtilStubs::av_channel_layout_default;
using AVUtilStubs::av_channel_layout_describe;
using AVUtilStubs::av_get_pix_fmt_name;
using AVUtilStubs::av_get_sample_fmt_name;
using AVUtilStubs::av_frame_alloc;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_rescale_q;
using AVUtilStubs::av_compare_ts;
using AVCodecStubs::av_packet_unref;
using AVCodecStubs::av_new_packet;

struct TOut {
  FFPtr::TCodecContextPtr Codec;
  AVStream* Stream = nullptr;
  AVFilterContext* Sink = nullptr;
};

// Sends AFrame (nullptr flushes) through the encoder and writes what comes out.
int EncodeAndWrite(AVFormatContext* AOutput, TOut& AOut, AVFrame* AFrame, AVPacket* APkt) {
  int ret = avcodec_send_frame(AOut.Codec.get(), AFrame);
  while (ret >= 0) {
    ret = avcodec_receive_packet(AOut.Codec.get(), APkt);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    av_packet_rescale_ts(APkt, AOut.Codec->time_base, AOut.Stream->time_base);
    APkt->stream_index = AOut.Stream->index;
    ret = av_interleaved_write_frame(AOutput, APkt);
  }
  return ret;
}

AVSampleFormat FirstSampleFormat(const AVCodec* ACodec) {
  const void* configs = nullptr;
  int count = 0;
  if (avcodec_get_supported_config(nullptr, ACodec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &configs,
                                   &count) < 0 ||
      !configs || count <= 0)
    return AV_SAMPLE_FMT_S16;
  return static_cast<const AVSampleFormat*>(configs)[0];
}

// Encodes ABox as one subtitle packet of AOut's stream and writes it.
int WriteSubtitle(AVFormatContext* AOutput, TOut& AOut, const TSubtitleBox& ABox, AVPacket* APkt) {
  std::vector<std::uint8_t> index(static_cast<size_t>(ABox.Width) * ABox.Height, 1);
  std::uint32_t palette[256] = {0x00000000, 0xFFFFFFFF};  // transparent, opaque white
  AVSubtitleRect rect{};
  rect.x = ABox.X;
  rect.y = ABox.Y;
  rect.w = ABox.Width;
  rect.h = ABox.Height;
  rect.nb_colors = 2;
  rect.type = SUBTITLE_BITMAP;
  rect.data[0] = index.data();
  rect.linesize[0] = ABox.Width;
  rect.data[1] = reinterpret_cast<std::uint8_t*>(palette);
  rect.linesize[1] = 4;
  AVSubtitleRect* rects[1] = {&rect};
  AVSubtitle sub{};
  sub.format = 0;
  sub.start_display_time = 0;
  sub.end_display_time = static_cast<std::uint32_t>((ABox.End - ABox.Start) * 1000);
  sub.num_rects = 1;
  sub.rects = rects;
  sub.pts = static_cast<std::int64_t>(ABox.Start * AV_TIME_BASE);
  std::vector<std::uint8_t> buf(1 << 16);
  const int size = avcodec_encode_subtitle(AOut.Codec.get(), buf.data(), static_cast<int>(buf.size()), &sub);
  if (size < 0) return size;
  AVPacket* pkt = APkt;
  av_packet_unref(pkt);
  int ret = av_new_packet(pkt, size);
  if (ret < 0) return ret;
  std::memcpy(pkt->data, buf.data(), static_cast<size_t>(size));
  pkt->pts = pkt->dts = av_rescale_q(sub.pts, AV_TIME_BASE_Q, AOut.Stream->time_base);
  pkt->duration = av_rescale_q(sub.end_display_time, AVRational{1, 1000}, AOut.Stream->time_base);
  pkt->flags |= AV_PKT_FLAG_KEY;
  pkt->stream_index = AOut.Stream->index;
  return av_interleaved_write_frame(AOutput, pkt);
}

}  // namespace

int WriteMedia(const std::string& AFileName, const char* AFormat, const TMediaSpec& ASpec) {
  TestLibraries::RequireFFmpegLibraries();
  const int count = static_cast<int>(ASpec.Streams.size());
  std::vector<TOut> outs(static_cast<size_t>(count));

  FFPtr::TOutputFormatPtr output;
  {
    AVFormatContext* oc = nullptr;
    const int ret = avformat_alloc_output_context2(&oc, nullptr, AFormat, AFileName.c_str());
    if (ret < 0) return ret;
    output.reset(oc);
  }
  AVFormatContext* oc = output.get();

  // Encoders first: an audio encoder's sample format and frame size shape its source.
  std::string desc;
  for (int i = 0; i < count; ++i) {
    const bool video = ASpec.Streams[i] == 'v';
    const bool subtitle = ASpec.Streams[i] == 's';
    const AVCodec* codec = avcodec_find_encoder_by_name(
        subtitle ? "dvdsub" : video ? ASpec.VideoCodec.c_str() : ASpec.AudioCodec.c_str());
    if (!codec) return AVERROR_ENCODER_NOT_FOUND;
    TOut& out = outs[i];
    out.Codec.reset(avcodec_alloc_context3(codec));
    if (!out.Codec) return AVERROR(ENOMEM);
    AVCodecContext* c = out.Codec.get();
    if (subtitle) {
      c->width = ASpec.Width;
      c->height = ASpec.Height;
      c->time_base = AVRational{1, 1000};
    } else if (video) {
      c->width = ASpec.Width;
      c->height = ASpec.Height;
      c->pix_fmt = ASpec.PixelFormat;
      c->time_base = av_inv_q(ASpec.FrameRate);
      c->framerate = ASpec.FrameRate;
      c->gop_size = ASpec.Gop;
    } else {
      c->sample_fmt = ASpec.SampleFormat != AV_SAMPLE_FMT_NONE ? ASpec.SampleFormat
                                                                : FirstSampleFormat(codec);
      c->sample_rate = ASpec.SampleRate;
      av_channel_layout_default(&c->ch_layout, ASpec.Channels);
      c->time_base = AVRational{1, ASpec.SampleRate};
    }
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int ret = avcodec_open2(c, codec, nullptr);
    if (ret < 0) return ret;
    out.Stream = avformat_new_stream(oc, nullptr);
    if (!out.Stream) return AVERROR(ENOMEM);
    out.Stream->time_base = c->time_base;
    ret = avcodec_parameters_from_context(out.Stream->codecpar, c);
    if (ret < 0) return ret;

    if (subtitle) continue;
    if (!desc.empty()) desc += ";";
    if (video) {
      desc += Platform::Format("%s=size=%dx%d:rate=%d/%d:duration=%g,format=%s,buffersink@s%d",
                               ASpec.VideoSource.c_str(), ASpec.Width, ASpec.Height, ASpec.FrameRate.num,
                               ASpec.FrameRate.den, ASpec.Duration,
                               av_get_pix_fmt_name(ASpec.PixelFormat), i);
    } else {
      char layout[64] = "";
      av_channel_layout_describe(&c->ch_layout, layout, sizeof layout);
      desc += Platform::Format(
          "sine=frequency=%d:sample_rate=%d:duration=%g,"
          "aformat=sample_fmts=%s:channel_layouts=%s,abuffersink@s%d",
          440 * (i + 1), ASpec.SampleRate,
          ASpec.AudioDuration > 0 ? ASpec.AudioDuration : ASpec.Duration,
          av_get_sample_fmt_name(c->sample_fmt),
          layout, i);
    }
  }

  FFPtr::TFilterGraphPtr graph(avfilter_graph_alloc());
  if (!graph) return AVERROR(ENOMEM);
  AVFilterInOut* inputs = nullptr;
  AVFilterInOut* outputs = nullptr;
  int ret = avfilter_graph_parse2(graph.get(), desc.c_str(), &inputs, &outputs);
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  if (ret >= 0) ret = avfilter_graph_config(graph.get(), nullptr);
  if (ret < 0) return ret;
  for (int i = 0; i < count; ++i) {
    if (ASpec.Streams[i] == 's') continue;
    const bool video = ASpec.Streams[i] == 'v';
    const std::string sink = Platform::Format("%s@s%d", video ? "buffersink" : "abuffersink", i);
    outs[i].Sink = avfilter_graph_get_filter(graph.get(), sink.c_str());
    const AVCodecContext* c = outs[i].Codec.get();
    if (!video && c->frame_size > 0 &&
        !(c->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE))
      av_buffersink_set_frame_size(outs[i].Sink, static_cast<unsigned>(c->frame_size));
  }

  if (!(oc->oformat->flags & AVFMT_NOFILE)) {
    ret = avio_open2(&oc->pb, AFileName.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (ret < 0) return ret;
  }
  oc->output_ts_offset = ASpec.OutputOffset;
  ret = avformat_write_header(oc, nullptr);
  if (ret < 0) return ret;

  FFPtr::TFramePtr frame(av_frame_alloc());
  FFPtr::TPacketPtr pkt(av_packet_alloc());
  if (!frame || !pkt) return AVERROR(ENOMEM);
  // Frames are pulled from the stream that is furthest behind, so the file comes out
  // interleaved as a recorder would write it (not one whole stream after the other).
  std::vector<std::int64_t> nextPts(count, 0);  // in each encoder's time base
  std::vector<bool> done(count, false);
  // Subtitles are few: all of them go first; the muxer interleaves them by time.
  for (int i = 0; i < count && ret >= 0; ++i) {
    if (ASpec.Streams[i] != 's') continue;
    done[i] = true;
    for (const TSubtitleBox& box : ASpec.Subtitles) {
      ret = WriteSubtitle(oc, outs[i], box, pkt.get());
      if (ret < 0) break;
    }
  }
  while (ret >= 0) {
    int i = -1;
    for (int k = 0; k < count; ++k) {
      if (done[k]) continue;
      if (i < 0 || av_compare_ts(nextPts[k], outs[k].Codec->time_base, nextPts[i],
                                 outs[i].Codec->time_base) < 0)
        i = k;
    }
    if (i < 0) break;
    ret = av_buffersink_get_frame(outs[i].Sink, frame.get());
    if (ret == AVERROR_EOF) {
      ret = EncodeAndWrite(oc, outs[i], nullptr, pkt.get());
      done[i] = true;
      continue;
    }
    if (ret < 0) break;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    // The sink's time base may differ from the encoder's: count in the encoder's.
    if (ASpec.Streams[i] == 'a') {
      frame->pts = nextPts[i];
      nextPts[i] += frame->nb_samples;
    } else {
      frame->pts = av_rescale_q(frame->pts, av_buffersink_get_time_base(outs[i].Sink),
                                outs[i].Codec->time_base);
      nextPts[i] = frame->pts + 1;
    }
    ret = EncodeAndWrite(oc, outs[i], frame.get(), pkt.get());
    av_frame_unref(frame.get());
  }
  if (ret >= 0) ret = av_write_trailer(oc);
  return ret;
}

int WriteMedia(const std::string& AFileName, const char* AFormat, const std::string& AStreams) {
  TMediaSpec spec;
  spec.Streams = AStreams;
  return WriteMedia(AFileName, AFormat, spec);
}

}  // namespace MediaBuilder
