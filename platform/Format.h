// printf-style text formatting of the host side.
#pragma once
#include <cstdarg>
#include <string>

namespace Platform {

std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* AFormat, va_list AArgs) __attribute__((format(printf, 1, 0)));

}  // namespace Platform
