#include "runtime/FFUTF8.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Unicode.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtilStubs.h"

namespace FFUTF8 {

namespace {

using AVUtilStubs::av_free;
using AVUtilStubs::av_malloc_array;
using AVUtilStubs::av_utf8_decode;

void AppendUtf8(std::string& AOut, std::int32_t ACodePoint) {
  const auto c = static_cast<std::uint32_t>(ACodePoint);
  if (c < 0x80) {
    AOut += static_cast<char>(c);
  } else if (c < 0x800) {
    AOut += static_cast<char>(0xC0 | (c >> 6));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    AOut += static_cast<char>(0xE0 | (c >> 12));
    AOut += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (c >> 18));
    AOut += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The whole text through UTF-16, invalid sequences becoming U+FFFD.
std::string Utf8ToHost(std::string_view AText) {
  return Platform::Utf16ToUtf8Lenient(Platform::Utf8ToUtf16Lenient(AText));
}

// The absolute form of APath: relative paths are taken from the current directory.
// False when the current directory cannot be read.
bool FullPathName(const std::string& APath, std::string& AFull) {
  if (!APath.empty() && APath[0] == '/') {
    AFull = APath;
    return true;
  }
  std::string cwd(256, '\0');
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE) return false;
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  AFull = cwd;
  if (AFull.back() != '/') AFull += '/';
  AFull += APath;
  return true;
}

}  // namespace

std::string my_utf8_decode(const char* AText) {
  if (!AText) return std::string();
  const size_t length = std::strlen(AText);
  if (av_utf8_decode && length < 256) {
    const auto* p = reinterpret_cast<const uint8_t*>(AText);
    const auto* end = p + length;
    std::string result;
    result.reserve(length);
    while (p < end) {
      std::int32_t code;
      if (av_utf8_decode(&code, &p, end, 0) < 0) return Utf8ToHost({AText, length});
      AppendUtf8(result, code);
    }
    return result;
  }
  return Utf8ToHost({AText, length});
}

int wchartoutf8(const char16_t* AText, char*& AOut) {
  AOut = nullptr;
  std::string utf8;
  if (!AText || !Platform::Utf16ToUtf8(AText, utf8)) return 0;
  char* out = static_cast<char*>(av_malloc_array(utf8.size() + 1, 1));
  if (!out) return -1;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
  AOut = out;
  return 0;
}

char* getenv_utf8(const char* AName) {
  std::u16string name;
  if (!AName || !Platform::Utf8ToUtf16(AName, name)) return nullptr;
  const char16_t* value = MyUtilStubs::my_wgetenv(name.c_str());
  if (!value) return nullptr;
  char* result;
  if (wchartoutf8(value, result) != 0) return nullptr;
  return result;
}

void freeenv_utf8(char* AValue) { av_free(AValue); }

FILE* fopen_utf8(const char* APath, const char* AMode) {
  if (!APath || !AMode) {
    errno = EINVAL;
    return nullptr;
  }
  std::u16string widePath;
  if (!Platform::Utf8ToUtf16(APath, widePath))
    return MyUtilStubs::my_fopen(APath, AMode);  // not UTF-8: the bytes as they are
  std::string full;
  if (!FullPathName(APath, full)) return nullptr;  // errno from getcwd
  // A current directory whose name is not UTF-8 leaves the bytes as they are, too.
  if (!Platform::Utf8ToUtf16(full, widePath)) return MyUtilStubs::my_fopen(full.c_str(), AMode);
  std::u16string wideMode;
  if (!Platform::Utf8ToUtf16(AMode, wideMode)) {
    errno = EINVAL;
    return nullptr;
  }
  return MyUtilStubs::my_wfopen(widePath.c_str(), wideMode.c_str());
}

char* ffmpeg_filename(const std::string& AFileName) {
  thread_local char buffer[FFmpegFileNameSize];
  size_t n = AFileName.size();
  if (n > FFmpegFileNameSize - 1) {
    n = FFmpegFileNameSize - 1;
    // Do not split a character: step back while the first byte left out continues one.
    while (n > 0 && (static_cast<unsigned char>(AFileName[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buffer, AFileName.data(), n);
  std::memset(buffer + n, 0, FFmpegFileNameSize - n);
  return buffer;
}

std::string lantor_filename(const char* AText) {
  return AText ? Utf8ToHost(AText) : std::string();
}

std::string ffmpeg2lantor(const char* AText) { return AText ? Utf8ToHost(AText) : std::string(); }

std::string ffmpeg2lantor(const std::string& AText) { return Utf8ToHost(AText); }

std::string lantor2ffmpeg(const std::string& AText) { return AText; }

}  // namespace FFUTF8
