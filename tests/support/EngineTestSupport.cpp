#include "EngineTestSupport.h"

#include <cerrno>

namespace EngineTestSupport {

int DrainMux(FFmpegSched::TScheduler* sch, Platform::Cardinal mux_idx,
             const std::function<void(const AVPacket*)>& AOnPacket) {
  AVPacket* pkt = AVCodecStubs::av_packet_alloc();
  if (!pkt) return AVERROR(ENOMEM);
  int ret = 0;
  for (;;) {
    ret = FFmpegSched::sch_mux_receive(sch, mux_idx, pkt);
    if (pkt->stream_index < 0) break;
    if (ret == AVERROR_EOF) {
      FFmpegSched::sch_mux_receive_finish(sch, mux_idx,
                                          static_cast<Platform::Cardinal>(pkt->stream_index));
      ret = 0;
      continue;
    }
    if (ret < 0) break;
    if (AOnPacket) AOnPacket(pkt);
    AVCodecStubs::av_packet_unref(pkt);
  }
  AVCodecStubs::av_packet_free(&pkt);
  return ret == AVERROR_EOF || ret == AVERROR_EXIT ? 0 : ret;
}

FFmpegOpt::TOptionsContext GroupOptions(FFmpegHeader::TBaseFFmpeg* ATask,
                                        CmdUtils::TOptionGroup* AGroup) {
  FFmpegOpt::TOptionsContext o{};
  FFmpegOpt::init_options(ATask, o);
  o.g = AGroup;
  return o;
}

}  // namespace EngineTestSupport
