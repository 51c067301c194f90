#include "runtime/AVCodecStubs.h"

namespace AVCodecStubs {

AVCODEC_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void AVCodecFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  AVCODEC_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
}

void AVCodecUnfixStubs() {
  AVCODEC_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace AVCodecStubs
