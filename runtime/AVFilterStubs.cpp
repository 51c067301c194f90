#include "runtime/AVFilterStubs.h"

namespace AVFilterStubs {

AVFILTER_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void AVFilterFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  AVFILTER_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
}

void AVFilterUnfixStubs() {
  AVFILTER_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace AVFilterStubs
