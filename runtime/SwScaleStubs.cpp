#include "runtime/SwScaleStubs.h"

namespace SwScaleStubs {

SWSCALE_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void SwScaleFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  SWSCALE_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
}

void SwScaleUnfixStubs() {
  SWSCALE_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace SwScaleStubs
