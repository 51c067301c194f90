#include "runtime/AVDeviceStubs.h"

namespace AVDeviceStubs {

AVDEVICE_ENTRY_POINTS(OSTREVAN_STUB_DEFINE)

void AVDeviceFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  AVDEVICE_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
  avdevice_register_all();
}

void AVDeviceUnfixStubs() {
  AVDEVICE_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace AVDeviceStubs
