// Output file set-up (see the header). The bodies follow step by step.
#include "engine/FFmpegMuxInit.h"

#include <cerrno>

#include "runtime/FFUtils.h"

namespace FFmpegMuxInit {

int of_open(TBaseFFmpeg* task, const TOptionsContext* o, const char* filename,
            FFmpegSched::TScheduler* sch) {
  (void)task;
  (void)o;
  (void)filename;
  (void)sch;
  return AVERROR(ENOSYS);
}

TMux* mux_alloc(TBaseFFmpeg* task) {
  (void)task;
  return nullptr;
}

const char* output_file_item_name(void* obj) { return static_cast<TMux*>(obj)->log_name; }

int check_opt_bitexact(void* obj, const AVDictionary* dict, const char* name, int flag) {
  (void)obj;
  (void)dict;
  (void)name;
  (void)flag;
  return 0;
}

int ost_add(TMux* mux, const TOptionsContext* o, AVMediaType type, FFmpegHeader::TInputStream* ist,
            FFmpegHeader::TOutputFilter* ofilter, const FFmpegHeader::TViewSpecifier* vs,
            FFmpegHeader::TOutputStream** post) {
  (void)mux, (void)o, (void)type, (void)ist, (void)ofilter, (void)vs, (void)post;
  return AVERROR(ENOSYS);
}

int get_preset_file_2(const char* preset, const char* codec_name, AVIOContext** pb) {
  (void)preset, (void)codec_name, (void)pb;
  return AVERROR(ENOSYS);
}

int enc_stats_init(TBaseFFmpeg* task, FFmpegHeader::TOutputStream* ost,
                   FFmpegHeader::TEncStats* es, const char* fmt, const char* path, int pre) {
  (void)task, (void)ost, (void)es, (void)fmt, (void)path, (void)pre;
  return AVERROR(ENOSYS);
}

int create_streams(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}

int setup_sync_queues(TMux* mux, AVFormatContext* fc, std::int64_t buf_size_us, int shortest) {
  (void)mux, (void)fc, (void)buf_size_us, (void)shortest;
  return AVERROR(ENOSYS);
}

int of_add_groups(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}
int of_add_programs(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}
int copy_meta(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}
int of_add_metadata(FFmpegHeader::TOutputFile* of, AVFormatContext* fc, const TOptionsContext* o) {
  (void)of, (void)fc, (void)o;
  return AVERROR(ENOSYS);
}
int set_dispositions(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}
int process_forced_keyframes(TMux* mux, const TOptionsContext* o) {
  (void)mux, (void)o;
  return AVERROR(ENOSYS);
}

}  // namespace FFmpegMuxInit
