#include "runtime/AVFormatStubs.h"

#include <algorithm>
#include <cstdarg>

#include "platform/Exception.h"
#include "platform/Format.h"

namespace AVFormatStubs {

AVFORMAT_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void AVFormatFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  AVFORMAT_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
  avformat_network_init();
}

void AVFormatUnfixStubs() {
  if (avformat_network_deinit) avformat_network_deinit();
  AVFORMAT_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

void avio_printf_lantor(AVIOContext* APb, const char* AFormat, ...) {
  Platform::Check(avio_write != nullptr, "AVFormatStubs", 269);
  va_list args;
  va_start(args, AFormat);
  const std::string text = Platform::FormatV(AFormat, args);
  va_end(args);
  // avio_write takes an int count: a longer text goes in pieces
  for (std::size_t done = 0; done < text.size();) {
    const std::size_t n = std::min<std::size_t>(text.size() - done, 1 << 30);
    avio_write(APb, reinterpret_cast<const unsigned char*>(text.data() + done), static_cast<int>(n));
    done += n;
  }
}

}  // namespace AVFormatStubs
