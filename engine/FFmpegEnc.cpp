#include "engine/FFmpegEnc.h"

#include <cerrno>

namespace FFmpegEnc {

int enc_alloc(PEncoder& penc, const AVCodec*, FFmpegSched::TScheduler*, Cardinal, POutputStream) {
  penc = nullptr;
  return AVERROR(ENOSYS);
}
void enc_free(PEncoder& penc) { penc = nullptr; }
int enc_open(void*, const AVFrame*) { return AVERROR(ENOSYS); }
int encoder_thread(void*) { return AVERROR(ENOSYS); }
int enc_loopback(PEncoder enc) {
  PEncoderPriv e = ep_from_enc(enc);
  e->attach_par = 1;
  return static_cast<int>(e->sch_idx);
}
bool check_recording_time(POutputStream, std::int64_t, AVRational) { return true; }
int frame_encode(POutputStream, AVFrame*, AVPacket*) { return AVERROR(ENOSYS); }
int encode_frame(POutputFile, POutputStream, AVFrame*, AVPacket*) { return AVERROR(ENOSYS); }
int do_subtitle_out(POutputFile, POutputStream, const AVSubtitle*, AVPacket*) {
  return AVERROR(ENOSYS);
}
int update_video_stats(POutputStream, const AVPacket*, bool) { return 0; }
void enc_stats_write(POutputStream, TEncStats*, const AVFrame*, const AVPacket*, std::uint64_t) {}
bool forced_kf_apply(void*, TKeyframeForceCtx*, const AVFrame*) { return false; }
int hw_device_setup_for_encode(PEncoderPriv, AVBufferRef*) { return 0; }
int enc_thread_init(TEncoderThread* et) {
  et->frame = nullptr;
  et->pkt = nullptr;
  return AVERROR(ENOSYS);
}
void enc_thread_uninit(TEncoderThread*) {}
void enc_audio_hook_process(POutputStream, AVFrame*) {}
bool audio_preview_open(FFmpeg::TCustomFFmpeg*, const AVFrame*) { return false; }
void audio_preview_pull(void*, std::uint8_t*, int) {}
void enc_video_hook_step(POutputStream, AVFrame*) {}

}  // namespace FFmpegEnc
