#include "runtime/SwResampleStubs.h"

namespace SwResampleStubs {

SWRESAMPLE_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void SwResampleFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  SWRESAMPLE_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
}

void SwResampleUnfixStubs() {
  SWRESAMPLE_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace SwResampleStubs
