#include "runtime/AVFormatStubs.h"

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

}  // namespace AVFormatStubs
