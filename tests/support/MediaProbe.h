// What a written media file holds, read back through the bound libraries: streams,
// parameters, tags, packet timing and, on request, a checksum of every decoded picture.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace MediaProbe {

struct TProbedStream {
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::string Codec;
  int Width = 0, Height = 0;
  std::string PixelFormat;   // video
  std::string SampleFormat;  // audio
  int SampleRate = 0, Channels = 0;
  std::string ChannelLayout;
  int Disposition = 0;
  std::map<std::string, std::string> Tags;
  AVRational TimeBase{0, 1};
  std::vector<std::int64_t> Pts, Durations;  // per packet, in TimeBase
  std::vector<std::uint32_t> FrameSums;      // per decoded frame, in presentation order
  std::int64_t Samples = 0;                  // decoded audio samples per channel

  std::size_t Packets() const { return Pts.size(); }
  // seconds of the earliest packet start
  double Start() const;
  // seconds from the first packet's start to the last packet's end
  double Duration() const;
};

struct TProbe {
  int Result = -1;  // of opening and reading the file
  std::string Format;
  double Duration = 0;  // seconds, as the demuxer gives it
  bool HasDuration = false;  // the demuxer gives a duration (Duration is 0 when it does not)
  std::map<std::string, std::string> Tags;
  std::vector<TProbedStream> Streams;

  // The AIndex-th stream of AType, or nullptr.
  const TProbedStream* Find(AVMediaType AType, int AIndex = 0) const;
  int Count(AVMediaType AType) const;
};

// Opens AFile and reads every packet. ADecode also decodes every stream: video pictures
// get a checksum each, audio counts its samples.
TProbe ProbeFile(const std::string& AFile, bool ADecode = false);

}  // namespace MediaProbe
