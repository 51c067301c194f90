#include "platform/Unicode.h"

#include <cstdint>

namespace Platform {

namespace {

// Decodes one code point at AText[APos]; -1 when the sequence is invalid.
long DecodeUtf8(std::string_view AText, size_t& APos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(AText[i]); };
  const unsigned char lead = byte(APos);
  if (lead < 0x80) {
    ++APos;
    return lead;
  }
  int extra;
  long cp, min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (APos + extra >= AText.size()) return -1;
  for (int i = 1; i <= extra; ++i) {
    const unsigned char c = byte(APos + i);
    if ((c & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  APos += extra + 1;
  return cp;
}

void AppendUtf16(std::u16string& AOut, long ACodePoint) {
  if (ACodePoint >= 0x10000) {
    ACodePoint -= 0x10000;
    AOut += static_cast<char16_t>(0xD800 + (ACodePoint >> 10));
    AOut += static_cast<char16_t>(0xDC00 + (ACodePoint & 0x3FF));
  } else {
    AOut += static_cast<char16_t>(ACodePoint);
  }
}

void AppendUtf8(std::string& AOut, std::uint32_t ACodePoint) {
  if (ACodePoint < 0x80) {
    AOut += static_cast<char>(ACodePoint);
  } else if (ACodePoint < 0x800) {
    AOut += static_cast<char>(0xC0 | (ACodePoint >> 6));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  } else if (ACodePoint < 0x10000) {
    AOut += static_cast<char>(0xE0 | (ACodePoint >> 12));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  } else {
    AOut += static_cast<char>(0xF0 | (ACodePoint >> 18));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 12) & 0x3F));
    AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
    AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
  }
}

// Decodes one UTF-16 code point at AText[APos]; -1 for an unpaired surrogate.
long DecodeUtf16(std::u16string_view AText, size_t& APos) {
  const char16_t c = AText[APos++];
  if (c < 0xD800 || c > 0xDFFF) return c;
  if (c >= 0xDC00 || APos >= AText.size()) return -1;
  const char16_t low = AText[APos];
  if (low < 0xDC00 || low > 0xDFFF) return -1;
  ++APos;
  return 0x10000 + ((static_cast<long>(c) - 0xD800) << 10) + (low - 0xDC00);
}

}  // namespace

bool Utf8ToUtf16(std::string_view AText, std::u16string& AOut) {
  AOut.clear();
  AOut.reserve(AText.size());
  for (size_t pos = 0; pos < AText.size();) {
    const long cp = DecodeUtf8(AText, pos);
    if (cp < 0) return false;
    AppendUtf16(AOut, cp);
  }
  return true;
}

bool Utf16ToUtf8(std::u16string_view AText, std::string& AOut) {
  AOut.clear();
  AOut.reserve(AText.size());
  for (size_t pos = 0; pos < AText.size();) {
    const long cp = DecodeUtf16(AText, pos);
    if (cp < 0) return false;
    AppendUtf8(AOut, static_cast<std::uint32_t>(cp));
  }
  return true;
}

std::u16string Utf8ToUtf16Lenient(std::string_view AText) {
  std::u16string out;
  out.reserve(AText.size());
  for (size_t pos = 0; pos < AText.size();) {
    long cp = DecodeUtf8(AText, pos);
    if (cp < 0) {
      cp = 0xFFFD;
      ++pos;
    }
    AppendUtf16(out, cp);
  }
  return out;
}

std::string Utf16ToUtf8Lenient(std::u16string_view AText) {
  std::string out;
  out.reserve(AText.size());
  for (size_t pos = 0; pos < AText.size();) {
    long cp = DecodeUtf16(AText, pos);
    if (cp < 0) cp = 0xFFFD;
    AppendUtf8(out, static_cast<std::uint32_t>(cp));
  }
  return out;
}

}  // namespace Platform
