#include "engine/FFmpegDemux.h"

#include <cerrno>

namespace FFmpegDemux {

int ifile_open(TBaseFFmpeg*, TOptionsContext*, const char*, FFmpegSched::TScheduler*) {
  return AVERROR(ENOSYS);
}

int ist_add(TOptionsContext*, TDemux*, AVStream*, PInputStream& ist_out) {
  ist_out = nullptr;
  return AVERROR(ENOSYS);
}

int ist_use(TBaseFFmpeg*, PInputStream, int, FFmpegSched::TSchedulerNode&, const FFmpegHeader::TViewSpecifier*) {
  return AVERROR(ENOSYS);
}

int ist_filter_add(TBaseFFmpeg*, PInputStream, FFmpegHeader::PInputFilter, FFmpegSched::TSchedulerNode&,
                   FFmpegHeader::TInputFilterOptions&, const FFmpegHeader::TViewSpecifier*, int) {
  return AVERROR(ENOSYS);
}

void ifile_close(PInputFile& f) { f = nullptr; }

int choose_decoder(TOptionsContext*, AVFormatContext*, AVStream*, const AVCodec*& codec, FFmpegHeader::THWAccelID,
                   AVHWDeviceType) {
  codec = nullptr;
  return AVERROR(ENOSYS);
}

int dump_attachment(PInputStream, const char*) { return AVERROR(ENOSYS); }

PInputStream ist_find_available(TBaseFFmpeg*, AVMediaType) { return nullptr; }

int input_thread(void*) { return AVERROR(ENOSYS); }

}  // namespace FFmpegDemux
