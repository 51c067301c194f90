#include "runtime/AVUtilStubs.h"

namespace AVUtilStubs {

AVUTIL_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void AVUtilFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  AVUTIL_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
}

void AVUtilUnfixStubs() {
  AVUTIL_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace AVUtilStubs
