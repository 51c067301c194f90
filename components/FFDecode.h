// The decoder component: a companion object that takes an input opened elsewhere (a
// conversion task's input, the player's stream), keeps the summary of its streams, its
// option table with an options context, a bridge into the log worker, and seeks.
//
// TCustomDecoder owns or borrows the opened input. An input handed over through
// SetFormatContext is borrowed: the decoder never closes it and refuses to seek it.
// A descendant that opens an input itself sets it as owned; CloseFile then closes it.
// TVIZoravaz adds the picture converter, the audio output format, the decoding state
// and Seek.
//
// One thread at a time uses a decoder.
#pragma once
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include "components/FFBaseComponent.h"
#include "engine/FormatConvert.h"
#include "runtime/FFPtr.h"
#include "runtime/CmdUtils.h"

struct AVFilterGraph;
struct SwrContext;

namespace FFDecode {

using FFBaseComponent::TBeforeFindStreamInfoEvent;
using FFBaseComponent::TSeekFlags;

class TCustomDecoder : public FFBaseComponent::TFFBaseComponent {
 public:
  explicit TCustomDecoder(Platform::TComponent* AOwner = nullptr);
  ~TCustomDecoder() override;

  // Recomputes the stream summary from the attached input; every field is -1 without one.
  virtual void RefreshStreamInfo();
  // Attaches AContext as borrowed (nullptr detaches); nothing when it is attached already.
  virtual void SetFormatContext(AVFormatContext* AContext);
  // Closes an owned input and forgets any input.
  virtual void CloseFile();

  // Whether stream AIndex of the input is a video stream; logs and gives False without
  // an input or for an index out of range.
  bool IsVideoStream(int AIndex);
  // FFLoader has loaded the libraries a decoder needs.
  bool LibrariesLoaded() const;
  // The usage text of the options context's help, into the FFmpeg log.
  void ShowUsage();
  // The log bridge: keeps AText as LastErrMsg and hands it to the log worker with the
  // worker's level for the FFmpeg level ALevel.
  void LogMessage(int ALevel, const std::string& AText);

  AVFormatContext* FormatContext() const { return FFormatContext; }
  bool OwnsContext() const { return FOwnsContext; }
  const std::string& LastErrMsg() const { return FLastErrMsg; }

  // The stream summary.
  std::int64_t FileSize() const { return FFileSize; }
  int StreamCount() const { return FStreamCount; }
  int ProgramCount() const { return FProgramCount; }
  int AudioStreamCount() const { return FAudioStreamCount; }
  int VideoStreamCount() const { return FVideoStreamCount; }
  int SubtitleStreamCount() const { return FSubtitleStreamCount; }
  int FirstAudioStream() const { return FFirstAudioStream; }
  int FirstVideoStream() const { return FFirstVideoStream; }
  int FirstSubtitleStream() const { return FFirstSubtitleStream; }

  // The option table (ended by a row with a nullptr name) and the options context that
  // parsing it takes.
  CmdUtils::POptionDef OptionDef() const { return FOptionTable.data(); }
  CmdUtils::TDefaultOptions* OptionsContext() { return &FOptions; }
  // The targets of the options "f" and "memory".
  const char* ForceFormat() const { return FForceFormat; }
  std::int64_t MemoryHandle() const { return FMemoryHandle; }

  // Published.
  bool TriggerEventInMainThread = true;
  TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

 protected:
  // Appends a row to the option table, before its terminator.
  void AddOption(const CmdUtils::TOptionDef& ARow);

  AVFormatContext* FFormatContext = nullptr;
  bool FOwnsContext = false;
  std::string FLastErrMsg;
  // av_gettime_relative of the last seek attempt.
  std::int64_t FLastSeekTime = 0;
  CmdUtils::TDefaultOptions FOptions{};
  char* FForceFormat = nullptr;
  std::int64_t FMemoryHandle = 0;
  // The stream object that an owned input reads through the memory protocol; its I/O
  // context is the input's pb.
  void* FMemoryIO = nullptr;

 private:
  static void ShowUsageDefault(void* AOptionsCtx, const char* ATopic, const char* AParam);
  void FreeStringOptions();

  std::vector<CmdUtils::TOptionDef> FOptionTable;
  std::int64_t FFileSize = -1;
  int FStreamCount = -1;
  int FProgramCount = -1;
  int FAudioStreamCount = -1;
  int FVideoStreamCount = -1;
  int FSubtitleStreamCount = -1;
  int FFirstAudioStream = -1;
  int FFirstVideoStream = -1;
  int FFirstSubtitleStream = -1;
};

class TVIZoravaz : public TCustomDecoder {
 public:
  explicit TVIZoravaz(Platform::TComponent* AOwner = nullptr);
  ~TVIZoravaz() override;

  void RefreshStreamInfo() override;
  void CloseFile() override;
  virtual void FreeAudioResampler();
  // Seeks the owned input to APosition: microseconds, or bytes with sfByte. False (with
  // a log line) without an input, for an "image2" input and when the seek fails; raises
  // CmdUtils::FFmpegException for a borrowed input.
  virtual bool Seek(TSeekFlags AFlags, std::int64_t APosition);

  bool AutoRotate() const { return FAutoRotate != 0; }
  int AudioChannels() const { return FAudioChannels; }
  int AudioSampleRate() const { return FAudioSampleRate; }
  AVSampleFormat AudioSampleFormat() const { return FAudioSampleFormat; }
  FormatConvert::TFormatConverter* FormatConverter() const { return FFormatConverter.get(); }

 protected:
  // What frame reading keeps between pictures.
  struct TVideoState {
    std::int64_t LastPTS;        // AV_NOPTS_VALUE before the first picture
    std::int64_t FrameNumber;    // pictures delivered since the last reset
    bool PictureReady;           // a decoded picture waits to be delivered
  };
  // What frame reading keeps between audio frames: the format delivered to the host and
  // how much of it is buffered.
  struct TAudioState {
    int Channels;
    int SampleRate;
    AVSampleFormat SampleFormat;
    int BytesPerSample;
    std::int64_t LastPTS;        // AV_NOPTS_VALUE before the first samples
    int BufferedBytes;
  };

  void ResetVideoState();
  void ResetAudioState();

  FFPtr::TCodecContextPtr FVideoCodecContext;
  int FVideoCodecStream = -1;
  FFPtr::TCodecContextPtr FAudioCodecContext;
  int FAudioCodecStream = -1;
  std::unique_ptr<FormatConvert::TFormatConverter> FFormatConverter;
  FFPtr::TFramePtr FVideoFrame;
  FFPtr::TFramePtr FAudioFrame;
  FFPtr::TAVMemPtr<std::uint8_t> FVideoBuffer;  // work buffers
  FFPtr::TAVMemPtr<std::uint8_t> FAudioBuffer;
  FFPtr::TFilterGraphPtr FFilterGraph;
  FFPtr::TResamplerPtr FAudioResampler;
  // The audio output format.
  int FAudioChannels = 2;
  int FAudioSampleRate = 44100;
  AVSampleFormat FAudioSampleFormat = AV_SAMPLE_FMT_S16;
  // Target of the Boolean option "autorotate", which stores a 32-bit integer.
  std::int32_t FAutoRotate = 1;
  AVRational FVideoFrameRate{0, 0};
  int FVideoStreamIndex = -1;
  bool FVideoEOF = false;
  bool FAudioEOF = false;
  TVideoState FVideoState{};
  TAudioState FAudioState{};
};

}  // namespace FFDecode
