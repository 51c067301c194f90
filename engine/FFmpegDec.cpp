#include "engine/FFmpegDec.h"

#include <cerrno>

namespace FFmpegDec {

int dec_alloc(FFmpeg::TCustomFFmpeg*, TDecoderPriv*& dp, TScheduler*, bool) {
  dp = nullptr;
  return AVERROR(ENOSYS);
}
void dec_free(PDecoder& dec) { dec = nullptr; }
int dec_init(FFmpeg::TCustomFFmpeg*, PDecoder& dec, TScheduler*, AVDictionary**,
             const TDecoderOpts*, AVFrame*) {
  dec = nullptr;
  return AVERROR(ENOSYS);
}
int dec_open(TDecoderPriv*, AVDictionary**, const TDecoderOpts*, AVFrame*) {
  return AVERROR(ENOSYS);
}
int dec_create(FFmpeg::TCustomFFmpeg*, const TOptionsContext*, const char*, TScheduler*) {
  return AVERROR(ENOSYS);
}
int dec_filter_add(PDecoder, TInputFilter*, TInputFilterOptions*, const TViewSpecifier*,
                   TSchedulerNode&) {
  return AVERROR(ENOSYS);
}
int dec_request_view(PDecoder, const TViewSpecifier*, TSchedulerNode&) { return AVERROR(ENOSYS); }
int decoder_thread(void*) { return AVERROR(ENOSYS); }
void multiview_check_manual(TDecoderPriv*, const AVDictionary*) {}
int packet_decode(TDecoderPriv*, AVPacket*, AVFrame*) { return AVERROR(ENOSYS); }
int hw_device_setup_for_decode(TDecoderPriv*, const AVCodec*, const char*) {
  return AVERROR(ENOSYS);
}
int hwaccel_retrieve_data(AVCodecContext*, AVFrame*) { return AVERROR(ENOSYS); }
AVRational audio_samplerate_update(TDecoderPriv*, const AVFrame*) { return AVRational{1, 1}; }
void audio_ts_process(TDecoderPriv*, AVFrame*) {}
std::int64_t video_duration_estimate(const TDecoderPriv*, const AVFrame*) { return 1; }
int video_frame_process(TDecoderPriv*, AVFrame*, unsigned&) { return AVERROR(ENOSYS); }
void video_hook_process(TDecoderPriv*, AVFrame*) {}
int transcode_subtitles(TDecoderPriv*, const AVPacket*, AVFrame*) { return AVERROR(ENOSYS); }
int subtitle_wrap_frame(AVFrame*, AVSubtitle*, bool) { return AVERROR(ENOSYS); }
int copy_av_subtitle(AVSubtitle*, const AVSubtitle*) { return AVERROR(ENOSYS); }

}  // namespace FFmpegDec
