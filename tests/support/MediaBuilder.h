// Media files made at test time from lavfi sources, through the bound libraries: no
// fixture files in the tree, and every test states the streams it needs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

namespace MediaBuilder {

// A bitmap subtitle: an opaque white box shown from Start to End (seconds).
struct TSubtitleBox {
  double Start, End;
  int X, Y, Width, Height;
};

// What to write. One letter of Streams per stream, in that order: 'v' a testsrc2
// picture (or VideoSource), 'a' a sine tone (440 Hz for the first stream, 880 Hz for
// the second ...), 's' DVD bitmap subtitles (the boxes of Subtitles).
struct TMediaSpec {
  std::string Streams = "v";
  std::string VideoSource = "testsrc2";  // a lavfi video source taking size, rate, duration
  std::vector<TSubtitleBox> Subtitles;
  double Duration = 1.0;  // seconds, every stream
  double AudioDuration = 0;  // seconds of each sine when above 0, else Duration

  int Width = 64;
  int Height = 48;
  AVRational FrameRate{25, 1};
  int Gop = 5;  // a key frame every Gop pictures
  std::string VideoCodec = "mpeg4";
  AVPixelFormat PixelFormat = AV_PIX_FMT_YUV420P;

  int SampleRate = 44100;
  int Channels = 1;  // the default layout of that many channels
  std::string AudioCodec = "pcm_s16le";
  // The encoder's first supported sample format when none is given.
  AVSampleFormat SampleFormat = AV_SAMPLE_FMT_NONE;

  // Added to every timestamp of the file (the muxer's output_ts_offset), microseconds.
  std::int64_t OutputOffset = 0;
};

// Writes AFileName in the container AFormat (a muxer name; nullptr guesses it from the
// file name). Loads the libraries first. 0, or the first error code.
[[nodiscard]] int WriteMedia(const std::string& AFileName, const char* AFormat,
                             const TMediaSpec& ASpec);

// The same with the default spec and the given stream letters.
[[nodiscard]] int WriteMedia(const std::string& AFileName, const char* AFormat,
                             const std::string& AStreams);

}  // namespace MediaBuilder
