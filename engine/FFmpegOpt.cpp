#include "engine/FFmpegOpt.h"

namespace FFmpegOpt {

void BuildOptionTable(TBaseFFmpeg*) {}
void init_options(TBaseFFmpeg* ATask, TOptionsContext& AContext) {
  AContext = TOptionsContext{};
  AContext.Owner = ATask;
}
void uninit_options(TBaseFFmpeg*, TOptionsContext&) {}
int open_files(TBaseFFmpeg*, CmdUtils::TOptionGroupList*, const char*, TOpenGroupFunc, TScheduler*) {
  return AVERROR(ENOSYS);
}
int ffmpeg_parse_options(TBaseFFmpeg*, int, char**, TScheduler*) { return AVERROR(ENOSYS); }
int ParseTaskOptions(TBaseFFmpeg*, const std::string&) { return AVERROR(ENOSYS); }
void show_usage() {}
void show_help_default(void*, const char*, const char*) {}
int opt_match_per_stream_str(void*, const CmdUtils::TSpecifierOptList&, const AVFormatContext*,
                             const AVStream*, const char*&) {
  return 0;
}
int opt_match_per_stream_int(void*, const CmdUtils::TSpecifierOptList&, const AVFormatContext*,
                             const AVStream*, int&) {
  return 0;
}
int opt_match_per_stream_int64(void*, const CmdUtils::TSpecifierOptList&, const AVFormatContext*,
                               const AVStream*, std::int64_t&) {
  return 0;
}
int opt_match_per_stream_dbl(void*, const CmdUtils::TSpecifierOptList&, const AVFormatContext*,
                             const AVStream*, double&) {
  return 0;
}
const char* opt_match_per_type_str(const CmdUtils::TSpecifierOptList&, char) { return nullptr; }
int find_codec(TBaseFFmpeg*, void*, const char*, AVMediaType, bool, const AVCodec*& ACodec) {
  ACodec = nullptr;
  return AVERROR(ENOSYS);
}
int assert_file_overwrite(TBaseFFmpeg*, const char*) { return AVERROR(ENOSYS); }
int parse_and_set_vsync(TBaseFFmpeg*, const char*, int&, int, int, bool) { return AVERROR(ENOSYS); }
int parse_view_specifier(void*, FFmpegHeader::TViewSpecifier& AVs, const char*&) {
  AVs = FFmpegHeader::TViewSpecifier{};
  return 0;
}

}  // namespace FFmpegOpt
