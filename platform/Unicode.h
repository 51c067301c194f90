// Strict conversions between UTF-8 and UTF-16 (what the system's wide text is).
#pragma once
#include <string>

namespace Platform {

// False on invalid input (overlong forms, surrogates in UTF-8, unpaired surrogates in
// UTF-16, code points above U+10FFFF, truncated sequences); AOut is then unspecified.
bool Utf8ToUtf16(std::string_view AText, std::u16string& AOut);
bool Utf16ToUtf8(std::u16string_view AText, std::string& AOut);

// Lenient forms for display: invalid input becomes U+FFFD.
std::u16string Utf8ToUtf16Lenient(std::string_view AText);
std::string Utf16ToUtf8Lenient(std::u16string_view AText);

}  // namespace Platform
