// Text towards FFmpeg and the C library: UTF-8 conversions, the UTF-8 environment
// lookup, the UTF-8 file open, and the file-name buffer of the ported tool code.
//
// Host strings are UTF-8 std::string; wide text is UTF-16. The allocations use the
// bound FFmpeg allocators, so libavutil (and the C library for the two C run-time
// routines) must be loaded before these routines are used.
#pragma once
#include <cstdio>
#include <string>

namespace FFUTF8 {

// The text of a UTF-8 line as host text: valid UTF-8 stays as it is (every code point,
// Latin-1 ones included, is kept as the character it is); bytes that are not valid
// UTF-8 become U+FFFD. nullptr gives an empty string.
std::string my_utf8_decode(const char* AText);

// A new zero-terminated UTF-8 copy of the UTF-16 text AText, allocated with the FFmpeg
// allocator (free it with av_free). Returns 0 with the copy, 0 with nullptr when there
// is nothing to convert (AText nullptr, or not valid UTF-16 such as an unpaired
// surrogate), -1 when the allocation fails.
int wchartoutf8(const char16_t* AText, char*& AOut);

// The value of the environment variable AName (UTF-8) as a new UTF-8 string, nullptr
// when it is not set or a conversion fails. Free it with freeenv_utf8.
char* getenv_utf8(const char* AName);
void freeenv_utf8(char* AValue);

// Opens the file APath (UTF-8) with the C library's mode AMode. A relative path is
// made absolute against the current directory. A path that is not valid UTF-8 is
// opened with its bytes unchanged. nullptr when the file cannot be opened.
FILE* fopen_utf8(const char* APath, const char* AMode);

// The UTF-8 form of AFileName in a buffer of 2,048 bytes of the calling thread; valid
// until that thread's next call. A longer name is cut at the end of the last whole
// character that fits (the buffer always ends with a zero byte).
char* ffmpeg_filename(const std::string& AFileName);
constexpr size_t FFmpegFileNameSize = 2048;

// UTF-8 text from FFmpeg as host text; bytes that are not valid UTF-8 become U+FFFD.
// nullptr gives an empty string.
std::string lantor_filename(const char* AText);
std::string ffmpeg2lantor(const char* AText);
std::string ffmpeg2lantor(const std::string& AText);
// Host text as UTF-8 for FFmpeg: the bytes unchanged (a file name that is not valid
// UTF-8 keeps its bytes).
std::string lantor2ffmpeg(const std::string& AText);

}  // namespace FFUTF8
