#include "runtime/SoundTouchStubs.h"

namespace SoundTouchStubs {

SOUNDTOUCH_ENTRY_POINTS(OSTREVAN_PROC_DEFINE)

unsigned int SoundTouchVersion = 0;

void SoundTouchFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle) {
  SOUNDTOUCH_ENTRY_POINTS(OSTREVAN_STUB_FIXUP)
  SoundTouchVersion = soundtouch_getVersionId();
}

void SoundTouchUnfixStubs() {
  SoundTouchVersion = 0;
  SOUNDTOUCH_ENTRY_POINTS(OSTREVAN_STUB_UNFIX)
}

}  // namespace SoundTouchStubs
