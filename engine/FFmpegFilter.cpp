// Filter graphs: set-up, binding, configuration and the filter thread.
#include "engine/FFmpegFilter.h"

#include <cerrno>

namespace FFmpegFilter {

int fg_create(TBaseFFmpeg*, PFilterGraph*, char* graph_desc, FFmpegSched::TScheduler*) {
  AVUtilStubs::av_freep(&graph_desc);
  return AVERROR(ENOSYS);
}

int fg_create_simple(TBaseFFmpeg*, PFilterGraph*, PInputStream, const TOutputFilterOptions*,
                     unsigned, FFmpegSched::TScheduler*, char* graph_desc) {
  AVUtilStubs::av_freep(&graph_desc);
  return AVERROR(ENOSYS);
}

int ifilter_bind_ist(PInputFilter, PInputStream, const TViewSpecifier*) { return AVERROR(ENOSYS); }
int ifilter_bind_dec(PInputFilter, PDecoder, const TViewSpecifier*) { return AVERROR(ENOSYS); }
int ifilter_bind_fg(PInputFilter, PFilterGraph, int) { return AVERROR(ENOSYS); }
int ofilter_bind_enc(POutputFilter, unsigned, const TOutputFilterOptions*) {
  return AVERROR(ENOSYS);
}
int ofilter_bind_ifilter(POutputFilter, PInputFilter, const TOutputFilterOptions*) {
  return AVERROR(ENOSYS);
}
int fg_finalise_bindings(TBaseFFmpeg* Owner) {
  return Owner && Owner->Fnb_filtergraphs ? AVERROR(ENOSYS) : 0;
}
int check_filter_outputs(TBaseFFmpeg*) { return 0; }
void fg_free(PFilterGraph& fg) { fg = nullptr; }
bool ifilter_has_all_input_formats(TFilterGraph*) { return false; }
bool filtergraph_is_simple(const TFilterGraph* fg) {
  return fgp_from_fg(const_cast<TFilterGraph*>(fg))->is_simple != 0;
}

int filter_thread(void*) { return AVERROR(ENOSYS); }
int fg_thread_init(TFilterGraphThread*, const TFilterGraph*) { return AVERROR(ENOSYS); }
void fg_thread_uninit(TFilterGraphThread*) {}
int configure_filtergraph(TBaseFFmpeg*, TFilterGraph*, TFilterGraphThread*) {
  return AVERROR(ENOSYS);
}
void cleanup_filtergraph(TFilterGraph*, TFilterGraphThread*) {}
int choose_out_timebase(TOutputFilterPriv*, AVFrame*) { return AVERROR(ENOSYS); }
double adjust_frame_pts_to_encoder_tb(TBaseFFmpeg*, AVFrame*, AVRational, std::int64_t) {
  return 0;
}
void video_sync_process(TOutputFilterPriv*, AVFrame*, std::int64_t& nb_frames,
                        std::int64_t& nb_frames_prev) {
  nb_frames = nb_frames_prev = 0;
}
int fg_output_frame(TOutputFilterPriv*, TFilterGraphThread*, AVFrame*) { return AVERROR(ENOSYS); }

}  // namespace FFmpegFilter
