#include "components/FFDecode.h"

#include <strings.h>

#include <cinttypes>
#include <climits>

extern "C" {
#include <libavformat/version.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "platform/Format.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFLoad.h"
#include "runtime/FFUtils.h"
#include "runtime/MemoryProtocol.h"
#include "runtime/MyUtils.h"
#include "runtime/OptCommon.h"
#include "runtime/SwResampleStubs.h"

namespace FFDecode {

namespace {

using CmdUtils::OptDst;
using CmdUtils::TOptionDef;

constexpr const char* CFileNotLoaded = "file not loaded.";
constexpr const char* CSeekReadOnly = "file cannot be seeked, handle is readonly.";

// The log worker's level of an FFmpeg log level.
FFLoad::TLogLevel WorkerLevel(int ALevel) {
  if (ALevel < AV_LOG_QUIET) return FFLoad::llQuiet;
  if (ALevel >= AV_LOG_TRACE) return FFLoad::llTrace;
  return static_cast<FFLoad::TLogLevel>(ALevel / 8 + 1);
}

// The current position of an I/O context.
std::int64_t IOPosition(AVIOContext* APb) {
  using AVFormatStubs::avio_seek;
  return avio_seek(APb, 0, SEEK_CUR);
}

// The head of libavformat's own record behind every AVInputFormat, as this build lays it
// out: the public part, then the demuxer's entries.
using TEntry = void (*)();
struct TDemuxerRecord {
  AVInputFormat p;
  int raw_codec_id;
  int priv_data_size;
  int flags_internal;
  TEntry read_probe;
  TEntry read_header;
  TEntry read_packet;
  TEntry read_close;
  TEntry read_seek;
  TEntry read_timestamp;
  TEntry read_set_state;
  TEntry handle_command;
  TEntry read_seek2;
};

// Whether AFormat seeks only through the newer entry (read_seek2 without read_seek).
// The record is read only when the loaded libavformat is the release this was built
// against; otherwise False, and av_seek_frame picks the entry itself.
bool OnlyNewerSeek(const AVInputFormat* AFormat) {
  using AVFormatStubs::avformat_version;
  if (!AFormat || (avformat_version() >> 8) != (LIBAVFORMAT_VERSION_INT >> 8)) return false;
  const auto* record = reinterpret_cast<const TDemuxerRecord*>(AFormat);
  return record->read_seek2 && !record->read_seek;
}

}  // namespace

// ---- TCustomDecoder ---------------------------------------------------------------------

TCustomDecoder::TCustomDecoder(Platform::TComponent* AOwner) : TFFBaseComponent(AOwner) {
  FOptionTable.resize(OptCommon::CCommonOptionCount);
  OptCommon::InitCommonOptions(FOptionTable.data());
  FOptionTable.push_back(TOptionDef{});  // the terminator
  AddOption(TOptionDef{"f", CmdUtils::OPT_TYPE_STRING, 0, OptDst(&FForceFormat), "force format",
                       "fmt", {}});
  AddOption(TOptionDef{"memory", CmdUtils::OPT_TYPE_INT64, CmdUtils::OPT_EXPERT,
                       OptDst(&FMemoryHandle), "memory access via stream object",
                       "integer value of stream object", {}});

  FOptions.av_class = CmdUtils::get_options_context_class();
  FOptions.Owner = this;
  FOptions.show_help_default = ShowUsageDefault;
  RefreshStreamInfo();
}

TCustomDecoder::~TCustomDecoder() {
  CloseFile();
  FreeStringOptions();
  if (AVUtilStubs::av_dict_free) CmdUtils::uninit_opts(&FOptions);
}

void TCustomDecoder::AddOption(const TOptionDef& ARow) {
  FOptionTable.insert(FOptionTable.end() - 1, ARow);
}

void TCustomDecoder::RefreshStreamInfo() {
  using AVFormatStubs::avio_size;
  FFileSize = -1;
  FStreamCount = -1;
  FProgramCount = -1;
  FAudioStreamCount = -1;
  FVideoStreamCount = -1;
  FSubtitleStreamCount = -1;
  FFirstAudioStream = -1;
  FFirstVideoStream = -1;
  FFirstSubtitleStream = -1;
  if (!FFormatContext) return;

  std::int64_t size = 0;
  const AVInputFormat* format = FFormatContext->iformat;
  if (!(format && (format->flags & AVFMT_NOFILE)) && FFormatContext->pb) {
    size = avio_size(FFormatContext->pb);
    if (size < 0) size = 0;
  }
  if (size == 0 && FFormatContext->url && *FFormatContext->url) {
    const std::int64_t onDisk = MyUtils::GetFileSize(FFormatContext->url);
    if (onDisk > 0) size = onDisk;
  }
  FFileSize = size;

  FStreamCount = static_cast<int>(FFormatContext->nb_streams);
  FProgramCount = static_cast<int>(FFormatContext->nb_programs);
  FAudioStreamCount = 0;
  FVideoStreamCount = 0;
  FSubtitleStreamCount = 0;
  for (int i = 0; i < FStreamCount; ++i) {
    switch (FFormatContext->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++FVideoStreamCount;
        if (FFirstVideoStream == -1) FFirstVideoStream = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++FAudioStreamCount;
        if (FFirstAudioStream == -1) FFirstAudioStream = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++FSubtitleStreamCount;
        if (FFirstSubtitleStream == -1) FFirstSubtitleStream = i;
        break;
      default:
        break;
    }
  }
}

void TCustomDecoder::SetFormatContext(AVFormatContext* AContext) {
  if (AContext == FFormatContext) return;
  CloseFile();
  FFormatContext = AContext;
  FOwnsContext = false;
  RefreshStreamInfo();
}

void TCustomDecoder::CloseFile() {
  using AVFormatStubs::avformat_close_input;
  using AVUtilStubs::av_freep;
  if (FFormatContext && FOwnsContext) {
    // The input is closed before the I/O context it reads from goes: its demuxer may
    // still touch that context while it closes. An input over a stream object keeps its
    // I/O context open (custom I/O), which is freed here.
    AVIOContext* pb = FMemoryIO ? FFormatContext->pb : nullptr;
    if (avformat_close_input) avformat_close_input(&FFormatContext);
    if (FMemoryIO) {
      MemoryProtocol::memory_close(FMemoryIO);
      if (pb) FFPtr::TIOContextFree{}(pb);
    }
    FreeStringOptions();
    if (AVUtilStubs::av_dict_free) CmdUtils::uninit_opts(&FOptions);
  }
  FFormatContext = nullptr;
  FOwnsContext = false;
  FMemoryIO = nullptr;
  // A forced format given without an owned input would otherwise be lost here.
  if (FForceFormat && av_freep) av_freep(static_cast<void*>(&FForceFormat));
  FForceFormat = nullptr;
  FMemoryHandle = 0;
  RefreshStreamInfo();
}

void TCustomDecoder::FreeStringOptions() {
  using AVUtilStubs::av_freep;
  if (!av_freep) return;
  for (const TOptionDef& row : FOptionTable)
    if (row.name && row.type_ == CmdUtils::OPT_TYPE_STRING &&
        !(row.flags & (CmdUtils::OPT_FLAG_OFFSET | CmdUtils::OPT_FLAG_SPEC)) && row.u.dst_ptr)
      av_freep(row.u.dst_ptr);
}

bool TCustomDecoder::IsVideoStream(int AIndex) {
  if (!FFormatContext) {
    LogMessage(AV_LOG_WARNING, CFileNotLoaded);
    return false;
  }
  if (AIndex < 0 || AIndex >= FStreamCount) {
    LogMessage(AV_LOG_ERROR, Platform::Format("stream index #%d is invalid.", AIndex));
    return false;
  }
  return FFormatContext->streams[AIndex]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

bool TCustomDecoder::LibrariesLoaded() const {
  return FFLoad::FFLoader->Loaded(FFLoad::CDecoderLibraries);
}

void TCustomDecoder::ShowUsage() {
  using AVCodecStubs::avcodec_get_class;
  using AVFilterStubs::avfilter_get_class;
  using AVFormatStubs::avformat_get_class;
  using AVUtilStubs::av_log;
  av_log(nullptr, AV_LOG_INFO, "%s\n", GetProductTitle().c_str());
  av_log(nullptr, AV_LOG_INFO, "usage: VIZoravaz.LoadFile(input_file, [options])\n\n");
  OptCommon::show_help_options(OptionDef(), "Main options:", 0, CmdUtils::OPT_EXPERT);
  OptCommon::show_help_options(OptionDef(), "Advanced options:", CmdUtils::OPT_EXPERT, 0);
  av_log(nullptr, AV_LOG_INFO, "\n");
  OptCommon::show_help_children(avcodec_get_class(), AV_OPT_FLAG_DECODING_PARAM);
  OptCommon::show_help_children(avformat_get_class(), AV_OPT_FLAG_DECODING_PARAM);
  OptCommon::show_help_children(avfilter_get_class(), AV_OPT_FLAG_FILTERING_PARAM);
}

void TCustomDecoder::ShowUsageDefault(void* AOptionsCtx, const char*, const char*) {
  auto* options = static_cast<CmdUtils::TDefaultOptions*>(AOptionsCtx);
  if (auto* decoder = dynamic_cast<TCustomDecoder*>(options->Owner)) decoder->ShowUsage();
}

void TCustomDecoder::LogMessage(int ALevel, const std::string& AText) {
  FLastErrMsg = AText;
  FFLoad::VEDovedo->Log(this, WorkerLevel(ALevel), AText);
}

// ---- TVIZoravaz -------------------------------------------------------------------------

TVIZoravaz::TVIZoravaz(Platform::TComponent* AOwner) : TCustomDecoder(AOwner) {
  AddOption(TOptionDef{"autorotate", CmdUtils::OPT_TYPE_BOOL, 0, OptDst(&FAutoRotate),
                       "automatically rotate video", "", {}});
  FFormatConverter = std::make_unique<FormatConvert::TFormatConverter>();
  ResetVideoState();
  ResetAudioState();
}

TVIZoravaz::~TVIZoravaz() {
  // The base destructor only reaches its own CloseFile; the owned objects go after.
  CloseFile();
}

void TVIZoravaz::RefreshStreamInfo() { TCustomDecoder::RefreshStreamInfo(); }

void TVIZoravaz::ResetVideoState() {
  FVideoState = TVideoState{AV_NOPTS_VALUE, 0, false};
}

void TVIZoravaz::ResetAudioState() {
  using AVUtilStubs::av_get_bytes_per_sample;
  FAudioState = TAudioState{};
  FAudioState.Channels = FAudioChannels;
  FAudioState.SampleRate = FAudioSampleRate;
  FAudioState.SampleFormat = FAudioSampleFormat;
  FAudioState.BytesPerSample =
      av_get_bytes_per_sample ? av_get_bytes_per_sample(FAudioSampleFormat) : 0;
  FAudioState.LastPTS = AV_NOPTS_VALUE;
}

void TVIZoravaz::CloseFile() {
  FVideoStreamIndex = -1;
  FVideoFrameRate = AVRational{0, 0};
  FVideoEOF = false;
  FAudioEOF = false;
  ResetVideoState();
  ResetAudioState();
  FreeAudioResampler();
  FVideoCodecContext.reset();
  FAudioCodecContext.reset();
  FVideoCodecStream = -1;
  FAudioCodecStream = -1;
  TCustomDecoder::CloseFile();
}

void TVIZoravaz::FreeAudioResampler() { FAudioResampler.reset(); }

bool TVIZoravaz::Seek(TSeekFlags AFlags, std::int64_t APosition) {
  using AVCodecStubs::avcodec_flush_buffers;
  using AVFormatStubs::av_seek_frame;
  using AVFormatStubs::avformat_seek_file;
  using AVUtilStubs::av_gettime_relative;
  using AVUtilStubs::av_rescale_q;
  const std::string name = ClassName();

  if (!FFormatContext) {
    LogMessage(AV_LOG_WARNING, CFileNotLoaded);
    return false;
  }
  if (!FOwnsContext) {
    LogMessage(AV_LOG_WARNING, CSeekReadOnly);
    throw CmdUtils::FFmpegException(CSeekReadOnly);
  }
  const AVInputFormat* format = FFormatContext->iformat;
  if (format && format->name && strcasecmp(format->name, "image2") == 0) {
    LogMessage(AV_LOG_INFO, "\"image2\" format cannot to be seeked.");
    return false;
  }
  AVIOContext* pb = FFormatContext->pb;
  if (pb)
    LogMessage(AV_LOG_DEBUG, Platform::Format("%s.%s: current position %" PRId64 " bytes",
                                              name.c_str(), "Seek()", IOPosition(pb)));

  // A stream index that the input does not have is not handed on.
  const int stream =
      FVideoStreamIndex >= 0 && FVideoStreamIndex < static_cast<int>(FFormatContext->nb_streams)
          ? FVideoStreamIndex
          : -1;
  std::int64_t pos = APosition;
  if (APosition == 0 && FVideoFrameRate.den != 0 && IsVideoStream(FVideoStreamIndex))
    pos = -(FFUtils::GetFrameInterval(FVideoFrameRate) / 2);
  if (!AFlags.Contains(FFBaseComponent::sfByte)) {
    std::int64_t start;
    if (stream == -1) {
      start = FFormatContext->start_time;
    } else {
      const AVStream* st = FFormatContext->streams[stream];
      // The library's rescale answers an overflow with INT64_MIN: a time past what the
      // stream's time base can express is its end, not its start.
      const std::int64_t scaled = av_rescale_q(pos, AVRational{1, AV_TIME_BASE}, st->time_base);
      pos = scaled == INT64_MIN && pos > 0 ? INT64_MAX : scaled;
      start = st->start_time;
    }
    if (start != AV_NOPTS_VALUE) pos = FFUtils::SatAdd64(pos, start);
  }

  if (FVideoCodecContext) avcodec_flush_buffers(FVideoCodecContext.get());
  if (FAudioCodecContext) avcodec_flush_buffers(FAudioCodecContext.get());
  FVideoEOF = false;
  FAudioEOF = false;
  ResetVideoState();
  ResetAudioState();
  FLastSeekTime = av_gettime_relative();

  const bool newer = OnlyNewerSeek(format);
  auto attempt = [&](int ASeekFlags) {
    return newer ? avformat_seek_file(FFormatContext, stream, INT64_MIN, pos, INT64_MAX,
                                      ASeekFlags)
                 : av_seek_frame(FFormatContext, stream, pos, ASeekFlags);
  };
  const int flags = FFBaseComponent::SeekFlagsToInt(AFlags);
  int ret = attempt(flags);
  if (ret < 0) {
    FLastSeekTime = av_gettime_relative();
    ret = attempt(flags ^ AVSEEK_FLAG_BACKWARD);
  }
  // The position line comes first, so that a failure's text is the last one logged and
  // stays in LastErrMsg.
  if (pb)
    LogMessage(AV_LOG_DEBUG, Platform::Format("%s.%s: seek to position %" PRId64 " bytes",
                                              name.c_str(), "Seek()", IOPosition(pb)));
  if (ret < 0) {
    if (AFlags.Contains(FFBaseComponent::sfByte))
      LogMessage(AV_LOG_ERROR,
                 Platform::Format("%s.%s: could not seek to position %" PRId64 " bytes",
                                  name.c_str(), "Seek()", APosition));
    else
      LogMessage(AV_LOG_ERROR,
                 Platform::Format("%s.%s: could not seek to position %0.3f seconds",
                                  name.c_str(), "Seek()", APosition / 1000000.0));
  }
  return ret >= 0;
}

}  // namespace FFDecode
